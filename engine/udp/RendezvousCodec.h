#pragma once
// The rendezvous messages that share the engine's one UDP endpoint with the
// reliable streams, as pure functions over bytes: builders return the bytes
// to send, parsers take a datagram and return what it says (or nothing). No
// socket, no clock, no state: the UDP server and the rendezvous server tool
// both use them, and the fuzz target feeds them arbitrary bytes.
//
// Every multi-byte integer is big-endian, except addresses and the PUNCH
// port, which are "network order" (the address bytes a.b.c.d in order). In
// this code addresses are uint32 values holding those bytes in memory order,
// as platform/Socket.h keeps them, so they are copied, never swapped.
//
// Node identity (12 bytes, compared bytewise):
//
//   0       8       11 12
//   +-------+---+---+--+
//   |node id| U D P |0 |
//   +-------+---+---+--+
//
// A placeholder node id names a node known only by its endpoint:
// bytes 0-1 zero, 2-5 its IPv4 address, 6-7 its UDP port (network order).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace engine {

using QUNodeId = std::array<uint8_t, 8>;
using QUIdentity = std::array<uint8_t, 12>;

// A datagram is never larger than this, in either direction.
inline constexpr size_t MaxDatagramSize = 8192;
inline constexpr size_t PingSize = 8;
inline constexpr size_t CallMeSize = 32;
inline constexpr size_t PunchSize = 48;
inline constexpr size_t RegisterSize = 64;
// LOOKUP and LOOKUP_REPLY: a 48-byte head and entries of 16 bytes; a batch
// of 13 entries fills the 256 bytes the sender keeps for it.
inline constexpr size_t LookupHeadSize = 48;
inline constexpr size_t LookupEntrySize = 16;
inline constexpr uint32_t LookupMaxEntries = 13;
inline constexpr size_t LookupMaxSize = LookupHeadSize + LookupMaxEntries * LookupEntrySize;
// Stream packets (and anything the dispatch reads as a LOOKUP_REPLY) carry a
// 64-byte header.
inline constexpr size_t StreamHeaderSize = 64;

inline constexpr uint32_t RequestTypeRegister = 2;
inline constexpr uint32_t RequestTypeLookup = 3;
inline constexpr uint32_t ReplyTypeLookup = 0x80000003u;
inline constexpr uint32_t CallMeMagic = 0x33333333u;
// The port of a LOOKUP_REPLY entry whose node is not registered.
inline constexpr uint32_t NotRegisteredPort = 0xFFFFFFFFu;

QUIdentity MakeIdentity(const QUNodeId& node_id);
QUNodeId IdentityNodeId(const QUIdentity& identity);
// Bytes 0-1 zero.
bool IsPlaceholderId(const QUNodeId& node_id);
QUNodeId MakePlaceholderId(uint32_t address, uint16_t port);
uint32_t PlaceholderAddress(const QUNodeId& node_id);
uint16_t PlaceholderPort(const QUNodeId& node_id);

uint32_t ReadBe32(const uint8_t* p);
void WriteBe32(uint8_t* p, uint32_t value);

// What the UDP server's dispatch makes of one received datagram, tested in
// this order. `from_server`: the source address is the rendezvous server's.
enum class QUDatagramKind {
    Bencoded,      // more than 8 bytes beginning with "d": not ours, dropped
    PingReply,     // 8 bytes from the server
    CallMe,        // 32 bytes, 0x33333333 (the server checks the source)
    Punch,         // 48 bytes addressed to `own_node_id`
    StreamPacket,  // first word positive, at least 64 bytes
    LookupReply,   // first word zero or negative, at least 64 bytes, from the server
    Dropped,       // anything else
};
QUDatagramKind ClassifyDatagram(const uint8_t* data, size_t size, bool from_server, const QUNodeId& own_node_id);

// PING (to the server): 8 zero bytes.
std::vector<uint8_t> BuildPing();
bool IsPing(const uint8_t* data, size_t size);

// PING_REPLY (from the server): this node's address as the server saw it
// (network order) and its UDP port (uint32).
struct QUPingReply {
    uint32_t address = 0;
    uint32_t port = 0;
};
std::vector<uint8_t> BuildPingReply(const QUPingReply& reply);
std::optional<QUPingReply> ParsePingReply(const uint8_t* data, size_t size);

// REGISTER and LOOKUP share this head:
//
//   0          12     16         28       32        36       40
//   +----------+------+----------+--------+---------+--------+...
//   | zero     | type | identity | req id | local IP| l.port |
//   +----------+------+----------+--------+---------+--------+...
//
// REGISTER: bytes 40-63 zero. LOOKUP: bytes 40-43 = 1, 44-47 the entry
// count, then entries of 16 bytes from byte 48.
struct QURequestHead {
    uint32_t type = 0;
    QUIdentity identity{};
    uint32_t request_id = 0;
    uint32_t local_address = 0;
    uint32_t local_port = 0;
};
// A LOOKUP entry: the address last known for the target, 4 zero bytes, the
// target's node id (maybe a placeholder).
struct QULookupEntry {
    uint32_t address = 0;
    QUNodeId node_id{};
};

std::vector<uint8_t> BuildRegister(const QURequestHead& head);
// A LOOKUP with no entry yet (48 bytes); AppendLookupEntry adds one and
// raises the count, which stops at 13.
std::vector<uint8_t> BuildLookupHead(const QURequestHead& head);
void AppendLookupEntry(std::vector<uint8_t>& lookup, const QULookupEntry& entry);

// What the rendezvous server accepts: a REGISTER of exactly 64 bytes, or a
// LOOKUP of 48 + 16 N bytes with 1 <= N <= 13 entries.
struct QURendezvousRequest {
    QURequestHead head;
    std::vector<QULookupEntry> entries;  // LOOKUP only
};
std::optional<QURendezvousRequest> ParseRendezvousRequest(const uint8_t* data, size_t size);

// LOOKUP_REPLY: the LOOKUP's head with type 0x80000003 and the entry count
// N, then N entries: address (network order), UDP port (uint32;
// 0xFFFFFFFF = not registered), node id.
struct QULookupReplyEntry {
    uint32_t address = 0;
    uint32_t port = 0;
    QUNodeId node_id{};
};
struct QULookupReply {
    QUIdentity identity{};
    uint32_t request_id = 0;
    // False when the count does not fit the datagram (or exceeds 13): the
    // reply is ignored as a whole, though its request id was answered.
    bool entries_valid = false;
    std::vector<QULookupReplyEntry> entries;
};
std::vector<uint8_t> BuildLookupReply(const QURequestHead& head, const std::vector<QULookupReplyEntry>& entries);
// Nothing for a datagram shorter than 64 bytes or of another type.
std::optional<QULookupReply> ParseLookupReply(const uint8_t* data, size_t size);

// CALL_ME (from the server): another node wants to reach this one.
//   0-3 0x33333333, 4-15 caller identity, 16-19 unused,
//   20-23 caller's public address, 24-27 its public UDP port, 28-31 unused.
struct QUCallMe {
    QUIdentity caller{};
    uint32_t address = 0;
    uint32_t port = 0;
};
std::vector<uint8_t> BuildCallMe(const QUCallMe& call);
std::optional<QUCallMe> ParseCallMe(const uint8_t* data, size_t size);

// PUNCH (node to node), opening the sender's NAT towards the receiver:
//   0-19 zero, 20-31 receiver identity, 32-33 sender's local UDP port
//   (network order), 34-35 zero, 36-47 sender identity.
struct QUPunch {
    QUIdentity receiver{};
    uint16_t sender_local_port = 0;
    QUIdentity sender{};
};
std::vector<uint8_t> BuildPunch(const QUPunch& punch);
std::optional<QUPunch> ParsePunch(const uint8_t* data, size_t size);

}  // namespace engine
