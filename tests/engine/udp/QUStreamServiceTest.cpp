// Streams through real UDP sockets: two UDP servers on loopback, each with
// its stream service, find each other through the rendezvous server and
// move bytes both ways through the socket-like calls the socket layer uses,
// and through QTcpSocket itself.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/net/QSocketCalls.h"
#include "engine/net/QTcpSocket.h"
#include "engine/udp/QUInternalServer.h"
#include "engine/udp/QUStreamService.h"
#include "platform/Socket.h"
#include "tests/support/LineProcess.h"

namespace engine {
namespace {

using namespace std::chrono_literals;
using testing_support::LineProcess;

constexpr uint16_t VirtualPort = 6881;
const QUNodeId NodeA{0x11, 2, 3, 4, 5, 6, 7, 8};
const QUNodeId NodeB{0x22, 2, 3, 4, 5, 6, 7, 9};

uint32_t Loopback() { return platform::MakeIpv4(127, 0, 0, 1); }

uint16_t FreeUdpPort() {
    platform::SocketHandle s = platform::CreateUdpSocket();
    platform::SocketAddress local{Loopback(), 0};
    uint16_t port = 0;
    if (platform::Bind(s, local) && platform::LocalAddressOf(s, &local)) port = local.port;
    platform::CloseSocket(s);
    return port;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed;
    for (uint8_t& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

struct Node {
    QUInternalServer server;
    QUStreamService streams{server};
    Node() { server.SetStreamHandler(&streams); }
    ~Node() {
        server.Stop();
        server.SetStreamHandler(nullptr);
    }
    QSocketCalls& Calls() { return streams.Calls(); }
};

class StreamServiceTest : public testing::Test {
protected:
    void SetUp() override {
        m_rendezvous = std::make_unique<LineProcess>(std::vector<std::string>{
            TIDEWELL_RENDEZVOUS, "--address", "127.0.0.1", "--port", "0"});
        const std::string line = m_rendezvous->WaitForPrefix("listening on");
        ASSERT_FALSE(line.empty()) << "the rendezvous server did not start";
        m_rendezvous_port = std::stoi(line.substr(line.rfind(':') + 1));
        Start(m_a, NodeA);
        Start(m_b, NodeB);
        // Both registered: each knows its public endpoint.
        for (int i = 0; i < 200 && (m_a.server.PublicAddress() == 0 || m_b.server.PublicAddress() == 0); ++i) {
            std::this_thread::sleep_for(25ms);
        }
        ASSERT_NE(m_a.server.PublicAddress(), 0u);
        ASSERT_NE(m_b.server.PublicAddress(), 0u);
    }

    void Start(Node& node, const QUNodeId& id) {
        const uint16_t port = FreeUdpPort();
        ASSERT_NE(port, 0);
        ASSERT_EQ(node.server.Startup(MakeQUConfig("127.0.0.1", m_rendezvous_port, 10, 30, port, Loopback(), id)),
                  0);
    }

    // A listener of `node` on the virtual port.
    static QSocketHandle Listen(Node& node) {
        QSocketCalls& calls = node.Calls();
        const QSocketHandle h = calls.Socket();
        QSocketAddress local;
        local.address = Loopback();
        local.port = VirtualPort;
        EXPECT_EQ(calls.Bind(h, local), 0);
        EXPECT_EQ(calls.Listen(h, 16), 0) << platform::LastSocketError();
        return h;
    }

    std::unique_ptr<LineProcess> m_rendezvous;
    int m_rendezvous_port = 0;
    Node m_a;
    Node m_b;
};

TEST_F(StreamServiceTest, TwoServersMoveMebibytesBothWaysByteIdentically) {
    const QSocketHandle listener = Listen(m_b);
    QSocketCalls& a = m_a.Calls();
    QSocketCalls& b = m_b.Calls();

    const QSocketHandle client = a.Socket();
    QSocketAddress to;
    to.address = Loopback();
    to.port = VirtualPort;
    to.node_id = NodeB;
    ASSERT_EQ(a.Connect(client, to), -1);
    ASSERT_EQ(platform::LastSocketError(), platform::SocketError::WouldBlock);
    ASSERT_EQ(a.Wait(client, true, 15000), 1);
    ASSERT_EQ(a.ConnectState(client), 1);

    ASSERT_EQ(b.Wait(listener, false, 5000), 1);
    QSocketAddress peer;
    const QSocketHandle accepted = b.Accept(listener, &peer);
    ASSERT_NE(accepted, InvalidSocketHandle);
    EXPECT_EQ(peer.node_id, NodeA);

    const std::vector<uint8_t> up = Pattern(2u << 20, 1);
    const std::vector<uint8_t> down = Pattern(256u << 10, 2);
    std::vector<uint8_t> got_up;
    std::vector<uint8_t> got_down;
    size_t sent_up = 0;
    size_t sent_down = 0;
    std::vector<uint8_t> buffer(65536);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while ((got_up.size() < up.size() || got_down.size() < down.size()) &&
           std::chrono::steady_clock::now() < deadline) {
        if (sent_up < up.size()) {
            const int64_t n = a.Send(client, up.data() + sent_up, up.size() - sent_up);
            if (n > 0) {
                sent_up += static_cast<size_t>(n);
            } else {
                ASSERT_EQ(platform::LastSocketError(), platform::SocketError::WouldBlock);
            }
        }
        if (sent_down < down.size()) {
            const int64_t n = b.Send(accepted, down.data() + sent_down, down.size() - sent_down);
            if (n > 0) sent_down += static_cast<size_t>(n);
        }
        int64_t n = b.Recv(accepted, buffer.data(), buffer.size());
        if (n > 0) got_up.insert(got_up.end(), buffer.begin(), buffer.begin() + n);
        n = a.Recv(client, buffer.data(), buffer.size());
        if (n > 0) got_down.insert(got_down.end(), buffer.begin(), buffer.begin() + n);
        a.Wait(client, false, 2);
    }
    ASSERT_EQ(got_up.size(), up.size());
    EXPECT_TRUE(got_up == up);
    ASSERT_EQ(got_down.size(), down.size());
    EXPECT_TRUE(got_down == down);

    // Closing one end reads as the end of the stream at the other.
    EXPECT_EQ(a.CloseSocket(client), 0);
    int64_t end = -1;
    for (int i = 0; i < 400 && end != 0; ++i) {
        b.Wait(accepted, false, 10);
        end = b.Recv(accepted, buffer.data(), buffer.size());
    }
    EXPECT_EQ(end, 0);
    b.CloseSocket(accepted);
    b.CloseSocket(listener);
}

TEST_F(StreamServiceTest, ConnectToAnUnregisteredNodeFails) {
    QSocketCalls& a = m_a.Calls();
    const QSocketHandle client = a.Socket();
    QSocketAddress to;
    to.address = Loopback();
    to.port = VirtualPort;
    to.node_id = QUNodeId{0x33, 1, 1, 1, 1, 1, 1, 1};
    ASSERT_EQ(a.Connect(client, to), -1);
    ASSERT_EQ(a.Wait(client, true, 15000), 1);
    EXPECT_EQ(a.ConnectState(client), -1);
    EXPECT_EQ(platform::LastSocketError(), platform::SocketError::ConnectionRefused);
    a.CloseSocket(client);
}

// QTcpSocket over the process's stream calls: a connect given the listener's
// local address (as peers are) still connects, and the bytes arrive intact.
TEST_F(StreamServiceTest, QTcpSocketConnectsOverAStreamDespiteALocalAddress) {
    const QSocketHandle listener = Listen(m_b);
    SetUdpStreamCalls(&m_a.Calls());
    QTcpSocket socket;
    const std::array<uint8_t, 8> node = NodeB;
    ASSERT_TRUE(socket.Connect(Loopback(), VirtualPort, false, Loopback(), &node)) << socket.LastError();
    EXPECT_TRUE(socket.IsUdpStream());
    bool established = false;
    for (int i = 0; i < 300 && !established; ++i) {
        established = socket.IsEstablished();
        if (!established) std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(established);
    const std::string hello = "hello over a stream";
    EXPECT_EQ(socket.Send(hello), static_cast<int64_t>(hello.size()));

    QSocketCalls& b = m_b.Calls();
    ASSERT_EQ(b.Wait(listener, false, 5000), 1);
    const QSocketHandle accepted = b.Accept(listener, nullptr);
    ASSERT_NE(accepted, InvalidSocketHandle);
    std::string got;
    std::vector<uint8_t> buffer(256);
    for (int i = 0; i < 200 && got.size() < hello.size(); ++i) {
        b.Wait(accepted, false, 20);
        const int64_t n = b.Recv(accepted, buffer.data(), buffer.size());
        if (n > 0) got.append(buffer.begin(), buffer.begin() + n);
    }
    EXPECT_EQ(got, hello);
    socket.Close();
    SetUdpStreamCalls(nullptr);
    b.CloseSocket(accepted);
    b.CloseSocket(listener);
}

}  // namespace
}  // namespace engine
