#pragma once
// Randomness from the operating system (UUIDs, peer ids, nonces).

#include <array>
#include <cstddef>
#include <cstdint>

namespace platform {

void RandomBytes(void* out, size_t length);
// 16 random bytes, in place of a version-4 UUID.
std::array<uint8_t, 16> NewUuid();

}  // namespace platform
