// The BitTorrent peer against a scripted peer of our own on loopback: the
// exchange after the handshake, blocks requested and received, blocks
// served and refused, snubbing, and hostile
// input (oversized length, wrong bitfield size, unrequested block, request
// outside the piece, malformed HAVE, our own peer id) handled without a
// crash and with the right outcome.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/peers/BtWire.h"
#include "engine/peers/TBTPeer.h"
#include "tests/engine/peers/PeersTestSupport.h"
#include "tests/support/Sandbox.h"
#include "tests/support/ScriptedBtPeer.h"

namespace {

using peers_test::PeerSetTest;
using peers_test::PeerTask;

std::string Be32(uint32_t v) {
    std::string out;
    engine::AppendBe32(out, v);
    return out;
}

uint32_t Be32At(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
    return v;
}

std::string Message(int id, const std::string& payload) {
    return Be32(static_cast<uint32_t>(payload.size() + 1)) + static_cast<char>(id) + payload;
}

class BtPeer : public PeerSetTest {
protected:
    void SetUp() override {
        PeerSetTest::SetUp();
        m_hash.fill(0x42);
        ConfigureP2spTask(m_hash, "http://127.0.0.1/announce");
        m_task->SetPieces(4, 0);
        m_remote_holder = std::make_unique<testing_support::ScriptedBtPeer>(5);
        m_remote = m_remote_holder.get();
        ASSERT_TRUE(m_remote->Ok());
        m_candidate = new engine::TPeerId(peers_test::MakeCandidate(1, m_remote->Address(), m_remote->Port()));
        m_peer = new engine::TBTPeer;
        m_peer->Initialize(m_task);
        ASSERT_TRUE(m_peer->ConnectTo(m_candidate));
    }
    void TearDown() override {
        engine::TRefObject::Release(m_peer);
        engine::TRefObject::Release(m_candidate);
        m_remote_holder.reset();
        PeerSetTest::TearDown();
    }
    // Steps both ends until `pred` holds or the engine's step fails.
    bool StepUntil(const std::function<bool()>& pred) {
        bool alive = true;
        testing_support::WaitFor([&] {
            alive = m_peer->ProcessStep();
            if (m_remote->Accept()) m_remote->Pump();
            return !alive || pred();
        });
        return alive;
    }
    void Establish(const std::string& remote_id = std::string(20, 'R')) {
        ASSERT_TRUE(StepUntil([&] { return m_remote->Received().size() >= engine::BtHandshakeSize; }));
        std::array<uint8_t, 20> id{};
        std::memcpy(id.data(), remote_id.data(), 20);
        ASSERT_TRUE(m_remote->Send(engine::BuildBtHandshake(m_hash, id)));
        StepUntil([&] { return m_peer->IsActive(); });
    }

    std::array<uint8_t, 20> m_hash{};
    std::unique_ptr<testing_support::ScriptedBtPeer> m_remote_holder;
    testing_support::ScriptedBtPeer* m_remote = nullptr;
    engine::TPeerId* m_candidate = nullptr;
    engine::TBTPeer* m_peer = nullptr;
};

TEST_F(BtPeer, SendsBitfieldInterestedUnchokeAfterTheHandshake) {
    // Piece 0 is verified; piece 1's blocks wait in memory unverified and
    // are not announced.
    m_task->verified = {0};
    m_task->held[2] = m_task->held[3] = true;
    Establish();
    ASSERT_TRUE(m_peer->IsActive());
    const size_t expected = engine::BtHandshakeSize + 6 + 5 + 5;
    ASSERT_TRUE(StepUntil([&] { return m_remote->Received().size() >= expected; }));
    const std::string after = m_remote->Received().substr(engine::BtHandshakeSize);
    EXPECT_EQ(after, Message(5, std::string(1, '\x80')) + Message(2, "") + Message(1, ""));
    EXPECT_EQ(m_remote->Received().substr(28, 20), std::string(20, '\x42'));
    EXPECT_FALSE(m_peer->WeChoke());
}

TEST_F(BtPeer, RequestsBlocksOnceUnchokedAndTakesTheAnswer) {
    Establish();
    ASSERT_TRUE(m_remote->Send(Message(5, std::string(1, '\xF0')) + Message(1, "")));
    const std::string request = engine::BuildBtRequest(6, 0, 0, engine::BlockSize);
    ASSERT_TRUE(StepUntil([&] { return m_remote->Received().find(request) != std::string::npos; }));
    EXPECT_TRUE(m_peer->IsSeed());
    ASSERT_TRUE(m_remote->Send(engine::BuildBtPieceHeader(0, 0, engine::BlockSize) + std::string(engine::BlockSize, 'd')));
    EXPECT_TRUE(StepUntil([&] { return m_task->HasBlock(0); }));
    EXPECT_TRUE(m_peer->IsConnected());
}

TEST_F(BtPeer, HostileMessagesAreHandled) {
    struct Case {
        const char* name;
        std::string bytes;
        bool stays;
        engine::BtCloseReason reason;
        int bad_messages;
    };
    const std::vector<Case> cases = {
        {"length 2^31", Be32(0x80000000u) + "\x05" + std::string(64, 'x'), false,
         engine::BtCloseReason::MessageTooLong, 0},
        {"bitfield of the wrong size", Message(5, "\xff\xff"), false, engine::BtCloseReason::BadBitfield, 0},
        {"block never requested",
         engine::BuildBtPieceHeader(1, 0, engine::BlockSize) + std::string(engine::BlockSize, 'u'), false,
         engine::BtCloseReason::UnrequestedPiece, 1},
        {"request beyond the piece", engine::BuildBtRequest(6, 0, 2 * engine::BlockSize, engine::BlockSize) +
                                         engine::BuildBtRequest(6, 9, 0, engine::BlockSize),
         true, engine::BtCloseReason::None, 0},
        {"HAVE with 5 bytes", Message(4, "12345") + Message(4, Be32(1)), true, engine::BtCloseReason::None, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Establish();
        ASSERT_TRUE(m_peer->IsActive());
        ASSERT_TRUE(m_remote->Send(c.bytes));
        const int64_t expected_total = m_peer->Socket()->ReceivedTotal() + static_cast<int64_t>(c.bytes.size());
        bool alive = StepUntil([&] {
            return m_peer->BadMessages() > 0 ||
                   (m_peer->Socket()->ReceivedTotal() >= expected_total && m_peer->Socket()->ReceiveCount() == 0);
        });
        if (c.stays) {
            // A few more steps: still connected, nothing queued for upload.
            for (int i = 0; i < 20 && alive; ++i) alive = m_peer->ProcessStep();
        }
        EXPECT_EQ(alive, c.stays);
        EXPECT_EQ(m_peer->CloseReason(), c.reason);
        EXPECT_EQ(m_peer->BadMessages(), c.bad_messages);
        EXPECT_TRUE(m_peer->UploadQueue().empty());
        EXPECT_EQ(m_peer->RemotePieces(), 0) << "the malformed HAVE's neighbour was dropped with it";
    }
}

TEST_F(BtPeer, ServesRequestedBlocksAndAnnouncesUnreadableOnes) {
    Establish();
    m_task->stored[1] = std::string(engine::BlockSize, 'S');
    // Pieces 0 and 1 are verified, block 1 readable, piece 1 (blocks 2 and
    // 3) not; piece 2 is not ours: its request goes unanswered.
    m_task->verified = {0, 1};
    m_task->stored[4] = std::string(engine::BlockSize, 'X');
    ASSERT_TRUE(m_remote->Send(engine::BuildBtRequest(6, 2, 0, engine::BlockSize) +
                               engine::BuildBtRequest(6, 0, engine::BlockSize, engine::BlockSize) +
                               engine::BuildBtRequest(6, 1, 0, engine::BlockSize) +
                               engine::BuildBtRequest(6, 1, engine::BlockSize, engine::BlockSize)));
    const std::string piece = engine::BuildBtPieceHeader(0, engine::BlockSize, engine::BlockSize) +
                              std::string(engine::BlockSize, 'S');
    const std::string missing = engine::BuildBtPieceNotAvailable(1);
    ASSERT_TRUE(StepUntil([&] {
        m_peer->UploadStep();
        return m_remote->Received().find(missing) != std::string::npos;
    }));
    const size_t at = m_remote->Received().find(piece);
    ASSERT_NE(at, std::string::npos);
    EXPECT_LT(at, m_remote->Received().find(missing));
    EXPECT_EQ(m_remote->Received().find(missing, m_remote->Received().find(missing) + 1), std::string::npos)
        << "one notice drops the piece's other request";
    EXPECT_TRUE(m_peer->UploadQueue().empty());
    EXPECT_EQ(m_peer->UploadedBytes(), engine::BlockSize);
    EXPECT_EQ(m_remote->Received().find(engine::BuildBtPieceNotAvailable(2)), std::string::npos);
    EXPECT_EQ(m_remote->Received().find(engine::BuildBtPieceHeader(2, 0, engine::BlockSize)), std::string::npos);

    // Choked, the remote's requests are not queued at all.
    m_peer->Choke();
    const std::string again = engine::BuildBtRequest(6, 0, engine::BlockSize, engine::BlockSize);
    const int64_t expected_total = m_peer->Socket()->ReceivedTotal() + static_cast<int64_t>(again.size());
    ASSERT_TRUE(m_remote->Send(again));
    ASSERT_TRUE(StepUntil([&] {
        return m_peer->Socket()->ReceivedTotal() >= expected_total && m_peer->Socket()->ReceiveCount() == 0;
    }));
    EXPECT_TRUE(m_peer->UploadQueue().empty());
}

TEST_F(BtPeer, AnUploadReadBringsInWhatTheRemoteAskedOfThePiece) {
    Establish();
    m_task->verified = {0, 1};
    for (int32_t b = 0; b < 3; ++b) m_task->stored[b] = std::string(engine::BlockSize, static_cast<char>('a' + b));
    // Piece 0 (blocks 0, 1) around a request of piece 1 (block 2).
    ASSERT_TRUE(m_remote->Send(engine::BuildBtRequest(6, 0, 0, engine::BlockSize) +
                               engine::BuildBtRequest(6, 1, 0, engine::BlockSize) +
                               engine::BuildBtRequest(6, 0, engine::BlockSize, engine::BlockSize)));
    ASSERT_TRUE(StepUntil([&] { return m_peer->UploadQueue().size() == 3; }));
    ASSERT_TRUE(StepUntil([&] {
        m_peer->UploadStep();
        return m_peer->UploadedBytes() == 3 * engine::BlockSize;
    }));
    // The first read of piece 0 knows its second block is wanted too; the
    // last ones have nothing of their piece left behind them.
    EXPECT_EQ(m_task->read_aheads, (std::vector<int32_t>{engine::BlockSize, 0, 0}));
}

TEST_F(BtPeer, ARemoteThatStopsDeliveringIsSnubbed) {
    struct Case {
        const char* name;
        int32_t pieces_missing;
        bool stays;
    };
    for (const Case& c : {Case{"far from the end: requests go back", 10, true},
                          Case{"two pieces from the end: connection ends", 2, false}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        m_task->pieces_missing = c.pieces_missing;
        Establish();
        ASSERT_TRUE(m_remote->Send(Message(5, std::string(1, '\xF0')) + Message(1, "")));
        const std::string request = engine::BuildBtRequest(6, 0, 0, engine::BlockSize);
        ASSERT_TRUE(StepUntil([&] { return m_remote->Received().find(request) != std::string::npos; }));
        ASSERT_FALSE(m_peer->RequestQueue().empty());
        const size_t queued = m_peer->RequestQueue().size();
        // The first check notes the bytes that arrived before it.
        for (int i = 0; i <= engine::TBTPeer::SnubChecks; ++i) m_peer->CheckRequests();
        EXPECT_EQ(m_peer->ProcessStep(), c.stays);
        if (c.stays) {
            EXPECT_EQ(m_task->returned.size(), queued) << "the queue went back to the task";
            const std::string cancel = engine::BuildBtRequest(8, 0, 0, engine::BlockSize);
            EXPECT_TRUE(StepUntil([&] { return m_remote->Received().find(cancel) != std::string::npos; }));
        } else {
            EXPECT_EQ(m_peer->CloseReason(), engine::BtCloseReason::Snubbed);
        }
    }
}

TEST_F(BtPeer, APieceThatFailsItsCheckEndsTheConnection) {
    Establish();
    ASSERT_TRUE(m_remote->Send(Message(5, std::string(1, '\xF0')) + Message(1, "")));
    const std::string request = engine::BuildBtRequest(6, 0, 0, engine::BlockSize);
    ASSERT_TRUE(StepUntil([&] { return m_remote->Received().find(request) != std::string::npos; }));
    m_task->failing_blocks.insert(0);
    ASSERT_TRUE(m_remote->Send(engine::BuildBtPieceHeader(0, 0, engine::BlockSize) + std::string(engine::BlockSize, 'w')));
    EXPECT_FALSE(StepUntil([] { return false; }));
    EXPECT_EQ(m_peer->CloseReason(), engine::BtCloseReason::BadData);
    EXPECT_EQ(m_peer->Stats().bad_events, 1);
    EXPECT_TRUE(m_peer->RequestQueue().empty() || m_peer->RequestQueue().front().block != 0)
        << "the failed piece's requests are dropped";
}

TEST_F(BtPeer, OwnPeerIdIsRefused) {
    const std::array<uint8_t, 20>& own = m_task->OwnPeerId();
    ASSERT_TRUE(StepUntil([&] { return m_remote->Received().size() >= engine::BtHandshakeSize; }));
    ASSERT_TRUE(m_remote->Send(engine::BuildBtHandshake(m_hash, own)));
    EXPECT_FALSE(StepUntil([&] { return m_peer->IsActive(); }));
    EXPECT_EQ(m_peer->CloseReason(), engine::BtCloseReason::OwnPeerId);
}

TEST_F(BtPeer, AnswersAreMatchedAgainstEverySentRequest) {
    // A fast peer: many requests go out at once.
    m_task->piece_count = 16;
    m_task->SetPieces(16, 0);
    m_peer->SetRates(20 * engine::BlockSize, 0);
    Establish();
    ASSERT_TRUE(m_remote->Send(Message(5, std::string(2, '\xFF')) + Message(1, "")));
    ASSERT_TRUE(StepUntil([&] { return m_peer->SentCount() >= 12; }));
    const int32_t sent = m_peer->SentCount();
    // The remote answers the last request it got first.
    const engine::TBlockRequest last = m_peer->RequestQueue()[static_cast<size_t>(sent - 1)];
    const uint32_t piece = static_cast<uint32_t>(last.block / 2);
    const uint32_t begin = static_cast<uint32_t>(last.block % 2) * engine::BlockSize;
    ASSERT_TRUE(m_remote->Send(engine::BuildBtPieceHeader(piece, begin, engine::BlockSize) +
                               std::string(engine::BlockSize, 'o')));
    EXPECT_TRUE(StepUntil([&] { return m_task->HasBlock(last.block); }));
    EXPECT_TRUE(m_peer->IsConnected());
    EXPECT_EQ(m_peer->BadMessages(), 0);
    EXPECT_GE(m_peer->SentCount(), sent - 1) << "one answered, the rest still outstanding";
}

TEST_F(BtPeer, TheRequestWindowFollowsWhatARemoteDelivers) {
    // A remote that answers every request at once, on a task that has not
    // measured any rate yet (the measurement comes every few seconds): after
    // a moment of answers the window stands far above its starting six
    // requests, and within its limit.
    constexpr int32_t Pieces = 4096;
    m_task->piece_count = Pieces;
    m_task->SetPieces(Pieces, 0);
    Establish();
    ASSERT_TRUE(m_remote->Send(Message(5, std::string(Pieces / 8, '\xFF')) + Message(1, "")));
    // Walks the messages the engine sent after its handshake; answers each
    // new REQUEST while `answer` is set.
    size_t at = engine::BtHandshakeSize;
    int32_t requested = 0;
    int32_t answered = 0;
    auto take_requests = [&](bool answer) {
        const std::string& in = m_remote->Received();
        std::string out;
        while (at + 4 <= in.size()) {
            const uint32_t length = Be32At(in, at);
            if (at + 4 + length > in.size()) break;
            if (length == 13 && in[at + 4] == 6) {
                ++requested;
                if (answer) {
                    out += engine::BuildBtPieceHeader(Be32At(in, at + 5), Be32At(in, at + 9), engine::BlockSize) +
                           std::string(engine::BlockSize, 'w');
                    ++answered;
                }
            }
            at += 4 + length;
        }
        return out.empty() || m_remote->Send(out);
    };
    // Twenty answers, then the time of a rate sample passes and the next
    // answer closes the sample.
    ASSERT_TRUE(StepUntil([&] { return !take_requests(true) || answered >= 20; }));
    m_clock.Advance(engine::TBTPeer::RecentSampleMs);
    const int32_t before_sample = answered;
    ASSERT_TRUE(StepUntil([&] { return !take_requests(true) || answered > before_sample + 4; }));
    // Unanswered now: what the engine keeps asking for is its window.
    int32_t before = -1;
    StepUntil([&] {
        take_requests(false);
        const bool still = requested != before;
        before = requested;
        return !still && m_peer->SentCount() == requested - answered;
    });
    EXPECT_GE(requested - answered, 24);
    EXPECT_EQ(m_peer->SentCount(), requested - answered);
    EXPECT_LE(m_peer->SentCount(), engine::TBTPeer::MaxRequestsAhead);
}

TEST_F(BtPeer, TheRemoteHandshakeIsTimedFromTheConnection) {
    // Connected, our handshake out, the remote silent.
    ASSERT_TRUE(StepUntil([&] { return m_remote->Received().size() >= engine::BtHandshakeSize; }));
    AdvanceSeconds(engine::TBTPeer::HandshakeTimeoutS);
    EXPECT_TRUE(m_peer->ProcessStep()) << "12 s after connecting the remote may still answer: "
                                       << engine::BtCloseReasonName(m_peer->CloseReason());
    AdvanceSeconds(1);
    EXPECT_FALSE(m_peer->ProcessStep());
    EXPECT_EQ(engine::BtCloseReasonName(m_peer->CloseReason()), std::string("handshake timed out"));
}

TEST_F(BtPeer, SlowRequestsAheadOfTheReadPositionAreOfferedToOtherPeers) {
    m_peer->SetRates(4 * engine::BlockSize, 0);  // every piece gets queued
    Establish();
    ASSERT_TRUE(m_remote->Send(Message(5, std::string(1, '\xF0')) + Message(1, "")));
    ASSERT_TRUE(StepUntil([&] { return m_peer->SentCount() >= 6; }));
    ASSERT_EQ(m_peer->RequestQueue().size(), 8u);
    std::vector<int32_t> queued;
    for (const engine::TBlockRequest& r : m_peer->RequestQueue()) queued.push_back(r.block);
    m_task->read_position = 1;  // the reader waits for piece 1 (blocks 2, 3)
    AdvanceSeconds(engine::TBTPeer::SlowRequestS);
    m_peer->CheckRequests();
    EXPECT_TRUE(m_task->returned.empty()) << "not old enough yet";
    AdvanceSeconds(1);
    m_peer->CheckRequests();
    std::vector<int32_t> offered;
    for (const engine::TBlockRequest& r : m_task->returned) offered.push_back(r.block);
    std::sort(offered.begin(), offered.end());
    std::vector<int32_t> expected;
    for (int32_t b : queued) {
        if (b >= 2) expected.push_back(b);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(offered, expected) << "blocks behind the read position stay with this peer alone";
    EXPECT_EQ(m_peer->RequestQueue().size(), queued.size()) << "the peer keeps its requests";
    m_peer->CheckRequests();
    EXPECT_EQ(m_task->returned.size(), expected.size()) << "offered once";
}

TEST_F(BtPeer, AChoiceThatFoundNothingIsRetakenOnceAPieceCompletes) {
    // Pieces 1-3 wait in memory, so after queueing piece 0 the choice finds
    // nothing more. Piece 3's blocks are then lost again (as when blocks
    // queued at another remote never came). A seeder sends no HAVE: what
    // makes the peer look again is the task completing a piece.
    struct Case {
        const char* name;
        bool piece_completes;
    };
    for (const Case& c : {Case{"a piece completed: asked at once", true},
                          Case{"nothing changed: only after the retry time", false}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        for (int32_t b = 2; b < 8; ++b) m_task->held[b] = true;
        m_peer->SetRates(4 * engine::BlockSize, 0);
        Establish();
        ASSERT_TRUE(m_remote->Send(Message(5, std::string(1, '\xF0')) + Message(1, "")));
        const std::string second = engine::BuildBtRequest(6, 0, engine::BlockSize, engine::BlockSize);
        ASSERT_TRUE(StepUntil([&] { return m_remote->Received().find(second) != std::string::npos; }));
        ASSERT_EQ(m_peer->RequestQueue().size(), 2u) << "only piece 0 was there to ask for";
        for (uint32_t offset : {0, engine::BlockSize}) {
            ASSERT_TRUE(m_remote->Send(engine::BuildBtPieceHeader(0, offset, engine::BlockSize) +
                                       std::string(engine::BlockSize, 'd')));
        }
        ASSERT_TRUE(StepUntil([&] { return m_task->HasBlock(0) && m_task->HasBlock(1); }));
        m_task->held[6] = m_task->held[7] = false;
        if (c.piece_completes) --m_task->pieces_missing;
        const std::string lost = engine::BuildBtRequest(6, 3, 0, engine::BlockSize);
        auto asked = [&] { return m_remote->Received().find(lost) != std::string::npos; };
        if (!c.piece_completes) {
            for (int i = 0; i < 50; ++i) {
                ASSERT_TRUE(m_peer->ProcessStep());
                m_remote->Pump();
            }
            EXPECT_FALSE(asked()) << "the verdict stands while the task is unchanged";
            AdvanceSeconds(60);
        }
        ASSERT_TRUE(StepUntil(asked));
        EXPECT_TRUE(asked());
    }
}

// A complete task's pump with the scripted remote as its leecher: the
// remote's REQUESTs are read and answered in the passes between the due
// ones, as a leecher with its requests pipelined needs.
class SeedingPump : public PeerSetTest {
protected:
    void SetUp() override {
        PeerSetTest::SetUp();
        m_hash.fill(0x42);
        ConfigureP2spTask(m_hash, "http://127.0.0.1/announce");
        m_task->SetPieces(4, 4);
        m_task->verified = {0, 1, 2, 3};
        for (int32_t b = 0; b < 8; ++b) m_task->stored[b] = std::string(engine::BlockSize, static_cast<char>('A' + b));
        m_task->SetPeerFactory([](int kind) -> engine::TPeerObject* {
            if (kind == engine::PeerKindBt) return new engine::TBTPeer;
            return new peers_test::TestPeer(kind);
        });
        ASSERT_TRUE(m_remote.Ok());
        m_task->SetConnectionLimits(1, 5);
        ASSERT_TRUE(m_task->AddCandidate(peers_test::MakeCandidate(1, m_remote.Address(), m_remote.Port()), false, false));
        m_task->ConnectBtPeers();
        ASSERT_EQ(m_task->ActivePeers().size(), 1u);
        ASSERT_TRUE(Pump([&] { return m_remote.Received().size() >= engine::BtHandshakeSize; }));
        std::array<uint8_t, 20> id{};
        id.fill('L');
        ASSERT_TRUE(m_remote.Send(engine::BuildBtHandshake(m_hash, id)));
        ASSERT_TRUE(Pump([&] { return m_task->ActivePeers()[0]->IsActive(); }));
    }
    // Due passes for every peer until `pred` holds.
    bool Pump(const std::function<bool()>& pred) {
        return testing_support::WaitFor([&] {
            m_task->StepAll();
            if (m_remote.Accept()) m_remote.Pump();
            return pred();
        });
    }

    std::array<uint8_t, 20> m_hash{};
    testing_support::ScriptedBtPeer m_remote{5};
};

TEST_F(SeedingPump, RequestsAreAnsweredInThePassesBetweenTheDueOnes) {
    ASSERT_TRUE(m_remote.Send(engine::BuildBtRequest(6, 1, engine::BlockSize, engine::BlockSize) +
                              engine::BuildBtRequest(6, 2, 0, engine::BlockSize)));
    const std::string answers = engine::BuildBtPieceHeader(1, engine::BlockSize, engine::BlockSize) +
                                std::string(engine::BlockSize, 'D') + engine::BuildBtPieceHeader(2, 0, engine::BlockSize) +
                                std::string(engine::BlockSize, 'E');
    // Pass 1 of a fast task: neither its peers nor its uploads are due.
    engine::PeerPumpPass pass;
    pass.pass = 1;
    pass.service_divisor = 14;
    pass.request_divisor = 42;
    pass.complete = true;
    EXPECT_TRUE(testing_support::WaitFor([&] {
        m_task->ServicePeers(pass);
        m_remote.Pump();
        return m_remote.Received().find(answers) != std::string::npos;
    }));
}

}  // namespace

namespace {

// Which outgoing attempts go over a UDP stream, and to which node id.
TEST(BtPeerTransport, StreamsForLowScoresOnEveryThirdAttemptWithTheRightNodeId) {
    const uint32_t address = platform::MakeIpv4(10, 1, 2, 3);
    engine::PeerIdBytes named{};
    for (size_t i = 0; i < named.size(); ++i) named[i] = static_cast<uint8_t>(0x40 + i);
    const engine::PeerIdBytes synthetic = engine::TPeerId::SyntheticPeerId(address, 6881);
    std::array<uint8_t, 8> placeholder{};
    std::copy_n(synthetic.begin() + 12, 8, placeholder.begin());
    std::array<uint8_t, 8> node_of_named{};
    std::copy_n(named.begin() + 8, 8, node_of_named.begin());

    struct Case {
        const char* name;
        bool task_uses_streams;
        int32_t score;
        int32_t failures;
        const engine::PeerIdBytes* id;
        bool stream;
        std::array<uint8_t, 8> node;
    };
    const Case cases[] = {
        {"first attempt, named peer", true, 0, 0, &named, true, node_of_named},
        {"fourth attempt", true, 34, 3, &named, true, node_of_named},
        {"address-only peer uses the placeholder", true, 10, 0, &synthetic, true, placeholder},
        {"second attempt goes over TCP", true, 0, 1, &named, false, {}},
        {"third attempt goes over TCP", true, 0, 2, &named, false, {}},
        {"score above 34", true, 35, 0, &named, false, {}},
        {"task without streams", false, 0, 0, &named, false, {}},
    };
    for (const Case& c : cases) {
        engine::TPeerId candidate;
        candidate.m_address = address;
        candidate.m_port = 6881;
        candidate.m_score = c.score;
        candidate.m_failures = c.failures;
        candidate.m_peer_id = *c.id;
        std::array<uint8_t, 8> node{};
        EXPECT_EQ(engine::TBTPeer::ChooseStream(candidate, c.task_uses_streams, &node), c.stream) << c.name;
        if (c.stream) {
            EXPECT_EQ(node, c.node) << c.name;
        }
    }
}

}  // namespace
