#pragma once
// The process's node identity: 8 bytes of a per-process UUID, byte 0 made 1
// when it is 0 (0 would read as "no identity" on the wire). Created once, by
// the first task or the first caller; the same for the life of the process.

#include <array>
#include <cstdint>

namespace engine {

std::array<uint8_t, 8> NodeIdentity();

}  // namespace engine
