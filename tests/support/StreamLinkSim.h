#pragma once
// An in-process network for reliable-stream cores: nodes (each a
// QUStreamCore with its host), a link that delays, drops, duplicates and
// reorders datagrams from a seeded generator, a stand-in for the rendezvous
// server's lookups, and a virtual clock. Runs are deterministic: the same
// seed gives the same datagrams in the same order. Used by the stream tests
// and the stream benchmark; header-only so the benchmark needs no test
// library.

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "engine/udp/QUStreamCore.h"
#include "engine/udp/QUStreamPacket.h"
#include "platform/Socket.h"

namespace stream_sim {

using engine::QUHandle;
using engine::QUNodeId;
using engine::QUNow;
using engine::QUSendResult;
using engine::QUStreamCore;
using platform::SocketAddress;

struct LinkFaults {
    int drop_percent = 0;       // each datagram, independently
    int duplicate_percent = 0;  // a second copy, with its own delay
    int reorder_percent = 0;    // held back by up to `reorder_extra_ms`
    uint32_t delay_ms = 2;      // one way
    uint32_t reorder_extra_ms = 15;
    uint64_t seed = 1;
};

// Milliseconds since the run began, as the core sees them: a 32-bit tick that
// starts half a minute before it wraps, and engine seconds.
class VirtualClock {
public:
    static constexpr uint32_t StartTick = 0xFFFFFFFFu - 30000u;
    static constexpr int64_t StartSeconds = 1000;
    uint64_t elapsed_ms = 0;
    QUNow Now() const {
        return QUNow{static_cast<uint32_t>(StartTick + elapsed_ms),
                     StartSeconds + static_cast<int64_t>(elapsed_ms / 1000)};
    }
};

struct Datagram {
    SocketAddress from;
    SocketAddress to;
    std::vector<uint8_t> bytes;
    uint32_t Type() const { return bytes.size() >= 20 ? engine::QUWire::Get32(bytes.data() + 16) : 0; }
};

class Network;

// One node: its core and the host side the UDP server would provide.
class Node : public engine::QUStreamHost {
public:
    Node(Network& network, SocketAddress address, QUNodeId node_id, int32_t timeout_s);
    QUSendResult SendDatagram(const uint8_t* data, size_t length, SocketAddress to) override;
    int32_t RequestLookup(uint32_t ip, const QUNodeId& node_id) override;
    void ForgetPunch(SocketAddress) override { ++forgotten_punches; }

    Network& network;
    SocketAddress address;
    QUNodeId node_id;
    QUStreamCore core;
    // What SendDatagram answers; a test fills the socket with WouldBlock.
    QUSendResult send_result = QUSendResult::Sent;
    uint64_t send_attempts = 0;
    int forgotten_punches = 0;
};

class Network {
public:
    explicit Network(LinkFaults faults = {}) : m_faults(faults), m_random(faults.seed) {}

    Node& AddNode(SocketAddress address, QUNodeId node_id, int32_t timeout_s = 30) {
        m_nodes.push_back(std::make_unique<Node>(*this, address, node_id, timeout_s));
        return *m_nodes.back();
    }

    QUNow Now() const { return clock.Now(); }

    // The link: faults apply unless the datagram is injected by a test.
    void Send(const Datagram& d) {
        if (keep_log) sent.push_back(d);
        if (cut || (drop_if && drop_if(d))) return;
        if (Roll(m_faults.drop_percent)) return;
        Enqueue(d);
        if (Roll(m_faults.duplicate_percent)) Enqueue(d);
    }
    // Delivered at the next step, bypassing the faults.
    void Inject(const Datagram& d) { m_queue.emplace(std::make_tuple(clock.elapsed_ms, m_order++), d); }

    int32_t Lookup(Node& asker, uint32_t ip, const QUNodeId& node_id) {
        const int32_t id = ++m_lookup_counter;
        m_lookups.push_back(PendingLookup{clock.elapsed_ms + 2 * m_faults.delay_ms, &asker, ip, node_id, id});
        return id;
    }

    // Delivers what is due, runs every node's timers every 10 ms (as the
    // server loop does when idle) and calls `pump` after each step, until
    // `done` holds or `limit_ms` of virtual time have passed.
    bool RunUntil(const std::function<bool()>& done, uint64_t limit_ms, const std::function<void()>& pump = {}) {
        const uint64_t end = clock.elapsed_ms + limit_ms;
        for (;;) {
            DeliverDue();
            if (clock.elapsed_ms >= m_next_timer_ms) {
                for (auto& n : m_nodes) n->core.RunTimers(Now());
                m_next_timer_ms = clock.elapsed_ms + TimerStepMs;
            }
            if (pump) pump();
            if (done()) return true;
            if (clock.elapsed_ms >= end) return false;
            uint64_t next = m_next_timer_ms;
            if (!m_queue.empty()) next = std::min(next, std::get<0>(m_queue.begin()->first));
            for (const auto& l : m_lookups) next = std::min(next, l.due_ms);
            // Every source of events lies ahead now (link delays are at least
            // 1 ms), except datagrams a pump injected, due at once.
            clock.elapsed_ms = std::max(clock.elapsed_ms, std::min(next, end));
        }
    }
    void RunFor(uint64_t ms, const std::function<void()>& pump = {}) {
        RunUntil([] { return false; }, ms, pump);
    }

    size_t CountSent(uint32_t type, SocketAddress from) const {
        size_t n = 0;
        for (const auto& d : sent) n += d.Type() == type && d.from == from;
        return n;
    }

    static constexpr uint64_t TimerStepMs = 10;
    VirtualClock clock;
    bool cut = false;
    std::function<bool(const Datagram&)> drop_if;
    std::vector<Datagram> sent;  // everything offered to the link, in order
    bool keep_log = true;        // long transfers switch the log off

private:
    struct PendingLookup {
        uint64_t due_ms;
        Node* asker;
        uint32_t ip;
        QUNodeId node_id;
        int32_t id;
    };

    bool Roll(int percent) { return percent > 0 && std::uniform_int_distribution<int>(0, 99)(m_random) < percent; }

    void Enqueue(const Datagram& d) {
        uint64_t due = clock.elapsed_ms + std::max<uint32_t>(1, m_faults.delay_ms);
        if (Roll(m_faults.reorder_percent)) {
            due += std::uniform_int_distribution<uint32_t>(1, m_faults.reorder_extra_ms)(m_random);
        }
        m_queue.emplace(std::make_tuple(due, m_order++), d);
    }

    Node* NodeAt(SocketAddress a) {
        for (auto& n : m_nodes) {
            if (n->address == a) return n.get();
        }
        return nullptr;
    }

    void DeliverDue() {
        while (!m_queue.empty() && std::get<0>(m_queue.begin()->first) <= clock.elapsed_ms) {
            Datagram d = std::move(m_queue.begin()->second);
            m_queue.erase(m_queue.begin());
            if (Node* n = NodeAt(d.to)) n->core.OnStreamPacket(d.bytes.data(), d.bytes.size(), d.from, Now());
        }
        for (size_t i = 0; i < m_lookups.size();) {
            if (m_lookups[i].due_ms > clock.elapsed_ms) {
                ++i;
                continue;
            }
            const PendingLookup l = m_lookups[i];
            m_lookups.erase(m_lookups.begin() + static_cast<std::ptrdiff_t>(i));
            for (auto& n : m_nodes) {
                if (n->address.ip == l.ip && n->node_id == l.node_id) {
                    l.asker->core.OnLookupEntry(l.node_id, n->node_id, n->address.ip, n->address.port);
                }
            }
            l.asker->core.OnLookupDone(l.id);
        }
    }

    LinkFaults m_faults;
    std::mt19937_64 m_random;
    std::vector<std::unique_ptr<Node>> m_nodes;
    std::map<std::tuple<uint64_t, uint64_t>, Datagram> m_queue;  // (due, order)
    std::vector<PendingLookup> m_lookups;
    uint64_t m_order = 0;
    uint64_t m_next_timer_ms = 0;
    int32_t m_lookup_counter = 0;
};

inline Node::Node(Network& net, SocketAddress a, QUNodeId id, int32_t timeout_s)
    : network(net), address(a), node_id(id), core(*this) {
    core.SetNodeId(id);
    core.SetTimeoutSeconds(timeout_s);
    core.SetLocalAddress(a.ip);
    core.SetServerRunning(true);
}

inline QUSendResult Node::SendDatagram(const uint8_t* data, size_t length, SocketAddress to) {
    ++send_attempts;
    if (send_result == QUSendResult::Sent) network.Send(Datagram{address, to, std::vector<uint8_t>(data, data + length)});
    return send_result;
}

inline int32_t Node::RequestLookup(uint32_t ip, const QUNodeId& id) { return network.Lookup(*this, ip, id); }

// A deterministic byte stream, so 64 MiB need not be held to be compared.
class PatternBytes {
public:
    explicit PatternBytes(uint64_t seed) : m_state(seed | 1) {}
    void Fill(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = Next();
    }
    // True when `data` continues the stream.
    bool Matches(const uint8_t* data, size_t n) {
        bool same = true;
        for (size_t i = 0; i < n; ++i) same &= data[i] == Next();
        return same;
    }

private:
    uint8_t Next() {
        if (m_left == 0) {
            m_state ^= m_state << 13;
            m_state ^= m_state >> 7;
            m_state ^= m_state << 17;
            m_word = m_state;
            m_left = 8;
        }
        --m_left;
        const uint8_t b = static_cast<uint8_t>(m_word);
        m_word >>= 8;
        return b;
    }
    uint64_t m_state;
    uint64_t m_word = 0;
    int m_left = 0;
};

// Moves `total` bytes from `sender` to `receiver` as an application would:
// it writes while the stream takes data and reads while data waits.
class Transfer {
public:
    Transfer(Node& from, QUHandle out, Node& to, QUHandle in, uint64_t total, uint64_t seed = 7)
        : m_from(from), m_out(out), m_to(to), m_in(in), m_total(total), m_writer(seed), m_reader(seed) {}

    void Pump() {
        const QUNow now = m_from.network.Now();
        while (m_queued < m_total) {
            if (m_pending.empty()) {
                m_pending.resize(static_cast<size_t>(std::min<uint64_t>(ChunkBytes, m_total - m_queued)));
                m_writer.Fill(m_pending.data(), m_pending.size());
                m_pending_at = 0;
            }
            const int64_t n = m_from.core.QUSend(m_out, m_pending.data() + m_pending_at,
                                                 static_cast<int64_t>(m_pending.size() - m_pending_at), now);
            if (n <= 0) break;
            m_pending_at += static_cast<size_t>(n);
            m_queued += static_cast<uint64_t>(n);
            if (m_pending_at == m_pending.size()) m_pending.clear();
        }
        uint8_t buffer[ChunkBytes];
        for (;;) {
            const int64_t n = m_to.core.QURecv(m_in, buffer, sizeof buffer);
            if (n <= 0) break;
            m_intact = m_reader.Matches(buffer, static_cast<size_t>(n)) && m_intact;
            m_received += static_cast<uint64_t>(n);
        }
    }
    bool Done() const { return m_received >= m_total; }
    bool Intact() const { return m_intact && m_received == m_total; }
    uint64_t Received() const { return m_received; }

private:
    static constexpr size_t ChunkBytes = 16384;
    Node& m_from;
    QUHandle m_out;
    Node& m_to;
    QUHandle m_in;
    uint64_t m_total;
    PatternBytes m_writer;
    PatternBytes m_reader;
    std::vector<uint8_t> m_pending;
    size_t m_pending_at = 0;
    uint64_t m_queued = 0;
    uint64_t m_received = 0;
    bool m_intact = true;
};

// A connected pair: `server` listens on `virtual_port`, `client` connects.
struct Connection {
    QUHandle listener = engine::InvalidQUHandle;
    QUHandle client = engine::InvalidQUHandle;
    QUHandle accepted = engine::InvalidQUHandle;
};

inline Connection Connect(Network& net, Node& client, Node& server, uint16_t virtual_port,
                          uint64_t limit_ms = 60000) {
    Connection c;
    c.listener = server.core.QUSocket(net.Now());
    engine::QSocketAddress local{0, virtual_port, {}};
    server.core.QUBind(c.listener, &local);
    server.core.QUListen(c.listener, 5);
    c.client = client.core.QUSocket(net.Now());
    engine::QSocketAddress to{server.address.ip, virtual_port, server.node_id};
    client.core.QUConnect(c.client, &to, net.Now());
    net.RunUntil(
        [&] {
            if (c.accepted == engine::InvalidQUHandle) c.accepted = server.core.QUAccept(c.listener, nullptr, net.Now());
            engine::QUStreamInfo info;
            return c.accepted != engine::InvalidQUHandle && client.core.Inspect(c.client, &info) && info.connected;
        },
        limit_ms);
    return c;
}

}  // namespace stream_sim
