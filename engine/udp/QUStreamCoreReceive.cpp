// QUStreamCore: stream packets from the network, the handshake of both
// sides, and the receive side of the data path.

#include <algorithm>
#include <cstring>

#include "engine/udp/QUStreamCore.h"

namespace engine {

namespace {

using QUWire::Word;

int32_t SignedSequence(const uint8_t* p) { return static_cast<int32_t>(QUWire::Get32(p + QUWire::SequenceAt)); }

// Sequences wrap; their order is that of the signed difference.
int32_t Ahead(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

QUNodeId NodeIdAt(const uint8_t* p) {
    QUNodeId id{};
    std::memcpy(id.data(), p, id.size());
    return id;
}

template <typename Entry>
void ShiftDown(std::array<Entry, QUWindow>& entries) {
    std::move(entries.begin() + 1, entries.end(), entries.begin());
    entries.back() = Entry{};
}

}  // namespace

bool QUStreamCore::ReceiverChecks(const uint8_t* data, size_t length) const {
    if (!std::equal(m_node_id.begin(), m_node_id.end(), data + QUWire::IdentityAt)) return false;
    if (QUWire::Get32(data + QUWire::HandleAt) == 0) return false;
    return QUWire::Verify(data, length);
}

void QUStreamCore::OnStreamPacket(const uint8_t* data, size_t length, platform::SocketAddress from,
                                  const QUNow& now) {
    if (m_transport_stopped || !data || length < QUWire::HeaderSize || length > QUWire::MaxDatagram) return;
    if (!ReceiverChecks(data, length)) return;
    const QUWire::Head head = QUWire::ReadHead(data);
    if (head.type == QUWire::Connect) return OnConnect(data, from, now);
    if (head.type == QUWire::ConnectAck) return OnConnectAck(data, from, now);
    const QUList list = head.type == QUWire::Connected ? QUList::AcceptQueue : QUList::Streams;
    QUStream* s = Find(head.handle, list);
    if (!s || s->peer_ip != from.ip) return;
    switch (head.type) {
        case QUWire::Connected:
            return OnConnected(s, data, from, now);
        case QUWire::Refuse:
            return OnRefuse(s, data, from);
        case QUWire::KeepAlive:
            return OnKeepAlive(s, data, from, now);
        case QUWire::Close:
            return OnClose(s, data);
        default:
            break;
    }
    if (s->peer_port != from.port || s->state != QUState::Established) return;
    if (head.type == QUWire::Data) return OnData(s, data, length, now);
    if (head.type == QUWire::Ack) return OnAck(s, data, now);
    if (head.type == QUWire::SegmentAck) return OnSegmentAck(s, data, now);
}

// ---------------------------------------------------------------- responder

void QUStreamCore::OnConnect(const uint8_t* p, platform::SocketAddress from, const QUNow& now) {
    const uint32_t peer_handle = QUWire::Get32(p + QUWire::HandleAt);
    const uint32_t addressed_port = Word(p, 32);
    const uint32_t virtual_port = Word(p, 48);
    if (addressed_port == 0 || virtual_port == 0) return;
    m_host.ForgetPunch(from);
    if (OnRepeatedConnect(m_accept_queue, p, from, false)) return;
    if (OnRepeatedConnect(m_streams, p, from, true)) return;

    const auto listener = std::find_if(m_bound.begin(), m_bound.end(), [&](const QUStream* l) {
        return l->state == QUState::Listening && l->virtual_port == virtual_port;
    });
    if (listener == m_bound.end() || m_accept_queue.size() >= static_cast<size_t>(m_backlog)) {
        return SendRefuse(p, from);
    }
    QUStream* s = NewRecord(now);
    if (!s) return SendRefuse(p, from);
    s->incoming = true;
    s->peer_ip = from.ip;
    s->peer_port = from.port;
    s->peer_handle = peer_handle;
    s->activity_s = now.seconds;
    s->last_peer_sequence = SignedSequence(p);
    s->addressed_port = addressed_port;
    s->virtual_port = static_cast<uint16_t>(virtual_port);
    s->connection_id = Word(p, 60);
    std::memcpy(s->target.data(), p + 36, s->target.size());
    SetState(s, QUState::Accepting);
    Move(s, QUList::AcceptQueue);
    SendConnectAck(s);
}

// Looks for the half-open or open record a CONNECT repeats. True when the
// CONNECT has been dealt with; records it supersedes die.
bool QUStreamCore::OnRepeatedConnect(const std::vector<QUStream*>& list, const uint8_t* p,
                                     platform::SocketAddress from, bool established_only) {
    const uint32_t peer_handle = QUWire::Get32(p + QUWire::HandleAt);
    const uint32_t virtual_port = Word(p, 48);
    const uint32_t connection_id = Word(p, 60);
    const QUNodeId node_id = NodeIdAt(p + 36);
    for (QUStream* r : list) {  // Kill leaves the lists as they are
        if (r->state == QUState::Dead || r->peer_ip != from.ip || r->peer_port != from.port) continue;
        if (r->peer_handle != peer_handle || r->virtual_port != virtual_port || NodeIdOf(r->target) != node_id) {
            continue;
        }
        if (established_only && (!r->incoming || r->state != QUState::Established)) continue;
        if (connection_id == 0 || connection_id == r->connection_id) {
            if (r->state == QUState::Accepting || SignedSequence(p) <= r->last_peer_sequence) return true;
            SendConnectAck(r);
            return true;
        }
        // A newer connection between the same endpoints replaces this one;
        // an id far above ours is an older one from before the tick wrapped.
        if (r->connection_id < connection_id || r->connection_id - connection_id > 0xFFFFFF) {
            Kill(r);
            continue;
        }
        return true;  // an older CONNECT arriving late
    }
    return false;
}

void QUStreamCore::OnConnected(QUStream* s, const uint8_t* p, platform::SocketAddress from, const QUNow& now) {
    if (s->state != QUState::Accepting || !s->incoming) return;
    if (s->packet_counter < QUWire::Get32(p + QUWire::SequenceAt)) return;
    const uint32_t connection_id = Word(p, 32);
    if (connection_id != 0 && connection_id != s->connection_id) return;
    s->peer_port = from.port;
    s->activity_s = now.seconds;
    SetState(s, QUState::Established);
    s->connected = true;
}

// ---------------------------------------------------------------- initiator

void QUStreamCore::OnConnectAck(const uint8_t* p, platform::SocketAddress from, const QUNow& now) {
    QUStream* s = Find(Word(p, 60), QUList::Streams);
    if (!s || s->incoming || s->virtual_port != Word(p, 48) || s->peer_ip != from.ip) return;
    if (s->peer_port != Word(p, 32) || s->last_peer_sequence >= SignedSequence(p)) return;
    const uint32_t peer_handle = QUWire::Get32(p + QUWire::HandleAt);
    if (s->peer_handle != 0 && s->peer_handle != peer_handle) return;
    if (NodeIdAt(p + 36) != m_node_id) return;
    if (s->state != QUState::Connecting && s->state != QUState::Established) return;
    const uint32_t connection_id = Word(p, 56);
    if (connection_id != 0 && connection_id != s->connection_id) return;
    s->peer_port = from.port;
    s->peer_handle = peer_handle;
    s->last_peer_sequence = SignedSequence(p);
    s->activity_s = now.seconds;
    SetState(s, QUState::Established);
    s->connected = true;
    SendControl(s, QUWire::Connected, {s->connection_id}, true);
}

void QUStreamCore::OnRefuse(QUStream* s, const uint8_t* p, platform::SocketAddress from) {
    if (s->state != QUState::Connecting || s->peer_ip != from.ip) return;
    if (Word(p, 32) != s->peer_port || Word(p, 48) != s->virtual_port) return;
    Kill(s);
}

void QUStreamCore::OnPunch(const uint8_t* data, size_t length, platform::SocketAddress from) {
    if (m_transport_stopped || !data || length != PunchSize) return;
    const uint16_t sender_port = static_cast<uint16_t>((data[32] << 8) | data[33]);
    const QUNodeId sender = NodeIdAt(data + 36);
    for (QUStream* s : m_streams) {
        if (s->peer_ip != from.ip) continue;
        if (s->state != QUState::Resolving && s->state != QUState::Connecting) continue;
        if (s->state == QUState::Resolving && IsPlaceholderFor(NodeIdOf(s->target), from.ip, sender_port)) {
            std::copy(sender.begin(), sender.end(), s->target.begin());
        }
        if (NodeIdOf(s->target) != sender) continue;
        SetState(s, QUState::Connecting);
        s->lookup_id = -1;
        s->peer_port = from.port;
        SendConnect(s);
    }
}

void QUStreamCore::OnLookupEntry(const QUNodeId& asked, const QUNodeId& node_id, uint32_t ip, uint32_t port) {
    // 0xFFFFFFFF means "not registered"; such an entry resolves nothing, and
    // the stream dies with the reply instead of connecting to port 65535.
    if (port == 0 || port > 0xFFFF || ip == 0) return;
    for (QUStream* s : m_streams) {
        if (s->state != QUState::Resolving || NodeIdOf(s->target) != asked) continue;
        std::copy(node_id.begin(), node_id.end(), s->target.begin());
        s->peer_ip = ip;
        s->peer_port = static_cast<uint16_t>(port);
        s->lookup_id = -1;
        SetState(s, QUState::Connecting);
    }
}

void QUStreamCore::OnLookupDone(int32_t request_id) {
    for (QUStream* s : m_streams) {
        if (s->state == QUState::Resolving && s->lookup_id == request_id) Kill(s);
    }
}

// ---------------------------------------------------------------- data path

void QUStreamCore::OnData(QUStream* s, const uint8_t* p, size_t length, const QUNow& now) {
    const uint32_t sequence = Word(p, 36);
    int32_t ahead = Ahead(sequence, s->receive_base);
    if (ahead >= QUWindow) {
        MoveToReadQueue(s);
        ahead = Ahead(sequence, s->receive_base);
        if (ahead >= QUWindow) return;
    }
    const uint32_t payload = Word(p, 32);
    if (uint64_t{payload} + QUWire::HeaderSize != length) return;
    // An empty segment would read as the end of the stream, and no sender
    // makes one larger than the large segment size.
    if (payload == 0 || payload > QUWire::LargeSegment) return;
    if (ahead >= 0) {
        QUSegment& entry = s->receive_window[static_cast<size_t>(ahead)];
        if (!entry.used) {
            entry.used = true;
            entry.sequence = sequence;
            entry.read_offset = 0;
            entry.payload.assign(p + QUWire::HeaderSize, p + length);
            s->bytes_received += payload;
        }
    }
    // Duplicates too: the peer evidently missed our acknowledgement.
    s->activity_s = now.seconds;
    s->last_ack_tick = 0;
}

void QUStreamCore::OnAck(QUStream* s, const uint8_t* p, const QUNow& now) {
    const uint32_t receive_base = Word(p, 36);
    // The peer cannot hold what was never sent: such an ACK would free every
    // slot and lose their data without a trace.
    if (Ahead(receive_base, s->sent_end) > 0) return;
    const uint32_t peer_send_base = Word(p, 32);
    if (Ahead(peer_send_base, s->peer_send_base) > 0) s->peer_send_base = peer_send_base;
    std::array<bool, QUWindow> acknowledged{};
    std::array<bool, QUWindow> held{};  // beyond the receive base: delivered out of order
    for (int i = 0; i < s->used_slots; ++i) {
        const QUSendSlot& slot = s->send_slots[static_cast<size_t>(i)];
        const uint32_t sequence = s->send_base + static_cast<uint32_t>(i);
        if (!slot.used || Ahead(sequence, s->sent_end) >= 0) continue;
        const int32_t d = Ahead(sequence, receive_base);
        if (d >= 0 && (d >= QUWindow || p[40 + d] != 1)) continue;
        acknowledged[static_cast<size_t>(i)] = true;
        held[static_cast<size_t>(i)] = d >= 0;
    }
    // A segment the peer still lacks while it holds one sent after it (or
    // in the same burst, after it in order) was most likely lost on the way:
    // the retransmission pass sends it again once reordering no longer
    // explains the gap, instead of leaving the window standing still for a
    // whole time-out. A resend moves its send moment past the later
    // segment's, so the same evidence never asks for it twice.
    bool later_held = false;
    uint32_t newest_held_send = 0;
    for (int i = s->used_slots - 1; i >= 0; --i) {
        const auto k = static_cast<size_t>(i);
        const QUSendSlot& slot = s->send_slots[k];
        if (held[k]) {
            if (!later_held || Ahead(slot.last_send_tick, newest_held_send) > 0) newest_held_send = slot.last_send_tick;
            later_held = true;
        } else if (!acknowledged[k] && slot.used && slot.last_send_tick != 0 && later_held) {
            if (Ahead(newest_held_send, slot.last_send_tick) >= 0) s->send_slots[k].missing = true;
        }
    }
    for (int i = 0; i < s->used_slots; ++i) {
        const auto k = static_cast<size_t>(i);
        if (!acknowledged[k]) continue;
        s->bytes_acknowledged += Word(s->send_slots[k].packet.data(), 32);
        s->send_slots[k] = QUSendSlot{};
    }
    // The window opens now, not at the next pass: a writer waiting for the
    // stream to become writable refills it at once.
    DropLeadingEmptySlots(s);
    s->activity_s = now.seconds;
}

void QUStreamCore::OnSegmentAck(QUStream* s, const uint8_t* p, const QUNow& now) {
    const uint32_t sequence = Word(p, 36);
    const int32_t index = Ahead(sequence, s->send_base);
    if (index < 0 || index >= s->used_slots || Ahead(sequence, s->sent_end) >= 0) return;
    QUSendSlot& slot = s->send_slots[static_cast<size_t>(index)];
    if (!slot.used) return;
    s->activity_s = now.seconds;
    if (std::memcmp(slot.packet.data() + 32, p + 32, 8) != 0) return;
    s->bytes_acknowledged += Word(p, 32);
    slot = QUSendSlot{};
    DropLeadingEmptySlots(s);
}

void QUStreamCore::OnKeepAlive(QUStream* s, const uint8_t* p, platform::SocketAddress from, const QUNow& now) {
    if (s->state != QUState::Established || Word(p, 32) != s->virtual_port) return;
    s->peer_port = from.port;  // the peer's NAT may have moved it
    s->activity_s = now.seconds;
}

void QUStreamCore::OnClose(QUStream* s, const uint8_t* p) {
    if (s->state != QUState::Established || Word(p, 32) != s->virtual_port) return;
    const uint32_t connection_id = Word(p, 40);
    const uint32_t peer_handle = Word(p, 36);
    if (connection_id != 0 && connection_id != s->connection_id) return;
    if (peer_handle != 0 && peer_handle != s->peer_handle) return;
    Kill(s);
}

void QUStreamCore::MoveToReadQueue(QUStream* s) {
    while (s->read_count < QUWindow && s->receive_window[0].used) {
        s->receive_base = s->receive_window[0].sequence + 1;
        s->read_queue[static_cast<size_t>(s->read_count++)] = std::move(s->receive_window[0]);
        ShiftDown(s->receive_window);
    }
}

int64_t QUStreamCore::CopyOut(QUStream* s, uint8_t* buffer, int64_t size) {
    int64_t copied = 0;
    auto take = [&](QUSegment& seg) {
        const size_t n = std::min(static_cast<size_t>(size - copied), seg.payload.size() - seg.read_offset);
        std::memcpy(buffer + copied, seg.payload.data() + seg.read_offset, n);
        seg.read_offset += n;
        copied += static_cast<int64_t>(n);
        return seg.read_offset == seg.payload.size();
    };
    while (copied < size && s->read_count > 0) {
        if (!take(s->read_queue[0])) return copied;
        ShiftDown(s->read_queue);
        --s->read_count;
    }
    while (copied < size && s->read_count == 0 && s->receive_window[0].used) {
        if (!take(s->receive_window[0])) return copied;
        s->receive_base = s->receive_window[0].sequence + 1;
        ShiftDown(s->receive_window);
    }
    return copied;
}

}  // namespace engine
