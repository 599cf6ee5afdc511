#pragma once
// QSha1: SHA-1 (FIPS 180-1) digests, the engine's one wrapper around
// libcrypto's digest interface, whose headers stay out of ours.
// Owner: the caller. Thread: one at a time; no lock.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace engine {

using Sha1Digest = std::array<uint8_t, 20>;

class QSha1 {
public:
    QSha1();
    ~QSha1();
    QSha1(const QSha1&) = delete;
    QSha1& operator=(const QSha1&) = delete;

    void Update(const void* bytes, size_t length);
    // The digest of everything given so far; the object starts over.
    Sha1Digest Final();

    static Sha1Digest Digest(const void* bytes, size_t length);
    // 40 lowercase hexadecimal characters.
    static std::string ToHex(const Sha1Digest& digest);

private:
    void* m_context;  // EVP_MD_CTX
};

}  // namespace engine
