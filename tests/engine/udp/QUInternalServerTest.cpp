// The UDP server driven pass by pass on a fake socket and a manual clock:
// its timers (REGISTER, keep-alive PING, stream passes, maintenance and the
// punch list), the rendezvous replies, the LOOKUP batch and the send path.

#include "engine/udp/QUInternalServer.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "UdpTestSupport.h"

namespace {

using namespace udp_test;
using Bytes = std::vector<uint8_t>;

const uint32_t PublicIp = Ip(203, 0, 113, 9);

class QUInternalServerTest : public ServerFixture {
protected:
    // Answers every PING and REGISTER sent so far, as the rendezvous server
    // does, with `seen` as the address it saw.
    void AnswerRendezvous(uint32_t seen) {
        for (; m_answered < script.sent.size(); ++m_answered) {
            const Sent& s = script.sent[m_answered];
            const bool request = engine::IsPing(s.bytes.data(), s.bytes.size()) ||
                                 (s.bytes.size() == engine::RegisterSize && engine::ReadBe32(&s.bytes[12]) == 2);
            if (s.address == RendezvousIp && request) Receive(engine::BuildPingReply({seen, 40000}));
        }
        Drain();
    }
    // Moves the clock second by second, answering as it goes, and returns the
    // PINGs and REGISTERs that went out.
    std::pair<size_t, size_t> RunFor(int seconds, uint32_t seen) {
        const size_t pings = Pings();
        const size_t registers = Registers();
        for (int i = 0; i < seconds; ++i) {
            clock.Advance(1);
            server->RunPass();
            AnswerRendezvous(seen);
        }
        return {Pings() - pings, Registers() - registers};
    }
    Bytes CallMe(uint32_t address, uint16_t port, uint8_t who) {
        engine::QUNodeId caller{};
        caller.fill(who);
        return engine::BuildCallMe({engine::MakeIdentity(caller), address, port});
    }
    size_t PunchesTo(uint32_t address) const {
        return CountSent([&](const Sent& s) { return s.address == address && s.bytes.size() == engine::PunchSize; });
    }

    size_t m_answered = 0;
};

TEST_F(QUInternalServerTest, FirstPassRegistersAndPingsAndRegistersAgainUntilAnswered) {
    server->RunPass();
    EXPECT_EQ(Registers(), 1u);
    EXPECT_EQ(Pings(), 1u);  // the public address is not known yet
    EXPECT_TRUE(server->IsBehindNat());
    // No PING_REPLY came: REGISTER goes out again on the next pass.
    server->RunPass();
    EXPECT_EQ(Registers(), 2u);
    AnswerRendezvous(PublicIp);
    EXPECT_EQ(server->PublicAddress(), PublicIp);
    EXPECT_EQ(server->PublicPort(), 40000u);
    const auto [pings, registers] = RunFor(51, PublicIp);
    EXPECT_EQ(pings, 0u);
    EXPECT_EQ(registers, 0u);
    // The REGISTER carries this node's identity (byte 0 and 1 kept as they
    // were, being non-zero) and its local endpoint.
    const Sent& first = script.sent.front();
    EXPECT_EQ(Bytes(first.bytes.begin() + 16, first.bytes.begin() + 28),
              Bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 'U', 'D', 'P', '0'}));
    EXPECT_EQ(Bytes(first.bytes.begin() + 32, first.bytes.begin() + 40), Bytes({10, 0, 0, 2, 0, 0, 0x1F, 0x40}));
}

TEST_F(QUInternalServerTest, BehindNatPingsEveryIntervalAndRegistersEvery300Seconds) {
    server->RunPass();
    AnswerRendezvous(PublicIp);
    server->RunPass();
    AnswerRendezvous(PublicIp);
    // 52 s keep-alive: one PING at 52 s, one at 104 s.
    auto [pings, registers] = RunFor(51, PublicIp);
    EXPECT_EQ(pings, 0u);
    std::tie(pings, registers) = RunFor(1, PublicIp);
    EXPECT_EQ(pings, 1u);
    std::tie(pings, registers) = RunFor(52, PublicIp);
    EXPECT_EQ(pings, 1u);
    // REGISTER: more than 299 s after the last one (sent at second 0).
    std::tie(pings, registers) = RunFor(299 - 104, PublicIp);
    EXPECT_EQ(registers, 0u);
    std::tie(pings, registers) = RunFor(1, PublicIp);
    EXPECT_EQ(registers, 1u);
    EXPECT_GE(trims, 1);
}

TEST_F(QUInternalServerTest, WithoutNatNoKeepAliveTrafficAndRegisterEvery300Seconds) {
    server->RunPass();
    AnswerRendezvous(LocalIp);
    server->RunPass();
    AnswerRendezvous(LocalIp);
    EXPECT_FALSE(server->IsBehindNat());
    EXPECT_EQ(server->PublicAddress(), LocalIp);
    const size_t pings_before = Pings();
    const auto [pings, registers] = RunFor(900, LocalIp);
    EXPECT_EQ(pings, 0u);
    EXPECT_EQ(Pings(), pings_before);
    EXPECT_EQ(registers, 3u);
}

TEST_F(QUInternalServerTest, KeepAliveWithoutReplyRegistersOnTheNextPass) {
    server->RunPass();
    server->RunPass();
    EXPECT_EQ(Registers(), 2u);
    // The server never answers: at the next keep-alive moment the node
    // registers again instead of waiting for the 300-s timer.
    clock.Advance(51);
    server->RunPass();
    EXPECT_EQ(Registers(), 2u);
    clock.Advance(1);
    server->RunPass();
    EXPECT_EQ(Pings(), 2u);
    EXPECT_EQ(Registers(), 2u);
    server->RunPass();
    EXPECT_EQ(Registers(), 3u);
}

TEST_F(QUInternalServerTest, PingReplyWithoutUsableAddressKeepsTheAddress) {
    server->RunPass();
    AnswerRendezvous(PublicIp);
    for (uint32_t bad : {0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(bad);
        Receive(engine::BuildPingReply({bad, 41000}));
        Drain();
        EXPECT_EQ(server->PublicAddress(), PublicIp);
        EXPECT_EQ(server->PublicPort(), 41000u);
    }
    // A PING_REPLY from anybody but the rendezvous server is no reply.
    Receive(engine::BuildPingReply({Ip(198, 51, 100, 1), 42000}), Ip(198, 51, 100, 1));
    Drain();
    EXPECT_EQ(server->PublicAddress(), PublicIp);
}

TEST_F(QUInternalServerTest, StreamTimersAndMaintenanceRunOnTheirPeriods) {
    server->RunPass();
    EXPECT_EQ(streams.retransmissions, 1);
    EXPECT_EQ(streams.acknowledgements, 1);
    EXPECT_EQ(streams.maintenances, 1);
    clock.ms += 19;
    server->RunPass();
    EXPECT_EQ(streams.acknowledgements, 1);
    clock.ms += 1;
    server->RunPass();
    EXPECT_EQ(streams.acknowledgements, 2);
    EXPECT_EQ(streams.retransmissions, 1);
    clock.ms += 20;
    server->RunPass();
    EXPECT_EQ(streams.retransmissions, 2);
    EXPECT_EQ(streams.acknowledgements, 3);
    // Maintenance: more than 2 s apart.
    clock.seconds += 2;
    server->RunPass();
    EXPECT_EQ(streams.maintenances, 1);
    clock.seconds += 1;
    server->RunPass();
    EXPECT_EQ(streams.maintenances, 2);
    // The millisecond counter wraps without stopping the passes.
    clock.ms = 0xFFFFFFF0u;
    server->RunPass();
    const int before = streams.retransmissions;
    clock.ms = 0x20;
    server->RunPass();
    EXPECT_EQ(streams.retransmissions, before + 1);
}

// Between passes the loop waits for a datagram rather than sleeping blind,
// and never past the moment the next stream pass falls due: a stream's
// window moves once per acknowledgement pass, so a late pass is a slower
// stream. Only a socket that stays idle slows the loop down.
TEST_F(QUInternalServerTest, IdleWaitEndsWithADatagramOrWhenTheStreamPassesAreDue) {
    struct Step {
        const char* name;
        uint32_t advance_ms;
        bool datagram;
        uint32_t sleep_ms;
        bool until_datagram;
    };
    const std::array<Step, 8> steps{{
        {"a datagram: the next pass at once", 0, true, 0, false},
        {"the empty pass after it runs the due timers, then waits 10 ms", 0, false, 10, true},
        {"the acknowledgement pass is due in 5 ms", 15, false, 5, true},
        {"the acknowledgement pass ran; the next stream pass is 20 ms off", 5, false, 10, true},
        {"idle for more than three passes: the long wait", 0, false, 50, true},
        {"another datagram", 0, true, 0, false},
        {"the retransmission pass is due in 1 ms", 19, false, 1, true},
        {"both passes ran", 1, false, 10, true},
    }};
    server->RunPass();
    Drain();
    clock.ms += 40;  // every stream timer is due
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        clock.ms += step.advance_ms;
        if (step.datagram) Receive(Bytes(4, 1), Ip(198, 51, 100, 7), 4000);
        const auto outcome = server->RunPass();
        EXPECT_EQ(outcome.sleep_ms, step.sleep_ms);
        EXPECT_EQ(outcome.until_datagram, step.until_datagram);
    }
}

TEST_F(QUInternalServerTest, CallMePunchesThreeTimesAndARepeatRestartsTheCycle) {
    server->RunPass();
    AnswerRendezvous(PublicIp);
    const uint32_t caller = Ip(198, 51, 100, 20);
    Receive(CallMe(caller, 5000, 0x42));
    Drain();
    EXPECT_EQ(PunchesTo(caller), 1u);
    const Sent& punch = script.sent.back();
    EXPECT_EQ(punch.port, 5000);
    EXPECT_EQ(Bytes(punch.bytes.begin() + 20, punch.bytes.begin() + 32),
              Bytes({0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 'U', 'D', 'P', '0'}));
    EXPECT_EQ(Bytes(punch.bytes.begin() + 32, punch.bytes.begin() + 36), Bytes({0x1F, 0x40, 0, 0}));
    clock.Advance(3);
    server->RunPass();
    EXPECT_EQ(PunchesTo(caller), 2u);
    // The same caller again: nothing now, and the cycle starts over.
    Receive(CallMe(caller, 5000, 0x43));
    Drain();
    EXPECT_EQ(PunchesTo(caller), 2u);
    for (int i = 0; i < 4; ++i) {
        clock.Advance(3);
        server->RunPass();
    }
    EXPECT_EQ(PunchesTo(caller), 4u);
    EXPECT_EQ(server->PunchListSize(), 0u);
}

TEST_F(QUInternalServerTest, CallMeCountsOnlyFromTheServerWhileBehindNat) {
    server->RunPass();
    Receive(CallMe(Ip(198, 51, 100, 20), 5000, 1), Ip(198, 51, 100, 99));
    Drain();
    EXPECT_EQ(PunchesTo(Ip(198, 51, 100, 20)), 0u);
    AnswerRendezvous(LocalIp);  // not behind NAT
    Receive(CallMe(Ip(198, 51, 100, 20), 5000, 1));
    Drain();
    EXPECT_EQ(PunchesTo(Ip(198, 51, 100, 20)), 0u);
    AnswerRendezvous(PublicIp);
    Receive(engine::BuildPingReply({PublicIp, 40000}));
    Receive(CallMe(Ip(198, 51, 100, 20), 5000, 1));
    Drain();
    EXPECT_EQ(PunchesTo(Ip(198, 51, 100, 20)), 1u);
}

TEST_F(QUInternalServerTest, LookupBatchHoldsThirteenEntries) {
    server->RunPass();
    const engine::QUNodeId target{9, 9, 9, 9, 9, 9, 9, 9};
    uint32_t first = 0;
    for (int i = 0; i < 13; ++i) {
        const uint32_t id = server->AddLookupEntry(Ip(198, 51, 100, uint8_t(i)), target);
        if (i == 0) first = id;
        EXPECT_EQ(id, first);
    }
    const uint32_t second = server->AddLookupEntry(Ip(198, 51, 100, 13), target);
    EXPECT_NE(second, first);
    server->RunPass();
    std::vector<size_t> sizes;
    for (const Sent& s : script.sent) {
        if (s.bytes.size() >= 64 && engine::ReadBe32(&s.bytes[12]) == 3) sizes.push_back(s.bytes.size());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{256, 64}));
    EXPECT_EQ(server->PendingLookupCount(), 2u);
}

class LookupReplyTest : public QUInternalServerTest {
protected:
    Bytes Reply(uint32_t request_id, const std::vector<engine::QULookupReplyEntry>& entries) {
        engine::QURequestHead head;
        head.identity = engine::MakeIdentity(OwnId);
        head.request_id = request_id;
        return engine::BuildLookupReply(head, entries);
    }
    const engine::QUNodeId m_real{7, 7, 7, 7, 7, 7, 7, 7};
    const engine::QUNodeId m_other{8, 8, 8, 8, 8, 8, 8, 8};
    const engine::QUNodeId m_placeholder = engine::MakePlaceholderId(Ip(198, 51, 100, 5), 6881);
};

TEST_F(LookupReplyTest, EntriesResolveStreamsAndPlaceholdersTakeTheEntryAfterThem) {
    server->RunPass();
    const uint32_t id = server->AddLookupEntry(Ip(198, 51, 100, 5), m_placeholder);
    server->RunPass();
    const engine::QUNodeId lone = engine::MakePlaceholderId(Ip(198, 51, 100, 6), 1);
    Receive(Reply(id, {
                          {Ip(198, 51, 100, 6), engine::NotRegisteredPort, lone},  // skipped: another follows
                          {Ip(198, 51, 100, 5), engine::NotRegisteredPort, m_placeholder},
                          {Ip(203, 0, 113, 50), 30000, m_real},
                          {0, engine::NotRegisteredPort, m_other},  // not registered: no endpoint
                          {Ip(203, 0, 113, 51), 30001, m_other},
                      }));
    Drain();
    EXPECT_EQ(streams.resolved, (std::vector<Resolved>{{m_placeholder, m_real, Ip(203, 0, 113, 50), 30000},
                                                       {m_other, m_other, Ip(203, 0, 113, 51), 30001}}));
    EXPECT_EQ(streams.finished, std::vector<uint32_t>{id});
    // The id is answered: the same reply again changes nothing.
    Receive(Reply(id, {{Ip(203, 0, 113, 51), 30001, m_other}}));
    Drain();
    EXPECT_EQ(streams.resolved.size(), 2u);
}

TEST_F(LookupReplyTest, SuspectRepliesAreIgnored) {
    server->RunPass();
    const uint32_t id = server->AddLookupEntry(Ip(198, 51, 100, 5), m_real);
    server->RunPass();
    // Another node's identity: ignored, the id stays pending.
    Bytes foreign = Reply(id, {{Ip(203, 0, 113, 50), 30000, m_real}});
    foreign[16] ^= 1;
    Receive(foreign);
    // From somebody else than the server: not a reply at all.
    Receive(Reply(id, {{Ip(203, 0, 113, 50), 30000, m_real}}), Ip(198, 51, 100, 77));
    Drain();
    EXPECT_TRUE(streams.resolved.empty());
    EXPECT_EQ(server->PendingLookupCount(), 1u);
    // A count far beyond the datagram (wrapping 16 N to 0): ignored as a
    // whole, and the id is used up.
    Bytes huge = Reply(id, {{Ip(203, 0, 113, 50), 30000, m_real}});
    engine::WriteBe32(&huge[44], 0x10000001u);
    Receive(huge);
    Drain();
    EXPECT_TRUE(streams.resolved.empty());
    EXPECT_TRUE(streams.finished.empty());
    EXPECT_EQ(server->PendingLookupCount(), 0u);
}

TEST_F(QUInternalServerTest, FloodOfTinyDatagramsStillLeavesTheTimersTheirTurn) {
    server->RunPass();
    AnswerRendezvous(PublicIp);
    for (int i = 0; i < 200; ++i) Receive(Bytes(1 + i % 8, 0x5A), Ip(198, 51, 100, 66), 9999);
    clock.Advance(52);
    const size_t pings = Pings();
    const int retransmissions = streams.retransmissions;
    for (int i = 0; i < 19; ++i) server->RunPass();
    EXPECT_FALSE(script.incoming.empty());
    EXPECT_EQ(Pings(), pings + 1);
    EXPECT_EQ(streams.retransmissions, retransmissions + 1);
}

TEST_F(QUInternalServerTest, HostileDatagramsAreDroppedAndTheServerKeepsWorking) {
    server->RunPass();
    Bytes bencoded(64, 0);
    bencoded[0] = 'd';
    Bytes stream(64, 0);
    stream[3] = 64;
    const std::vector<Bytes> hostile{Bytes(), Bytes(3, 1), bencoded, Bytes(31, 0xFF), Bytes(47, 0),
                                     Bytes(8192, 0xEE), Bytes(100, 0x80)};
    for (const Bytes& b : hostile) Receive(b, Ip(198, 51, 100, 66), 9999);
    Receive(stream, Ip(198, 51, 100, 66), 9999);
    Drain();
    ASSERT_EQ(streams.packets.size(), 1u);
    EXPECT_EQ(streams.packets.back(), stream);
    Receive(engine::BuildPingReply({PublicIp, 40000}));
    Drain();
    EXPECT_EQ(server->PublicAddress(), PublicIp);
}

TEST_F(QUInternalServerTest, OnlySocketErrorsReopenTheSocket) {
    server->RunPass();
    const Bytes data(64, 1);
    using S = engine::QUSendStatus;
    struct Case {
        const char* name;
        S first;
        S result;
        size_t reopens;
        size_t delivered;
    };
    const std::array<Case, 4> cases{{
        {.name = "sent", .first = S::Sent, .result = S::Sent, .reopens = 0, .delivered = 1},
        {.name = "would block", .first = S::WouldBlock, .result = S::WouldBlock, .reopens = 0, .delivered = 0},
        // EPERM from a filter, ENETUNREACH, EHOSTUNREACH: one destination.
        {.name = "destination", .first = S::DestinationError, .result = S::DestinationError, .reopens = 0,
         .delivered = 0},
        {.name = "socket failed", .first = S::SocketError, .result = S::Sent, .reopens = 1, .delivered = 1},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t opens = script.opened_ports.size();
        const size_t sent = script.sent.size();
        script.send_results.push_back(c.first);
        EXPECT_EQ(server->Send(data.data(), data.size(), Ip(198, 51, 100, 3), 4000), c.result);
        EXPECT_EQ(script.opened_ports.size() - opens, c.reopens);
        EXPECT_EQ(script.sent.size() - sent, c.delivered);
    }
    EXPECT_EQ(server->Send(data.data(), 0, Ip(198, 51, 100, 3), 4000), S::DestinationError);
    EXPECT_EQ(server->Send(data.data(), 8193, Ip(198, 51, 100, 3), 4000), S::DestinationError);
    EXPECT_EQ(server->Send(data.data(), 64, 0, 4000), S::DestinationError);
}

TEST_F(QUInternalServerTest, LocalAddressChangesRebindOnlyForANewPort) {
    server->RunPass();
    const size_t opens = script.opened_ports.size();
    server->SetLocalAddress(Ip(10, 0, 0, 7), 8000);
    server->RunPass();
    EXPECT_EQ(script.opened_ports.size(), opens);
    EXPECT_EQ(server->LocalAddress(), Ip(10, 0, 0, 7));
    server->SetLocalAddress(0xFFFFFFFFu, 70000);
    server->RunPass();
    EXPECT_EQ(server->LocalAddress(), Ip(10, 0, 0, 7));
    EXPECT_EQ(script.opened_ports.size(), opens);
    server->SetLocalAddress(0, 6881);
    server->RunPass();
    ASSERT_EQ(script.opened_ports.size(), opens + 1);
    EXPECT_EQ(script.opened_ports.back(), 6881);
    EXPECT_EQ(server->BoundPort(), 6881);
}

TEST_F(QUInternalServerTest, RebindingToANewPortRegistersAndPingsFromItAtOnce) {
    // Registered and answered from the start-up port, as when the first
    // pass runs before the TCP listener's port is known.
    server->RunPass();
    AnswerRendezvous(PublicIp);
    clock.Advance(5);
    server->RunPass();
    const size_t pings = Pings();
    const size_t registers = Registers();
    server->SetLocalAddress(Ip(10, 0, 0, 7), 6881);
    server->RunPass();
    ASSERT_EQ(script.opened_ports.back(), 6881);
    // The server knows the old endpoint only: both go out again from the
    // new socket without waiting for the 300-s or keep-alive timers.
    EXPECT_EQ(Registers(), registers + 1);
    EXPECT_EQ(Pings(), pings + 1);
    RunFor(2, PublicIp);
    // Reopening the same port after a socket failure changes nothing.
    const size_t settled = Registers();
    script.recv_fails = true;
    RunFor(2, PublicIp);
    EXPECT_EQ(Registers(), settled);
}

TEST_F(QUInternalServerTest, StoppedTransportClosesTheSocketAndRestartsTheTimers) {
    server->RunPass();
    AnswerRendezvous(PublicIp);
    server->SetTransportStopped(true);
    Receive(engine::BuildPingReply({Ip(203, 0, 113, 1), 1}));
    const size_t sent = script.sent.size();
    const auto outcome = server->RunPass();
    EXPECT_TRUE(outcome.paused);
    EXPECT_EQ(server->PublicAddress(), 0u);
    EXPECT_EQ(server->BoundPort(), 0);
    clock.Advance(400);
    server->RunPass();
    EXPECT_EQ(script.sent.size(), sent);
    server->SetTransportStopped(false);
    script.incoming.clear();
    server->RunPass();
    EXPECT_EQ(Registers(), 3u);  // at once, with the timers started over
}

TEST_F(QUInternalServerTest, BindFailureRetriesAfterASecond) {
    server->SetLocalAddress(0, 6000);
    script.open_results.push_back(engine::QUOpenResult::BindFailed);
    const auto outcome = server->RunPass();
    EXPECT_EQ(outcome.sleep_ms, 1000u);
    EXPECT_EQ(server->PublicAddress(), 0u);
    server->RunPass();
    EXPECT_EQ(server->BoundPort(), 6000);
}

TEST_F(QUInternalServerTest, CleanupDropsStreamsPunchesAndThePublicAddress) {
    server->RunPass();
    AnswerRendezvous(PublicIp);
    Receive(CallMe(Ip(198, 51, 100, 20), 5000, 1));
    Drain();
    server->AddLookupEntry(Ip(1, 2, 3, 4), engine::QUNodeId{9, 9, 9, 9, 9, 9, 9, 9});
    server->Cleanup();
    EXPECT_EQ(streams.drops, 1);
    EXPECT_EQ(releases, 1);
    EXPECT_EQ(server->PublicAddress(), 0u);
    EXPECT_EQ(server->PunchListSize(), 0u);
    EXPECT_EQ(server->PendingLookupCount(), 0u);
}

TEST(QUInternalServerConfig, StartupValuesAreChecked) {
    struct Case {
        const char* name;
        std::string host;
        int32_t server_port;
        int32_t timeout_s;
        int32_t local_port;
        int32_t result;
    };
    const std::array<Case, 6> cases{{
        {.name = "valid", .host = "h", .server_port = 82, .timeout_s = 30, .local_port = 8000, .result = 0},
        {.name = "empty host", .host = "", .server_port = 82, .timeout_s = 30, .local_port = 8000, .result = -1},
        {.name = "server port 0", .host = "h", .server_port = 0, .timeout_s = 30, .local_port = 8000, .result = -1},
        {.name = "local port 65536", .host = "h", .server_port = 82, .timeout_s = 30, .local_port = 65536,
         .result = -1},
        {.name = "time-out 0", .host = "h", .server_port = 82, .timeout_s = 0, .local_port = 8000, .result = -1},
        {.name = "negative time-out", .host = "h", .server_port = 82, .timeout_s = -5, .local_port = 1,
         .result = -1},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketScript script;
        engine::QUEnvironment env;
        env.make_socket = [&script] { return std::make_unique<FakeSocket>(&script); };
        engine::QUInternalServer server(env);
        EXPECT_EQ(server.Configure(engine::MakeQUConfig(c.host, c.server_port, 52, c.timeout_s, c.local_port, 0,
                                                        engine::QUNodeId{})),
                  c.result);
    }
    SocketScript script;
    engine::QUEnvironment env;
    env.make_socket = [&script] { return std::make_unique<FakeSocket>(&script); };
    engine::QUInternalServer server(env);
    ASSERT_EQ(server.Configure(engine::MakeQUConfig(std::string(200, 'x'), 82, 3, 30, 8000, 0, engine::QUNodeId{0, 0, 5})),
              0);
    EXPECT_EQ(server.KeepAliveSeconds(), 10);
    // A real id never begins with two zero bytes.
    EXPECT_EQ(server.Identity()[0], 1);
    EXPECT_EQ(server.Identity()[1], 2);
    EXPECT_EQ(server.Identity()[2], 5);
}

// The resolver, the local-address choice and the pool trims may block; none
// of them may run while the server lock is held, or every stream call would
// wait for them.
TEST(QUInternalServerLocking, SlowWorkRunsWithoutTheServerLock) {
    SocketScript script;
    ManualClock clock;
    std::unique_ptr<engine::QUInternalServer> server;
    std::vector<std::string> held;
    auto note = [&](const char* what) {
        if (server->ServerLock().IsHeldByCurrentThread()) held.push_back(what);
    };
    engine::QUEnvironment env;
    env.clock = &clock;
    env.make_socket = [&script] { return std::make_unique<FakeSocket>(&script); };
    env.resolve_host = [&](const std::string&) {
        note("resolve");
        return RendezvousIp;
    };
    env.choose_local_address = [&] {
        note("local address");
        return LocalIp;
    };
    int trims = 0;
    env.trim_packet_pool = [&] {
        note("trim");
        ++trims;
    };
    env.release_packet_pool = [&] { note("release"); };
    server = std::make_unique<engine::QUInternalServer>(env);
    ASSERT_EQ(server->Configure(engine::MakeQUConfig("r", 82, 52, 30, 8000, 0, OwnId)), 0);
    ASSERT_TRUE(server->Prepare());
    server->RunPass();
    server->SetLocalAddress(0, 6000);
    server->RunPass();
    server->Cleanup();
    EXPECT_EQ(server->LocalAddress(), LocalIp);
    EXPECT_GE(trims, 1);
    EXPECT_TRUE(held.empty()) << held.front();
}

}  // namespace
