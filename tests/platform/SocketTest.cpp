#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <thread>

namespace {

using platform::ConnectResult;
using platform::InvalidSocket;
using platform::SocketAddress;
using platform::SocketHandle;

// Closes the sockets a test opened, whatever path it leaves by.
class Sockets : public ::testing::Test {
protected:
    std::vector<SocketHandle> opened;
    ~Sockets() override {
        for (SocketHandle s : opened) platform::CloseSocket(s);
    }
    SocketHandle Keep(SocketHandle s) {
        EXPECT_NE(s, InvalidSocket);
        opened.push_back(s);
        return s;
    }
    // A listener on 127.0.0.1 with a port chosen by the system.
    SocketHandle Listener(SocketAddress* where) {
        SocketHandle s = Keep(platform::CreateTcpSocket());
        EXPECT_TRUE(platform::Bind(s, {platform::LoopbackIpv4(), 0}));
        EXPECT_TRUE(platform::Listen(s, 8));
        EXPECT_TRUE(platform::LocalAddressOf(s, where));
        return s;
    }
    // Polls one socket for writability, then reports the connect outcome.
    static int FinishConnect(SocketHandle s) {
        std::vector<platform::PollEntry> entries{{.socket = s, .want_write = true}};
        if (platform::PollSockets(entries, 10'000) != 1) return -1;
        return platform::PendingConnectError(s);
    }
};

TEST(SocketLibrary, StartupFailureSeam) {
    EXPECT_TRUE(platform::StartSocketLibrary());
    platform::SetSocketStartupFailsForTest(true);
    EXPECT_FALSE(platform::StartSocketLibrary());
    platform::SetSocketStartupFailsForTest(false);
    EXPECT_TRUE(platform::StartSocketLibrary());
}

TEST(SocketLastError, IsPerThread) {
    platform::SetLastSocketError(platform::SocketError::WouldBlock);
    int other = -1;
    std::thread([&] { other = platform::LastSocketError(); }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(platform::LastSocketError(), platform::SocketError::WouldBlock);
}

TEST(Ipv4Text, ParsesAndFormatsDottedQuads) {
    struct Case {
        const char* text;
        bool ok;
    };
    constexpr std::array<Case, 6> cases = {{
        {"127.0.0.1", true}, {"255.255.255.255", true}, {"1.2.3", false},
        {"256.1.1.1", false}, {"example.com", false}, {"", false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t ip = 0;
        EXPECT_EQ(platform::ParseIpv4(c.text, &ip), c.ok);
        if (c.ok) {
            EXPECT_EQ(platform::FormatIpv4(ip), c.text);
        }
    }
    uint32_t ip = 0;
    ASSERT_TRUE(platform::ParseIpv4("10.1.2.3", &ip));
    EXPECT_EQ(ip, platform::MakeIpv4(10, 1, 2, 3));
    EXPECT_TRUE(platform::IsLoopbackIpv4(platform::MakeIpv4(127, 9, 9, 9)));
    EXPECT_FALSE(platform::IsLoopbackIpv4(ip));
}

TEST_F(Sockets, NonBlockingConnectSendAndReceive) {
    SocketAddress where;
    SocketHandle listener = Listener(&where);
    SocketHandle client = Keep(platform::CreateTcpSocket());
    ASSERT_TRUE(platform::SetNonBlocking(client, true));
    ConnectResult r = platform::Connect(client, where);
    ASSERT_NE(r, ConnectResult::Failed) << platform::LastSocketError();
    if (r == ConnectResult::Pending) {
        EXPECT_EQ(platform::LastSocketError(), platform::SocketError::InProgress);
        ASSERT_EQ(FinishConnect(client), 0);
    }
    SocketAddress peer;
    SocketHandle server = Keep(platform::Accept(listener, &peer));
    EXPECT_EQ(peer.ip, platform::LoopbackIpv4());

    // Nothing sent yet: a non-blocking receive would block.
    char buf[16];
    EXPECT_EQ(platform::Recv(client, buf, sizeof buf), -1);
    EXPECT_TRUE(platform::IsWouldBlock(platform::LastSocketError()));

    ASSERT_EQ(platform::Send(server, "ping", 4), 4);
    std::vector<platform::PollEntry> entries{{.socket = client, .want_read = true}};
    ASSERT_EQ(platform::PollSockets(entries, 10'000), 1);
    EXPECT_TRUE(entries[0].readable);
    ASSERT_EQ(platform::Recv(client, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");

    // Orderly close reads as 0; sending to a closed peer fails without SIGPIPE.
    ASSERT_TRUE(platform::CloseSocket(server));
    opened.erase(std::find(opened.begin(), opened.end(), server));
    ASSERT_EQ(platform::PollSockets(entries, 10'000), 1);
    EXPECT_EQ(platform::Recv(client, buf, sizeof buf), 0);
    std::string big(1 << 16, 'x');
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i) failed = platform::Send(client, big.data(), big.size()) < 0;
    EXPECT_TRUE(failed);
}

TEST_F(Sockets, RefusedConnectSetsLastError) {
    // A bound socket that does not listen holds the port and refuses.
    SocketHandle holder = Keep(platform::CreateTcpSocket());
    ASSERT_TRUE(platform::Bind(holder, {platform::LoopbackIpv4(), 0}));
    SocketAddress where;
    ASSERT_TRUE(platform::LocalAddressOf(holder, &where));

    SocketHandle client = Keep(platform::CreateTcpSocket());
    ASSERT_TRUE(platform::SetNonBlocking(client, true));
    ConnectResult r = platform::Connect(client, where);
    if (r == ConnectResult::Pending) {
        EXPECT_EQ(FinishConnect(client), platform::SocketError::ConnectionRefused);
    } else {
        EXPECT_EQ(r, ConnectResult::Failed);
    }
    EXPECT_EQ(platform::LastSocketError(), platform::SocketError::ConnectionRefused);
}

TEST_F(Sockets, CallsOnNonSocketsFail) {
    platform::SetLastSocketError(0);
    char c;
    EXPECT_EQ(platform::Recv(-1, &c, 1), -1);
    EXPECT_EQ(platform::LastSocketError(), EBADF);
    SocketHandle s = Keep(platform::CreateTcpSocket());
    EXPECT_EQ(platform::Recv(s, &c, 1), -1);
    EXPECT_EQ(platform::LastSocketError(), platform::SocketError::NotConnected);
}

TEST_F(Sockets, UdpDatagramsAndSharedPort) {
    SocketHandle a = Keep(platform::CreateUdpSocket());
    ASSERT_TRUE(platform::SetReuseAddress(a, true));
    ASSERT_TRUE(platform::Bind(a, {platform::LoopbackIpv4(), 0}));
    SocketAddress where;
    ASSERT_TRUE(platform::LocalAddressOf(a, &where));
    // LAN discovery binds several sockets to one port; SO_REUSEADDR allows it.
    SocketHandle twin = Keep(platform::CreateUdpSocket());
    ASSERT_TRUE(platform::SetReuseAddress(twin, true));
    EXPECT_TRUE(platform::Bind(twin, where));
    EXPECT_TRUE(platform::SetMulticastLoop(a, true));
    EXPECT_TRUE(platform::SetMulticastTtl(a, 1));

    SocketHandle b = Keep(platform::CreateUdpSocket());
    ASSERT_TRUE(platform::Bind(b, {platform::LoopbackIpv4(), 0}));
    SocketAddress b_addr;
    ASSERT_TRUE(platform::LocalAddressOf(b, &b_addr));
    ASSERT_EQ(platform::SendTo(b, "datagram", 8, where), 8);

    std::vector<platform::PollEntry> entries{{.socket = a, .want_read = true}, {.socket = twin, .want_read = true}};
    ASSERT_EQ(platform::PollSockets(entries, 10'000), 1);  // unicast reaches one of them
    SocketHandle ready = entries[0].readable ? a : twin;
    char buf[32];
    SocketAddress from;
    ASSERT_EQ(platform::RecvFrom(ready, buf, sizeof buf, &from), 8);
    EXPECT_EQ(std::string(buf, 8), "datagram");
    EXPECT_EQ(from, b_addr);
    ASSERT_TRUE(platform::SetNonBlocking(ready, true));
    EXPECT_EQ(platform::RecvFrom(ready, buf, sizeof buf, &from), -1);
    EXPECT_TRUE(platform::IsWouldBlock(platform::LastSocketError()));
}

TEST(Resolution, LocalhostAndReservedInvalidName) {
    std::vector<uint32_t> addresses;
    ASSERT_EQ(platform::ResolveIpv4("localhost", &addresses), platform::ResolveStatus::Ok);
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), platform::LoopbackIpv4()), addresses.end());
    ASSERT_EQ(platform::ResolveIpv4("127.0.0.2", &addresses), platform::ResolveStatus::Ok);
    EXPECT_EQ(addresses, std::vector<uint32_t>{platform::MakeIpv4(127, 0, 0, 2)});
    // RFC 6761 reserves ".invalid": it never resolves.
    EXPECT_EQ(platform::ResolveIpv4("no-such-host.invalid", &addresses), platform::ResolveStatus::HostNotFound);
    EXPECT_TRUE(addresses.empty());
}

TEST(LocalInterfaces, ListLoopbackButNeverReturnItAsOwnAddress) {
    std::vector<uint32_t> all = platform::InterfaceIpv4Addresses();
    EXPECT_NE(std::find(all.begin(), all.end(), platform::LoopbackIpv4()), all.end());
    uint32_t own = platform::FirstNonLoopbackIpv4();
    if (own != 0) {
        EXPECT_FALSE(platform::IsLoopbackIpv4(own));
        EXPECT_NE(std::find(all.begin(), all.end(), own), all.end());
    }
    EXPECT_FALSE(platform::LocalHostName().empty());
}

}  // namespace
