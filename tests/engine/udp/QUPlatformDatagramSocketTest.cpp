// The UDP server's real socket: the wait between passes ends as soon as a
// datagram is there, instead of sleeping out its time.

#include <gtest/gtest.h>

#include <chrono>

#include "engine/udp/QUDatagramSocket.h"
#include "platform/Socket.h"

namespace engine {
namespace {

TEST(QUPlatformDatagramSocket, WaitEndsWhenADatagramIsThere) {
    auto socket = MakePlatformDatagramSocket();
    // A free port: the one the system gives a throwaway socket.
    const platform::SocketHandle probe = platform::CreateUdpSocket();
    platform::SocketAddress probe_address{platform::LoopbackIpv4(), 0};
    ASSERT_TRUE(platform::Bind(probe, probe_address));
    ASSERT_TRUE(platform::LocalAddressOf(probe, &probe_address));
    const uint16_t port = probe_address.port;
    platform::CloseSocket(probe);
    ASSERT_EQ(socket->Open(port, 65536), QUOpenResult::Ok);

    const platform::SocketHandle sender = platform::CreateUdpSocket();
    const uint8_t hello[5] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(platform::SendTo(sender, hello, sizeof hello, {platform::LoopbackIpv4(), port}), 5);
    const auto start = std::chrono::steady_clock::now();
    socket->WaitForDatagram(60000);
    // Far below the minute the wait was given: it did not run out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    uint8_t buffer[16];
    const QURecvResult got = socket->RecvFrom(buffer, sizeof buffer);
    EXPECT_EQ(got.status, QURecvStatus::Datagram);
    EXPECT_EQ(got.size, 5u);
    platform::CloseSocket(sender);
    socket->Close();
}

}  // namespace
}  // namespace engine
