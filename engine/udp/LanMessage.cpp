#include "engine/udp/LanMessage.h"

#include <algorithm>

namespace engine {

namespace {

constexpr size_t AddressOffset = 4;
constexpr size_t PortOffset = 8;
constexpr size_t KindOffset = 12;
constexpr size_t InfoHashOffset = 16;
constexpr size_t PeerIdOffset = 36;

std::optional<LanMessage> Fail(LanParseError* error, LanParseError why) {
    if (error) *error = why;
    return std::nullopt;
}

}  // namespace

LanDatagram BuildLanMessage(const LanMessage& message) {
    LanDatagram out{};
    // The address is already in network order: its memory bytes go out as they are.
    const auto* address = reinterpret_cast<const uint8_t*>(&message.address);
    std::copy(address, address + 4, out.begin() + AddressOffset);
    out[PortOffset] = static_cast<uint8_t>(message.port >> 8);
    out[PortOffset + 1] = static_cast<uint8_t>(message.port);
    const auto kind = static_cast<uint32_t>(message.kind);
    for (size_t i = 0; i < 4; ++i) out[KindOffset + i] = static_cast<uint8_t>(kind >> (8 * i));
    std::copy(message.info_hash.begin(), message.info_hash.end(), out.begin() + InfoHashOffset);
    std::copy(message.peer_id.begin(), message.peer_id.end(), out.begin() + PeerIdOffset);
    return out;
}

std::optional<LanMessage> ParseLanMessage(const uint8_t* data, size_t length, LanParseError* error) {
    if (error) *error = LanParseError::None;
    if (data == nullptr || length < LanMessageSize) return Fail(error, LanParseError::TooShort);
    if (data[0] != 0 || data[1] != 0 || data[2] != 0 || data[3] != 0) return Fail(error, LanParseError::NonZeroHeader);
    LanMessage m;
    std::copy(data + AddressOffset, data + AddressOffset + 4, reinterpret_cast<uint8_t*>(&m.address));
    m.port = static_cast<uint16_t>((data[PortOffset] << 8) | data[PortOffset + 1]);
    if (m.address == 0 || m.port == 0) return Fail(error, LanParseError::NoEndpoint);
    uint32_t kind = 0;
    for (size_t i = 0; i < 4; ++i) kind |= static_cast<uint32_t>(data[KindOffset + i]) << (8 * i);
    if (kind != static_cast<uint32_t>(LanMessageKind::Announcement) &&
        kind != static_cast<uint32_t>(LanMessageKind::Answer)) {
        return Fail(error, LanParseError::UnknownKind);
    }
    m.kind = static_cast<LanMessageKind>(kind);
    std::copy(data + InfoHashOffset, data + InfoHashOffset + 20, m.info_hash.begin());
    std::copy(data + PeerIdOffset, data + PeerIdOffset + 20, m.peer_id.begin());
    return m;
}

}  // namespace engine
