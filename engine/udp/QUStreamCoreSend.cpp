// QUStreamCore: building and sending packets, the loss estimate and the
// queueing of outgoing data.

#include <algorithm>
#include <cstring>

#include "engine/udp/QUStreamCore.h"

namespace engine {

namespace {

using QUWire::Put32;

uint32_t IdentityWord(const QUIdentity& identity, size_t k) { return QUWire::Get32(identity.data() + 4 * k); }

// The loss estimate only means something once a few packets went out; until
// then assume the path loses half, so a new stream starts gently.
constexpr uint32_t MinPacketsForEstimate = 23;
constexpr int UnknownLossPercent = 50;
// The estimate's window starts again after two minutes, so an old bad spell
// does not hold a recovered path down.
constexpr int64_t LossWindowSeconds = 120;
// Above this loss the segments are halved: a lost small segment costs less.
constexpr int SmallSegmentLossPercent = 30;
// A DATA packet built by QUSend counts as sent 5 ms earlier than now.
constexpr uint32_t FirstSendBackdateMs = 5;

}  // namespace

int QUStreamCore::LossPercent(const QUStream& s) {
    if (s.packets_sent <= MinPacketsForEstimate) return UnknownLossPercent;
    return static_cast<int>(uint64_t{s.packets_retransmitted} * 100 / s.packets_sent);
}

uint32_t QUStreamCore::SegmentSizeFor(int loss_percent) {
    return loss_percent <= SmallSegmentLossPercent ? QUWire::LargeSegment : QUWire::SmallSegment;
}

int QUStreamCore::LossEstimate(QUStream* s, const QUNow& now) {
    if (now.seconds - s->window_start_s > LossWindowSeconds) {
        s->window_start_s = now.seconds;
        s->packets_sent = 0;
        s->packets_retransmitted = 0;
    }
    return LossPercent(*s);
}

int QUStreamCore::Allowance(QUStream* s, const QUNow& now) {
    // Immediate sends shrink with loss: 12 without loss, 6 at 50 %, 0 at 100 %.
    const int loss = LossEstimate(s, now);
    return std::clamp((1260 - 12 * loss) / 100, 0, QUWindow);
}

QUSendResult QUStreamCore::SendTo(const uint8_t* data, size_t length, const QUStream* s) {
    return m_host.SendDatagram(data, length, platform::SocketAddress{s->peer_ip, s->peer_port});
}

QUSendResult QUStreamCore::SendControl(QUStream* s, uint32_t type, const std::array<uint32_t, 8>& body,
                                       bool twice) {
    QUWire::Head head;
    const bool own_handle = type == QUWire::Connect || type == QUWire::ConnectAck;
    head.handle = own_handle ? s->handle : s->peer_handle;
    head.sequence = QUWire::UsesCounter(type) ? ++s->packet_counter : static_cast<uint32_t>(s->last_peer_sequence);
    head.type = type;
    head.receiver = s->target;
    const QUWire::Control packet = QUWire::BuildControl(head, body);
    QUSendResult result = SendTo(packet.data(), packet.size(), s);
    if (twice && result == QUSendResult::Sent) result = SendTo(packet.data(), packet.size(), s);
    return result;
}

void QUStreamCore::SendConnect(QUStream* s) {
    SendControl(s,
                QUWire::Connect,
                {s->peer_port, IdentityWord(m_identity, 0), IdentityWord(m_identity, 1), IdentityWord(m_identity, 2),
                 s->virtual_port, 0, 0, s->connection_id},
                true);
}

void QUStreamCore::SendConnectAck(QUStream* s) {
    SendControl(s,
                QUWire::ConnectAck,
                {s->addressed_port, IdentityWord(s->target, 0), IdentityWord(s->target, 1), IdentityWord(s->target, 2),
                 s->virtual_port, 0, s->connection_id, s->peer_handle},
                true);
}

void QUStreamCore::SendRefuse(const uint8_t* connect, platform::SocketAddress to) {
    QUWire::Control packet{};
    QUWire::Head head;
    head.handle = QUWire::Get32(connect + QUWire::HandleAt);
    head.sequence = QUWire::Get32(connect + QUWire::SequenceAt);
    head.type = QUWire::Refuse;
    std::memcpy(head.receiver.data(), connect + 36, head.receiver.size());
    QUWire::WriteHead(packet.data(), head);
    std::memcpy(packet.data() + QUWire::BodyAt, connect + QUWire::BodyAt, QUWire::HeaderSize - QUWire::BodyAt);
    QUWire::Seal(packet.data(), packet.size());
    m_host.SendDatagram(packet.data(), packet.size(), to);
}

QUSendResult QUStreamCore::SendDataSlot(QUStream* s, int index) {
    QUSendSlot& slot = s->send_slots[static_cast<size_t>(index)];
    QUWire::Head head;
    head.handle = s->peer_handle;
    head.sequence = ++s->packet_counter;
    head.type = QUWire::Data;
    head.receiver = s->target;
    QUWire::WriteHead(slot.packet.data(), head);
    QUWire::Seal(slot.packet.data(), slot.packet.size());
    const QUSendResult result = SendTo(slot.packet.data(), slot.packet.size(), s);
    if (result != QUSendResult::WouldBlock) {
        const uint32_t end = s->send_base + static_cast<uint32_t>(index) + 1;
        if (static_cast<int32_t>(end - s->sent_end) > 0) s->sent_end = end;
    }
    return result;
}

void QUStreamCore::DropLeadingEmptySlots(QUStream* s) {
    int empty = 0;
    while (empty < s->used_slots && !s->send_slots[static_cast<size_t>(empty)].used) ++empty;
    if (empty == 0) return;
    std::move(s->send_slots.begin() + empty, s->send_slots.begin() + s->used_slots, s->send_slots.begin());
    for (int i = s->used_slots - empty; i < s->used_slots; ++i) s->send_slots[static_cast<size_t>(i)] = QUSendSlot{};
    s->used_slots -= empty;
    s->send_base += static_cast<uint32_t>(empty);
}

bool QUStreamCore::SendFirstTime(QUStream* s, int index, const QUNow& now) {
    if (SendDataSlot(s, index) == QUSendResult::WouldBlock) return false;
    ++s->packets_sent;
    ++s->packets_sent_total;
    s->send_slots[static_cast<size_t>(index)].last_send_tick = NonZeroTick(now.tick_ms - FirstSendBackdateMs);
    return true;
}

int64_t QUStreamCore::QueueData(QUStream* s, const uint8_t* data, int64_t length, const QUNow& now) {
    DropLeadingEmptySlots(s);
    const int allowance = Allowance(s, now);
    // Segments queued beyond the allowance of an earlier call, or refused by
    // a full socket, go out as soon as the window has moved up to them:
    // left to the retransmission pass they would wait for its next tick,
    // and it sends only the first few slots of a window.
    for (int i = 0; i < std::min(s->used_slots, allowance); ++i) {
        const QUSendSlot& slot = s->send_slots[static_cast<size_t>(i)];
        if (slot.used && slot.last_send_tick == 0 && !SendFirstTime(s, i, now)) break;
    }
    const uint32_t segment = SegmentSizeFor(LossPercent(*s));
    int64_t queued = 0;
    while (s->used_slots < QUWindow && queued < length) {
        const int index = s->used_slots;
        const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(segment, length - queued));
        QUSendSlot& slot = s->send_slots[static_cast<size_t>(index)];
        slot.packet.assign(QUWire::HeaderSize + n, 0);
        Put32(slot.packet.data() + 32, n);
        Put32(slot.packet.data() + 36, s->send_base + static_cast<uint32_t>(index));
        std::memcpy(slot.packet.data() + QUWire::HeaderSize, data + queued, n);
        slot.used = true;
        slot.send_count = 0;
        slot.last_send_tick = 0;
        ++s->used_slots;
        queued += n;
        if (index < allowance) SendFirstTime(s, index, now);
    }
    return queued;
}

}  // namespace engine
