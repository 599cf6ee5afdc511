// Whole transfers between two stream cores over a seeded lossy link, in
// virtual time: 64 MiB arrive byte for byte at 0 %, 5 % and 20 % loss (with
// duplicates and reordering on top), and a stream dies within its limits
// when the link is cut or a segment is never acknowledged.

#include <gtest/gtest.h>

#include <string>

#include "engine/udp/QUStreamCore.h"
#include "platform/Socket.h"
#include "tests/support/StreamLinkSim.h"

namespace engine {
namespace {

using stream_sim::Connection;
using stream_sim::Datagram;
using stream_sim::LinkFaults;
using stream_sim::Network;
using stream_sim::Node;
using stream_sim::Transfer;

constexpr uint16_t VirtualPort = 6881;
constexpr int32_t TimeoutSeconds = 30;
constexpr uint64_t TransferBytes = 64ull << 20;

platform::SocketAddress AddressA() { return {platform::MakeIpv4(127, 0, 0, 1), 7001}; }
platform::SocketAddress AddressB() { return {platform::MakeIpv4(127, 0, 0, 2), 7002}; }
const QUNodeId NodeA{1, 2, 3, 4, 5, 6, 7, 8};
const QUNodeId NodeB{9, 10, 11, 12, 13, 14, 15, 16};

QUStreamInfo InfoOf(Node& n, QUHandle h) {
    QUStreamInfo info;
    EXPECT_TRUE(n.core.Inspect(h, &info));
    return info;
}

class StreamTransferTest : public testing::TestWithParam<int> {};

TEST_P(StreamTransferTest, Moves64MiBByteIdentically) {
    const int loss = GetParam();
    LinkFaults faults;
    faults.drop_percent = loss;
    faults.duplicate_percent = 2;
    faults.reorder_percent = 5;
    faults.delay_ms = 5;
    faults.seed = 100 + static_cast<uint64_t>(loss);
    Network net(faults);
    net.keep_log = false;
    Node& a = net.AddNode(AddressA(), NodeA, TimeoutSeconds);
    Node& b = net.AddNode(AddressB(), NodeB, TimeoutSeconds);
    const Connection c = stream_sim::Connect(net, a, b, VirtualPort, 120000);
    ASSERT_NE(c.accepted, InvalidQUHandle);

    Transfer transfer(a, c.client, b, c.accepted, TransferBytes);
    auto over = [&] {
        return transfer.Done() || InfoOf(a, c.client).state == QUState::Dead ||
               InfoOf(b, c.accepted).state == QUState::Dead;
    };
    // Virtual time; even 20 % loss needs far less than a day.
    ASSERT_TRUE(net.RunUntil(over, 24ull * 3600 * 1000, [&] { transfer.Pump(); }));
    EXPECT_TRUE(transfer.Intact()) << transfer.Received() << " bytes received";
    EXPECT_EQ(InfoOf(a, c.client).state, QUState::Established);
    EXPECT_EQ(InfoOf(b, c.accepted).state, QUState::Established);
    if (loss == 0) {
        // Without loss nothing is sent twice: the time-outs sit well above the
        // round trip and the acknowledgement period.
        EXPECT_EQ(InfoOf(a, c.client).packets_retransmitted_total, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Loss, StreamTransferTest, testing::Values(0, 5, 20),
                         [](const testing::TestParamInfo<int>& param) {
                             return std::to_string(param.param) + "Percent";
                         });

TEST(StreamDeathTest, CutLinkKillsBothEndsAfterTheTimeOutAndNotBefore) {
    Network net;
    Node& a = net.AddNode(AddressA(), NodeA, TimeoutSeconds);
    Node& b = net.AddNode(AddressB(), NodeB, TimeoutSeconds);
    const Connection c = stream_sim::Connect(net, a, b, VirtualPort);
    ASSERT_NE(c.accepted, InvalidQUHandle);
    Transfer transfer(a, c.client, b, c.accepted, TransferBytes);
    net.RunFor(2000, [&] { transfer.Pump(); });
    ASSERT_GT(transfer.Received(), 0u);

    net.cut = true;
    const uint64_t cut_ms = net.clock.elapsed_ms;
    const size_t keepalives = net.CountSent(QUWire::KeepAlive, a.address);
    uint64_t a_dead_ms = 0;
    uint64_t b_dead_ms = 0;
    ASSERT_TRUE(net.RunUntil(
        [&] {
            if (!a_dead_ms && InfoOf(a, c.client).state == QUState::Dead) a_dead_ms = net.clock.elapsed_ms;
            if (!b_dead_ms && InfoOf(b, c.accepted).state == QUState::Dead) b_dead_ms = net.clock.elapsed_ms;
            return a_dead_ms && b_dead_ms;
        },
        5 * TimeoutSeconds * 1000, [&] { transfer.Pump(); }));
    for (uint64_t dead_ms : {a_dead_ms, b_dead_ms}) {
        EXPECT_GT(dead_ms - cut_ms, uint64_t{TimeoutSeconds - 1} * 1000);
        // The maintenance pass runs every 3 s.
        EXPECT_LT(dead_ms - cut_ms, uint64_t{TimeoutSeconds + 4} * 1000);
    }
    // Silent for more than half the time-out, the ends ask with keep-alives.
    EXPECT_GE(net.CountSent(QUWire::KeepAlive, a.address) - keepalives, 3u);

    uint8_t bytes[16] = {};
    EXPECT_EQ(a.core.QUSend(c.client, bytes, sizeof bytes, net.Now()), -1);
    EXPECT_EQ(platform::LastSocketError(), platform::SocketError::NotConnected);
    EXPECT_EQ(b.core.QURecv(c.accepted, bytes, sizeof bytes), -1);
    EXPECT_EQ(platform::LastSocketError(), platform::SocketError::NotConnected);
}

TEST(StreamDeathTest, SegmentNeverAcknowledgedEndsTheStreamAfter128Resends) {
    Network net;
    Node& a = net.AddNode(AddressA(), NodeA, TimeoutSeconds);
    Node& b = net.AddNode(AddressB(), NodeB, TimeoutSeconds);
    const Connection c = stream_sim::Connect(net, a, b, VirtualPort);
    ASSERT_NE(c.accepted, InvalidQUHandle);
    // Only a's DATA is lost; acknowledgements still flow both ways, so
    // neither end times out and only the resend limit can end it.
    net.drop_if = [&](const Datagram& d) { return d.from == a.address && d.Type() == QUWire::Data; };
    uint8_t bytes[100] = {};
    ASSERT_EQ(a.core.QUSend(c.client, bytes, sizeof bytes, net.Now()), 100);
    ASSERT_TRUE(net.RunUntil([&] { return InfoOf(a, c.client).state == QUState::Dead; }, 4ull * 3600 * 1000));
    // Sent once by QUSend, then by the retransmission pass until its count
    // passed 128.
    EXPECT_EQ(net.CountSent(QUWire::Data, a.address), 1u + 129u);
    EXPECT_GT(net.clock.elapsed_ms, uint64_t{3600} * 1000);
    EXPECT_EQ(InfoOf(b, c.accepted).state, QUState::Established);
}

}  // namespace
}  // namespace engine
