#pragma once
// The wire form of reliable-stream packets: the 64-byte header every packet
// starts with, the message types, the seeded Adler-32 and the builders of the
// 64-byte control messages. Pure functions over bytes; no socket, no state.
//
//    0               4               8               12              16
//   +---------------+---------------+---------------+---------------+
//   | total length  |   checksum    |    handle     | packet seq.   |
//   +---------------+---------------+---------------+---------------+
//   |     type      |  receiver identity (12 bytes: node id, "UDP0") |
//   +---------------+-----------------------------------------------+
//   32 .. 63: fields of the type (big-endian words), zero elsewhere
//   64 ..   : DATA payload
//
// All integers are big-endian. The checksum is Adler-32 (RFC 1950) over
// bytes 32 to the end, started from the handle field instead of 1, so a
// packet only verifies for the record it names.

#include <array>
#include <cstddef>
#include <cstdint>

namespace engine {

using QUNodeId = std::array<uint8_t, 8>;
// Node id followed by "UDP" and "0".
using QUIdentity = std::array<uint8_t, 12>;

QUIdentity MakeQUIdentity(const QUNodeId& node_id);
QUNodeId NodeIdOf(const QUIdentity& identity);
// A placeholder names a node known only by its endpoint: bytes 0-1 zero,
// bytes 2-5 the IPv4 address, bytes 6-7 the UDP port, both network order.
bool IsPlaceholderFor(const QUNodeId& node_id, uint32_t ip, uint16_t port);

namespace QUWire {

inline constexpr size_t HeaderSize = 64;
// Payloads: 1320 bytes keep a DATA datagram (1384 bytes, plus UDP/IP
// headers) under a 1500-byte Ethernet MTU with room for tunnels; 660 is used
// while the path loses more than it should.
inline constexpr uint32_t LargeSegment = 1320;
inline constexpr uint32_t SmallSegment = 660;
// The largest datagram the UDP server sends or receives.
inline constexpr size_t MaxDatagram = 8192;

enum Type : uint32_t {
    Connect = 1,
    ConnectAck = 0x00010001,
    Connected = 0x80010001,
    Refuse = 3,
    Data = 2,
    Ack = 16,
    KeepAlive = 0x00010002,
    Close = 0x80000000,
    SegmentAck = 0x80000002,
};
// Types with the top bit set carry an echoed sequence, not the sender's
// packet counter, so sending them does not advance the counter.
inline bool UsesCounter(uint32_t type) { return (type & 0x80000000u) == 0; }

// Header offsets.
inline constexpr size_t LengthAt = 0;
inline constexpr size_t ChecksumAt = 4;
inline constexpr size_t HandleAt = 8;
inline constexpr size_t SequenceAt = 12;
inline constexpr size_t TypeAt = 16;
inline constexpr size_t IdentityAt = 20;
inline constexpr size_t BodyAt = 32;

uint32_t Get32(const uint8_t* at);
void Put32(uint8_t* at, uint32_t value);

// Adler-32 with a caller-chosen start value (RFC 1950 starts from 1).
uint32_t Adler32(uint32_t start, const uint8_t* data, size_t length);

// Writes the length word, then the checksum over bytes 32..length-1 seeded
// with the handle already in place. `length` is at least HeaderSize.
void Seal(uint8_t* packet, size_t length);
// The length word matches and the checksum verifies.
bool Verify(const uint8_t* packet, size_t length);

// The fixed part every packet shares.
struct Head {
    uint32_t handle = 0;
    uint32_t sequence = 0;
    uint32_t type = 0;
    QUIdentity receiver{};
};
void WriteHead(uint8_t* packet, const Head& head);
Head ReadHead(const uint8_t* packet);

using Control = std::array<uint8_t, HeaderSize>;

// A sealed 64-byte control message: the head plus the eight body words of
// bytes 32-63 (zero where the type has no field).
Control BuildControl(const Head& head, const std::array<uint32_t, 8>& body);
// The body word at byte offset `at` (32, 36, ... 60).
inline uint32_t Word(const uint8_t* packet, size_t at) { return Get32(packet + at); }

}  // namespace QUWire
}  // namespace engine
