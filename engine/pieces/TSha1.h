#pragma once
// SHA-1 (FIPS 180-1) of a byte range: the one place the piece layer calls
// libcrypto, so its headers stay out of ours. Thread-safe (no state).

#include <array>
#include <cstddef>
#include <cstdint>

namespace engine {

class TSha1 {
public:
    using Digest = std::array<uint8_t, 20>;
    static Digest Of(const void* data, size_t length);
    // Whether the digest of `data` equals the 20 bytes at `expected`.
    static bool Matches(const void* data, size_t length, const uint8_t* expected);
};

}  // namespace engine
