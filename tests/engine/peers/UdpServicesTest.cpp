// The UDP server as the engine runs it: named through the flat call, started
// by the first task, moved onto the TCP listener's port, registering at the
// rendezvous server with the node identity, stopped when TCP turns out to be
// reachable from outside, and gone after engine shutdown.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/base/NodeIdentity.h"
#include "engine/frame/SharedServices.h"
#include "engine/udp/QUInternalServer.h"
#include "engine/udp/QUService.h"
#include "engine/udp/RendezvousCodec.h"
#include "platform/Socket.h"
#include "tests/engine/peers/PeersTestSupport.h"
#include "tests/engine/peers/SwarmTestSupport.h"

namespace {

using swarm_test::FreePort;

class UdpServices : public frame_test::ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        m_rendezvous = platform::CreateUdpSocket();
        platform::SocketAddress bound{platform::LoopbackIpv4(), 0};
        ASSERT_TRUE(platform::Bind(m_rendezvous, bound) && platform::LocalAddressOf(m_rendezvous, &bound));
        m_rendezvous_port = bound.port;
        ASSERT_EQ(EngineInitialize(m_sandbox.Path().c_str()), TW_OK);
        EXPECT_EQ(SetRendezvousServer(nullptr, 82), TW_BAD_ARGUMENT);
        EXPECT_EQ(SetRendezvousServer("127.0.0.1", 0), TW_BAD_ARGUMENT);
        ASSERT_EQ(SetRendezvousServer("127.0.0.1", m_rendezvous_port), TW_OK);
        engine::SetP2PEnabledFlag(true);
        m_listen = platform::MakeIpv4(127, 0, 0, 9);
        engine::SetListenAddressOverride(m_listen);
        engine::SetListenPortValue(FreePort(m_listen));
        m_task = new peers_test::PeerTask;  // the first task: the services start
    }
    void TearDown() override {
        EXPECT_EQ(EngineShutdown(), TW_OK);
        EXPECT_EQ(engine::QUServer(), nullptr);
        SetRendezvousServer("", 82);
        engine::SetListenAddressOverride(0);
        engine::SetListenPortValue(0);
        engine::SetP2PEnabledFlag(false);
        platform::CloseSocket(m_rendezvous);
        ManualClockTest::TearDown();
    }
    // The next REGISTER that reaches the rendezvous socket from `port`,
    // moving the engine clock on by a keep-alive interval while none comes
    // (an unanswered node registers again at every keep-alive moment).
    std::vector<uint8_t> RegisterFrom(uint16_t port) {
        std::vector<uint8_t> buffer(9000);
        for (int round = 0; round < 20; ++round) {
            engine::CheckSharedServices(*m_task);
            std::vector<platform::PollEntry> entries{platform::PollEntry{m_rendezvous, true, false}};
            while (platform::PollSockets(entries, 500) > 0) {
                platform::SocketAddress from;
                const int64_t n = platform::RecvFrom(m_rendezvous, buffer.data(), buffer.size(), &from);
                if (n == 64 && from.port == port && engine::ReadBe32(&buffer[12]) == 2) {
                    m_node = from;
                    return {buffer.begin(), buffer.begin() + 64};
                }
                entries[0].readable = false;
            }
            AdvanceSeconds(52);
        }
        return {};
    }

    testing_support::Sandbox m_sandbox;
    platform::SocketHandle m_rendezvous = platform::InvalidSocket;
    uint16_t m_rendezvous_port = 0;
    uint32_t m_listen = 0;
    platform::SocketAddress m_node;
    peers_test::PeerTask* m_task = nullptr;
};

TEST_F(UdpServices, FirstTaskStartsTheServerWhichRegistersFromTheListenersPort) {
    ASSERT_TRUE(engine::CheckSharedServices(*m_task));
    const uint16_t port = static_cast<uint16_t>(engine::ListenerPort());
    const std::vector<uint8_t> reg = RegisterFrom(port);
    ASSERT_EQ(reg.size(), 64u) << "no REGISTER from the listener's port";
    engine::QUNodeId id = engine::NodeIdentity();
    if (id[1] == 0) id[1] = 2;
    const engine::QUIdentity identity = engine::MakeIdentity(id);
    EXPECT_TRUE(std::equal(identity.begin(), identity.end(), reg.begin() + 16));
    EXPECT_EQ(std::vector<uint8_t>(reg.begin() + 32, reg.begin() + 36), (std::vector<uint8_t>{127, 0, 0, 9}));
    EXPECT_EQ(engine::ReadBe32(&reg[36]), port);
    // The rendezvous server sees the node at its own address: no NAT.
    const std::vector<uint8_t> reply = engine::BuildPingReply({m_listen, port});
    platform::SendTo(m_rendezvous, reply.data(), reply.size(), m_node);
    EXPECT_TRUE(testing_support::WaitFor([] { return !engine::QUIsBehindNat(); }));
}

TEST_F(UdpServices, ConnectionFromOutsideTheNetworkStopsTheUdpTransport) {
    ASSERT_TRUE(engine::CheckSharedServices(*m_task));
    ASSERT_EQ(RegisterFrom(static_cast<uint16_t>(engine::ListenerPort())).size(), 64u);
    EXPECT_FALSE(engine::IsTransportStopped());
    // 127.0.1.2 is outside the listener's 127.0.0.x network.
    platform::SocketHandle client = platform::CreateTcpSocket();
    ASSERT_TRUE(platform::Bind(client, platform::SocketAddress{platform::MakeIpv4(127, 0, 1, 2), 0}));
    ASSERT_EQ(platform::Connect(client, {m_listen, static_cast<uint16_t>(engine::ListenerPort())}),
              platform::ConnectResult::Connected);
    EXPECT_TRUE(testing_support::WaitFor([&] {
        engine::DispatchIncoming(*m_task);
        return engine::IsReachableFromOutside();
    }));
    EXPECT_TRUE(engine::IsTransportStopped());
    ASSERT_NE(engine::QUServer(), nullptr);
    EXPECT_TRUE(engine::QUServer()->IsTransportStopped());
    EXPECT_TRUE(testing_support::WaitFor([] { return engine::QUServer()->BoundPort() == 0; }));
    platform::CloseSocket(client);
}

}  // namespace
