// The web sources' claim list: initial runs, taking claims (continuation,
// stalled owners) and splitting a busy claim for a faster connection.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "engine/peers/TClaims.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TWebPeer.h"

namespace engine {
namespace {

class TestWebPeer final : public TWebPeer {
public:
    TestWebPeer() : TWebPeer(2) {}
    bool ReadInput() override { return true; }
};

class FakeClaimTask : public TClaimTask {
public:
    bool ClaimMapReady() override { return true; }
    int32_t ClaimPieceCount() override { return pieces; }
    int64_t ClaimPieceLength() override { return piece_length; }
    int32_t ClaimDoneOrSkipped() override { return static_cast<int32_t>(done.size()); }
    bool IsPieceOpen(int32_t piece) override { return done.count(piece) == 0; }
    bool IsTaskComplete() override { return static_cast<int32_t>(done.size()) >= pieces; }
    void ReleaseEngagedPiece(int32_t piece) override { released.push_back(piece); }
    const std::vector<TPeerId*>& ClaimCandidates() override { return candidates; }
    int64_t ClaimNow() override { return now; }
    uint32_t ClaimTick() override { return tick; }

    int32_t pieces = 100;
    int64_t piece_length = 262144;
    std::set<int32_t> done;
    std::vector<int32_t> released;
    std::vector<TPeerId*> candidates;
    int64_t now = 1000;
    uint32_t tick = 0;
};

class ClaimsTest : public ::testing::Test {
protected:
    ~ClaimsTest() override {
        claims.Clear();
        for (TPeerId* c : task.candidates) TRefObject::Release(c);
        for (TWebPeer* p : peers) TRefObject::Release(p);
    }
    TPeerId* AddSource(int32_t max_connections, int32_t kind = 2) {
        auto* c = new TPeerId;
        c->m_kind = kind;
        c->m_port = 80;
        c->m_address = 0x0100007f;
        c->m_max_connections = max_connections;
        task.candidates.push_back(c);
        return c;
    }
    TWebPeer* AddPeer(int32_t rate, int32_t claims_taken) {
        auto* p = new TestWebPeer;
        p->SetRates(rate, 0);
        p->Stats().claim_count = claims_taken;
        peers.push_back(p);
        return p;
    }
    struct Run {
        int32_t first, last;
    };
    std::vector<Run> Runs() const {
        std::vector<Run> out;
        for (const TPieceRange* c : claims.List()) out.push_back({c->first, c->last});
        return out;
    }

    FakeClaimTask task;
    TClaims claims{&task};
    std::vector<TWebPeer*> peers;
};

TEST_F(ClaimsTest, InitialClaimsSpreadRunsOverSourcesAndConnections) {
    for (int i = 0; i < 3; ++i) AddSource(4);
    ASSERT_TRUE(claims.CreateInitialClaims());
    // Runs 0-32, 33-65, 66-99; each cut into min((run+5)/5, 4) = 4 claims.
    std::vector<std::pair<int32_t, int32_t>> expected = {{0, 7},   {8, 15},  {16, 23}, {24, 32}, {33, 40}, {41, 48},
                                                         {49, 56}, {57, 65}, {66, 73}, {74, 81}, {82, 89}, {90, 99}};
    auto runs = Runs();
    ASSERT_EQ(runs.size(), expected.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].first, expected[i].first) << i;
        EXPECT_EQ(runs[i].last, expected[i].second) << i;
        EXPECT_EQ(claims.List()[i]->cursor, claims.List()[i]->first);
        EXPECT_EQ(claims.List()[i]->owner, nullptr);
    }
}

TEST_F(ClaimsTest, MoreSourcesThanPiecesTakeOnePieceEach) {
    task.pieces = 2;
    for (int i = 0; i < 5; ++i) AddSource(4);
    ASSERT_TRUE(claims.CreateInitialClaims());
    auto runs = Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].first, 0);
    EXPECT_EQ(runs[0].last, 0);
    EXPECT_EQ(runs[1].first, 1);
    EXPECT_EQ(runs[1].last, 1);
    EXPECT_EQ(claims.List()[1]->source, task.candidates[1]);
}

TEST_F(ClaimsTest, NoClaimsWithoutWebSourcesOrPieces) {
    EXPECT_FALSE(claims.CreateInitialClaims());
    AddSource(4, 1);  // a BitTorrent peer is no web source
    EXPECT_FALSE(claims.CreateInitialClaims());
    AddSource(4);
    task.pieces = 0;
    EXPECT_FALSE(claims.CreateInitialClaims());
}

TEST_F(ClaimsTest, FinishedPieceContinuesIntoTheNextFreeClaim) {
    TPeerId* source = AddSource(4);
    for (int32_t first : {10, 42, 60}) claims.Add(first, first + 5, source, nullptr);
    TWebPeer* peer = AddPeer(50000, 1);
    peer->Stats().current_piece = 41;
    task.tick = 2;  // a random start would pick another claim
    ASSERT_TRUE(claims.TakeClaim(peer));
    EXPECT_EQ(peer->Claim()->first, 42);
    EXPECT_EQ(peer->Claim()->owner, peer);
    EXPECT_EQ(peer->Stats().claim_count, 2);
    EXPECT_EQ(claims.NextPiece(peer), 42);  // the first wanted piece after 41
}

TEST_F(ClaimsTest, StalledOwnerHandsItsClaimOver) {
    TPeerId* source = AddSource(4);
    TWebPeer* slow = AddPeer(0, 1);
    TPieceRange* claim = claims.Add(0, 9, source, slow);
    TWebPeer* next = AddPeer(0, 1);  // no rate after a claim: it never splits
    task.now += 10;
    EXPECT_FALSE(claims.TakeClaim(next));
    task.now += 1;
    ASSERT_TRUE(claims.TakeClaim(next));
    EXPECT_EQ(next->Claim(), claim);
    EXPECT_EQ(claim->owner, next);
    EXPECT_EQ(slow->Claim(), nullptr);
}

TEST_F(ClaimsTest, FasterPeerSplitsOffItsShare) {
    TPeerId* source = AddSource(4);
    TWebPeer* owner = AddPeer(100000, 1);
    TPieceRange* busy = claims.Add(20, 29, source, owner);
    busy->blocks_received = 5;
    TWebPeer* fast = AddPeer(400000, 1);
    ASSERT_TRUE(claims.TakeClaim(fast));
    // 80 % share + 1 = 81 %; 10 × 81 / 100 = 8, + 1: the last 9 pieces.
    EXPECT_EQ(fast->Claim()->first, 21);
    EXPECT_EQ(fast->Claim()->last, 29);
    EXPECT_EQ(busy->last, 20);
    EXPECT_EQ(busy->owner, owner);
}

TEST_F(ClaimsTest, SplitSkipsPiecesThatAreNoLongerWanted) {
    TPeerId* source = AddSource(4);
    TWebPeer* owner = AddPeer(100000, 1);
    TPieceRange* busy = claims.Add(0, 9, source, owner);
    busy->blocks_received = 1;
    for (int32_t p : {8, 9}) task.done.insert(p);
    TWebPeer* equal = AddPeer(100000, 1);
    ASSERT_TRUE(claims.TakeClaim(equal));
    // Remaining 0..7 (8 pieces), half of them.
    EXPECT_EQ(equal->Claim()->first, 4);
    EXPECT_EQ(equal->Claim()->last, 7);
    EXPECT_EQ(busy->last, 3);
}

TEST_F(ClaimsTest, NextPieceWalksTheClaimAndFreesItAtTheEnd) {
    TPeerId* source = AddSource(1);
    TWebPeer* peer = AddPeer(0, 0);
    task.pieces = 4;
    task.done = {1};
    EXPECT_EQ(claims.NextPiece(peer), 0);  // creates the initial claim 0..3
    ASSERT_EQ(claims.List().size(), 1u);
    EXPECT_EQ(claims.NextPiece(peer), 2);  // skips the done piece
    EXPECT_EQ(claims.NextPiece(peer), 3);
    task.done = {0, 1, 2, 3};
    EXPECT_EQ(claims.NextPiece(peer), -1);
    EXPECT_TRUE(claims.List().empty());
    EXPECT_EQ(peer->Claim(), nullptr);
    (void)source;
}

TEST_F(ClaimsTest, AllClaimsExhaustedGivesAFreeRunOfWantedPieces) {
    TPeerId* source = AddSource(1);
    task.pieces = 10;
    TPieceRange* old = claims.Add(0, 9, source, nullptr);
    old->exhausted = 1;
    old->reopened = 1;
    old->owner = AddPeer(0, 1);  // busy elsewhere, so not free to take
    task.done = {0, 1, 2, 6};
    TWebPeer* peer = AddPeer(1000, 1);
    peer->Stats().current_piece = -1;
    // A reopened claim with an owner is not taken; the free run 3..5 is.
    EXPECT_EQ(claims.NextPiece(peer), 3);
    ASSERT_NE(peer->Claim(), nullptr);
    EXPECT_EQ(peer->Claim()->last, 5);
    old->owner->SetClaim(nullptr);
    old->owner = nullptr;
}

}  // namespace
}  // namespace engine
