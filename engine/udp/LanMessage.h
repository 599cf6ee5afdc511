#pragma once
// The datagram peers of the same torrent exchange on the local network to
// find each other: an announcement when a task starts and an answer from
// every node that serves the same info hash. Bytes in, record out; no I/O.
//
//    0       4       8     10     12      16                  36                  56
//    +-------+-------+-----+------+-------+-------------------+-------------------+
//    | zero  | IPv4  |port | zero | kind  | info hash (20)    | peer id (20)      |
//    +-------+-------+-----+------+-------+-------------------+-------------------+
//
// IPv4 address and port are those of the sender's TCP listener, in network
// order; kind is 32 bits, least significant byte first (0 announcement,
// 1 answer).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace engine {

inline constexpr size_t LanMessageSize = 56;
using LanDatagram = std::array<uint8_t, LanMessageSize>;

enum class LanMessageKind : uint32_t { Announcement = 0, Answer = 1 };

struct LanMessage {
    uint32_t address = 0;  // network order, as platform::SocketAddress
    uint16_t port = 0;     // host order
    LanMessageKind kind = LanMessageKind::Announcement;
    std::array<uint8_t, 20> info_hash{};
    std::array<uint8_t, 20> peer_id{};
    bool operator==(const LanMessage&) const = default;
};

enum class LanParseError {
    None,
    TooShort,         // fewer than 56 bytes
    NonZeroHeader,    // bytes 0-3 are not zero
    NoEndpoint,       // address or port is zero: nobody to connect to
    UnknownKind,      // neither announcement nor answer
};

LanDatagram BuildLanMessage(const LanMessage& message);
// Parses the first 56 bytes of `data`; bytes beyond them are ignored, as a
// reader of at most 56 bytes never sees them.
std::optional<LanMessage> ParseLanMessage(const uint8_t* data, size_t length, LanParseError* error = nullptr);

}  // namespace engine
