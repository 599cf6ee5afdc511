#include "engine/pieces/TTransferStatistics.h"

#include <gtest/gtest.h>

#include <array>

namespace engine {
namespace {

TEST(TTransferStatisticsAllowance, FollowsTheTaskLimitWithAFloor) {
    struct Case {
        const char* name;
        int32_t limit_kib;
        int32_t allowance;
    };
    const std::array<Case, 4> cases{{
        {.name = "no limit", .limit_kib = 0, .allowance = 1048576000},
        {.name = "below the floor", .limit_kib = 1, .allowance = 3072},
        {.name = "at the floor", .limit_kib = 3, .allowance = 3072},
        {.name = "100 KiB/s", .limit_kib = 100, .allowance = 102400},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TTransferStatistics::Allowance(c.limit_kib), c.allowance);
    }
}

class FakePeer : public TRatePeer {
public:
    int32_t Kind() const override { return kind; }
    bool IsConnected() const override { return connected; }
    int32_t StepReceived() const override { return step_received; }
    int32_t StepSent() const override { return step_sent; }
    int64_t TakePeriodPayload() override { return std::exchange(period_payload, 0); }
    int64_t TakePeriodSent() override { return std::exchange(period_sent, 0); }
    void SetRates(int32_t d, int32_t u) override {
        down = d;
        up = u;
    }
    int32_t DownloadRate() const override { return down; }
    int32_t UploadRate() const override { return up; }
    void ClearChokedThisRound() override { choked = false; }
    void SetInteresting(bool on) override { interesting = on; }

    int32_t kind = 1;
    bool connected = true;
    int32_t step_received = 0, step_sent = 0;
    int64_t period_payload = 0, period_sent = 0;
    int32_t down = 0, up = 0;
    bool choked = true, interesting = false;
};

TEST(TTransferStatisticsSecond, RemainingDownloadRunsOutUntilTheNextSecond) {
    TTransferStatistics stats;
    stats.SetTaskLimits(100, 0);
    stats.PerSecond();
    EXPECT_EQ(stats.UploadAllowance(), 1048576000);
    FakePeer peer;
    peer.step_received = 60000;
    peer.step_sent = 500;
    stats.CountStep(peer);
    EXPECT_EQ(stats.RemainingDownload(), 102400 - 60000);
    stats.CountStep(peer);
    EXPECT_EQ(stats.RemainingDownload(), 0);
    stats.CountSent(1000);
    EXPECT_EQ(stats.SentThisSecond(), 2000);
    EXPECT_EQ(stats.TotalSent(), 1000);
    stats.PerSecond();
    EXPECT_EQ(stats.RemainingDownload(), 102400);
    EXPECT_EQ(stats.SentThisSecond(), 0);
}

TEST(TTransferStatisticsRates, MeasuresEveryThreeSecondsOverThreeSeconds) {
    TTransferStatistics stats;
    FakePeer bt;
    FakePeer web;
    web.kind = 2;
    bt.period_payload = 30000;
    bt.period_sent = 3001;
    web.period_payload = 90000;
    std::vector<TRatePeer*> peers{&bt, &web};
    ASSERT_TRUE(stats.MeasurePeerRates(peers, 10, false));
    EXPECT_EQ(bt.down, 10000);
    EXPECT_EQ(bt.up, 1000);
    EXPECT_FALSE(bt.choked);
    EXPECT_TRUE(bt.interesting);
    EXPECT_EQ(stats.PeerDownloadSum(), 40000);
    EXPECT_EQ(TTransferStatistics::SumPeerRates(peers, 6), 30000);
    web.connected = false;
    EXPECT_EQ(TTransferStatistics::SumPeerRates(peers, 6), 0);
    // Not yet three seconds later; forced it runs anyway.
    EXPECT_FALSE(stats.MeasurePeerRates(peers, 13, false));
    EXPECT_TRUE(stats.MeasurePeerRates(peers, 13, true));
    EXPECT_EQ(bt.down, 0);
}

}  // namespace
}  // namespace engine
