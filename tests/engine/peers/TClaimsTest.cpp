// The web sources' claim list: initial runs, taking claims (continuation,
// stalled owners), splitting a busy claim for a faster connection, and the
// BitTorrent peers' choice at the runs' tails, and where a web connection
// goes when its run reaches what a peer has.

#include <gtest/gtest.h>

#include <algorithm>
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

class TestBtPeer final : public TPeerObject {
public:
    TestBtPeer() : TPeerObject(1) {}
    bool ReadInput() override { return true; }
};

class FakeClaimTask : public TClaimTask {
public:
    bool ClaimMapReady() override { return true; }
    int32_t ClaimPieceCount() override { return pieces; }
    int64_t ClaimPieceLength() override { return piece_length; }
    int32_t ClaimDoneOrSkipped() override { return static_cast<int32_t>(done.size()); }
    bool IsPieceOpen(int32_t piece) override {
        return done.count(piece) == 0 && std::count(engaged.begin(), engaged.end(), piece) == 0;
    }
    bool IsTaskComplete() override { return static_cast<int32_t>(done.size()) >= pieces; }
    void ReleaseEngagedPiece(int32_t piece) override {
        released.push_back(piece);
        auto it = std::find(engaged.begin(), engaged.end(), piece);
        if (it != engaged.end()) engaged.erase(it);
    }
    bool EngageClaimPiece(int32_t piece) override {
        engaged.push_back(piece);
        return true;
    }
    bool IsPieceFinished(int32_t piece) override { return done.count(piece) != 0; }
    bool IsPieceAtPeer(int32_t piece) override { return at_peer.count(piece) != 0; }
    bool IsPieceUnannounced(int32_t piece) override { return unannounced.count(piece) != 0; }
    bool PeersOutpaceWeb() override { return outpaced; }
    int64_t LastPeerBlockTime() override { return last_peer_block; }
    int32_t ClaimRotation() override {
        const int32_t r = rotation;
        rotation += rotation_step;
        return r;
    }
    const std::vector<TPeerId*>& ClaimCandidates() override { return candidates; }
    int64_t ClaimNow() override { return now; }
    uint32_t ClaimTick() override { return tick; }

    int32_t pieces = 100;
    int64_t piece_length = 262144;
    std::set<int32_t> done;
    std::set<int32_t> at_peer;
    std::set<int32_t> unannounced;
    bool outpaced = false;
    int64_t last_peer_block = -1;
    std::vector<int32_t> released;
    std::vector<int32_t> engaged;
    int32_t rotation = 0;
    int32_t rotation_step = 0;
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
        for (TPeerObject* p : bt_peers) TRefObject::Release(p);
    }
    TPeerObject* AddBtPeer(int32_t rate) {
        auto* p = new TestBtPeer;
        p->SetRates(rate, 0);
        bt_peers.push_back(p);
        return p;
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
    // The pieces `from`-`to` become known at a peer `age` seconds before
    // the task's present: they came in one HAVE batch.
    static void Announce(FakeClaimTask& t, TClaims& list, int32_t from, int32_t to, int64_t age) {
        for (int32_t p = from; p <= to; ++p) t.at_peer.insert(p);
        t.now -= age;
        list.NoteAnnouncedPieces();
        t.now += age;
    }
    // The web connection `web` owns the run `first`-`last` and has just
    // finished piece `at` of it.
    static TPieceRange* ReadingAt(TClaims& list, int32_t first, int32_t last, int32_t at, TPeerId* source,
                                  TWebPeer* web) {
        TPieceRange* run = list.Add(first, last, source, web);
        run->cursor = at;
        web->Stats().current_piece = at;
        return run;
    }
    // Pieces 0 to `count` - 1 are done.
    static void DoneBelow(FakeClaimTask& t, int32_t count) {
        for (int32_t p = 0; p < count; ++p) t.done.insert(p);
    }
    std::vector<Run> Runs() const {
        std::vector<Run> out;
        for (const TPieceRange* c : claims.List()) out.push_back({c->first, c->last});
        return out;
    }

    FakeClaimTask task;
    TClaims claims{&task};
    std::vector<TWebPeer*> peers;
    std::vector<TPeerObject*> bt_peers;
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

TEST_F(ClaimsTest, WhatTheOwnerAskedTheServerForStaysItsOwn) {
    // The owner's ranged request reaches piece 25: a split and a peer's
    // stretch both take only pieces above it, and a claim asked for to its
    // end is not split at all.
    TPeerId* source = AddSource(4);
    TWebPeer* owner = AddPeer(100000, 1);
    TPieceRange* busy = claims.Add(20, 29, source, owner);
    busy->blocks_received = 5;
    busy->requested_last = 25;
    TPeerObject* bt = AddBtPeer(100000);
    EXPECT_EQ(claims.NextPieceForPeer(bt, [](int32_t p) { return p != 29; }), 28);
    EXPECT_EQ(bt->Claim()->first, 27) << "the stretch stays above the requested pieces";
    claims.ReleaseRange(bt);
    task.engaged.clear();
    TWebPeer* fast = AddPeer(400000, 1);
    ASSERT_TRUE(claims.TakeClaim(fast));
    // Four pieces beyond the request: 81 % of 4 = 3, + 1.
    EXPECT_EQ(fast->Claim()->first, 26);
    EXPECT_EQ(busy->last, 25);
    TWebPeer* another = AddPeer(400000, 1);
    if (claims.TakeClaim(another)) {
        EXPECT_GT(another->Claim()->first, 25);
    }
    EXPECT_EQ(busy->last, 25) << "a claim asked for to its end is not split";
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

TEST_F(ClaimsTest, TurnedRunsOfSeveralSourcesTileThePieces) {
    // A task that shares with peers turns its runs; however often the turn
    // is asked for, every piece lies in exactly one claim.
    task.rotation = 37;
    task.rotation_step = 11;
    for (int i = 0; i < 3; ++i) AddSource(4);
    ASSERT_TRUE(claims.CreateInitialClaims());
    std::vector<int> cover(static_cast<size_t>(task.pieces), 0);
    for (const Run& r : Runs()) {
        for (int32_t p = r.first; p <= r.last; ++p) ++cover[static_cast<size_t>(p)];
    }
    for (int32_t p = 0; p < task.pieces; ++p) EXPECT_EQ(cover[static_cast<size_t>(p)], 1) << "piece " << p;
    EXPECT_EQ(claims.List().front()->first, 37);
}

TEST_F(ClaimsTest, ABackwardClaimIsNeverHandedToAWebConnection) {
    TPeerId* source = AddSource(4);
    TPeerObject* bt = AddBtPeer(0);
    // Both at their first piece, nothing counted, long ago: a web claim in
    // that state would count as stalled.
    TPieceRange* owned = claims.Add(90, 91, source, bt);
    TPieceRange* free_one = claims.Add(80, 81, source, nullptr);
    for (TPieceRange* c : {owned, free_one}) c->backward = 1;
    task.now += 60;
    TWebPeer* web = AddPeer(100000, 0);  // never claimed: it would split anything
    EXPECT_FALSE(claims.TakeClaim(web));
    EXPECT_EQ(web->Claim(), nullptr);
    EXPECT_EQ(owned->owner, bt);
    EXPECT_EQ(bt->Claim(), owned);
    EXPECT_EQ(free_one->owner, nullptr);
    EXPECT_EQ(claims.List().size(), 2u);
}

TEST_F(ClaimsTest, APeerWorksAStretchFromARunsTailDownwards) {
    // 16 blocks a piece: a stretch needs 2 pieces (24 blocks).
    TPeerId* source = AddSource(1);
    TWebPeer* web = AddPeer(100000, 1);
    TPieceRange* run = claims.Add(0, 99, source, web);
    run->cursor = 10;
    TPeerObject* bt = AddBtPeer(100000);
    auto has = [](int32_t p) { return p != 99; };
    EXPECT_EQ(claims.NextPieceForPeer(bt, has), 98);
    ASSERT_NE(bt->Claim(), nullptr);
    EXPECT_TRUE(bt->Claim()->backward);
    EXPECT_EQ(bt->Claim()->first, 97);
    EXPECT_EQ(bt->Claim()->last, 98);
    EXPECT_EQ(task.engaged, (std::vector<int32_t>{98, 97}));
    EXPECT_EQ(bt->Stats().claim_count, 1);
    EXPECT_EQ(claims.NextPieceForPeer(bt, has), 97);
    // The stretch is used up: it goes, and the next one below is taken.
    EXPECT_EQ(claims.NextPieceForPeer(bt, has), 96);
    EXPECT_EQ(bt->Claim()->first, 95);
    EXPECT_EQ(claims.List().size(), 2u);
    EXPECT_EQ(run->last, 99) << "the web run keeps its range";
    // Given up, the pieces of the stretch not handed out are free again.
    claims.ReleaseRange(bt);
    EXPECT_EQ(task.released, (std::vector<int32_t>{95}));
    EXPECT_EQ(claims.List().size(), 1u);
    EXPECT_EQ(bt->Claim(), nullptr);
}

TEST_F(ClaimsTest, APeerWhoseUsedUpStretchWasTheLastClaimGetsNoPiece) {
    // The web run ended and left the list; the peer's stretch is all that
    // is left, and it is used up on this call.
    TPeerId* source = AddSource(1);
    TPeerObject* bt = AddBtPeer(100000);
    TPieceRange* stretch = claims.Add(40, 41, source, bt);
    stretch->backward = 1;
    stretch->cursor = 40;
    EXPECT_EQ(claims.NextPieceForPeer(bt, [](int32_t) { return true; }), -1);
    EXPECT_TRUE(claims.List().empty());
    EXPECT_EQ(bt->Claim(), nullptr);
}

TEST_F(ClaimsTest, WithoutAStretchAPeerTakesSinglePiecesFromTheTails) {
    TPeerId* source = AddSource(1);
    TWebPeer* web = AddPeer(100000, 1);
    TPieceRange* run = claims.Add(0, 99, source, web);
    run->cursor = 10;
    TPeerObject* bt = AddBtPeer(1000);
    task.done = {99, 59, 61};
    auto has = [](int32_t p) { return p == 98 || p == 60 || p == 50; };
    EXPECT_EQ(claims.NextPieceForPeer(bt, has), 98);
    EXPECT_EQ(run->last, 98) << "the finished tail piece left the run";
    // 97 is wanted but the remote lacks it; below, only a piece whose
    // neighbours are not wanted breaks no run.
    EXPECT_EQ(claims.NextPieceForPeer(bt, has), 60);
    EXPECT_EQ(claims.NextPieceForPeer(bt, has), -1);
    EXPECT_EQ(bt->Claim(), nullptr);
    EXPECT_EQ(task.engaged, (std::vector<int32_t>{98, 60}));
}

TEST_F(ClaimsTest, AMuchFasterPeerLeavesTheWebWhatItsServerHasSent) {
    // The web connection reads piece 10 of its run 0-19 and has asked its
    // server for all of it; 0-9 are done. A peer more than three times as
    // fast takes single pieces from the tail down, but not the ones the
    // server has most likely sent already (a second at the owner's rate
    // from its cursor piece on); a stalled owner keeps nothing.
    struct Case {
        const char* name;
        int32_t owner_rate;
        std::vector<int32_t> expect;
    };
    const Case cases[] = {
        {"one piece a second", 262144, {19, 18, 17, 16, 15, 14, 13, 12, 11}},
        {"the whole request on its way", 4 << 20, {}},
        {"stalled owner", 0, {19, 18, 17, 16, 15, 14, 13, 12, 11, 10}},
    };
    TPeerId* source = AddSource(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClaimTask t;
        t.pieces = 20;
        DoneBelow(t, 10);
        TClaims list(&t);
        TPieceRange* run = list.Add(0, 19, source, AddPeer(c.owner_rate, 1));
        run->cursor = 10;
        run->requested_last = 19;
        TPeerObject* bt = AddBtPeer(16 << 20);
        std::vector<int32_t> taken;
        for (int i = 0; i < 20; ++i) {
            const int32_t p = list.NextPieceForPeer(bt, [](int32_t) { return true; });
            if (p < 0) break;
            taken.push_back(p);
        }
        EXPECT_EQ(taken, c.expect);
        list.Clear();
    }
}

TEST_F(ClaimsTest, AWebRunMeetingWhatAPeerHasMovesWhereNobodyHasTheFile) {
    // 100 pieces; pieces 0-9 are done and the connection, reading one piece
    // a second, comes to piece 10. A peer has every piece from 10 on except
    // `open_first`-`open_last`. What another task read since its last HAVE
    // batch is not known: 8 pieces behind a stretch a peer has count as
    // taken.
    struct Case {
        const char* name;
        int32_t open_first, open_last;
        bool outpaced;
        int64_t peer_block_age;  // seconds since a peer delivered (-1: never)
        int64_t announced_age;   // seconds since the peer's pieces were announced
        bool other_run;  // another connection reads 80-85 of the run 80-99
        int32_t expect;  // the piece returned
        int32_t new_first, new_last;  // the connection's claim after (-1: none)
        int32_t requested_last = -1;  // the end of the connection's outstanding request
    };
    const Case cases[] = {
        // The stretch 30-99 nobody has: of 38-99 the connection takes the
        // upper half, so that whoever reads from 30 upwards meets it late.
        {"largest stretch", 30, 99, false, -1, 0, false, 69, 69, 99},
        // The task's own other run reads 80-85: 38-79 is the larger part.
        {"beside its own run", 30, 99, false, -1, 0, true, 59, 59, 79},
        // A peer has everything left: the web stops while the peers bring
        // more than it does, and goes on where it was otherwise.
        {"stops", -1, -1, true, -1, 0, false, -1, -1, -1},
        {"goes on", -1, -1, false, -1, 0, false, 10, 0, 99},
        // Only 60-65, shorter than what another task may have read there
        // unannounced: the connection waits while the peers deliver or
        // while the stretch before it grew lately, and reads it from its
        // start once both have been quiet for longer.
        {"waits for announcements", 60, 65, false, 0, 0, false, -1, -1, -1},
        {"waits for the run behind", 60, 65, false, 20, 0, false, -1, -1, -1},
        {"reads after quiet peers", 60, 65, false, 20, 20, false, 60, 60, 99},
        // What is left of the connection's request is within a second at
        // its rate, so the server has most likely sent it: the connection
        // reads it before it moves or stops. More than that is left to the
        // peers.
        {"moves after its request", 30, 99, false, -1, 0, false, 10, 0, 99, 10},
        {"stops after its request", -1, -1, true, -1, 0, false, 10, 0, 99, 10},
        {"stops amid a long request", -1, -1, true, -1, 0, false, -1, -1, -1, 11},
    };
    TPeerId* source = AddSource(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClaimTask t;
        DoneBelow(t, 10);
        t.outpaced = c.outpaced;
        if (c.peer_block_age >= 0) t.last_peer_block = t.now - c.peer_block_age;
        TClaims list(&t);
        // Long known, but for the last batch of the run before the stretch.
        if (c.open_first < 0) {
            Announce(t, list, 10, 99, 60);
        } else {
            Announce(t, list, 10, c.open_first - 9, 60);
            Announce(t, list, c.open_last + 1, 99, 60);
            Announce(t, list, c.open_first - 8, c.open_first - 1, c.announced_age);
        }
        TWebPeer* web = AddPeer(262144, 1);
        TPieceRange* run = ReadingAt(list, 0, c.other_run ? 79 : 99, 9, source, web);
        run->requested_last = c.requested_last;
        if (c.other_run) {
            TPieceRange* other = list.Add(80, 99, source, AddPeer(262144, 1));
            other->requested_last = 85;
        }
        EXPECT_EQ(list.NextPiece(web), c.expect);
        if (c.new_first < 0) {
            EXPECT_EQ(web->Claim(), nullptr);
        } else {
            ASSERT_NE(web->Claim(), nullptr);
            EXPECT_EQ(web->Claim()->first, c.new_first);
            EXPECT_EQ(web->Claim()->last, c.new_last);
        }
        if (c.expect != 10) {
            // The run left behind is free from the piece the peer has on,
            // for the peers and the other connections.
            EXPECT_EQ(run->owner, nullptr);
            EXPECT_EQ(run->cursor, 10);
            EXPECT_EQ(run->last, c.new_first < 0 ? run->last : c.new_first - 1);
        }
        list.Clear();
    }
}

TEST_F(ClaimsTest, AnotherTasksRunReachesAsFarAsItsLastAnnouncementIsOld) {
    // 100 pieces; pieces 0-9 are done and a peer has 10-29, the last
    // `last_batch` of them announced `age` seconds ago. The web run of
    // another task that read them went on for `age` seconds at the pace of
    // one batch per batch time, and reads one batch more before it learns
    // where this connection starts. At one piece a second a batch (and a
    // second) is 8 pieces; a connection without a measure of its own goes
    // by the size of the last batch. A stretch end that has not grown for
    // longer than a batch and a bit is nobody's run any more.
    struct Case {
        const char* name;
        int64_t age;
        int32_t last_batch;
        int32_t rate;  // bytes per second of the connection
        // The connection comes along its own run 0-99 to piece 10 (true),
        // or takes the free claim 30-99 that another connection left.
        bool meets_peer_piece;
        int32_t turn;    // the task's own turn (0: none)
        int32_t expect;  // the piece returned
    };
    const Case cases[] = {
        // Of 30-99, 38 on is left beyond the fresh run's reach; the upper
        // half of 38-99 starts at 69.
        {"fresh announcement", 0, 8, 262144, true, 0, 69},
        // Six seconds later that run reached 6 pieces further: 44-99.
        {"older announcement", 6, 8, 262144, true, 0, 72},
        // A batch of 12 tells of a run faster than this connection: 42-99.
        {"larger batch", 0, 12, 262144, true, 0, 71},
        {"no pace of its own", 0, 12, 0, true, 0, 71},
        // A stretch end twenty seconds old: nobody reads from 30 on, and
        // the connection takes all of 30-99; a task with a turn of its own
        // starts at its own place in the first 3/8 of it (every task sees
        // the same stretch): 30 + 70 * 100 / 1024.
        {"stopped run", 20, 8, 262144, true, 0, 30},
        {"stopped run, own turn", 20, 8, 262144, true, 100, 36},
        // A free claim that starts right behind what the peer has is where
        // the other run reads now: the connection chooses as if it had met
        // that run. Behind a stopped run it reads the claim.
        {"free claim behind a live run", 0, 8, 262144, false, 0, 69},
        {"free claim behind a stopped run", 20, 8, 262144, false, 0, 30},
    };
    TPeerId* source = AddSource(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClaimTask t;
        DoneBelow(t, 10);
        t.rotation = c.turn;
        TClaims list(&t);
        Announce(t, list, 10, 29 - c.last_batch, 60);
        Announce(t, list, 30 - c.last_batch, 29, c.age);
        TWebPeer* web = AddPeer(c.rate, 1);
        if (c.meets_peer_piece) {
            ReadingAt(list, 0, 99, 9, source, web);
        } else {
            TPieceRange* left = list.Add(30, 99, source, nullptr);
            left->claim_time = t.now;
        }
        EXPECT_EQ(list.NextPiece(web), c.expect);
        ASSERT_NE(web->Claim(), nullptr);
        EXPECT_EQ(web->Claim()->first, c.expect);
        EXPECT_EQ(web->Claim()->last, 99);
        list.Clear();
    }
}

TEST_F(ClaimsTest, AConnectionLeavesItsRunOnlyWhenAnotherTaskReadsAheadOfIt) {
    // The connection read 0-29 itself (25-29 not announced yet) and its
    // request reaches piece 40; a peer announces `first`-`last` at once.
    // Pieces this task had and announced the peers may have from it: the
    // run goes on. Pieces of its request it did not have yet, or has not
    // announced, were read by another task's run ahead of it or alongside:
    // it leaves that run the rest and moves beyond its reach (8 pieces
    // past what the peer has, the upper half of what is left).
    struct Case {
        const char* name;
        int32_t first, last;
        int32_t expect;
    };
    const Case cases[] = {
        {"its own pieces passed on", 20, 24, 30},
        {"another run ahead", 32, 35, 72},  // 44-99
        {"another run alongside", 26, 29, 69},  // 38-99
    };
    TPeerId* source = AddSource(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClaimTask t;
        DoneBelow(t, 30);
        for (int32_t p = 25; p < 30; ++p) t.unannounced.insert(p);
        TClaims list(&t);
        TWebPeer* web = AddPeer(262144, 1);
        ReadingAt(list, 20, 99, 29, source, web)->requested_last = 40;
        Announce(t, list, c.first, c.last, 0);
        EXPECT_EQ(list.NextPiece(web), c.expect);
        ASSERT_NE(web->Claim(), nullptr);
        EXPECT_EQ(web->Claim()->first, c.expect == 30 ? 20 : c.expect);
        list.Clear();
    }
}

}  // namespace
}  // namespace engine
