#pragma once
// The bytes of the BitTorrent peer wire this engine sends: the handshake,
// the optional HTTP preambles around it, and the messages. Each builder
// returns the bytes; sending happens in the peer object. Pure functions; any
// thread.
//
// Handshake (68 bytes):
//
//   +----+---------------------+----------+-----------+---------+
//   | 19 | "BitTorrent protocol"| 8 x 0x00 | info hash | peer id |
//   +----+---------------------+----------+-----------+---------+
//     0    1                     20         28          48      68
//
// Messages: 4-byte big-endian length (id + payload), 1-byte id, payload.

#include <array>
#include <cstdint>
#include <string>

namespace engine {

inline constexpr size_t BtHandshakeSize = 68;
inline constexpr size_t BtInfoHashOffset = 28;
inline constexpr size_t BtPeerIdOffset = 48;
inline constexpr char BtProtocolName[] = "BitTorrent protocol";

std::string BuildBtHandshake(const std::array<uint8_t, 20>& info_hash, const std::array<uint8_t, 20>& peer_id);
// Whether `data` starts with 19, the protocol name and `info_hash`.
bool MatchesBtHandshake(const uint8_t* data, size_t size, const std::array<uint8_t, 20>& info_hash);

// The fake HTTP request sent before the handshake of an outgoing TCP
// connection. `address` is network order; the Host value is the four address
// bytes read as a little-endian number, and the port modulo 6881.
std::string BuildBtRequestPreamble(uint32_t address, int32_t port, int32_t failures);
// The fake HTTP reply sent before our handshake to a peer that wrapped its
// own; `clock_first` and `clock_second` are two readings of the engine clock.
std::string BuildBtReplyPreamble(int64_t clock_first, int64_t clock_second);

// Choke, unchoke, interested, not interested: 5 bytes each.
std::string BuildBtSimple(int32_t id);
std::string BuildBtHave(uint32_t piece);
std::string BuildBtBitfield(const uint8_t* bits, size_t size);
// REQUEST (id 6) or CANCEL (id 8): 17 bytes.
std::string BuildBtRequest(int32_t id, uint32_t index, uint32_t begin, uint32_t length);
// The 13 bytes in front of a PIECE's data.
std::string BuildBtPieceHeader(uint32_t index, uint32_t begin, uint32_t data_size);
// Sent in place of a PIECE when the block cannot be read: length 14, id 7,
// index 0, begin 2, the byte 0x35 and the piece index (18 bytes). No block
// matches it, so an engine receiving it closes the connection.
std::string BuildBtPieceNotAvailable(uint32_t piece);

void AppendBe32(std::string& out, uint32_t value);

}  // namespace engine
