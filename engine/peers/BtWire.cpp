#include "engine/peers/BtWire.h"

#include <cstring>

namespace engine {

namespace {

constexpr uint8_t ProtocolLength = 19;
// The Host port of the request preamble is folded below the classic
// BitTorrent port, as the peers that look for this preamble expect.
constexpr int32_t PreamblePortModulus = 6881;

}  // namespace

void AppendBe32(std::string& out, uint32_t value) {
    out.push_back(static_cast<char>(value >> 24));
    out.push_back(static_cast<char>(value >> 16));
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value));
}

std::string BuildBtHandshake(const std::array<uint8_t, 20>& info_hash, const std::array<uint8_t, 20>& peer_id) {
    std::string out;
    out.reserve(BtHandshakeSize);
    out.push_back(static_cast<char>(ProtocolLength));
    out.append(BtProtocolName, ProtocolLength);
    out.append(8, '\0');
    out.append(reinterpret_cast<const char*>(info_hash.data()), info_hash.size());
    out.append(reinterpret_cast<const char*>(peer_id.data()), peer_id.size());
    return out;
}

bool MatchesBtHandshake(const uint8_t* data, size_t size, const std::array<uint8_t, 20>& info_hash) {
    if (!data || size < BtPeerIdOffset) return false;
    if (data[0] != ProtocolLength || std::memcmp(data + 1, BtProtocolName, ProtocolLength) != 0) return false;
    return std::memcmp(data + BtInfoHashOffset, info_hash.data(), info_hash.size()) == 0;
}

std::string BuildBtRequestPreamble(uint32_t address, int32_t port, int32_t failures) {
    std::string out = "GET / HTTP/1.0\r\n";
    if (failures % 2 == 0) out += "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
    // The address bytes sit in memory in network order; read them as a
    // little-endian number.
    uint8_t bytes[4];
    std::memcpy(bytes, &address, 4);
    const uint32_t host = uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
                          (uint32_t{bytes[3]} << 24);
    out += "Host: " + std::to_string(host) + ":" + std::to_string(port % PreamblePortModulus);
    out += "\r\n\r\n";
    return out;
}

std::string BuildBtReplyPreamble(int64_t clock_first, int64_t clock_second) {
    std::string out = "HTTP/1.0 200 OK\r\nConnection: ";
    out += (clock_first % 2 != 0) ? "Close\r\n" : "Keep-Alive\r\n";
    if (clock_second % 2 == 0) out += "Content-Encoding: none\r\n";
    out += "\r\n";
    return out;
}

std::string BuildBtSimple(int32_t id) {
    std::string out;
    AppendBe32(out, 1);
    out.push_back(static_cast<char>(id));
    return out;
}

std::string BuildBtHave(uint32_t piece) {
    std::string out;
    AppendBe32(out, 5);
    out.push_back(4);
    AppendBe32(out, piece);
    return out;
}

std::string BuildBtBitfield(const uint8_t* bits, size_t size) {
    std::string out;
    AppendBe32(out, static_cast<uint32_t>(size + 1));
    out.push_back(5);
    if (size) out.append(reinterpret_cast<const char*>(bits), size);
    return out;
}

std::string BuildBtRequest(int32_t id, uint32_t index, uint32_t begin, uint32_t length) {
    std::string out;
    AppendBe32(out, 13);
    out.push_back(static_cast<char>(id));
    AppendBe32(out, index);
    AppendBe32(out, begin);
    AppendBe32(out, length);
    return out;
}

std::string BuildBtPieceHeader(uint32_t index, uint32_t begin, uint32_t data_size) {
    std::string out;
    AppendBe32(out, data_size + 9);
    out.push_back(7);
    AppendBe32(out, index);
    AppendBe32(out, begin);
    return out;
}

std::string BuildBtPieceNotAvailable(uint32_t piece) {
    std::string out;
    AppendBe32(out, 14);
    out.push_back(7);
    AppendBe32(out, 0);
    AppendBe32(out, 2);
    out.push_back(0x35);
    AppendBe32(out, piece);
    return out;
}

}  // namespace engine
