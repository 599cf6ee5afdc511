#include "tests/support/LossyUdpRelay.h"

#include <algorithm>

#include "platform/Clock.h"

namespace testing_support {

namespace {

// The thread looks at its stop flag at least this often.
constexpr int PollStepMs = 20;
// Datagrams taken from one socket before the others get their turn, so a
// flood one way cannot starve the other.
constexpr int BurstPerSocket = 64;
constexpr size_t MaxDatagram = 65536;

}  // namespace

LossyUdpRelay::LossyUdpRelay(LossyUdpRelayOptions options)
    : m_options(options),
      m_random(options.seed),
      m_drop(std::clamp(options.drop_percent, 0.0, 100.0) / 100.0),
      m_buffer(MaxDatagram) {}

LossyUdpRelay::~LossyUdpRelay() { Stop(); }

platform::SocketHandle LossyUdpRelay::OpenSocket(platform::SocketAddress local) const {
    const platform::SocketHandle s = platform::CreateUdpSocket();
    if (s == platform::InvalidSocket) return s;
    if (!platform::Bind(s, local)) {
        platform::CloseSocket(s);
        return platform::InvalidSocket;
    }
    platform::SetNonBlocking(s, true);
    platform::SetReceiveBufferSize(s, m_options.buffer_bytes);
    platform::SetSendBufferSize(s, m_options.buffer_bytes);
    return s;
}

bool LossyUdpRelay::Start() {
    if (m_thread.joinable()) return true;
    m_listen = OpenSocket(m_options.listen);
    platform::SocketAddress bound;
    if (m_listen == platform::InvalidSocket || !platform::LocalAddressOf(m_listen, &bound)) {
        if (m_listen != platform::InvalidSocket) platform::CloseSocket(m_listen);
        m_listen = platform::InvalidSocket;
        return false;
    }
    m_port = bound.port;
    m_stop.store(false);
    m_thread = std::thread([this] { Run(); });
    return true;
}

void LossyUdpRelay::Stop() {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
    for (Client& c : m_clients) platform::CloseSocket(c.socket);
    m_clients.clear();
    if (m_listen != platform::InvalidSocket) platform::CloseSocket(m_listen);
    m_listen = platform::InvalidSocket;
}

LossyUdpRelay::Counts LossyUdpRelay::Totals() const {
    return Counts{m_to_target.load(), m_to_target_dropped.load(), m_to_client.load(), m_to_client_dropped.load(),
                  m_cpu_seconds.load()};
}

bool LossyUdpRelay::Drop() { return m_drop(m_random); }

void LossyUdpRelay::Run() {
    const double cpu_start = platform::ThreadCpuSeconds();
    std::vector<platform::PollEntry> entries;
    while (!m_stop.load()) {
        entries.clear();
        entries.push_back(platform::PollEntry{m_listen, true});
        for (const Client& c : m_clients) entries.push_back(platform::PollEntry{c.socket, true});
        if (platform::PollSockets(entries, PollStepMs) <= 0) continue;
        if (entries[0].readable) FromClients();
        // Clients added just now are not in `entries`; the next round
        // polls them.
        for (size_t i = 1; i < entries.size(); ++i) {
            if (entries[i].readable) FromTarget(m_clients[i - 1]);
        }
        m_cpu_seconds.store(platform::ThreadCpuSeconds() - cpu_start);
    }
}

LossyUdpRelay::Client* LossyUdpRelay::ClientFor(platform::SocketAddress from) {
    for (Client& c : m_clients) {
        if (c.address == from) return &c;
    }
    if (m_clients.size() >= m_options.max_clients) return nullptr;
    const platform::SocketHandle s = OpenSocket(platform::SocketAddress{m_options.listen.ip, 0});
    if (s == platform::InvalidSocket) return nullptr;
    m_clients.push_back(Client{from, s});
    return &m_clients.back();
}

void LossyUdpRelay::FromClients() {
    for (int i = 0; i < BurstPerSocket; ++i) {
        platform::SocketAddress from;
        const int64_t n = platform::RecvFrom(m_listen, m_buffer.data(), m_buffer.size(), &from);
        if (n < 0) return;
        Client* client = ClientFor(from);
        if (!client) continue;
        if (Drop()) {
            m_to_target_dropped.fetch_add(1);
            continue;
        }
        platform::SendTo(client->socket, m_buffer.data(), static_cast<size_t>(n), m_options.target);
        m_to_target.fetch_add(1);
    }
}

void LossyUdpRelay::FromTarget(Client& client) {
    for (int i = 0; i < BurstPerSocket; ++i) {
        platform::SocketAddress from;
        const int64_t n = platform::RecvFrom(client.socket, m_buffer.data(), m_buffer.size(), &from);
        if (n < 0) return;
        // Only the target's answers go back: the per-client socket is not
        // an open door to the client.
        if (!(from == m_options.target)) continue;
        if (Drop()) {
            m_to_client_dropped.fetch_add(1);
            continue;
        }
        platform::SendTo(m_listen, m_buffer.data(), static_cast<size_t>(n), client.address);
        m_to_client.fetch_add(1);
    }
}

}  // namespace testing_support
