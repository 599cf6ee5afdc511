// QUStreamCore: records, lists and the socket-like calls. Receiving is in
// QUStreamCoreReceive.cpp, sending and the timer passes in
// QUStreamCoreSend.cpp and QUStreamCoreTimers.cpp.

#include "engine/udp/QUStreamCore.h"

#include <algorithm>
#include <cerrno>

namespace engine {

namespace {

// Handles carry the slot index + 1 in the low 16 bits, so at most 65535
// records live at once; far above the 4096 accept backlog plus one stream per
// peer connection.
constexpr uint32_t MaxSlots = 0xFFFF;

int Fail(int error) {
    platform::SetLastSocketError(error);
    return -1;
}

QUHandle FailHandle(int error) {
    platform::SetLastSocketError(error);
    return InvalidQUHandle;
}

int Succeed(int result) {
    platform::SetLastSocketError(0);
    return result;
}

}  // namespace

QUStreamCore::QUStreamCore(QUStreamHost& host) : m_host(host) { SetNodeId(QUNodeId{}); }

QUStreamCore::~QUStreamCore() = default;

void QUStreamCore::SetNodeId(const QUNodeId& node_id) {
    m_node_id = node_id;
    m_identity = MakeQUIdentity(node_id);
}

void QUStreamCore::SetTimeoutSeconds(int32_t timeout_s) {
    if (timeout_s > 0) m_timeout_s = timeout_s;
}

void QUStreamCore::SetLocalAddress(uint32_t ip) { m_local_ip = ip; }

void QUStreamCore::SetTransportStopped(bool stopped) { m_transport_stopped = stopped; }

void QUStreamCore::SetServerRunning(bool running) { m_server_running = running; }

std::vector<QUStream*>& QUStreamCore::ListOf(QUList list) {
    switch (list) {
        case QUList::AcceptQueue:
            return m_accept_queue;
        case QUList::Bound:
            return m_bound;
        default:
            return m_streams;
    }
}

QUStream* QUStreamCore::NewRecord(const QUNow& now) {
    uint32_t index = 0;
    if (!m_free_slots.empty()) {
        index = m_free_slots.back();
        m_free_slots.pop_back();
    } else {
        if (m_slots.size() >= MaxSlots) return nullptr;
        index = static_cast<uint32_t>(m_slots.size());
        m_slots.emplace_back();
        m_generation.push_back(1);
    }
    bool recycled = false;
    if (m_slots[index]) {
        recycled = true;
        --m_pooled;
        *m_slots[index] = QUStream{};
    } else {
        m_slots[index] = std::make_unique<QUStream>();
    }
    QUStream* s = m_slots[index].get();
    s->handle = (uint32_t{m_generation[index]} << 16) | (index + 1);
    // The connection id tells a new connection between the same endpoints
    // from a repeated old one; the tick makes it grow over time. A reused
    // record adds one so two records made in the same tick still differ.
    s->connection_id = now.tick_ms + (recycled ? 1 : 0);
    if (s->connection_id == 0) s->connection_id = 1;  // 0 is the wildcard on the wire
    return s;
}

QUStream* QUStreamCore::FindAny(QUHandle h) const {
    const uint32_t index = (h & 0xFFFF);
    if (index == 0 || index > m_slots.size()) return nullptr;
    QUStream* s = m_slots[index - 1].get();
    if (!s || s->handle != h || s->list == QUList::Pool || s->list == QUList::None) return nullptr;
    return s;
}

QUStream* QUStreamCore::Find(QUHandle h, QUList list) const {
    QUStream* s = FindAny(h);
    return s && s->list == list ? s : nullptr;
}

void QUStreamCore::Move(QUStream* s, QUList to) {
    if (s->list != QUList::None && s->list != QUList::Pool) {
        auto& from = ListOf(s->list);
        from.erase(std::remove(from.begin(), from.end(), s), from.end());
    }
    s->list = to;
    if (to != QUList::None && to != QUList::Pool) ListOf(to).push_back(s);
}

void QUStreamCore::Recycle(QUStream* s) {
    Move(s, QUList::Pool);
    const uint32_t index = (s->handle & 0xFFFF) - 1;
    // A new generation at once: anything still naming the old handle misses.
    if (++m_generation[index] == 0) m_generation[index] = 1;
    if (m_pooled < MaxPooledRecords) {
        FreeSendSlots(s);
        for (auto& seg : s->read_queue) seg = QUSegment{};
        for (auto& seg : s->receive_window) seg = QUSegment{};
        s->handle = InvalidQUHandle;
        ++m_pooled;
    } else {
        m_slots[index].reset();
    }
    m_free_slots.push_back(index);
}

void QUStreamCore::SetState(QUStream* s, QUState state) { s->state = state; }

void QUStreamCore::FreeSendSlots(QUStream* s) {
    for (auto& slot : s->send_slots) slot = QUSendSlot{};
    s->used_slots = 0;
}

void QUStreamCore::Kill(QUStream* s) {
    SetState(s, QUState::Dead);
    FreeSendSlots(s);
}

QUHandle QUStreamCore::QUSocket(const QUNow& now) {
    QUStream* s = NewRecord(now);
    if (!s) return FailHandle(ENOBUFS);
    SetState(s, QUState::New);
    Move(s, QUList::Streams);
    platform::SetLastSocketError(0);
    return s->handle;
}

int QUStreamCore::QUBind(QUHandle h, const QSocketAddress* local) {
    if (!local) return Fail(platform::SocketError::Invalid);
    for (const QUStream* b : m_bound) {
        if (b->virtual_port == local->port) return Fail(platform::SocketError::AddressInUse);
    }
    QUStream* s = Find(h, QUList::Streams);
    if (!s) return Fail(platform::SocketError::NotSocket);
    if (s->state != QUState::New) return Fail(platform::SocketError::Invalid);
    Move(s, QUList::Bound);
    SetState(s, QUState::Bound);
    s->virtual_port = local->port;
    return Succeed(0);
}

int QUStreamCore::QUListen(QUHandle h, int backlog) {
    const int wanted = std::max({backlog, int{m_backlog}, 5});
    // Winsock's "not initialised": the server is not running.
    if (!m_server_running) return Fail(ENETDOWN);
    QUStream* s = Find(h, QUList::Bound);
    if (!s) return Fail(platform::SocketError::NotSocket);
    SetState(s, QUState::Listening);
    m_backlog = std::min(wanted, int{MaxBacklog});
    return Succeed(0);
}

QUHandle QUStreamCore::QUAccept(QUHandle h, QSocketAddress* peer, const QUNow& now) {
    if (m_transport_stopped) return FailHandle(platform::SocketError::Invalid);
    QUStream* listener = Find(h, QUList::Bound);
    if (!listener) return FailHandle(platform::SocketError::NotSocket);
    if (listener->state != QUState::Listening) return FailHandle(platform::SocketError::Invalid);
    for (auto it = m_accept_queue.rbegin(); it != m_accept_queue.rend(); ++it) {
        QUStream* s = *it;
        if (s->state != QUState::Established || s->virtual_port != listener->virtual_port) continue;
        Move(s, QUList::Streams);
        s->activity_s = now.seconds;
        if (peer) {
            peer->address = s->peer_ip;
            peer->port = s->peer_port;
            peer->node_id = NodeIdOf(s->target);
        }
        platform::SetLastSocketError(0);
        return s->handle;
    }
    return FailHandle(platform::SocketError::WouldBlock);
}

int QUStreamCore::QUConnect(QUHandle h, const QSocketAddress* to, const QUNow& now) {
    if (m_transport_stopped || !to || to->address == 0 || to->address == 0xFFFFFFFFu) {
        return Fail(platform::SocketError::NetworkUnreachable);
    }
    QUStream* s = Find(h, QUList::Streams);
    if (!s) return Fail(platform::SocketError::NotSocket);
    if (s->state != QUState::New) return Fail(platform::SocketError::Interrupted);
    SetState(s, QUState::Resolving);
    s->activity_s = now.seconds;
    s->peer_ip = to->address;
    s->peer_port = to->port;
    s->virtual_port = to->port;
    s->target = MakeQUIdentity(to->node_id);
    s->last_lookup_s = now.seconds - 1;
    s->lookup_id = m_host.RequestLookup(s->peer_ip, to->node_id);
    // Completion shows through QUSelect (writable) or Inspect.
    return Fail(platform::SocketError::WouldBlock);
}

int64_t QUStreamCore::QUSend(QUHandle h, const uint8_t* data, int64_t length, const QUNow& now) {
    if (m_transport_stopped || h == InvalidQUHandle || !data || length < 0) {
        return Fail(platform::SocketError::Invalid);
    }
    QUStream* s = Find(h, QUList::Streams);
    // An unknown handle is an error, not "try again": the caller would spin.
    if (!s) return Fail(platform::SocketError::NotSocket);
    if (s->state == QUState::Connecting) return Fail(platform::SocketError::WouldBlock);
    if (s->state != QUState::Established) return Fail(platform::SocketError::NotConnected);
    const int64_t queued = QueueData(s, data, length, now);
    if (queued == 0) return Fail(platform::SocketError::WouldBlock);
    platform::SetLastSocketError(0);
    return queued;
}

int64_t QUStreamCore::QURecv(QUHandle h, uint8_t* buffer, int64_t size) {
    if (m_transport_stopped || h == InvalidQUHandle || !buffer || size <= 0) {
        return Fail(platform::SocketError::Invalid);
    }
    QUStream* s = Find(h, QUList::Streams);
    if (!s) return Fail(platform::SocketError::NotSocket);
    if (s->state == QUState::Connecting) return Fail(platform::SocketError::WouldBlock);
    // A stream the peer closed (or that timed out) still hands out what
    // arrived in order before; only then does the reader learn it is gone.
    const bool dead_with_data = s->state == QUState::Dead && s->connected;
    if (s->state != QUState::Established && !dead_with_data) return Fail(platform::SocketError::NotConnected);
    const int64_t copied = CopyOut(s, buffer, size);
    if (copied == 0) {
        return Fail(s->state == QUState::Dead ? platform::SocketError::NotConnected
                                              : platform::SocketError::WouldBlock);
    }
    platform::SetLastSocketError(0);
    return copied;
}

int QUStreamCore::QUSelect(std::vector<QUHandle>* read, std::vector<QUHandle>* write,
                           std::vector<QUHandle>* error) {
    auto readable = [this](QUHandle h) {
        if (const QUStream* l = Find(h, QUList::Bound)) {
            if (l->state != QUState::Listening) return false;
            return std::any_of(m_accept_queue.begin(), m_accept_queue.end(), [l](const QUStream* s) {
                return s->state == QUState::Established && s->virtual_port == l->virtual_port;
            });
        }
        const QUStream* s = Find(h, QUList::Streams);
        if (!s) return false;
        if (s->state == QUState::Dead) return true;
        return s->connected && (s->read_count > 0 || s->receive_window[0].used);
    };
    auto writable = [this](QUHandle h) {
        const QUStream* s = Find(h, QUList::Streams);
        return s && (s->state == QUState::Dead || (s->connected && s->used_slots < QUWindow));
    };
    auto failed = [this](QUHandle h) {
        const QUStream* s = Find(h, QUList::Streams);
        return s && s->state == QUState::Dead;
    };
    auto keep = [](std::vector<QUHandle>* set, auto&& test) {
        if (!set) return 0;
        set->erase(std::remove_if(set->begin(), set->end(), [&](QUHandle h) { return !test(h); }), set->end());
        return static_cast<int>(set->size());
    };
    const int total = keep(read, readable) + keep(write, writable) + keep(error, failed);
    platform::SetLastSocketError(0);
    return total;
}

int QUStreamCore::QUGetSockName(QUHandle h, QSocketAddress* local) {
    if (!local) return Fail(platform::SocketError::Invalid);
    const QUStream* s = Find(h, QUList::Streams);
    if (!s) return Fail(platform::SocketError::NotSocket);
    if (!s->connected) return Fail(platform::SocketError::NotConnected);
    local->address = m_local_ip;
    local->port = s->virtual_port;
    local->node_id = m_node_id;
    return Succeed(0);
}

int QUStreamCore::QUCloseSocket(QUHandle h) {
    if (QUStream* s = Find(h, QUList::Streams)) {
        if (s->connected && s->state != QUState::Dead) {
            SendControl(s, QUWire::Close, {s->virtual_port, s->handle, s->connection_id}, true);
        }
        Recycle(s);
        return Succeed(0);
    }
    if (QUStream* l = Find(h, QUList::Bound)) {
        const uint16_t port = l->virtual_port;
        std::vector<QUStream*> waiting;
        for (QUStream* s : m_accept_queue) {
            if (s->virtual_port == port) waiting.push_back(s);
        }
        for (QUStream* s : waiting) Recycle(s);
        Recycle(l);
        return Succeed(0);
    }
    return Fail(platform::SocketError::NotSocket);
}

void QUStreamCore::QUCleanup() {
    for (auto* list : {&m_streams, &m_accept_queue, &m_bound}) {
        while (!list->empty()) Recycle(list->back());
    }
}

bool QUStreamCore::Inspect(QUHandle h, QUStreamInfo* info) const {
    const QUStream* s = FindAny(h);
    if (!s || !info) return false;
    info->state = s->state;
    info->connected = s->connected;
    info->incoming = s->incoming;
    info->used_send_slots = s->used_slots;
    info->loss_percent = LossPercent(*s);
    info->segment_size = SegmentSizeFor(info->loss_percent);
    info->bytes_acknowledged = s->bytes_acknowledged;
    info->bytes_received = s->bytes_received;
    info->packets_sent_total = s->packets_sent_total;
    info->packets_retransmitted_total = s->packets_retransmitted_total;
    return true;
}

}  // namespace engine
