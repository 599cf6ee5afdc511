#include "engine/meta/QSha1.h"

#include <openssl/evp.h>

#include <new>

namespace engine {

namespace {
EVP_MD_CTX* Ctx(void* p) { return static_cast<EVP_MD_CTX*>(p); }
}  // namespace

QSha1::QSha1() : m_context(EVP_MD_CTX_new()) {
    if (!m_context || EVP_DigestInit_ex(Ctx(m_context), EVP_sha1(), nullptr) != 1) throw std::bad_alloc();
}

QSha1::~QSha1() { EVP_MD_CTX_free(Ctx(m_context)); }

void QSha1::Update(const void* bytes, size_t length) {
    if (length > 0) EVP_DigestUpdate(Ctx(m_context), bytes, length);
}

Sha1Digest QSha1::Final() {
    Sha1Digest digest{};
    unsigned int size = 0;
    EVP_DigestFinal_ex(Ctx(m_context), digest.data(), &size);
    EVP_DigestInit_ex(Ctx(m_context), EVP_sha1(), nullptr);
    return digest;
}

Sha1Digest QSha1::Digest(const void* bytes, size_t length) {
    QSha1 sha;
    sha.Update(bytes, length);
    return sha.Final();
}

std::string QSha1::ToHex(const Sha1Digest& digest) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(40);
    for (uint8_t b : digest) {
        out.push_back(Hex[b >> 4]);
        out.push_back(Hex[b & 15]);
    }
    return out;
}

}  // namespace engine
