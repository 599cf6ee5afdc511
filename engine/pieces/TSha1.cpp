#include "engine/pieces/TSha1.h"

#include <openssl/sha.h>

#include <cstring>

namespace engine {

TSha1::Digest TSha1::Of(const void* data, size_t length) {
    Digest out{};
    SHA1(static_cast<const unsigned char*>(data), length, out.data());
    return out;
}

bool TSha1::Matches(const void* data, size_t length, const uint8_t* expected) {
    if (!expected) return false;
    Digest d = Of(data, length);
    return std::memcmp(d.data(), expected, d.size()) == 0;
}

}  // namespace engine
