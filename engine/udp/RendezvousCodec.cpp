#include "engine/udp/RendezvousCodec.h"

#include <algorithm>
#include <cstring>

namespace engine {

namespace {

// The suffix every identity carries after its node id.
constexpr std::array<uint8_t, 4> IdentitySuffix{'U', 'D', 'P', '0'};

// Offsets of the request head (REGISTER, LOOKUP and LOOKUP_REPLY).
constexpr size_t TypeOffset = 12;
constexpr size_t IdentityOffset = 16;
constexpr size_t RequestIdOffset = 28;
constexpr size_t LocalAddressOffset = 32;
constexpr size_t LocalPortOffset = 36;
constexpr size_t LookupMarkerOffset = 40;
constexpr size_t LookupCountOffset = 44;
// Bytes 40-43 of a LOOKUP hold 1.
constexpr uint32_t LookupMarker = 1;

// CALL_ME and PUNCH offsets.
constexpr size_t CallerOffset = 4;
constexpr size_t CallerAddressOffset = 20;
constexpr size_t CallerPortOffset = 24;
constexpr size_t PunchReceiverOffset = 20;
constexpr size_t PunchPortOffset = 32;
constexpr size_t PunchSenderOffset = 36;

uint32_t ReadRaw32(const uint8_t* p) {
    uint32_t value = 0;
    std::memcpy(&value, p, sizeof value);
    return value;
}

void WriteRaw32(uint8_t* p, uint32_t value) { std::memcpy(p, &value, sizeof value); }

template <size_t N>
std::array<uint8_t, N> ReadBytes(const uint8_t* p) {
    std::array<uint8_t, N> out{};
    std::copy_n(p, N, out.begin());
    return out;
}

bool AllZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

void WriteHead(std::vector<uint8_t>& out, const QURequestHead& head) {
    WriteBe32(out.data() + TypeOffset, head.type);
    std::copy(head.identity.begin(), head.identity.end(), out.begin() + IdentityOffset);
    WriteBe32(out.data() + RequestIdOffset, head.request_id);
    WriteRaw32(out.data() + LocalAddressOffset, head.local_address);
    WriteBe32(out.data() + LocalPortOffset, head.local_port);
}

QURequestHead ReadHead(const uint8_t* data) {
    QURequestHead head;
    head.type = ReadBe32(data + TypeOffset);
    head.identity = ReadBytes<12>(data + IdentityOffset);
    head.request_id = ReadBe32(data + RequestIdOffset);
    head.local_address = ReadRaw32(data + LocalAddressOffset);
    head.local_port = ReadBe32(data + LocalPortOffset);
    return head;
}

// The entry count a LOOKUP or LOOKUP_REPLY of `size` bytes can hold. The
// count field is 32 bits: comparing "size - 48 >= 16 N" in 32-bit arithmetic
// would wrap for a huge N, so the count is compared against this instead.
uint32_t EntriesThatFit(size_t size) {
    if (size < LookupHeadSize) return 0;
    return static_cast<uint32_t>(std::min<size_t>(LookupMaxEntries, (size - LookupHeadSize) / LookupEntrySize));
}

std::optional<QURendezvousRequest> ParseLookup(const uint8_t* data, size_t size) {
    if (size < LookupHeadSize + LookupEntrySize || size > LookupMaxSize) return std::nullopt;
    if ((size - LookupHeadSize) % LookupEntrySize != 0) return std::nullopt;
    if (ReadBe32(data + LookupMarkerOffset) != LookupMarker) return std::nullopt;
    const uint32_t count = ReadBe32(data + LookupCountOffset);
    if (count == 0 || count != (size - LookupHeadSize) / LookupEntrySize) return std::nullopt;
    QURendezvousRequest request{ReadHead(data), {}};
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = data + LookupHeadSize + i * LookupEntrySize;
        if (!AllZero(e + 4, 4)) return std::nullopt;
        request.entries.push_back(QULookupEntry{ReadRaw32(e), ReadBytes<8>(e + 8)});
    }
    return request;
}

}  // namespace

uint32_t ReadBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void WriteBe32(uint8_t* p, uint32_t value) {
    p[0] = uint8_t(value >> 24);
    p[1] = uint8_t(value >> 16);
    p[2] = uint8_t(value >> 8);
    p[3] = uint8_t(value);
}

QUIdentity MakeIdentity(const QUNodeId& node_id) {
    QUIdentity identity{};
    std::copy(node_id.begin(), node_id.end(), identity.begin());
    std::copy(IdentitySuffix.begin(), IdentitySuffix.end(), identity.begin() + 8);
    return identity;
}

QUNodeId IdentityNodeId(const QUIdentity& identity) { return ReadBytes<8>(identity.data()); }

bool IsPlaceholderId(const QUNodeId& node_id) { return node_id[0] == 0 && node_id[1] == 0; }

QUNodeId MakePlaceholderId(uint32_t address, uint16_t port) {
    QUNodeId id{};
    WriteRaw32(id.data() + 2, address);
    id[6] = uint8_t(port >> 8);
    id[7] = uint8_t(port);
    return id;
}

uint32_t PlaceholderAddress(const QUNodeId& node_id) { return ReadRaw32(node_id.data() + 2); }

uint16_t PlaceholderPort(const QUNodeId& node_id) { return uint16_t((node_id[6] << 8) | node_id[7]); }

QUDatagramKind ClassifyDatagram(const uint8_t* data, size_t size, bool from_server, const QUNodeId& own_node_id) {
    if (size > PingSize && data[0] == 'd') return QUDatagramKind::Bencoded;
    if (size == PingSize && from_server) return QUDatagramKind::PingReply;
    if (size < CallMeSize) return QUDatagramKind::Dropped;
    const uint32_t first = ReadBe32(data);
    if (first == CallMeMagic && size == CallMeSize) return QUDatagramKind::CallMe;
    if (first == 0 && size == PunchSize && AllZero(data, PunchReceiverOffset) &&
        std::equal(own_node_id.begin(), own_node_id.end(), data + PunchReceiverOffset)) {
        return QUDatagramKind::Punch;
    }
    if (size < StreamHeaderSize) return QUDatagramKind::Dropped;
    if (static_cast<int32_t>(first) > 0) return QUDatagramKind::StreamPacket;
    return from_server ? QUDatagramKind::LookupReply : QUDatagramKind::Dropped;
}

std::vector<uint8_t> BuildPing() { return std::vector<uint8_t>(PingSize, 0); }

bool IsPing(const uint8_t* data, size_t size) { return size == PingSize && AllZero(data, size); }

std::vector<uint8_t> BuildPingReply(const QUPingReply& reply) {
    std::vector<uint8_t> out(PingSize, 0);
    WriteRaw32(out.data(), reply.address);
    WriteBe32(out.data() + 4, reply.port);
    return out;
}

std::optional<QUPingReply> ParsePingReply(const uint8_t* data, size_t size) {
    if (size != PingSize) return std::nullopt;
    return QUPingReply{ReadRaw32(data), ReadBe32(data + 4)};
}

std::vector<uint8_t> BuildRegister(const QURequestHead& head) {
    std::vector<uint8_t> out(RegisterSize, 0);
    QURequestHead h = head;
    h.type = RequestTypeRegister;
    WriteHead(out, h);
    return out;
}

std::vector<uint8_t> BuildLookupHead(const QURequestHead& head) {
    std::vector<uint8_t> out(LookupHeadSize, 0);
    QURequestHead h = head;
    h.type = RequestTypeLookup;
    WriteHead(out, h);
    WriteBe32(out.data() + LookupMarkerOffset, LookupMarker);
    return out;
}

void AppendLookupEntry(std::vector<uint8_t>& lookup, const QULookupEntry& entry) {
    if (lookup.size() < LookupHeadSize) return;
    const size_t at = lookup.size();
    lookup.resize(at + LookupEntrySize, 0);
    WriteRaw32(lookup.data() + at, entry.address);
    std::copy(entry.node_id.begin(), entry.node_id.end(), lookup.begin() + long(at) + 8);
    const uint32_t count = ReadBe32(lookup.data() + LookupCountOffset);
    if (count < LookupMaxEntries) WriteBe32(lookup.data() + LookupCountOffset, count + 1);
}

std::optional<QURendezvousRequest> ParseRendezvousRequest(const uint8_t* data, size_t size) {
    if (size < RegisterSize || size > LookupMaxSize || !AllZero(data, TypeOffset)) return std::nullopt;
    const uint32_t type = ReadBe32(data + TypeOffset);
    if (type == RequestTypeRegister) {
        if (size != RegisterSize) return std::nullopt;
        return QURendezvousRequest{ReadHead(data), {}};
    }
    if (type == RequestTypeLookup) return ParseLookup(data, size);
    return std::nullopt;
}

std::vector<uint8_t> BuildLookupReply(const QURequestHead& head, const std::vector<QULookupReplyEntry>& entries) {
    std::vector<uint8_t> out(LookupHeadSize + entries.size() * LookupEntrySize, 0);
    QURequestHead h = head;
    h.type = ReplyTypeLookup;
    WriteHead(out, h);
    WriteBe32(out.data() + LookupMarkerOffset, LookupMarker);
    WriteBe32(out.data() + LookupCountOffset, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        uint8_t* e = out.data() + LookupHeadSize + i * LookupEntrySize;
        WriteRaw32(e, entries[i].address);
        WriteBe32(e + 4, entries[i].port);
        std::copy(entries[i].node_id.begin(), entries[i].node_id.end(), e + 8);
    }
    return out;
}

std::optional<QULookupReply> ParseLookupReply(const uint8_t* data, size_t size) {
    if (size < StreamHeaderSize || ReadBe32(data) != 0) return std::nullopt;
    if (ReadBe32(data + TypeOffset) != ReplyTypeLookup) return std::nullopt;
    QULookupReply reply;
    reply.identity = ReadBytes<12>(data + IdentityOffset);
    reply.request_id = ReadBe32(data + RequestIdOffset);
    const uint32_t count = ReadBe32(data + LookupCountOffset);
    reply.entries_valid = count <= EntriesThatFit(size);
    if (!reply.entries_valid) return reply;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = data + LookupHeadSize + i * LookupEntrySize;
        reply.entries.push_back(QULookupReplyEntry{ReadRaw32(e), ReadBe32(e + 4), ReadBytes<8>(e + 8)});
    }
    return reply;
}

std::vector<uint8_t> BuildCallMe(const QUCallMe& call) {
    std::vector<uint8_t> out(CallMeSize, 0);
    WriteBe32(out.data(), CallMeMagic);
    std::copy(call.caller.begin(), call.caller.end(), out.begin() + CallerOffset);
    WriteRaw32(out.data() + CallerAddressOffset, call.address);
    WriteBe32(out.data() + CallerPortOffset, call.port);
    return out;
}

std::optional<QUCallMe> ParseCallMe(const uint8_t* data, size_t size) {
    if (size != CallMeSize || ReadBe32(data) != CallMeMagic) return std::nullopt;
    return QUCallMe{ReadBytes<12>(data + CallerOffset), ReadRaw32(data + CallerAddressOffset),
                    ReadBe32(data + CallerPortOffset)};
}

std::vector<uint8_t> BuildPunch(const QUPunch& punch) {
    std::vector<uint8_t> out(PunchSize, 0);
    std::copy(punch.receiver.begin(), punch.receiver.end(), out.begin() + PunchReceiverOffset);
    out[PunchPortOffset] = uint8_t(punch.sender_local_port >> 8);
    out[PunchPortOffset + 1] = uint8_t(punch.sender_local_port);
    std::copy(punch.sender.begin(), punch.sender.end(), out.begin() + PunchSenderOffset);
    return out;
}

std::optional<QUPunch> ParsePunch(const uint8_t* data, size_t size) {
    if (size != PunchSize || !AllZero(data, PunchReceiverOffset)) return std::nullopt;
    QUPunch punch;
    punch.receiver = ReadBytes<12>(data + PunchReceiverOffset);
    punch.sender_local_port = uint16_t((data[PunchPortOffset] << 8) | data[PunchPortOffset + 1]);
    punch.sender = ReadBytes<12>(data + PunchSenderOffset);
    return punch;
}

}  // namespace engine
