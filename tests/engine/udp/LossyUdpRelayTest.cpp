// The lossy relay that tests and the stream benchmark put in a UDP path: it
// relays both ways, shows each client to the target as an endpoint of its
// own, and drops about the share it is asked to; the program form does the
// same from its own process.

#include "tests/support/LossyUdpRelay.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Socket.h"
#include "tests/support/LineProcess.h"

namespace {

using testing_support::LossyUdpRelay;
using testing_support::LossyUdpRelayOptions;

platform::SocketHandle OpenLoopbackSocket(platform::SocketAddress* bound) {
    const platform::SocketHandle s = platform::CreateUdpSocket();
    *bound = platform::SocketAddress{platform::LoopbackIpv4(), 0};
    EXPECT_TRUE(platform::Bind(s, *bound));
    EXPECT_TRUE(platform::LocalAddressOf(s, bound));
    platform::SetNonBlocking(s, true);
    platform::SetReceiveBufferSize(s, 1 << 20);
    return s;
}

// A target that echoes every datagram to its source and a client that sends
// numbered datagrams through the relay and collects the echoes.
struct EchoPath {
    EchoPath() {
        target = OpenLoopbackSocket(&target_address);
        client = OpenLoopbackSocket(&client_address);
    }
    ~EchoPath() {
        platform::CloseSocket(target);
        platform::CloseSocket(client);
    }
    // Echoes and collects what is waiting, for up to `wait_ms`.
    void Pump(int wait_ms) {
        std::vector<platform::PollEntry> entries{{target, true}, {client, true}};
        if (platform::PollSockets(entries, wait_ms) <= 0) return;
        uint8_t buffer[64];
        platform::SocketAddress from;
        for (int64_t n; (n = platform::RecvFrom(target, buffer, sizeof buffer, &from)) >= 0;) {
            target_sources.insert(from.port);
            platform::SendTo(target, buffer, static_cast<size_t>(n), from);
            ++echoed;
        }
        for (int64_t n; (n = platform::RecvFrom(client, buffer, sizeof buffer, &from)) >= 0;) {
            echo_sources.insert(from.port);
            uint32_t index = 0;
            if (n == sizeof index) std::memcpy(&index, buffer, sizeof index);
            received.insert(index);
        }
    }
    void SendNumbered(uint32_t index, uint16_t relay_port) {
        platform::SendTo(client, &index, sizeof index, {platform::LoopbackIpv4(), relay_port});
    }

    platform::SocketAddress target_address;
    platform::SocketAddress client_address;
    platform::SocketHandle target;
    platform::SocketHandle client;
    std::set<uint16_t> target_sources;
    std::set<uint16_t> echo_sources;
    std::set<uint32_t> received;
    uint64_t echoed = 0;
};

TEST(LossyUdpRelay, RelaysBothWaysAndDropsAboutTheAskedShare) {
    struct Case {
        const char* name;
        double drop_percent;
        double low_percent;  // share dropped, each way
        double high_percent;
    };
    const std::array<Case, 2> cases{{
        {"no loss", 0, 0, 0},
        {"ten percent", 10, 7, 13},
    }};
    constexpr uint32_t Count = 2000;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        EchoPath path;
        LossyUdpRelayOptions options;
        options.target = path.target_address;
        options.drop_percent = k.drop_percent;
        options.seed = 7;
        LossyUdpRelay relay(options);
        ASSERT_TRUE(relay.Start());
        for (uint32_t i = 0; i < Count; ++i) {
            path.SendNumbered(i, relay.Port());
            if (i % 50 == 49) path.Pump(5);
        }
        LossyUdpRelay::Counts t;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        do {
            path.Pump(20);
            t = relay.Totals();
        } while ((t.to_target + t.to_target_dropped < Count || t.to_client + t.to_client_dropped < path.echoed ||
                  path.received.size() < t.to_client) &&
                 std::chrono::steady_clock::now() < deadline);

        ASSERT_EQ(t.to_target + t.to_target_dropped, Count);
        EXPECT_EQ(t.to_target, path.echoed);
        ASSERT_EQ(t.to_client + t.to_client_dropped, path.echoed);
        EXPECT_EQ(path.received.size(), t.to_client);
        const double dropped_out = 100.0 * static_cast<double>(t.to_target_dropped) / Count;
        const double dropped_back = 100.0 * static_cast<double>(t.to_client_dropped) / static_cast<double>(path.echoed);
        EXPECT_GE(dropped_out, k.low_percent);
        EXPECT_LE(dropped_out, k.high_percent);
        EXPECT_GE(dropped_back, k.low_percent);
        EXPECT_LE(dropped_back, k.high_percent);
        // The target sees the relay's socket for this client, the client
        // sees the relay's listening port.
        EXPECT_EQ(path.target_sources.size(), 1u);
        EXPECT_EQ(path.target_sources.count(path.client_address.port), 0u);
        EXPECT_EQ(path.echo_sources, std::set<uint16_t>{relay.Port()});
    }
}

TEST(LossyUdpRelay, EachClientReachesTheTargetFromItsOwnEndpoint) {
    EchoPath first;
    EchoPath second;
    LossyUdpRelayOptions options;
    options.target = first.target_address;
    LossyUdpRelay relay(options);
    ASSERT_TRUE(relay.Start());
    first.SendNumbered(1, relay.Port());
    second.SendNumbered(2, relay.Port());
    for (int i = 0; i < 200 && (first.received.empty() || second.received.empty()); ++i) {
        first.Pump(10);
        second.Pump(0);
    }
    EXPECT_EQ(first.target_sources.size(), 2u);
    EXPECT_EQ(first.received, std::set<uint32_t>{1});
    EXPECT_EQ(second.received, std::set<uint32_t>{2});
}

TEST(LossyUdpRelay, ProgramRelaysUntilStopped) {
    EchoPath path;
    testing_support::LineProcess relay({TIDEWELL_LOSSY_RELAY, "--target",
                                        "127.0.0.1:" + std::to_string(path.target_address.port), "--drop", "0"});
    const std::string line = relay.WaitForPrefix("listening on 127.0.0.1:");
    ASSERT_FALSE(line.empty());
    const uint16_t port = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
    path.SendNumbered(42, port);
    for (int i = 0; i < 200 && path.received.empty(); ++i) path.Pump(10);
    EXPECT_EQ(path.received, std::set<uint32_t>{42});
}

}  // namespace
