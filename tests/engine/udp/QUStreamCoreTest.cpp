// The stream core's calls and packet rules, with two cores on a simulated
// link (no loss unless a test cuts it) and datagrams crafted where a test
// needs one no well-behaved peer sends.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/udp/QUStreamCore.h"
#include "platform/Socket.h"
#include "tests/support/StreamLinkSim.h"

namespace engine {
namespace {

using stream_sim::Connection;
using stream_sim::Datagram;
using stream_sim::Network;
using stream_sim::Node;

constexpr uint16_t VirtualPort = 6881;
constexpr int32_t TimeoutSeconds = 30;

class StreamCoreTest : public testing::Test {
protected:
    QUNow Now() const { return net.Now(); }
    static int Error() { return platform::LastSocketError(); }
    QUState StateOf(Node& n, QUHandle h) {
        QUStreamInfo info;
        EXPECT_TRUE(n.core.Inspect(h, &info));
        return info.state;
    }
    QUStreamInfo InfoOf(Node& n, QUHandle h) {
        QUStreamInfo info;
        EXPECT_TRUE(n.core.Inspect(h, &info));
        return info;
    }
    Connection Establish() {
        Connection c = stream_sim::Connect(net, a, b, VirtualPort);
        EXPECT_NE(c.accepted, InvalidQUHandle);
        return c;
    }
    // A sealed packet from `from` to the core of `to`, naming `handle`;
    // `words` are (offset, value) pairs of the body.
    static Datagram Craft(const Node& from, const Node& to, uint32_t handle, uint32_t type,
                          const std::vector<std::pair<size_t, uint32_t>>& words, size_t payload = 0,
                          uint32_t sequence = 1000) {
        Datagram d{from.address, to.address, std::vector<uint8_t>(QUWire::HeaderSize + payload, 0x5A)};
        std::fill(d.bytes.begin(), d.bytes.begin() + QUWire::HeaderSize, 0);
        QUWire::Head head;
        head.handle = handle;
        head.sequence = sequence;
        head.type = type;
        head.receiver = MakeQUIdentity(to.node_id);
        QUWire::WriteHead(d.bytes.data(), head);
        for (const auto& [at, value] : words) QUWire::Put32(d.bytes.data() + at, value);
        QUWire::Seal(d.bytes.data(), d.bytes.size());
        return d;
    }
    // A DATA packet from a to b's end of `c`.
    Datagram DataToB(const Connection& c, uint32_t sequence, uint32_t length_word, size_t payload) {
        return Craft(a, b, c.accepted, QUWire::Data, {{32, length_word}, {36, sequence}}, payload);
    }

    Network net;
    Node& a = net.AddNode({platform::MakeIpv4(127, 0, 0, 1), 7001}, {1, 2, 3, 4, 5, 6, 7, 8}, TimeoutSeconds);
    Node& b = net.AddNode({platform::MakeIpv4(127, 0, 0, 2), 7002}, {9, 10, 11, 12, 13, 14, 15, 16}, TimeoutSeconds);
};

TEST_F(StreamCoreTest, ConnectsThroughTheLookupAndNamesBothEnds) {
    const QUHandle listener = b.core.QUSocket(Now());
    QSocketAddress port{0, VirtualPort, {}};
    ASSERT_EQ(b.core.QUBind(listener, &port), 0);
    ASSERT_EQ(b.core.QUListen(listener, 5), 0);
    const QUHandle client = a.core.QUSocket(Now());
    QSocketAddress to{b.address.ip, VirtualPort, b.node_id};
    EXPECT_EQ(a.core.QUConnect(client, &to, Now()), -1);
    EXPECT_EQ(Error(), platform::SocketError::WouldBlock);
    EXPECT_EQ(StateOf(a, client), QUState::Resolving);

    QUHandle accepted = InvalidQUHandle;
    QSocketAddress peer;
    ASSERT_TRUE(net.RunUntil(
        [&] {
            accepted = b.core.QUAccept(listener, &peer, Now());
            return accepted != InvalidQUHandle;
        },
        10000));
    // The accepted stream knows the initiator by its UDP endpoint and node id.
    EXPECT_EQ(peer.address, a.address.ip);
    EXPECT_EQ(peer.port, a.address.port);
    EXPECT_EQ(peer.node_id, a.node_id);
    EXPECT_EQ(StateOf(a, client), QUState::Established);
    EXPECT_EQ(StateOf(b, accepted), QUState::Established);
    EXPECT_GE(b.forgotten_punches, 1);  // a CONNECT ends the punching towards its sender

    QSocketAddress local;
    ASSERT_EQ(a.core.QUGetSockName(client, &local), 0);
    EXPECT_EQ(local.address, a.address.ip);
    EXPECT_EQ(local.port, VirtualPort);
    EXPECT_EQ(local.node_id, a.node_id);
    std::vector<QUHandle> writable{client};
    EXPECT_EQ(a.core.QUSelect(nullptr, &writable, nullptr), 1);
}

TEST_F(StreamCoreTest, CallsFailWithTheSocketErrorsCallersExpect) {
    const Connection c = Establish();
    const QUHandle fresh = a.core.QUSocket(Now());
    const QUHandle closed = a.core.QUSocket(Now());
    a.core.QUCloseSocket(closed);
    uint8_t bytes[16] = {};
    QSocketAddress b_port{b.address.ip, VirtualPort, b.node_id};
    QSocketAddress nowhere{0, VirtualPort, b.node_id};
    QSocketAddress local;

    struct Case {
        const char* name;
        std::function<int64_t()> call;
        int error;
    };
    const std::vector<Case> cases{
        {"connect on a connected stream", [&] { return a.core.QUConnect(c.client, &b_port, Now()); },
         platform::SocketError::Interrupted},
        {"connect to address 0", [&] { return a.core.QUConnect(fresh, &nowhere, Now()); },
         platform::SocketError::NetworkUnreachable},
        {"send on a handle never handed out", [&] { return a.core.QUSend(0x00770001, bytes, 16, Now()); },
         platform::SocketError::NotSocket},
        {"send on a closed handle", [&] { return a.core.QUSend(closed, bytes, 16, Now()); },
         platform::SocketError::NotSocket},
        {"send on a new stream", [&] { return a.core.QUSend(fresh, bytes, 16, Now()); },
         platform::SocketError::NotConnected},
        {"receive with no data", [&] { return a.core.QURecv(c.client, bytes, 16); },
         platform::SocketError::WouldBlock},
        {"bind a port already listening", [&] {
             QSocketAddress same{0, VirtualPort, {}};
             return b.core.QUBind(b.core.QUSocket(Now()), &same);
         },
         platform::SocketError::AddressInUse},
        {"accept with none waiting", [&] { return int64_t{b.core.QUAccept(c.listener, nullptr, Now())}; },
         platform::SocketError::WouldBlock},
        {"accept on a stream", [&] { return int64_t{a.core.QUAccept(c.client, nullptr, Now())}; },
         platform::SocketError::NotSocket},
        {"name of an unconnected stream", [&] { return a.core.QUGetSockName(fresh, &local); },
         platform::SocketError::NotConnected},
        {"close twice", [&] { return a.core.QUCloseSocket(closed); }, platform::SocketError::NotSocket},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        platform::SetLastSocketError(0);
        const int64_t result = k.call();
        EXPECT_TRUE(result == -1 || result == 0) << result;  // -1, or the invalid handle
        EXPECT_EQ(Error(), k.error);
    }

    b.core.SetServerRunning(false);
    const QUHandle unstarted = b.core.QUSocket(Now());
    QSocketAddress other{0, 7777, {}};
    ASSERT_EQ(b.core.QUBind(unstarted, &other), 0);
    EXPECT_EQ(b.core.QUListen(unstarted, 5), -1);
    EXPECT_EQ(Error(), ENETDOWN);
}

TEST_F(StreamCoreTest, SendWaitsWhileConnectingAndFailsWhileResolving) {
    const QUHandle listener = b.core.QUSocket(Now());
    QSocketAddress port{0, VirtualPort, {}};
    b.core.QUBind(listener, &port);
    b.core.QUListen(listener, 5);
    net.drop_if = [&](const Datagram& d) { return d.from == b.address; };  // no CONNECT_ACK comes back
    const QUHandle client = a.core.QUSocket(Now());
    QSocketAddress to{b.address.ip, VirtualPort, b.node_id};
    a.core.QUConnect(client, &to, Now());
    uint8_t bytes[4] = {};
    EXPECT_EQ(a.core.QUSend(client, bytes, 4, Now()), -1);
    EXPECT_EQ(Error(), platform::SocketError::NotConnected);
    ASSERT_TRUE(net.RunUntil([&] { return StateOf(a, client) == QUState::Connecting; }, 1000));
    EXPECT_EQ(a.core.QUSend(client, bytes, 4, Now()), -1);
    EXPECT_EQ(Error(), platform::SocketError::WouldBlock);
    std::vector<QUHandle> writable{client};
    EXPECT_EQ(a.core.QUSelect(nullptr, &writable, nullptr), 0);
}

TEST_F(StreamCoreTest, FirstSendQueuesTwelveSmallSegmentsAndSendsHalf) {
    const Connection c = Establish();
    net.cut = true;
    const size_t before = net.sent.size();
    std::vector<uint8_t> data(20000, 1);
    // No loss history yet: the estimate is 50 %, so segments are 660 bytes
    // and 6 of the 12 go out at once.
    EXPECT_EQ(a.core.QUSend(c.client, data.data(), static_cast<int64_t>(data.size()), Now()), 7920);
    std::vector<Datagram> sent(net.sent.begin() + static_cast<std::ptrdiff_t>(before), net.sent.end());
    ASSERT_EQ(sent.size(), 6u);
    for (uint32_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].Type(), QUWire::Data);
        EXPECT_EQ(sent[i].bytes.size(), 64u + 660u);
        EXPECT_EQ(QUWire::Get32(sent[i].bytes.data() + 36), i);  // segment sequence
        EXPECT_EQ(QUWire::Get32(sent[i].bytes.data() + 8), c.accepted);  // the receiver's handle
    }
    const QUStreamInfo info = InfoOf(a, c.client);
    EXPECT_EQ(info.used_send_slots, 12);
    EXPECT_EQ(info.loss_percent, 50);
    EXPECT_EQ(a.core.QUSend(c.client, data.data(), 100, Now()), -1);
    EXPECT_EQ(Error(), platform::SocketError::WouldBlock);
}

// A window that opens is refilled at once: an ACK frees its slots for the
// writer (no pass needed first), and the next send puts out the segments that
// were queued but held back (beyond the allowance of 6 without loss history,
// or refused by a full socket) before it queues more.
TEST_F(StreamCoreTest, OpenedWindowIsWritableAtOnceAndItsWaitingSegmentsGoWithTheNextSend) {
    struct Case {
        const char* name;
        bool socket_full_at_first;
        uint32_t acknowledged_up_to;  // receive base of the ACK; 0 = no ACK
        bool writable;
        uint32_t first_sent;  // segment sequences the second send puts out
        uint32_t sent_count;
    };
    const std::array<Case, 2> cases{{
        {"segments beyond the allowance, once the first six are acknowledged", false, 6, true, 6, 6},
        {"segments a full socket refused", true, 0, false, 0, 6},
    }};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Network n;
        Node& x = n.AddNode(a.address, a.node_id);
        Node& y = n.AddNode(b.address, b.node_id);
        const Connection c = stream_sim::Connect(n, x, y, VirtualPort);
        ASSERT_NE(c.accepted, InvalidQUHandle);
        n.cut = true;
        std::vector<uint8_t> data(20000, 7);
        x.send_result = k.socket_full_at_first ? QUSendResult::WouldBlock : QUSendResult::Sent;
        ASSERT_EQ(x.core.QUSend(c.client, data.data(), static_cast<int64_t>(data.size()), n.Now()), 7920);
        x.send_result = QUSendResult::Sent;
        if (k.acknowledged_up_to != 0) {
            const Datagram ack = Craft(y, x, c.client, QUWire::Ack, {{32, 0}, {36, k.acknowledged_up_to}});
            // Straight to the core: no timer pass runs in between.
            x.core.OnStreamPacket(ack.bytes.data(), ack.bytes.size(), y.address, n.Now());
        }
        std::vector<QUHandle> writable{c.client};
        EXPECT_EQ(x.core.QUSelect(nullptr, &writable, nullptr), k.writable ? 1 : 0);

        const size_t before = n.sent.size();
        x.core.QUSend(c.client, data.data(), 100, n.Now());
        std::vector<uint32_t> sequences;
        for (size_t i = before; i < n.sent.size(); ++i) {
            if (n.sent[i].Type() == QUWire::Data) sequences.push_back(QUWire::Get32(n.sent[i].bytes.data() + 36));
        }
        std::vector<uint32_t> expected(k.sent_count);
        for (uint32_t i = 0; i < k.sent_count; ++i) expected[i] = k.first_sent + i;
        EXPECT_EQ(sequences, expected);
    }
}

TEST_F(StreamCoreTest, DropsDataWhoseLengthIsWrongEmptyOrTooLarge) {
    const Connection c = Establish();
    net.cut = true;
    net.RunFor(100);  // the first idle acknowledgement is out of the way
    struct Case {
        const char* name;
        uint32_t length_word;
        size_t payload;
        bool kept;
    };
    const std::array<Case, 4> cases{{
        {"length word disagrees with the datagram", 10, 11, false},
        {"empty payload", 0, 0, false},
        {"payload above the segment size", 1321, 1321, false},
        {"a proper segment", 10, 10, true},
    }};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const size_t acks = net.CountSent(QUWire::Ack, b.address);
        net.Inject(DataToB(c, 0, k.length_word, k.payload));
        net.RunFor(50);
        EXPECT_EQ(net.CountSent(QUWire::Ack, b.address) > acks, k.kept);
        uint8_t buffer[2000];
        const int64_t n = b.core.QURecv(c.accepted, buffer, sizeof buffer);
        EXPECT_EQ(n, k.kept ? 10 : -1);
        EXPECT_EQ(StateOf(b, c.accepted), QUState::Established);
    }
}

TEST_F(StreamCoreTest, DuplicateDataIsAcknowledgedAgainButReadOnce) {
    const Connection c = Establish();
    net.cut = true;
    net.RunFor(100);
    const size_t acks = net.CountSent(QUWire::Ack, b.address);
    net.Inject(DataToB(c, 0, 10, 10));
    net.RunFor(50);
    const size_t after_first = net.CountSent(QUWire::Ack, b.address);
    EXPECT_GT(after_first, acks);
    net.Inject(DataToB(c, 0, 10, 10));
    net.RunFor(50);
    EXPECT_GT(net.CountSent(QUWire::Ack, b.address), after_first);
    uint8_t buffer[100];
    EXPECT_EQ(b.core.QURecv(c.accepted, buffer, sizeof buffer), 10);
    EXPECT_EQ(b.core.QURecv(c.accepted, buffer, sizeof buffer), -1);
}

TEST_F(StreamCoreTest, AckCannotAcknowledgeWhatWasNeverSent) {
    struct Case {
        const char* name;
        int64_t bytes;  // 660-byte segments; 6 go out at once, the rest wait
        uint32_t receive_base;
        uint8_t flags;  // every flag byte
        int slots_left;
        uint32_t acknowledged;
    };
    const std::array<Case, 4> cases{{
        {"receive base one past the sent ones", 3300, 6, 0, 5, 0},
        {"receive base at the sent ones", 3300, 5, 0, 0, 3300},
        {"flags for slots not sent yet", 20000, 6, 1, 6, 3960},
        {"receive base far ahead", 20000, 0x40000000, 1, 12, 0},
    }};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Network n;
        Node& x = n.AddNode(a.address, a.node_id);
        Node& y = n.AddNode(b.address, b.node_id);
        const Connection c = stream_sim::Connect(n, x, y, VirtualPort);
        n.cut = true;
        std::vector<uint8_t> data(static_cast<size_t>(k.bytes), 3);
        x.core.QUSend(c.client, data.data(), k.bytes, n.Now());
        std::vector<std::pair<size_t, uint32_t>> words{{32, 0}, {36, k.receive_base}};
        const uint32_t flag_word = k.flags * 0x01010101u;
        for (size_t at = 40; at < 52; at += 4) words.emplace_back(at, flag_word);
        n.Inject(Craft(y, x, c.client, QUWire::Ack, words));
        n.RunFor(5);
        QUStreamInfo info;
        ASSERT_TRUE(x.core.Inspect(c.client, &info));
        EXPECT_EQ(info.bytes_acknowledged, k.acknowledged);
        // Freed slots leave the front when the next acknowledgement is due.
        n.RunFor(1300);
        ASSERT_TRUE(x.core.Inspect(c.client, &info));
        EXPECT_EQ(info.used_send_slots, k.slots_left);
    }
}

TEST_F(StreamCoreTest, LatePacketForAClosedStreamMissesTheStreamReusingItsRecord) {
    const Connection first = Establish();
    uint8_t bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    a.core.QUSend(first.client, bytes, sizeof bytes, Now());
    const Datagram late = net.sent.back();
    ASSERT_EQ(late.Type(), QUWire::Data);
    net.RunFor(100);
    uint8_t buffer[100];
    ASSERT_EQ(b.core.QURecv(first.accepted, buffer, sizeof buffer), 10);
    a.core.QUCloseSocket(first.client);
    b.core.QUCloseSocket(first.accepted);
    b.core.QUCloseSocket(first.listener);

    const Connection second = Establish();
    // Same record, new generation: only the handle's high half differs.
    EXPECT_EQ(second.accepted & 0xFFFF, first.accepted & 0xFFFF);
    EXPECT_NE(second.accepted, first.accepted);
    net.Inject(late);
    net.RunFor(100);
    EXPECT_EQ(b.core.QURecv(second.accepted, buffer, sizeof buffer), -1);
    EXPECT_EQ(Error(), platform::SocketError::WouldBlock);
    EXPECT_EQ(InfoOf(b, second.accepted).bytes_received, 0u);
}

TEST_F(StreamCoreTest, ConnectWithoutListenerIsRefusedAndTheInitiatorDiesAtOnce) {
    const QUHandle client = a.core.QUSocket(Now());
    QSocketAddress to{b.address.ip, 7777, b.node_id};
    a.core.QUConnect(client, &to, Now());
    ASSERT_TRUE(net.RunUntil([&] { return StateOf(a, client) == QUState::Dead; }, 10000));
    // One REFUSE for each copy of the CONNECT, nothing more.
    EXPECT_EQ(net.CountSent(QUWire::Refuse, b.address), net.CountSent(QUWire::Connect, a.address));
    const Datagram refuse = [&] {
        for (const auto& d : net.sent) {
            if (d.Type() == QUWire::Refuse) return d;
        }
        return Datagram{};
    }();
    ASSERT_EQ(refuse.bytes.size(), 64u);
    EXPECT_EQ(QUWire::Get32(refuse.bytes.data() + 8), client);  // the initiator's own handle
    EXPECT_EQ(QUWire::Get32(refuse.bytes.data() + 48), 7777u);
    std::vector<QUHandle> failed{client};
    EXPECT_EQ(a.core.QUSelect(nullptr, nullptr, &failed), 1);
}

TEST_F(StreamCoreTest, NewerConnectionIdReplacesTheHalfOpenRecord) {
    const QUHandle listener = b.core.QUSocket(Now());
    QSocketAddress port{0, VirtualPort, {}};
    b.core.QUBind(listener, &port);
    b.core.QUListen(listener, 5);
    net.drop_if = [&](const Datagram& d) { return d.from == b.address; };
    const QUHandle client = a.core.QUSocket(Now());
    QSocketAddress to{b.address.ip, VirtualPort, b.node_id};
    a.core.QUConnect(client, &to, Now());
    ASSERT_TRUE(net.RunUntil([&] { return net.CountSent(QUWire::ConnectAck, b.address) > 0; }, 10000));
    Datagram connect;
    for (const auto& d : net.sent) {
        if (d.Type() == QUWire::Connect) connect = d;
    }
    uint32_t old_record = 0;
    for (const auto& d : net.sent) {
        if (d.Type() == QUWire::ConnectAck) old_record = QUWire::Get32(d.bytes.data() + 8);
    }
    EXPECT_EQ(StateOf(b, old_record), QUState::Accepting);

    // The initiator starts over: same handle, a later connection id.
    QUWire::Put32(connect.bytes.data() + 60, QUWire::Get32(connect.bytes.data() + 60) + 5);
    QUWire::Put32(connect.bytes.data() + 12, 500);
    QUWire::Seal(connect.bytes.data(), connect.bytes.size());
    net.Inject(connect);
    net.RunFor(5);
    EXPECT_EQ(StateOf(b, old_record), QUState::Dead);
    const Datagram& ack = net.sent.back();
    ASSERT_EQ(ack.Type(), QUWire::ConnectAck);
    const uint32_t new_record = QUWire::Get32(ack.bytes.data() + 8);
    EXPECT_NE(new_record, old_record);
    EXPECT_EQ(StateOf(b, new_record), QUState::Accepting);
    EXPECT_EQ(QUWire::Get32(ack.bytes.data() + 56), QUWire::Get32(connect.bytes.data() + 60));
}

TEST_F(StreamCoreTest, EstablishedStreamWaitingToBeAcceptedDoesNotTimeOut) {
    const QUHandle listener = b.core.QUSocket(Now());
    QSocketAddress port{0, VirtualPort, {}};
    b.core.QUBind(listener, &port);
    b.core.QUListen(listener, 5);
    const QUHandle client = a.core.QUSocket(Now());
    QSocketAddress to{b.address.ip, VirtualPort, b.node_id};
    a.core.QUConnect(client, &to, Now());
    ASSERT_TRUE(net.RunUntil([&] { return StateOf(a, client) == QUState::Established; }, 10000));
    net.RunFor(100);
    net.cut = true;
    net.RunFor(3 * TimeoutSeconds * 1000);
    EXPECT_EQ(StateOf(a, client), QUState::Dead);  // the initiator's side timed out
    std::vector<QUHandle> readable{listener};
    EXPECT_EQ(b.core.QUSelect(&readable, nullptr, nullptr), 1);
    const QUHandle accepted = b.core.QUAccept(listener, nullptr, Now());
    ASSERT_NE(accepted, InvalidQUHandle);
    EXPECT_EQ(StateOf(b, accepted), QUState::Established);
    // Accepting refreshed it: from now on it times out like any stream.
    net.RunFor((TimeoutSeconds - 3) * 1000);
    EXPECT_EQ(StateOf(b, accepted), QUState::Established);
    net.RunFor(6000);
    EXPECT_EQ(StateOf(b, accepted), QUState::Dead);
}

TEST_F(StreamCoreTest, IdleStreamKeepsItselfAliveWithKeepAlives) {
    const Connection c = Establish();
    net.RunFor(10 * TimeoutSeconds * 1000);
    EXPECT_EQ(StateOf(a, c.client), QUState::Established);
    EXPECT_EQ(StateOf(b, c.accepted), QUState::Established);
    // Idle acknowledgements every 12 s refresh both ends, so keep-alives are
    // only the fallback; what matters is that nothing times out.
    EXPECT_GT(net.CountSent(QUWire::Ack, a.address), 10u);
}

TEST_F(StreamCoreTest, KeepAliveMovesThePeerPortAndCloseEndsTheStream) {
    const Connection c = Establish();
    // The initiator's NAT moved its mapping: a KEEPALIVE from the new port
    // teaches the responder where to send.
    Node moved_view{net, {a.address.ip, 9999}, a.node_id, TimeoutSeconds};
    net.Inject(Craft(moved_view, b, c.accepted, QUWire::KeepAlive, {{32, VirtualPort}}));
    net.RunFor(5);
    uint8_t bytes[3] = {1, 2, 3};
    b.core.QUSend(c.accepted, bytes, 3, Now());
    EXPECT_EQ(net.sent.back().to.port, 9999);

    // A CLOSE naming another connection id is ignored; the right one ends it.
    net.Inject(Craft(a, b, c.accepted, QUWire::Close, {{32, VirtualPort}, {36, c.client}, {40, 12345}}));
    net.RunFor(5);
    EXPECT_EQ(StateOf(b, c.accepted), QUState::Established);
    net.Inject(Craft(a, b, c.accepted, QUWire::Close, {{32, VirtualPort}, {36, c.client}, {40, 0}}));
    net.RunFor(5);
    EXPECT_EQ(StateOf(b, c.accepted), QUState::Dead);
}

TEST_F(StreamCoreTest, ReaderGetsWhatArrivedBeforeThePeerClosed) {
    const Connection c = Establish();
    std::vector<uint8_t> data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    int64_t queued = 0;
    ASSERT_TRUE(net.RunUntil(
        [&] {
            if (queued < 5000) {
                const int64_t n = a.core.QUSend(c.client, data.data() + queued, 5000 - queued, Now());
                if (n > 0) queued += n;
            }
            return InfoOf(a, c.client).bytes_acknowledged == 5000;
        },
        20000));
    a.core.QUCloseSocket(c.client);
    net.RunFor(50);
    ASSERT_EQ(StateOf(b, c.accepted), QUState::Dead);
    std::vector<QUHandle> failed{c.accepted};
    EXPECT_EQ(b.core.QUSelect(nullptr, nullptr, &failed), 1);
    std::vector<uint8_t> got(6000);
    int64_t total = 0;
    for (int64_t n; (n = b.core.QURecv(c.accepted, got.data() + total, 700)) > 0;) total += n;
    EXPECT_EQ(Error(), platform::SocketError::NotConnected);
    ASSERT_EQ(total, 5000);
    got.resize(5000);
    EXPECT_EQ(got, data);
    EXPECT_EQ(b.core.QUSend(c.accepted, data.data(), 10, Now()), -1);
    EXPECT_EQ(Error(), platform::SocketError::NotConnected);
}

TEST_F(StreamCoreTest, SegmentTheReceiverLacksBehindALaterOneIsResentBeforeTheTimeOut) {
    const Connection c = Establish();
    // The first DATA of segment 0 is lost; the five sent with it arrive.
    bool dropped = false;
    net.drop_if = [&](const Datagram& d) {
        if (dropped || d.from != a.address || d.Type() != QUWire::Data || QUWire::Get32(d.bytes.data() + 36) != 0) {
            return false;
        }
        return dropped = true;
    };
    std::vector<uint8_t> data(3960);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
    ASSERT_EQ(a.core.QUSend(c.client, data.data(), static_cast<int64_t>(data.size()), Now()), 3960);
    const uint64_t start = net.clock.elapsed_ms;
    ASSERT_TRUE(net.RunUntil([&] { return InfoOf(a, c.client).bytes_acknowledged == 3960; }, 20000));
    // The acknowledgement holding segments 1-5 shows segment 0 missing: it
    // goes again within a few passes, not after the 1.6-s time-out...
    EXPECT_LT(net.clock.elapsed_ms - start, 400u);
    EXPECT_TRUE(dropped);
    // ... once only, since nothing sent after the resend was held before it.
    size_t sends_of_zero = 0;
    for (const Datagram& d : net.sent) {
        sends_of_zero += d.from == a.address && d.Type() == QUWire::Data && QUWire::Get32(d.bytes.data() + 36) == 0;
    }
    EXPECT_EQ(sends_of_zero, 2u);
    std::vector<uint8_t> got(4000);
    ASSERT_EQ(b.core.QURecv(c.accepted, got.data(), static_cast<int64_t>(got.size())), 3960);
    got.resize(3960);
    EXPECT_EQ(got, data);
}

TEST_F(StreamCoreTest, ASocketThatWouldBlockEndsTheRetransmissionPass) {
    const Connection first = Establish();
    const Connection second = [&] {
        Connection c;
        c.client = a.core.QUSocket(Now());
        QSocketAddress to{b.address.ip, VirtualPort, b.node_id};
        a.core.QUConnect(c.client, &to, Now());
        net.RunUntil([&] { return StateOf(a, c.client) == QUState::Established; }, 10000);
        return c;
    }();
    ASSERT_EQ(StateOf(a, second.client), QUState::Established);
    net.cut = true;
    uint8_t bytes[100] = {};
    a.core.QUSend(first.client, bytes, sizeof bytes, Now());
    a.core.QUSend(second.client, bytes, sizeof bytes, Now());
    net.clock.elapsed_ms += 5000;  // both segments are due again

    a.send_result = QUSendResult::WouldBlock;
    const uint64_t attempts = a.send_attempts;
    a.core.RetransmissionPass(Now());
    EXPECT_EQ(a.send_attempts, attempts + 1);

    a.send_result = QUSendResult::Sent;
    const size_t data_before = net.CountSent(QUWire::Data, a.address);
    a.core.RetransmissionPass(Now());
    EXPECT_EQ(net.CountSent(QUWire::Data, a.address), data_before + 2);
}

TEST_F(StreamCoreTest, PunchFromThePlaceholdersEndpointConnectsAtOnce) {
    const QUHandle listener = b.core.QUSocket(Now());
    QSocketAddress port{0, VirtualPort, {}};
    b.core.QUBind(listener, &port);
    b.core.QUListen(listener, 5);
    // Known only by its endpoint: a placeholder id, which no lookup resolves.
    QUNodeId placeholder{0, 0};
    std::memcpy(placeholder.data() + 2, &b.address.ip, 4);
    placeholder[6] = static_cast<uint8_t>(b.address.port >> 8);
    placeholder[7] = static_cast<uint8_t>(b.address.port);
    const QUHandle client = a.core.QUSocket(Now());
    QSocketAddress to{b.address.ip, VirtualPort, placeholder};
    a.core.QUConnect(client, &to, Now());

    std::array<uint8_t, 48> punch{};
    const QUIdentity a_identity = MakeQUIdentity(a.node_id);
    const QUIdentity b_identity = MakeQUIdentity(b.node_id);
    std::copy(a_identity.begin(), a_identity.end(), punch.begin() + 20);
    punch[32] = static_cast<uint8_t>(b.address.port >> 8);
    punch[33] = static_cast<uint8_t>(b.address.port);
    std::copy(b_identity.begin(), b_identity.end(), punch.begin() + 36);
    a.core.OnPunch(punch.data(), punch.size(), b.address);
    EXPECT_EQ(StateOf(a, client), QUState::Connecting);
    EXPECT_EQ(net.CountSent(QUWire::Connect, a.address), 2u);

    QUHandle accepted = InvalidQUHandle;
    ASSERT_TRUE(net.RunUntil(
        [&] {
            accepted = b.core.QUAccept(listener, nullptr, Now());
            return accepted != InvalidQUHandle;
        },
        5000));
    EXPECT_EQ(StateOf(a, client), QUState::Established);
}

}  // namespace
}  // namespace engine
