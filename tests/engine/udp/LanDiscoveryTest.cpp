// LAN discovery inside one process: real tasks driven through the engine's
// call interface meet made-up peers over multicast on loopback (a group and
// port of the test's own), and the process-wide pending list is checked on
// the discovery step itself.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "engine/base/EngineClock.h"
#include "engine/frame/EngineApi.h"
#include "engine/frame/SharedServices.h"
#include "engine/udp/LanDiscovery.h"
#include "platform/Clock.h"
#include "tests/engine/peers/SwarmTestSupport.h"
#include "tests/engine/udp/LanTestSupport.h"
#include "tests/support/Sandbox.h"

namespace lan_test {
namespace {

using engine::LanMessage;
using engine::LanMessageKind;
using namespace std::chrono_literals;

// Real time plus jumps: the engine runs as usual, and a jump of ten seconds
// makes every task's next discovery step due at once.
class JumpingClock final : public platform::ClockSource {
public:
    uint32_t Ticks() override { return static_cast<uint32_t>(RealMs() + m_jump_ms.load()); }
    int64_t WallSeconds() override {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        return std::chrono::duration_cast<std::chrono::seconds>(now).count() + m_jump_ms.load() / 1000;
    }
    void Jump(int64_t seconds) { m_jump_ms += seconds * 1000; }

private:
    static int64_t RealMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    std::atomic<int64_t> m_jump_ms{0};
};

const uint32_t EngineAddress = platform::MakeIpv4(127, 0, 0, 2);
const uint32_t PeerAddress = platform::MakeIpv4(127, 0, 0, 3);
const uint32_t ElsewhereAddress = platform::MakeIpv4(127, 0, 0, 5);

class LanDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        engine::StopTimeThread();
        platform::SetClockSource(&m_clock);
        std::filesystem::create_directories(m_sandbox.File("work"));
        ASSERT_EQ(EngineInitialize(m_sandbox.File("work").c_str()), TW_OK);
        engine::SetLanEndpointSettings({m_group, m_port, true});
        engine::SetListenAddressOverride(EngineAddress);
        m_listen_port = swarm_test::FreePort(EngineAddress);
        SetListenPort(m_listen_port);
        SetP2PEnabled(1);
    }
    void TearDown() override {
        EngineShutdown();
        SetP2PEnabled(0);
        SetListenPort(0);
        engine::SetListenAddressOverride(0);
        engine::SetLanEndpointSettings({});
        engine::StopTimeThread();
        platform::SetClockSource(nullptr);
    }

    // A running P2SP task for a torrent whose data is nowhere: only the LAN
    // can bring it peers. Returns the torrent's info hash.
    Hash RunTask(const std::string& name, uint32_t seed) {
        const std::string content = http_test::RandomContent(1 << 20, seed);
        const swarm_test::Torrent torrent =
            swarm_test::MakeTorrent(content, name, 65536, {"http://127.0.0.1:1/announce"});
        const std::string path = m_sandbox.Write(name + ".torrent", torrent.bytes);
        TaskParams params;
        std::memset(&params, 0, sizeof params);
        params.flags = TW_FLAG_EXACT_TARGET | TW_FLAG_P2SP;
        http_test::CopyText(params.main_source, "file://" + path);
        params.source_text = "";
        http_test::CopyText(params.target, m_sandbox.File(name));
        http_test::CopyText(params.info_path, m_sandbox.File(name + ".twinfo"));
        EXPECT_EQ(CreateTask(&params), TW_OK);
        EXPECT_EQ(SetTaskConnectionLimits(params.handle, 8, 20), TW_OK);
        EXPECT_EQ(::StartTask(params.handle), TW_OK);
        return torrent.info_hash;
    }

    static bool FromEngine(const LanMessage& m, LanMessageKind kind, const Hash& hash) {
        return m.address == EngineAddress && m.kind == kind && m.info_hash == hash;
    }

    // Waits for the engine's announcement of `hash` in the group, moving
    // engine time on by ten seconds at a time (the first step may have come
    // before the membership).
    ::testing::AssertionResult AwaitAnnouncement(GroupSocket& member, const Hash& hash) {
        for (int jump = 0; jump < 4; ++jump) {
            if (jump > 0) m_clock.Jump(10);
            const auto got = member.Collect(
                [&](const LanMessage& m) { return FromEngine(m, LanMessageKind::Announcement, hash); }, 3s);
            if (!got.empty() && FromEngine(got.back(), LanMessageKind::Announcement, hash)) {
                if (got.back().port != m_listen_port) return ::testing::AssertionFailure() << "wrong port";
                return ::testing::AssertionSuccess();
            }
        }
        return ::testing::AssertionFailure() << "no announcement";
    }

    testing_support::Sandbox m_sandbox;
    JumpingClock m_clock;
    uint32_t m_group = TestGroup();
    uint16_t m_port = FreeUdpPort();
    uint16_t m_listen_port = 0;
};

// Announcements and answers bring peers; an announcement is answered, an
// answer is not; the engine's own datagrams are not taken for a peer's; a
// second engine behind the same address is still a peer; datagrams that
// name another host than their sender, or are malformed, bring nobody.
TEST_F(LanDiscovery, PeersInTheGroupAreConnectedAndForgeriesIgnored) {
    GroupSocket member(m_group, m_port, PeerAddress, true);
    GroupSocket same_address(m_group, m_port, EngineAddress, false);
    ASSERT_TRUE(member.Ok() && same_address.Ok());
    const Hash hash = RunTask("a.bin", 1);
    ASSERT_TRUE(AwaitAnnouncement(member, hash));

    PeerListener decoy(PeerAddress);
    PeerListener elsewhere(ElsewhereAddress);
    LanMessage pointing_elsewhere = Message(ElsewhereAddress, elsewhere.Port(), LanMessageKind::Announcement, hash, 50);
    member.Send(pointing_elsewhere);
    engine::LanDatagram header = engine::BuildLanMessage(
        Message(PeerAddress, decoy.Port(), LanMessageKind::Announcement, hash, 51));
    header[0] = 1;
    member.Send(header.data(), header.size());
    engine::LanDatagram kind = engine::BuildLanMessage(
        Message(PeerAddress, decoy.Port(), LanMessageKind::Announcement, hash, 52));
    kind[12] = 7;
    member.Send(kind.data(), kind.size());
    const engine::LanDatagram whole = engine::BuildLanMessage(
        Message(PeerAddress, decoy.Port(), LanMessageKind::Announcement, hash, 53));
    member.Send(whole.data(), 55);

    PeerListener answerer(PeerAddress);
    PeerListener announcer(PeerAddress);
    PeerListener neighbour(EngineAddress);
    member.Send(Message(PeerAddress, answerer.Port(), LanMessageKind::Answer, hash, 60));
    member.Send(Message(PeerAddress, announcer.Port(), LanMessageKind::Announcement, hash, 61));
    same_address.Send(Message(EngineAddress, neighbour.Port(), LanMessageKind::Announcement, hash, 62));
    m_clock.Jump(10);

    for (PeerListener* peer : {&answerer, &announcer, &neighbour}) {
        const std::optional<Hash> asked = peer->AwaitHandshake(10s);
        ASSERT_TRUE(asked.has_value()) << "no connection to port " << peer->Port();
        EXPECT_EQ(*asked, hash);
    }
    // The two announcements were answered; the answer and the engine's own
    // two announcements, read in the same step, were not.
    const auto heard = member.Collect([](const LanMessage&) { return false; }, 200ms);
    EXPECT_EQ(std::count_if(heard.begin(), heard.end(),
                            [&](const LanMessage& m) { return FromEngine(m, LanMessageKind::Answer, hash); }),
              2);
    // Forged candidates would have been connected in the same cycle.
    EXPECT_FALSE(decoy.ConnectionWaiting(1000));
    EXPECT_FALSE(elsewhere.ConnectionWaiting(0));
}

// A message for the second task that the first task's thread reads waits in
// the pending list and reaches the second task at its next step.
TEST_F(LanDiscovery, MessageForAnotherTaskReachesItThroughThePendingList) {
    GroupSocket member(m_group, m_port, PeerAddress, true);
    ASSERT_TRUE(member.Ok());
    const Hash first = RunTask("a.bin", 1);
    const Hash second = RunTask("b.bin", 2);
    ASSERT_TRUE(AwaitAnnouncement(member, first));
    ASSERT_TRUE(AwaitAnnouncement(member, second));

    PeerListener peer(PeerAddress);
    member.Send(Message(PeerAddress, peer.Port(), LanMessageKind::Announcement, second, 70));
    std::optional<Hash> asked;
    for (int jump = 0; jump < 3 && !asked; ++jump) {
        m_clock.Jump(10);
        asked = peer.AwaitHandshake(4s);
    }
    ASSERT_TRUE(asked.has_value());
    EXPECT_EQ(*asked, second);
    EXPECT_EQ(engine::LanPendingCount(), 0u);
}

// The discovery step itself, without tasks: messages for a torrent nobody
// here has seen are parked for the other tasks, at most 64 of them, and
// handed to the task that serves it.
TEST(LanPendingList, HoldsAtMostSixtyFourMessagesUntilTheirTaskLooks) {
    const uint32_t group = TestGroup();
    const uint16_t port = FreeUdpPort();
    engine::SetLanEndpointSettings({group, port, true});
    ASSERT_TRUE(engine::JoinLanGroup(EngineAddress));
    GroupSocket member(group, port, PeerAddress, true);
    ASSERT_TRUE(member.Ok());

    int reader_key = 0;
    int owner_key = 0;
    engine::LanTaskIdentity reader{&reader_key, Filled(1), Filled(100), EngineAddress, 7001};
    engine::LanTaskIdentity owner{&owner_key, Filled(2), Filled(120), EngineAddress, 7001};
    engine::LanTaskState reader_state;
    engine::LanTaskState owner_state;
    EXPECT_TRUE(engine::LanDiscoveryStep(reader, reader_state, 2).empty());  // announces
    EXPECT_TRUE(engine::LanDiscoveryStep(owner, owner_state, 2).empty());    // announces
    for (uint8_t i = 0; i < 100; ++i) {
        member.Send(Message(PeerAddress, static_cast<uint16_t>(8000 + i), LanMessageKind::Answer, owner.info_hash,
                            static_cast<uint8_t>(i)));
    }
    member.Send(Message(PeerAddress, 9000, LanMessageKind::Answer, owner.info_hash, 0));  // a peer id seen before
    ASSERT_TRUE(testing_support::WaitFor([&] {
        engine::LanDiscoveryStep(reader, reader_state, 2);
        return engine::LanPendingCount() == 64;
    }));
    const std::vector<LanMessage> taken = engine::LanDiscoveryStep(owner, owner_state, 2);
    ASSERT_EQ(taken.size(), 64u);
    EXPECT_EQ(taken.front().port, 8000);
    EXPECT_EQ(engine::LanPendingCount(), 0u);

    engine::ForgetLanTask(&reader_key);
    engine::ForgetLanTask(&owner_key);
    engine::LeaveLanGroup();
    engine::SetLanEndpointSettings({});
}

}  // namespace
}  // namespace lan_test
