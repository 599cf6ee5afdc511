#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "engine/net/SourceUrl.h"
#include "engine/peers/EnginePeerId.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TPeerObject.h"
#include "engine/peers/TRefObject.h"
#include "tests/engine/peers/PeersTestSupport.h"

using engine::TBlockRequest;
using engine::TPeerId;
using engine::TRefObject;

namespace {

class Counted : public TRefObject {
public:
    explicit Counted(int* destroyed) : m_destroyed(destroyed) {}
    ~Counted() override { ++*m_destroyed; }

private:
    int* m_destroyed;
};

TEST(TRefObject, ReleaseDestroysExactlyAtZeroAndToleratesNull) {
    EXPECT_EQ(TRefObject::Release(nullptr), 0);
    int destroyed = 0;
    auto* object = new Counted(&destroyed);
    EXPECT_EQ(object->AddRef(), object);
    EXPECT_EQ(object->GetRefCount(), 2);
    EXPECT_EQ(TRefObject::Release(object), 1);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(TRefObject::Release(object), 0);
    EXPECT_EQ(destroyed, 1);
}

TEST(TPeerId, SyntheticIdCarriesAddressAndPortInNetworkOrder) {
    TPeerId c = peers_test::MakeCandidate(1, engine::HostToNetwork32(0x0A000005u), 6881);
    const std::array<uint8_t, 20> expected{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 5, 0x1A, 0xE1};
    EXPECT_EQ(c.m_peer_id, expected);
}

TEST(TPeerId, ValidityNeedsPortAndRealAddress) {
    struct Case {
        const char* name;
        uint32_t address;
        int32_t port;
        bool valid;
    };
    const std::array<Case, 5> cases{{
        {"usable", engine::HostToNetwork32(0x7F000002u), 80, true},
        {"port 0", engine::HostToNetwork32(0x7F000002u), 0, false},
        {"port too big", engine::HostToNetwork32(0x7F000002u), 65536, false},
        {"no address", 0, 80, false},
        {"broadcast", engine::NoAddress, 80, false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(peers_test::MakeCandidate(2, c.address, c.port).IsValid(), c.valid);
    }
}

TEST(TPeerId, CopyTakesEveryFieldAndItsOwnSourceInfoButNotTheCount) {
    TPeerId a = peers_test::MakeCandidate(2, engine::HostToNetwork32(0x7F000001u), 8080, "http://h/x");
    a.m_backoff = 7;
    a.m_failures = 3;
    a.Info().request_path = "/x";
    a.AddRef();
    TPeerId b(a);
    EXPECT_EQ(b.GetRefCount(), 1);
    EXPECT_EQ(b.m_backoff, 7);
    EXPECT_EQ(b.m_failures, 3);
    EXPECT_EQ(b.m_url, "http://h/x");
    ASSERT_NE(b.InfoIfAny(), nullptr);
    EXPECT_NE(b.InfoIfAny(), a.InfoIfAny());
    EXPECT_EQ(b.InfoIfAny()->request_path, "/x");
}

TEST(EnginePeerId, PrefixDigestAndUuidInTheirPlaces) {
    const std::array<uint8_t, 12> uuid{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::string seed = engine::EnginePeerIdSeed("http://t/announce", 4096, 1234, 16777343);
    EXPECT_EQ(seed, "http://t/announce-24096123416777343");
    std::array<uint8_t, 20> id = engine::BuildEnginePeerId(seed, uuid);
    std::array<uint8_t, 16> digest = engine::Md5Digest(seed);
    EXPECT_EQ(id[0], 0x00);
    EXPECT_EQ(id[1], 0x01);
    EXPECT_EQ(id[2], 'T');
    EXPECT_EQ(id[3], 'w');
    EXPECT_TRUE(std::equal(digest.begin(), digest.begin() + 4, id.begin() + 4));
    EXPECT_TRUE(std::equal(uuid.begin(), uuid.end(), id.begin() + 8));
    // RFC 1321 test suite.
    std::array<uint8_t, 16> abc = engine::Md5Digest("abc");
    EXPECT_EQ(abc[0], 0x90);
    EXPECT_EQ(abc[15], 0x72);
}

// Peer objects on a task, connected to a greeting loopback server.
class PeerObjectTest : public peers_test::PeerSetTest {
protected:
    engine::TPeerObject* ConnectedPeer(int32_t kind) {
        m_candidate = peers_test::MakeCandidate(kind, m_server.Address(), m_server.Ports()[0], "http://x/f");
        engine::TPeerObject* peer = m_task->CreatePeer(kind);
        EXPECT_TRUE(peer->ConnectTo(&m_candidate));
        EXPECT_TRUE(testing_support::WaitFor([&] {
            m_server.Pump();
            return peer->ProcessStep() && peer->IsActive();
        }));
        return peer;
    }
    peers_test::ScriptedServers m_server{1, 1, peers_test::ScriptedServers::Mode::Greet};
    TPeerId m_candidate;
};

TEST_F(PeerObjectTest, QueueDepthFollowsTheMeasuredRate) {
    engine::TPeerObject* peer = m_task->CreatePeer(2);
    const std::array<std::pair<int32_t, int32_t>, 4> cases{{{0, 2}, {32768, 6}, {8191, 2}, {8192, 3}}};
    for (auto [rate, depth] : cases) {
        SCOPED_TRACE(rate);
        peer->SetRates(rate, 0);
        EXPECT_EQ(peer->DesiredQueueDepth(), depth);
    }
    m_task->ReleasePeer(peer);
}

TEST_F(PeerObjectTest, ReceiveBlockTakesOnlyRequestedBlocksAndCountsNewData) {
    engine::TPeerObject* peer = ConnectedPeer(2);
    const std::vector<uint8_t> data(engine::BlockSize, 0x5A);
    peer->RequestQueue() = {TBlockRequest{4, engine::BlockSize, 0}, TBlockRequest{5, engine::BlockSize, 0}};
    m_task->returned = {TBlockRequest{9, engine::BlockSize, 0}};

    EXPECT_FALSE(peer->ReceiveBlock(4, -1, data.data(), 0)) << "negative length";
    EXPECT_FALSE(peer->ReceiveBlock(-1, engine::BlockSize, data.data(), 0)) << "negative block";
    EXPECT_FALSE(peer->ReceiveBlock(4, engine::BlockSize, nullptr, 0)) << "no data";
    EXPECT_EQ(peer->KilobytesReceived(), 0);
    EXPECT_EQ(peer->RequestQueue().size(), 2u) << "refusals change nothing";

    EXPECT_TRUE(peer->ReceiveBlock(5, engine::BlockSize, data.data(), 0));
    EXPECT_EQ(peer->RequestQueue().size(), 1u);
    EXPECT_EQ(peer->KilobytesReceived(), 16);
    EXPECT_EQ(peer->PeriodPayload(), engine::BlockSize);

    EXPECT_TRUE(peer->ReceiveBlock(9, engine::BlockSize, data.data(), 0)) << "from the returned pool";
    EXPECT_TRUE(m_task->returned.empty());
    EXPECT_FALSE(peer->ReceiveBlock(7, engine::BlockSize, data.data(), 0)) << "never requested";

    m_task->has_piece_map = false;
    EXPECT_TRUE(peer->ReceiveBlock(7, engine::BlockSize, data.data(), 0)) << "no piece map yet: ignored";
    EXPECT_EQ(peer->KilobytesReceived(), 32);
    m_task->ReleasePeer(peer);
}

// The web pipeline: the claim's piece is split into blocks, held and queued
// blocks are skipped, and a full queue is left alone.
class PiecePeer : public peers_test::TestPeer {
public:
    using TestPeer::TestPeer;
    int32_t NextPiece() override { return next_piece; }
    int32_t next_piece = 1;
};

TEST_F(PeerObjectTest, RequestBlocksQueuesMissingBlocksOfTheNextPiece) {
    m_task->SetPeerFactory([](int kind) -> engine::TPeerObject* { return new PiecePeer(kind); });
    m_task->held[3] = true;  // piece 1 is blocks 2 and 3
    engine::TPeerObject* peer = ConnectedPeer(2);  // its steps filled the queue
    ASSERT_TRUE(peer->RequestBlocks());
    ASSERT_EQ(peer->RequestQueue().size(), 1u);
    EXPECT_EQ(peer->RequestQueue()[0].block, 2);
    EXPECT_EQ(peer->RequestQueue()[0].length, engine::BlockSize);
    ASSERT_TRUE(peer->RequestBlocks());
    EXPECT_EQ(peer->RequestQueue().size(), 1u) << "queued blocks are not asked twice";

    static_cast<PiecePeer*>(peer)->next_piece = 2;
    peer->RequestQueue().assign(3, TBlockRequest{});
    ASSERT_TRUE(peer->RequestBlocks());
    EXPECT_EQ(peer->RequestQueue().size(), 3u) << "a queue deeper than two seconds is left alone";

    // Idle again: what was queued goes back to the task's pool.
    m_task->ReleasePeer(peer);
    EXPECT_EQ(m_task->returned.size(), 3u);
}

}  // namespace
