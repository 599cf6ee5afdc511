#pragma once
// Test doubles for the UDP server: a socket that records what the server
// sends and hands it queued datagrams, a clock the test moves, and a stream
// layer that records what the server gives it. Used by one test thread (the
// server is driven pass by pass, without its thread).

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/udp/QUInternalServer.h"
#include "engine/udp/RendezvousCodec.h"
#include "platform/Socket.h"

namespace udp_test {

inline uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return platform::MakeIpv4(a, b, c, d); }

struct Sent {
    std::vector<uint8_t> bytes;
    uint32_t address = 0;
    uint16_t port = 0;
};

struct SocketScript {
    std::deque<Sent> incoming;  // address/port = the source
    std::vector<Sent> sent;
    std::deque<engine::QUSendStatus> send_results;  // then Sent
    std::deque<engine::QUOpenResult> open_results;  // then Ok
    std::vector<uint16_t> opened_ports;
    int closes = 0;
    bool recv_fails = false;
};

class FakeSocket final : public engine::QUDatagramSocket {
public:
    explicit FakeSocket(SocketScript* script) : m_script(script) {}
    engine::QUOpenResult Open(uint16_t port, int) override {
        m_open = false;
        engine::QUOpenResult r = engine::QUOpenResult::Ok;
        if (!m_script->open_results.empty()) {
            r = m_script->open_results.front();
            m_script->open_results.pop_front();
        }
        if (r == engine::QUOpenResult::Ok) {
            m_open = true;
            m_script->opened_ports.push_back(port);
        }
        return r;
    }
    void Close() override {
        if (m_open) ++m_script->closes;
        m_open = false;
    }
    bool IsOpen() const override { return m_open; }
    engine::QUSendStatus SendTo(const uint8_t* data, size_t size, uint32_t address, uint16_t port) override {
        engine::QUSendStatus r = engine::QUSendStatus::Sent;
        if (!m_script->send_results.empty()) {
            r = m_script->send_results.front();
            m_script->send_results.pop_front();
        }
        if (r == engine::QUSendStatus::Sent) m_script->sent.push_back(Sent{{data, data + size}, address, port});
        return r;
    }
    engine::QURecvResult RecvFrom(uint8_t* buffer, size_t capacity) override {
        engine::QURecvResult r;
        if (m_script->recv_fails) {
            m_script->recv_fails = false;
            r.status = engine::QURecvStatus::Failed;
            return r;
        }
        if (m_script->incoming.empty()) return r;
        Sent in = std::move(m_script->incoming.front());
        m_script->incoming.pop_front();
        r.status = engine::QURecvStatus::Datagram;
        r.size = std::min(in.bytes.size(), capacity);
        std::copy_n(in.bytes.begin(), r.size, buffer);
        r.address = in.address;
        r.port = in.port;
        return r;
    }
    int LastError() const override { return 99; }

private:
    SocketScript* m_script;
    bool m_open = false;
};

class ManualClock final : public engine::QUClock {
public:
    uint32_t TickMs() override { return ms; }
    int64_t Seconds() override { return seconds; }
    void Advance(int64_t s) {
        seconds += s;
        ms += static_cast<uint32_t>(s * 1000);
    }
    uint32_t ms = 5000;
    int64_t seconds = 1000;
};

struct Resolved {
    engine::QUNodeId target{};
    engine::QUNodeId node{};
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const Resolved&) const = default;
};

class RecordingStreams final : public engine::QUStreamHandler {
public:
    void OnStreamPacket(const uint8_t* data, size_t size, uint32_t, uint16_t) override {
        packets.emplace_back(data, data + size);
    }
    void OnLookupResolved(const engine::QUNodeId& target, const engine::QUNodeId& node, uint32_t address,
                          uint16_t port) override {
        resolved.push_back(Resolved{target, node, address, port});
    }
    void OnLookupFinished(uint32_t id) override { finished.push_back(id); }
    void OnPunch(const engine::QUPunch& punch, uint32_t, uint16_t) override { punches.push_back(punch); }
    void RetransmissionPass() override { ++retransmissions; }
    void AcknowledgementPass() override { ++acknowledgements; }
    void MaintenancePass() override { ++maintenances; }
    void DropAll() override { ++drops; }

    std::vector<std::vector<uint8_t>> packets;
    std::vector<Resolved> resolved;
    std::vector<uint32_t> finished;
    std::vector<engine::QUPunch> punches;
    int retransmissions = 0;
    int acknowledgements = 0;
    int maintenances = 0;
    int drops = 0;
};

inline constexpr engine::QUNodeId OwnId{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
inline const uint32_t RendezvousIp = Ip(192, 0, 2, 1);
inline constexpr uint16_t RendezvousPort = 82;
inline const uint32_t LocalIp = Ip(10, 0, 0, 2);

// A server on the fake socket and the manual clock, prepared (socket open,
// rendezvous server resolved) and ready for passes.
class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        engine::QUEnvironment env;
        env.clock = &clock;
        env.make_socket = [this] { return std::make_unique<FakeSocket>(&script); };
        env.resolve_host = [](const std::string& host) { return host == "rendezvous.test" ? RendezvousIp : 0xFFFFFFFFu; };
        env.choose_local_address = [] { return LocalIp; };
        env.trim_packet_pool = [this] { ++trims; };
        env.release_packet_pool = [this] { ++releases; };
        server = std::make_unique<engine::QUInternalServer>(env);
        ASSERT_EQ(server->Configure(engine::MakeQUConfig("rendezvous.test", RendezvousPort, 52, 30, 8000, 0, OwnId)), 0);
        server->SetStreamHandler(&streams);
        ASSERT_TRUE(server->Prepare());
    }

    // Queues a datagram from `address` (the rendezvous server by default).
    void Receive(std::vector<uint8_t> bytes, uint32_t address = RendezvousIp, uint16_t port = RendezvousPort) {
        script.incoming.push_back(Sent{std::move(bytes), address, port});
    }
    // Runs passes until the incoming queue is drained, then one more.
    void Drain() {
        for (int i = 0; i < 1000 && !script.incoming.empty(); ++i) server->RunPass();
        server->RunPass();
    }
    // Datagrams sent to the rendezvous server whose first bytes look like `kind`.
    size_t CountSent(const std::function<bool(const Sent&)>& match) const {
        return static_cast<size_t>(std::count_if(script.sent.begin(), script.sent.end(), match));
    }
    size_t Pings() const {
        return CountSent([](const Sent& s) { return s.address == RendezvousIp && engine::IsPing(s.bytes.data(), s.bytes.size()); });
    }
    size_t Registers() const {
        return CountSent([](const Sent& s) {
            return s.address == RendezvousIp && s.bytes.size() == engine::RegisterSize && engine::ReadBe32(&s.bytes[12]) == 2;
        });
    }
    size_t Lookups() const {
        return CountSent([](const Sent& s) { return s.bytes.size() >= 64 && engine::ReadBe32(&s.bytes[12]) == 3; });
    }

    SocketScript script;
    ManualClock clock;
    RecordingStreams streams;
    int trims = 0;
    int releases = 0;
    std::unique_ptr<engine::QUInternalServer> server;
};

}  // namespace udp_test
