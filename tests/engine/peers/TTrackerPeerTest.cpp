// Announces to a real opentracker over HTTP and over UDP (BEP 15): the reply
// becomes BitTorrent candidates of the task, the connection ends with state
// 6, and the tracker learns the engine's listening address and port so that
// other peers are sent to it.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "engine/frame/SharedServices.h"
#include "engine/peers/TTrackerPeer.h"
#include "engine/peers/TrackerProtocol.h"
#include "platform/Socket.h"
#include "tests/engine/peers/PeersTestSupport.h"
#include "tests/engine/peers/SwarmTestSupport.h"
#include "tests/support/OpentrackerServer.h"
#include "tests/support/Process.h"

namespace {

using peers_test::PeerSetTest;

constexpr uint8_t EngineOctet = 9;
constexpr uint8_t OtherOctet = 5;
constexpr int OtherPort = 7005;

class TrackerPeerAgainstOpentracker : public PeerSetTest {
protected:
    void SetUp() override {
        PeerSetTest::SetUp();
        m_hash.fill(0x5A);
        m_hash[0] = 0x2F;  // escaped as %2f in the query
        m_tracker = std::make_unique<testing_support::OpentrackerServer>(
            std::vector<std::array<uint8_t, 20>>{m_hash});
        ASSERT_TRUE(m_tracker->Started()) << m_tracker->Failure();
        ConfigureP2spTask(m_hash, m_tracker->HttpAnnounceUrl());
        engine::SetListenAddressOverride(platform::MakeIpv4(127, 0, 0, EngineOctet));
        // A port of its own: the cases of this suite run in parallel.
        m_listen_port = swarm_test::FreePort(platform::MakeIpv4(127, 0, 0, EngineOctet));
        ASSERT_NE(m_listen_port, 0);
        engine::SetListenPortValue(m_listen_port);
        ASSERT_TRUE(engine::CheckSharedServices(*m_task));
    }
    void TearDown() override {
        engine::StopSharedServices(true);
        engine::SetListenAddressOverride(0);
        engine::SetListenPortValue(0);
        m_tracker.reset();
        PeerSetTest::TearDown();
    }
    // Another peer of the swarm announces itself (and reads the peers the
    // tracker knows) from 127.0.0.`octet`.
    std::string AnnounceOther(uint8_t octet, int port) {
        std::string url = m_tracker->HttpAnnounceUrl() + "?info_hash=" + engine::TrackerUrlEscape(m_hash.data(), 20) +
                          "&peer_id=OTHERPEER" + std::to_string(octet) + "xxxxxxxxxx&port=" + std::to_string(port) +
                          "&left=0&compact=1&event=started";
        const std::string local = "127.0.0." + std::to_string(octet);
        return testing_support::RunProgram({"curl", "-s", "--interface", local, url}).output;
    }
    bool HasCandidate(uint32_t address, int port) {
        for (engine::TPeerId* c : m_task->Candidates()) {
            if (c->m_kind == 1 && c->m_address == address && c->m_port == port) return true;
        }
        return false;
    }

    std::array<uint8_t, 20> m_hash{};
    std::unique_ptr<testing_support::OpentrackerServer> m_tracker;
    int32_t m_listen_port = 0;
};

TEST_F(TrackerPeerAgainstOpentracker, BothProtocolsYieldCandidatesAndAnnounceTheListener) {
    ASSERT_NE(AnnounceOther(OtherOctet, OtherPort).find("5:peers"), std::string::npos);
    struct Case {
        const char* name;
        std::string url;
    };
    const std::array<Case, 2> cases{{
        {"http", m_tracker->HttpAnnounceUrl()},
        {"udp", m_tracker->UdpAnnounceUrl()},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto* candidate = new engine::TPeerId;
        candidate->m_kind = 8;
        candidate->m_url = "tracker://" + c.url;
        ASSERT_TRUE(candidate->ParseUrl());
        auto* tracker = new engine::TTrackerPeer;
        tracker->Initialize(m_task);
        ASSERT_TRUE(tracker->ConnectTo(candidate));
        bool finished = testing_support::WaitFor([&] {
            return !tracker->ProcessStep() || tracker->State() == engine::PeerState::Finished;
        });
        EXPECT_TRUE(finished);
        EXPECT_EQ(tracker->State(), engine::PeerState::Finished);
        EXPECT_TRUE(HasCandidate(platform::MakeIpv4(127, 0, 0, OtherOctet), OtherPort));
        EXPECT_GE(tracker->CandidatesAdded(), 1);
        // The new peers are connected in the next pass, once.
        EXPECT_TRUE(m_task->TakeNewBtCandidates());
        EXPECT_FALSE(m_task->TakeNewBtCandidates());
        // The step after the reply ends the connection.
        EXPECT_FALSE(tracker->ProcessStep());
        engine::TRefObject::Release(tracker);
        engine::TRefObject::Release(candidate);
    }
    // The tracker now sends others to the engine's listener.
    std::string compact;
    compact += static_cast<char>(127);
    compact += std::string(2, '\0');
    compact += static_cast<char>(EngineOctet);
    compact += static_cast<char>(m_listen_port >> 8);
    compact += static_cast<char>(m_listen_port & 255);
    EXPECT_NE(AnnounceOther(6, 7006).find(compact), std::string::npos);
}

TEST_F(TrackerPeerAgainstOpentracker, HttpRequestTextKeepsPathAndEscapesTheHash) {
    auto* candidate = new engine::TPeerId;
    candidate->m_kind = 8;
    candidate->m_url = "tracker://" + m_tracker->HttpAnnounceUrl() + "?passkey=1";
    ASSERT_TRUE(candidate->ParseUrl());
    auto* tracker = new engine::TTrackerPeer;
    tracker->Initialize(m_task);
    ASSERT_TRUE(tracker->ConnectTo(candidate));
    ASSERT_TRUE(testing_support::WaitFor([&] { return !tracker->RequestText().empty() || !tracker->ProcessStep(); }));
    EXPECT_EQ(tracker->RequestText().rfind("/announce?info_hash=%2fZZZZ", 0), 0u) << tracker->RequestText();
    EXPECT_NE(tracker->RequestText().find("&port=" + std::to_string(m_listen_port) + "&"), std::string::npos);
    EXPECT_NE(tracker->RequestText().find("&event=started&"), std::string::npos);
    engine::TRefObject::Release(tracker);
    engine::TRefObject::Release(candidate);
}

}  // namespace
