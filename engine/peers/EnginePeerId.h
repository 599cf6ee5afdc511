#pragma once
// The engine's 20-byte BitTorrent peer id of a task:
//
//   bytes 0..3   00 01 54 77        ("%00%01Tw" percent-decoded)
//   bytes 4..7   MD5(seed text)[0..3]
//   bytes 8..19  the process UUID's first 12 bytes (0..7 are the node id)
//
// The seed text concatenates, without separators: the torrent's announce
// address, the current-thread pseudo-handle (-2), the task object's address,
// the tick count in milliseconds and the local IPv4 address read as an
// unsigned 32-bit number, all in decimal. Pure functions; any thread.

#include <array>
#include <cstdint>
#include <string>

namespace engine {

// The prefix every id of this engine starts with; a peer id with "UDP" at
// bytes 16..18 is given the same prefix when it is stored.
inline constexpr std::array<uint8_t, 4> EnginePeerIdPrefix{0x00, 0x01, 0x54, 0x77};

std::string EnginePeerIdSeed(const std::string& announce, int64_t task_address, int64_t tick_ms,
                             uint32_t local_address);
std::array<uint8_t, 20> BuildEnginePeerId(const std::string& seed, const std::array<uint8_t, 12>& uuid_head);
// MD5 (RFC 1321) of `text`.
std::array<uint8_t, 16> Md5Digest(const std::string& text);
// The first 12 bytes of the process UUID: the 8-byte node id, then 4 bytes
// drawn once per process.
std::array<uint8_t, 12> ProcessUuidHead();

}  // namespace engine
