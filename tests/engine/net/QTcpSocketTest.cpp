#include "engine/net/QTcpSocket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "engine/net/SourceUrl.h"
#include "platform/Socket.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::QTcpSocket;
using testing_support::LoopbackPeer;
using testing_support::WaitFor;

bool ConnectTo(QTcpSocket& socket, const LoopbackPeer& peer) {
    return socket.Connect(LoopbackPeer::Address(), peer.Port(), false) &&
           WaitFor([&] { return socket.IsEstablished() || !socket.IsOpen(); }) && socket.IsEstablished();
}

// Receives until `wanted` bytes are held or the connection ends; bounded.
std::string ReceiveAll(QTcpSocket& socket, size_t wanted, int* reads_with_data = nullptr) {
    int64_t last = 0;
    WaitFor([&] {
        const int64_t held = socket.Receive();
        if (held > last && reads_with_data) ++*reads_with_data;
        if (held > 0) last = held;
        return held < 0 || static_cast<size_t>(held) >= wanted;
    });
    return std::string(reinterpret_cast<const char*>(socket.ReceiveData()), socket.ReceiveCount());
}

TEST(QTcpSocketLoopback, EchoRoundTripCountsBytesAndReadsTheLocalName) {
    LoopbackPeer peer(LoopbackPeer::Mode::Echo);
    ASSERT_TRUE(peer.Ok());
    QTcpSocket socket;
    const int32_t half_open_before = QTcpSocket::HalfOpenCount();
    ASSERT_TRUE(ConnectTo(socket, peer));
    EXPECT_EQ(QTcpSocket::HalfOpenCount(), half_open_before);
    EXPECT_EQ(socket.PeerText(), "127.0.0.1");
    EXPECT_EQ(socket.RemotePort(), peer.Port());
    EXPECT_EQ(socket.LocalAddressValue(), LoopbackPeer::Address());
    EXPECT_GT(socket.LocalPort(), 0);
    EXPECT_GT(socket.ConnectTime(), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(socket.NodeIdentity().data()) + 8, 4), "UDP0");

    ASSERT_EQ(socket.Send("hello, peer"), 11);
    EXPECT_EQ(ReceiveAll(socket, 11), "hello, peer");
    EXPECT_EQ(socket.SentTotal(), 11);
    EXPECT_EQ(socket.ReceivedTotal(), 11);
    EXPECT_EQ(socket.ReceiveData()[11], 0);  // terminated after the data
    socket.Consume(5, false);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(socket.ReceiveData())), ", peer");
    EXPECT_EQ(socket.AverageReceiveRate(socket.ConnectTime() + 2), 5);
    EXPECT_EQ(socket.AverageSendRate(socket.ConnectTime()), 11);
}

TEST(QTcpSocketLoopback, PeerThatNeverReadsFillsTheSendBufferUpToItsCap) {
    LoopbackPeer peer(LoopbackPeer::Mode::NeverRead, {}, 4096);
    ASSERT_TRUE(peer.Ok());
    QTcpSocket socket;
    constexpr size_t Cap = 256 * 1024;
    socket.SetBufferCaps(Cap, Cap);
    ASSERT_TRUE(ConnectTo(socket, peer));

    const std::string chunk(16384, 'b');
    bool kernel_full_seen = false;
    int64_t result = 0;
    // Bounded: the kernel takes a few MiB at most before pushing back.
    for (int i = 0; i < 4096 && result >= 0; ++i) {
        result = socket.Send(chunk);
        if (result < 0) break;
        EXPECT_LE(socket.SendCapacity(), Cap);
        if (result == 0) {
            // The kernel took nothing. Acknowledgements of bytes still in
            // flight may yet free room, so only a flush that moves nothing
            // shows the kernel full.
            if (socket.Flush() != 0) continue;
            kernel_full_seen = true;
            // A flush marks the socket writable once (the pending flag);
            // after that it polls writable only when the kernel really took
            // room back, so no caller can spin on a socket that moves nothing.
            EXPECT_TRUE(socket.WaitWritable(0));
            if (socket.WaitWritable(0)) {
                EXPECT_GT(socket.Flush(), 0);
            }
        }
    }
    EXPECT_TRUE(kernel_full_seen);
    ASSERT_EQ(result, -1);
    EXPECT_EQ(socket.LastError(), ENOBUFS);
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(socket.SendCount(), 0u);
}

TEST(QTcpSocketLoopback, ResetByPeerClosesAndReportsLoss) {
    LoopbackPeer peer(LoopbackPeer::Mode::ResetOnData);
    ASSERT_TRUE(peer.Ok());
    QTcpSocket socket;
    ASSERT_TRUE(ConnectTo(socket, peer));
    ASSERT_EQ(socket.Send("unread bytes make the close a reset"), 35);
    int64_t held = 0;
    ASSERT_TRUE(WaitFor([&] { return (held = socket.Receive()) < 0; }));
    EXPECT_EQ(held, -1);
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(socket.LastError(), ECONNRESET);
    EXPECT_EQ(socket.Send("after"), 0);  // no socket: nothing to do
    EXPECT_EQ(socket.Receive(), -1);
}

TEST(QTcpSocketLoopback, InputWaitingInTheKernelIsMarkedPerSocket) {
    LoopbackPeer silent(LoopbackPeer::Mode::NeverRead);
    LoopbackPeer echo(LoopbackPeer::Mode::Echo);
    ASSERT_TRUE(silent.Ok() && echo.Ok());
    QTcpSocket quiet, busy, closed;
    ASSERT_TRUE(ConnectTo(quiet, silent));
    ASSERT_TRUE(ConnectTo(busy, echo));
    // The marks follow the positions, a null entry and a closed socket
    // included.
    const std::vector<QTcpSocket*> sockets = {&quiet, nullptr, &closed, &busy};
    std::vector<uint8_t> waiting;
    QTcpSocket::MarkInputWaiting(sockets, &waiting);
    EXPECT_EQ(waiting, (std::vector<uint8_t>{0, 0, 0, 0}));

    ASSERT_EQ(busy.Send("echo me"), 7);
    ASSERT_TRUE(WaitFor([&] {
        QTcpSocket::MarkInputWaiting(sockets, &waiting);
        return waiting[3] != 0;
    }));
    EXPECT_EQ(waiting, (std::vector<uint8_t>{0, 0, 0, 1}));
    // Nothing is read by the check: the bytes are still there to receive,
    // and once they are, nothing waits any more.
    EXPECT_EQ(ReceiveAll(busy, 7), "echo me");
    QTcpSocket::MarkInputWaiting(sockets, &waiting);
    EXPECT_EQ(waiting, (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST(QTcpSocketLoopback, WaitForActivityWakesOnInputButNotOnAFullSendBuffer) {
    LoopbackPeer echo(LoopbackPeer::Mode::Echo);
    LoopbackPeer stuck(LoopbackPeer::Mode::NeverRead, {}, 4096);
    ASSERT_TRUE(echo.Ok() && stuck.Ok());
    QTcpSocket talker, blocked, closed;
    ASSERT_TRUE(ConnectTo(talker, echo));
    ASSERT_TRUE(ConnectTo(blocked, stuck));
    EXPECT_EQ(QTcpSocket::WaitForActivity({nullptr, &closed}, 0), -1) << "nothing to wait on: the caller sleeps";

    const std::vector<QTcpSocket*> sockets = {&talker, nullptr, &blocked};
    EXPECT_EQ(QTcpSocket::WaitForActivity(sockets, 0), 0);
    // Output held while the kernel's buffer is full is no reason to wake.
    const std::string chunk(16384, 'b');
    for (int i = 0; i < 4096 && blocked.SendCount() == 0; ++i) ASSERT_GE(blocked.Send(chunk), 0);
    ASSERT_GT(blocked.SendCount(), 0u);
    // Acknowledgements still in flight may free some room first.
    EXPECT_TRUE(WaitFor([&] { return blocked.Flush() == 0 && QTcpSocket::WaitForActivity(sockets, 0) == 0; }));
    EXPECT_GT(blocked.SendCount(), 0u);
    ASSERT_EQ(talker.Send("wake"), 4);
    EXPECT_TRUE(WaitFor([&] { return QTcpSocket::WaitForActivity(sockets, 0) == 1; }));
    EXPECT_EQ(ReceiveAll(talker, 4), "wake");
}

TEST(QTcpSocketLoopback, TrickledBytesArriveWholeAndTheCloseEndsTheConnection) {
    const std::string payload = "one byte at a time, in order";
    LoopbackPeer peer(LoopbackPeer::Mode::Trickle, payload);
    ASSERT_TRUE(peer.Ok());
    QTcpSocket socket;
    ASSERT_TRUE(ConnectTo(socket, peer));
    int reads_with_data = 0;
    EXPECT_EQ(ReceiveAll(socket, payload.size(), &reads_with_data), payload);
    EXPECT_GT(reads_with_data, 1);
    // The peer closes after the last byte: a receive of 0 bytes is a loss.
    ASSERT_TRUE(WaitFor([&] { return socket.Receive() == -1; }));
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(socket.ReceiveCount(), 0u);
}

TEST(QTcpSocketLoopback, RefusedConnectIsSeenAsLoss) {
    // A port that was just free: bind, note, close.
    const platform::SocketHandle probe = platform::CreateTcpSocket();
    platform::SocketAddress local{platform::LoopbackIpv4(), 0};
    ASSERT_TRUE(platform::Bind(probe, local) && platform::LocalAddressOf(probe, &local));
    platform::CloseSocket(probe);

    QTcpSocket socket;
    const int32_t half_open_before = QTcpSocket::HalfOpenCount();
    if (socket.Connect(platform::LoopbackIpv4(), local.port, false)) {
        ASSERT_TRUE(WaitFor([&] { return socket.Receive() == -1; }));
    }
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(socket.LastError(), ECONNREFUSED);
    EXPECT_EQ(QTcpSocket::HalfOpenCount(), half_open_before);
}

TEST(QTcpSocketLoopback, ConnectRefusesInvalidTargets) {
    struct Case {
        const char* name;
        uint32_t address;
        int32_t port;
    };
    const Case cases[] = {
        {"address 0", 0, 80},
        {"no address", engine::NoAddress, 80},
        {"port 0", platform::LoopbackIpv4(), 0},
        {"port too large", platform::LoopbackIpv4(), 65536},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTcpSocket socket;
        EXPECT_FALSE(socket.Connect(c.address, c.port, false));
        EXPECT_FALSE(socket.IsOpen());
    }
}

TEST(QTcpSocketLoopback, ListenerAcceptsAndBlockingModeCompletesSends) {
    const platform::SocketHandle probe = platform::CreateTcpSocket();
    platform::SocketAddress local{platform::LoopbackIpv4(), 0};
    ASSERT_TRUE(platform::Bind(probe, local) && platform::LocalAddressOf(probe, &local));
    platform::CloseSocket(probe);

    QTcpSocket listener;
    ASSERT_TRUE(listener.Listen(local.port, platform::LoopbackIpv4()));
    EXPECT_TRUE(listener.IsListening());
    EXPECT_EQ(listener.AcceptNext(), nullptr);  // nothing pending yet
    EXPECT_TRUE(listener.IsOpen());
    EXPECT_FALSE(listener.IsEstablished());

    QTcpSocket client;
    ASSERT_TRUE(client.Connect(platform::LoopbackIpv4(), local.port, true));
    EXPECT_TRUE(client.IsConnectedFlag());
    std::unique_ptr<QTcpSocket> accepted;
    ASSERT_TRUE(WaitFor([&] { return (accepted = listener.AcceptNext()) != nullptr; }));
    EXPECT_TRUE(accepted->IsEstablished());
    EXPECT_EQ(accepted->PeerText(), "127.0.0.1");
    EXPECT_EQ(accepted->RemotePort(), client.LocalPort());
    EXPECT_EQ(accepted->LocalPort(), local.port);

    const std::string big(300000, 'z');
    EXPECT_EQ(client.Send(big), static_cast<int64_t>(big.size()));  // blocking: all of it
    EXPECT_EQ(client.SendCount(), 0u);
    accepted->SetBufferCaps(QTcpSocket::DefaultSendCap, 1 << 20);
    EXPECT_EQ(ReceiveAll(*accepted, big.size()), big);

    EXPECT_TRUE(accepted->SetReceiveBufferSize(0));  // falls back to 8192
    EXPECT_FALSE(listener.Listen(0, platform::LoopbackIpv4()));
}

TEST(QTcpSocketLoopback, ReceiveAtTheCapReadsNothingMore) {
    LoopbackPeer peer(LoopbackPeer::Mode::Echo);
    ASSERT_TRUE(peer.Ok());
    QTcpSocket socket;
    socket.SetBufferCaps(1 << 20, 4096);
    ASSERT_TRUE(ConnectTo(socket, peer));
    ASSERT_EQ(socket.Send(std::string(10000, 'e')), 10000);
    ASSERT_TRUE(WaitFor([&] { return socket.Receive() == 4096; }));
    EXPECT_EQ(socket.Receive(), 4096);  // held, not lost, not grown
    EXPECT_EQ(socket.ReceiveCapacity(), 4096u);
    socket.Consume(-1, false);
    EXPECT_EQ(ReceiveAll(socket, 4096).size(), 4096u);
}

TEST(QTcpSocketHalfOpen, LimitFromTheSystemValue) {
    struct Case {
        int32_t system;
        int32_t limit;
    };
    const Case cases[] = {{-1, 32}, {0, 32}, {2, 32}, {3, 1}, {10, 8}, {34, 32}, {1000, 32}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.system);
        QTcpSocket::SetHalfOpenLimitFromSystem(c.system);
        EXPECT_EQ(QTcpSocket::HalfOpenLimit(), c.limit);
    }
    QTcpSocket::ResetHalfOpenLimit();
    EXPECT_EQ(QTcpSocket::HalfOpenLimit(), 64);
}

// Stand-in for the UDP server's stream calls: records what the socket object
// asks and plays a peer that accepts sends and hands back scripted bytes.
class FakeStreamCalls final : public engine::QSocketCalls {
public:
    engine::QSocketHandle Socket() override { return ++m_handles; }
    int Connect(engine::QSocketHandle, const engine::QSocketAddress& to) override {
        m_connected_to = to;
        platform::SetLastSocketError(platform::SocketError::WouldBlock);
        return -1;
    }
    int ConnectState(engine::QSocketHandle) override { return m_established ? 1 : 0; }
    int Bind(engine::QSocketHandle, const engine::QSocketAddress&) override { return 0; }
    int Listen(engine::QSocketHandle, int backlog) override {
        m_backlog = backlog;
        return 0;
    }
    engine::QSocketHandle Accept(engine::QSocketHandle, engine::QSocketAddress*) override {
        platform::SetLastSocketError(platform::SocketError::NotSocket);
        return engine::InvalidSocketHandle;
    }
    int GetSockName(engine::QSocketHandle, engine::QSocketAddress* local) override {
        local->address = platform::LoopbackIpv4();
        local->port = 7000;
        local->node_id = {9, 8, 7, 6, 5, 4, 3, 2};
        return 0;
    }
    int64_t Send(engine::QSocketHandle, const uint8_t* data, size_t length) override {
        m_sent.append(reinterpret_cast<const char*>(data), length);
        return static_cast<int64_t>(length);
    }
    int64_t Recv(engine::QSocketHandle, uint8_t* buffer, size_t length) override {
        if (m_incoming.empty()) {
            platform::SetLastSocketError(platform::SocketError::NotConnected);
            return -1;
        }
        const size_t n = std::min(length, m_incoming.size());
        std::copy(m_incoming.begin(), m_incoming.begin() + static_cast<ptrdiff_t>(n), buffer);
        m_incoming.erase(0, n);
        return static_cast<int64_t>(n);
    }
    int Wait(engine::QSocketHandle, bool, int) override { return 1; }
    int CloseSocket(engine::QSocketHandle) override {
        ++m_closed;
        return 0;
    }
    bool SetNonBlocking(engine::QSocketHandle) override { return true; }
    bool SetReceiveBufferSize(engine::QSocketHandle, int) override {
        ++m_option_calls;
        return true;
    }
    bool SetReuseAddress(engine::QSocketHandle) override {
        ++m_option_calls;
        return true;
    }

    engine::QSocketHandle m_handles = 100;
    engine::QSocketAddress m_connected_to;
    bool m_established = false;
    int m_backlog = 0;
    int m_closed = 0;
    int m_option_calls = 0;
    std::string m_sent;
    std::string m_incoming;
};

class QTcpSocketUdpStream : public ::testing::Test {
protected:
    void SetUp() override { engine::SetUdpStreamCalls(&m_calls); }
    void TearDown() override { engine::SetUdpStreamCalls(nullptr); }
    FakeStreamCalls m_calls;
};

TEST_F(QTcpSocketUdpStream, NodeIdRoutesTheConnectionThroughTheStreamCalls) {
    const std::array<uint8_t, 8> node{1, 2, 3, 4, 5, 6, 7, 8};
    QTcpSocket socket;
    const int32_t half_open_before = QTcpSocket::HalfOpenCount();
    ASSERT_TRUE(socket.Connect(platform::LoopbackIpv4(), 6881, false, 0, &node));
    EXPECT_TRUE(socket.IsUdpStream());
    EXPECT_EQ(m_calls.m_connected_to.node_id, node);
    EXPECT_EQ(m_calls.m_connected_to.port, 6881);
    EXPECT_EQ(QTcpSocket::HalfOpenCount(), half_open_before);  // streams are not TCP half-open

    // Still connecting: output waits in the buffer.
    EXPECT_EQ(socket.Send("queued"), 0);
    EXPECT_EQ(socket.SendCount(), 6u);
    m_calls.m_established = true;
    // Buffered bytes go first, at most as many as the new data; the new data
    // queues behind what is left, and a flush sends the rest in order.
    EXPECT_EQ(socket.Send("+more"), 5);
    EXPECT_EQ(socket.SendCount(), 6u);
    EXPECT_EQ(socket.Flush(), 6);
    EXPECT_EQ(m_calls.m_sent, "queued+more");
    EXPECT_EQ(socket.LocalPort(), 7000);
    const auto& identity = socket.NodeIdentity();
    EXPECT_EQ(identity[0], 9);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(identity.data()) + 8, 5), std::string("UDP0\0", 5));

    m_calls.m_incoming = "stream bytes";
    EXPECT_EQ(socket.Receive(), 12);
    EXPECT_TRUE(socket.SetReceiveBufferSize(0));
    EXPECT_EQ(m_calls.m_option_calls, 0);  // options are not passed to streams
    EXPECT_EQ(socket.Receive(), -1);       // the stream reports "not connected"
    EXPECT_EQ(socket.LastError(), platform::SocketError::NotConnected);
    EXPECT_EQ(m_calls.m_closed, 1);
}

TEST_F(QTcpSocketUdpStream, StreamListenerUsesItsBacklogAndSurvivesAcceptErrors) {
    QTcpSocket listener;
    ASSERT_TRUE(listener.Listen(6881, platform::LoopbackIpv4(), true));
    EXPECT_EQ(m_calls.m_backlog, QTcpSocket::UdpStreamBacklog);
    EXPECT_EQ(listener.AcceptNext(), nullptr);
    EXPECT_TRUE(listener.IsOpen());
}

TEST(QTcpSocketUdpStreamMissing, ConnectWithNodeIdFailsWithoutAUdpServer) {
    engine::SetUdpStreamCalls(nullptr);
    const std::array<uint8_t, 8> node{1, 2, 3, 4, 5, 6, 7, 8};
    QTcpSocket socket;
    EXPECT_FALSE(socket.Connect(platform::LoopbackIpv4(), 6881, false, 0, &node));
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(socket.LastError(), platform::SocketError::NetworkUnreachable);
}

}  // namespace
