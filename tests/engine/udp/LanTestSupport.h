#pragma once
// Helpers for the LAN discovery tests: a member of the multicast group that
// sends made-up messages and collects what the engine sends, and a TCP
// listener standing for a peer the engine should (or must not) connect to.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "engine/udp/LanMessage.h"
#include "platform/Socket.h"

namespace lan_test {

using Hash = std::array<uint8_t, 20>;

inline Hash Filled(uint8_t first) {
    Hash h{};
    for (size_t i = 0; i < h.size(); ++i) h[i] = static_cast<uint8_t>(first + i);
    return h;
}

// A group and port of this test process alone, so parallel test processes
// never hear each other.
inline uint32_t TestGroup() {
    const unsigned pid = static_cast<unsigned>(::getpid());
    return platform::MakeIpv4(239, 193, static_cast<uint8_t>(pid >> 8), static_cast<uint8_t>(pid));
}
inline uint16_t FreeUdpPort() {
    platform::SocketHandle s = platform::CreateUdpSocket();
    platform::SocketAddress local{0, 0};
    uint16_t port = 0;
    if (platform::Bind(s, local) && platform::LocalAddressOf(s, &local)) port = local.port;
    platform::CloseSocket(s);
    return port;
}

// A datagram socket that sends to the group from `source`; with `member` it
// also binds the group's port and receives what is sent to the group.
class GroupSocket {
public:
    GroupSocket(uint32_t group, uint16_t port, uint32_t source, bool member) : m_group(group), m_port(port) {
        m_socket = platform::CreateUdpSocket();
        platform::SetReuseAddress(m_socket, true);
        m_ok = platform::Bind(m_socket, platform::SocketAddress{member ? 0 : source, member ? port : uint16_t{0}}) &&
               (!member || platform::JoinMulticastGroup(m_socket, group, source)) &&
               platform::SetMulticastInterface(m_socket, source) && platform::SetMulticastLoop(m_socket, true) &&
               platform::SetNonBlocking(m_socket, true);
    }
    ~GroupSocket() { platform::CloseSocket(m_socket); }
    GroupSocket(const GroupSocket&) = delete;
    GroupSocket& operator=(const GroupSocket&) = delete;

    bool Ok() const { return m_ok; }
    void Send(const uint8_t* data, size_t length) {
        ASSERT_EQ(platform::SendTo(m_socket, data, length, platform::SocketAddress{m_group, m_port}),
                  static_cast<int64_t>(length));
    }
    void Send(const engine::LanMessage& m) {
        const engine::LanDatagram bytes = engine::BuildLanMessage(m);
        Send(bytes.data(), bytes.size());
    }
    // Every well-formed message that arrived, in order, until `until` holds
    // for one of them or `limit` passes.
    std::vector<engine::LanMessage> Collect(const std::function<bool(const engine::LanMessage&)>& until,
                                            std::chrono::milliseconds limit) {
        std::vector<engine::LanMessage> out;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            std::vector<platform::PollEntry> poll{{m_socket, true, false, false, false, false}};
            if (platform::PollSockets(poll, std::max<int>(0, static_cast<int>(left.count()))) <= 0) return out;
            std::array<uint8_t, 64> buffer{};
            platform::SocketAddress from;
            const int64_t got = platform::RecvFrom(m_socket, buffer.data(), buffer.size(), &from);
            if (got <= 0) continue;
            if (auto m = engine::ParseLanMessage(buffer.data(), static_cast<size_t>(got))) {
                out.push_back(*m);
                if (until(*m)) return out;
            }
        }
    }

private:
    uint32_t m_group;
    uint16_t m_port;
    platform::SocketHandle m_socket = platform::InvalidSocket;
    bool m_ok = false;
};

// A TCP listener standing for a peer: tells whether someone connected and
// which torrent its BitTorrent handshake asked for.
class PeerListener {
public:
    explicit PeerListener(uint32_t address) : m_address(address) {
        m_socket = platform::CreateTcpSocket();
        platform::SocketAddress local{address, 0};
        platform::SetReuseAddress(m_socket, true);
        if (platform::Bind(m_socket, local) && platform::Listen(m_socket, 8) &&
            platform::LocalAddressOf(m_socket, &local)) {
            m_port = local.port;
        }
    }
    ~PeerListener() {
        if (m_peer != platform::InvalidSocket) platform::CloseSocket(m_peer);
        platform::CloseSocket(m_socket);
    }
    PeerListener(const PeerListener&) = delete;
    PeerListener& operator=(const PeerListener&) = delete;

    uint32_t Address() const { return m_address; }
    uint16_t Port() const { return m_port; }
    bool ConnectionWaiting(int timeout_ms) {
        std::vector<platform::PollEntry> poll{{m_socket, true, false, false, false, false}};
        return platform::PollSockets(poll, timeout_ms) > 0 && poll[0].readable;
    }
    // The info hash of the first handshake that arrives within `limit`.
    std::optional<Hash> AwaitHandshake(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        auto left = [&] {
            return std::max<int>(0, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         deadline - std::chrono::steady_clock::now())
                                                         .count()));
        };
        if (!ConnectionWaiting(left())) return std::nullopt;
        platform::SocketAddress from;
        m_peer = platform::Accept(m_socket, &from);
        std::string bytes;
        while (bytes.size() < 68) {
            std::vector<platform::PollEntry> poll{{m_peer, true, false, false, false, false}};
            if (platform::PollSockets(poll, left()) <= 0) return std::nullopt;
            char buffer[256];
            const int64_t got = platform::Recv(m_peer, buffer, sizeof buffer);
            if (got <= 0) return std::nullopt;
            bytes.append(buffer, static_cast<size_t>(got));
        }
        const size_t at = bytes.find("\x13" "BitTorrent protocol");
        if (at == std::string::npos || bytes.size() < at + 48) return std::nullopt;
        Hash hash{};
        std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(at + 28),
                  bytes.begin() + static_cast<std::ptrdiff_t>(at + 48), hash.begin());
        return hash;
    }

private:
    uint32_t m_address;
    uint16_t m_port = 0;
    platform::SocketHandle m_socket = platform::InvalidSocket;
    platform::SocketHandle m_peer = platform::InvalidSocket;
};

inline engine::LanMessage Message(uint32_t address, uint16_t port, engine::LanMessageKind kind, const Hash& info_hash,
                                  uint8_t peer) {
    engine::LanMessage m;
    m.address = address;
    m.port = port;
    m.kind = kind;
    m.info_hash = info_hash;
    m.peer_id = Filled(peer);
    return m;
}

}  // namespace lan_test
