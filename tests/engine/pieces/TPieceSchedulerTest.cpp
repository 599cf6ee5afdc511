// Task-wide piece services: engagement with its end-game limit, the pool of
// returned requests, the random start piece, the have queue and the task's
// handling of the piece map's events.

#include <gtest/gtest.h>

#include "engine/pieces/TPieceScheduler.h"
#include "engine/pieces/TPieces.h"
#include "engine/pieces/TSha1State.h"
#include "tests/engine/pieces/PiecesTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::TBitfield;
using engine::TBlockRequest;
using engine::TPieces;
using engine::TPieceScheduler;

struct FakeTask : engine::TPieceTask {
    void SetErrorCode(int32_t c) override { code = c; }
    void RequestStop() override { stop = true; }
    bool IsStopping() const override { return stop; }
    bool IsMetadataReady() const override { return true; }
    int32_t PeerObjectCount() const override { return peers; }
    void PublishStatus(bool force) override { published += force ? 1 : 0; }
    int64_t NowSeconds() const override { return now; }
    uint32_t TickCount() const override { return ticks; }
    void PauseForDiskSpace(uint32_t) override {}
    int32_t code = 0;
    bool stop = false;
    int32_t peers = 10;
    int published = 0;
    int64_t now = 777;
    uint32_t ticks = 0;
};

class TPieceSchedulerTest : public ::testing::Test {
protected:
    // `count` pieces of 16 KiB in one file.
    void Build(int64_t count) {
        const int64_t total = count * 16384;
        const std::string data = pieces_test::MakeData(static_cast<size_t>(total));
        scheduler.SetPieces(&pieces);
        ASSERT_TRUE(pieces.BuildFromLayout(pieces_test::MakeLayout(box.Path().string(), {total}, 16384, data), nullptr));
    }
    // Gives piece p a written prefix, as a partial piece resumed from a
    // previous run has.
    void GivePrefix(int64_t p) {
        uint8_t state[engine::TSha1State::Size];
        engine::TSha1State::Reset(state);
        ASSERT_TRUE(pieces.Piece(p)->RestorePrefix(16384, state));
    }
    void MarkDone(int64_t first, int64_t count) {
        for (int64_t p = first; p < first + count; ++p) pieces.SetPieceDone(p, true);
    }
    static std::vector<TBlockRequest> Blocks(std::initializer_list<int32_t> numbers) {
        std::vector<TBlockRequest> out;
        for (int32_t b : numbers) out.push_back({b, 16384, 0});
        return out;
    }

    testing_support::Sandbox box;
    FakeTask task;
    TPieceScheduler scheduler{&task};
    TPieces pieces{&scheduler};
};

TEST_F(TPieceSchedulerTest, EngagementLimitGrowsTowardsTheEnd) {
    Build(100);
    MarkDone(0, 36);
    EXPECT_TRUE(scheduler.EngagePiece(50));
    EXPECT_TRUE(scheduler.EngagePiece(50));
    EXPECT_FALSE(scheduler.EngagePiece(50));

    MarkDone(36, 54);  // 90 done
    int accepted = 0;
    for (int i = 0; i < 100; ++i) accepted += scheduler.EngagePiece(95) ? 1 : 0;
    EXPECT_EQ(accepted, 55);
}

TEST_F(TPieceSchedulerTest, ReleaseRemovesOneOrAllEngagementsAndDropsDataOutsideEndGame) {
    Build(100);
    scheduler.EngagePiece(7);
    scheduler.EngagePiece(7);
    EXPECT_TRUE(scheduler.ReleasePiece(7, false));
    EXPECT_EQ(scheduler.EngagementCount(7), 1);
    GivePrefix(7);
    scheduler.EngagePiece(7);
    EXPECT_TRUE(scheduler.ReleasePiece(7, true));
    EXPECT_EQ(scheduler.EngagementCount(7), 0);
    EXPECT_EQ(pieces.Piece(7)->WrittenPrefix(), 0);
    EXPECT_FALSE(scheduler.ReleasePiece(7, false));
}

TEST_F(TPieceSchedulerTest, EndGameKeepsReleasedDataUntilThreeRemain) {
    Build(10);
    MarkDone(0, 6);  // 4 remain
    for (int32_t p = 6; p < 10; ++p) scheduler.EngagePiece(p);
    EXPECT_TRUE(scheduler.UpdateEndGame());
    GivePrefix(6);
    scheduler.ReleasePiece(6, true);
    EXPECT_EQ(pieces.Piece(6)->WrittenPrefix(), 16384) << "end game keeps partial data";

    MarkDone(6, 1);  // 3 remain
    GivePrefix(7);
    scheduler.ReleasePiece(7, true);
    EXPECT_EQ(pieces.Piece(7)->WrittenPrefix(), 0);
    EXPECT_FALSE(scheduler.UpdateEndGame());
    EXPECT_TRUE(scheduler.WasEndGame());
}

TEST_F(TPieceSchedulerTest, ReturnedBlocksGoToAPeerThatHasTheirWantedPiece) {
    Build(8);
    auto returned = Blocks({5, 6, 2, 3, 7});
    scheduler.ReturnBlocks(returned);
    EXPECT_TRUE(returned.empty());
    TBitfield peer(8);
    peer.Set(5, true);
    peer.Set(2, true);
    pieces.SetPieceDone(5, true);  // not wanted any more

    std::vector<TBlockRequest> list = Blocks({2});  // the peer already asked for block 2
    EXPECT_TRUE(scheduler.TakeReturnedBlocks(list, peer, 0, {}));
    ASSERT_EQ(list.size(), 1u) << "block 2 is not taken twice";
    EXPECT_EQ(scheduler.ReturnedPool().size(), 5u);

    list.clear();
    EXPECT_TRUE(scheduler.TakeReturnedBlocks(list, peer, 0, {}));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].block, 2);
    EXPECT_EQ(list[0].time, 777);
    EXPECT_EQ(scheduler.ReturnedPool().size(), 4u);

    list.clear();
    EXPECT_FALSE(scheduler.TakeReturnedBlocks(list, peer, 0, {}));
    peer.Set(3, true);
    EXPECT_FALSE(scheduler.TakeReturnedBlocks(list, peer, 0, {3}));
    EXPECT_TRUE(scheduler.TakeReturnedBlocks(list, peer, 0, {}));
    EXPECT_EQ(list[0].block, 3);

    task.stop = true;
    auto late = Blocks({1});
    scheduler.ReturnBlocks(late);
    EXPECT_EQ(scheduler.ReturnedPool().size(), 3u) << "a stopping task drops returned blocks";
}

TEST_F(TPieceSchedulerTest, TakeStopsAtTheLimitAndPoolIsSortedWhenLarge) {
    // 64 KiB pieces: four blocks each; the pool is sorted above 4 × 64 + 64.
    const int64_t total = 65536 * 8;
    scheduler.SetPieces(&pieces);
    ASSERT_TRUE(pieces.BuildFromLayout(
        pieces_test::MakeLayout(box.Path().string(), {total}, 65536, pieces_test::MakeData(total)), nullptr));
    std::vector<TBlockRequest> big;
    for (int32_t b = 330; b > 0; --b) big.push_back({b % 32, 16384, 0});
    scheduler.ReturnBlocks(big);
    TBitfield peer(8);
    peer.FillBytes(0xFF);
    std::vector<TBlockRequest> list;
    EXPECT_TRUE(scheduler.TakeReturnedBlocks(list, peer, 3, {}));
    EXPECT_EQ(list.size(), 3u);
    scheduler.MaintainReturnedPool();
    const auto& pool = scheduler.ReturnedPool();
    EXPECT_TRUE(std::is_sorted(pool.begin(), pool.end(),
                               [](const TBlockRequest& a, const TBlockRequest& b) { return a.block < b.block; }));
}

TEST_F(TPieceSchedulerTest, RandomStartPieceStaysInRange) {
    Build(100);
    for (uint32_t t : {0u, 5u, 6u, 12345u}) {
        task.ticks = t;
        EXPECT_LT(scheduler.RandomStartPiece(), 6) << t;
    }
    MarkDone(0, 10);
    task.ticks = 205;  // m = 206: r = 205 → 105 → 5, plus 10 done
    EXPECT_EQ(scheduler.RandomStartPiece(), 15);
}

TEST_F(TPieceSchedulerTest, AVerifiedPieceIsAnnouncedOnceEarlyAndNotAgainWhenDone) {
    Build(10);
    scheduler.QueueVerifiedHave(4);
    scheduler.QueueVerifiedHave(4);
    scheduler.QueueVerifiedHave(10);  // outside the map
    EXPECT_EQ(scheduler.TakeHaveQueue(), std::vector<int32_t>{4});
    pieces.SetPieceDone(4, true);
    EXPECT_TRUE(scheduler.HaveQueue().empty()) << "announced already";
    // A piece done already was announced then; one written later than a
    // lost write is announced again.
    scheduler.QueueVerifiedHave(4);
    EXPECT_TRUE(scheduler.HaveQueue().empty());
    scheduler.QueueVerifiedHave(6);
    pieces.SetPieceDone(6, false);
    pieces.SetPieceDone(6, true);
    EXPECT_EQ(scheduler.TakeHaveQueue(), (std::vector<int32_t>{6}));
}

TEST_F(TPieceSchedulerTest, EventsUpdateTheStatusCopyAndQueueHaves) {
    Build(10);
    EXPECT_EQ(scheduler.BitfieldCopy().BitCount(), 10);
    scheduler.EngagePiece(3);
    pieces.SetPieceDone(3, true);
    pieces.SetPieceDone(3, false);
    pieces.SetPieceDone(3, true);
    EXPECT_TRUE(scheduler.BitfieldCopy().Get(3));
    EXPECT_EQ(scheduler.EngagementCount(3), 0);
    EXPECT_EQ(scheduler.HaveQueue(), std::vector<int32_t>{3});
    EXPECT_EQ(scheduler.TakeHaveQueue(), std::vector<int32_t>{3});
    EXPECT_TRUE(scheduler.HaveQueue().empty());
    EXPECT_EQ(scheduler.Status().done_or_skipped, 1);

    const std::string blob = "d4:bitsi1ee";
    scheduler.OnPiecesEvent({1001, 1, static_cast<int32_t>(blob.size()), 0,
                             reinterpret_cast<const uint8_t*>(blob.data())});
    EXPECT_EQ(scheduler.BitsBlob(), blob);
    EXPECT_TRUE(scheduler.IsBitsDirty());

    scheduler.OnPiecesEvent({1002, 1, 0, 0, nullptr});
    EXPECT_EQ(task.code, engine::StateDiskFull);
    EXPECT_TRUE(task.stop);
    EXPECT_TRUE(scheduler.HasDiskError());
    scheduler.OnPiecesEvent({1003, 1, 0, 0, nullptr});
    EXPECT_FALSE(scheduler.HasDiskError());

    const int before = task.published;
    scheduler.OnPiecesEvent({3, 1, 0, 0, nullptr});
    EXPECT_EQ(task.published, before + 1);
}

}  // namespace
