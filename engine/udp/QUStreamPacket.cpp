#include "engine/udp/QUStreamPacket.h"

#include <algorithm>
#include <cstring>

namespace engine {

QUIdentity MakeQUIdentity(const QUNodeId& node_id) {
    QUIdentity identity{};
    std::copy(node_id.begin(), node_id.end(), identity.begin());
    identity[8] = 'U';
    identity[9] = 'D';
    identity[10] = 'P';
    identity[11] = '0';
    return identity;
}

QUNodeId NodeIdOf(const QUIdentity& identity) {
    QUNodeId id{};
    std::copy(identity.begin(), identity.begin() + 8, id.begin());
    return id;
}

bool IsPlaceholderFor(const QUNodeId& node_id, uint32_t ip, uint16_t port) {
    if (node_id[0] != 0 || node_id[1] != 0) return false;
    uint8_t ip_bytes[4];
    std::memcpy(ip_bytes, &ip, 4);  // network order: the bytes as they travel
    return std::equal(ip_bytes, ip_bytes + 4, node_id.begin() + 2) && node_id[6] == (port >> 8) &&
           node_id[7] == (port & 0xFF);
}

namespace QUWire {

uint32_t Get32(const uint8_t* at) {
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | uint32_t{at[3]};
}

void Put32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

uint32_t Adler32(uint32_t start, const uint8_t* data, size_t length) {
    // RFC 1950: both sums modulo 65521. 5552 is the longest run whose sums
    // cannot overflow 32 bits before the next reduction, even from a start
    // value whose halves are not reduced yet.
    constexpr uint32_t Base = 65521;
    constexpr size_t Run = 5552;
    uint32_t a = start & 0xFFFF;
    uint32_t b = start >> 16;
    while (length > 0) {
        const size_t n = std::min(length, Run);
        for (size_t i = 0; i < n; ++i) {
            a += data[i];
            b += a;
        }
        a %= Base;
        b %= Base;
        data += n;
        length -= n;
    }
    return (b << 16) | a;
}

void Seal(uint8_t* packet, size_t length) {
    Put32(packet + LengthAt, static_cast<uint32_t>(length));
    const uint32_t handle = Get32(packet + HandleAt);
    Put32(packet + ChecksumAt, Adler32(handle, packet + BodyAt, length - BodyAt));
}

bool Verify(const uint8_t* packet, size_t length) {
    if (length < HeaderSize || Get32(packet + LengthAt) != length) return false;
    const uint32_t handle = Get32(packet + HandleAt);
    return Get32(packet + ChecksumAt) == Adler32(handle, packet + BodyAt, length - BodyAt);
}

void WriteHead(uint8_t* packet, const Head& head) {
    Put32(packet + HandleAt, head.handle);
    Put32(packet + SequenceAt, head.sequence);
    Put32(packet + TypeAt, head.type);
    std::copy(head.receiver.begin(), head.receiver.end(), packet + IdentityAt);
}

Head ReadHead(const uint8_t* packet) {
    Head head;
    head.handle = Get32(packet + HandleAt);
    head.sequence = Get32(packet + SequenceAt);
    head.type = Get32(packet + TypeAt);
    std::copy(packet + IdentityAt, packet + IdentityAt + head.receiver.size(), head.receiver.begin());
    return head;
}

Control BuildControl(const Head& head, const std::array<uint32_t, 8>& body) {
    Control packet{};
    WriteHead(packet.data(), head);
    for (size_t i = 0; i < body.size(); ++i) Put32(packet.data() + BodyAt + 4 * i, body[i]);
    Seal(packet.data(), packet.size());
    return packet;
}

}  // namespace QUWire
}  // namespace engine
