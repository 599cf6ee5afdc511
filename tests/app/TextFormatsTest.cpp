#include "app/TextFormats.h"

#include <gtest/gtest.h>

#include "app/LimitSharing.h"

namespace {

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = KiB * KiB;
constexpr uint64_t GiB = MiB * KiB;
constexpr uint64_t TiB = GiB * KiB;

TEST(TextFormats, SizeSpeedAndProgress) {
    struct Case {
        uint64_t value;
        const char* size;
        const char* mixed;
        const char* speed;
    } cases[] = {
        {0, "", " 0 B", "0 B/s"},
        {1, "1 B", " 1 B", "1 B/s"},
        {1023, "1023 B", " 1023 B", "1023 B/s"},
        {1024, "1.0 KB", " 1 KB 0 B", "1.0 KB/s"},
        {1536, "1.5 KB", " 1 KB 512 B", "1.5 KB/s"},
        {MiB - 1, "1024.0 KB", " 1023 KB 1023 B", "1024.0 KB/s"},
        {MiB, "1.0 MB", " 1 MB 0 B", "1.0 MB/s"},
        {GiB + 5, "1.0 GB", " 1 GB 5 B", "1.0 GB/s"},
        {3 * GiB + 512 * MiB, "3.5 GB", " 3 GB 512 MB 0 B", "未知"},
        {3435973835ull, "3.2 GB", " 3 GB 204 MB 819 KB 203 B", "3.2 GB/s"},
        {3435973836ull, "3.2 GB", " 3 GB 204 MB 819 KB 204 B", "未知"},
        {TiB, "1.0 TB", " 1 TB 0 B", "未知"},
        // The package of the real game: 4 746 457 088 bytes.
        {182136832ull + 789446656ull + 1887436800ull + 1887436800ull, "4.4 GB", " 4 GB 430 MB 588 KB 0 B", "未知"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(app::FormatSize(c.value), c.size);
        EXPECT_EQ(app::FormatMixedSize(c.value), c.mixed);
        EXPECT_EQ(app::FormatSpeed(c.value), c.speed);
    }

    struct Progress {
        uint32_t value;
        const char* text;
        const char* two_decimals;
    } progress[] = {
        {0, "0%", "0.00%"},   {1, "0.01%", "0.01%"},     {1234, "12.34%", "12.34%"}, {1200, "12%", "12.00%"},
        {1205, "12.05%", "12.05%"}, {9999, "99.99%", "99.99%"}, {10000, "100%", "100.00%"},
    };
    for (const Progress& p : progress) {
        SCOPED_TRACE(p.value);
        EXPECT_EQ(app::FormatProgress(p.value), p.text);
        EXPECT_EQ(app::FormatPercentTwoDecimals(p.value), p.two_decimals);
    }
}

TEST(TextFormats, CopyIntoCallerBuffer) {
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(app::CopyTextToBuffer("abc", nullptr, 0), 3);
    EXPECT_EQ(app::CopyTextToBuffer("abc", buffer, 3), 0);  // no room for the NUL
    EXPECT_STREQ(buffer, "xxxxxxx");
    EXPECT_EQ(app::CopyTextToBuffer("abc", buffer, 4), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(app::CopyTextToBuffer("", buffer, 1), 0);
    EXPECT_STREQ(buffer, "");
}

TEST(LimitSharing, SpeedLimitPerTask) {
    struct Case {
        int32_t limit;
        int running;
        int32_t per_task;
    } cases[] = {
        {25, 3, 10},     // 8 each, raised to the minimum
        {300, 3, 100},   {300, 4, 75}, {300, 1, 300}, {300, 0, 300},
        {5, 1, 10},      // a single task is raised to the minimum too
        {30000, 2, 15000},
        {app::NoSpeedLimit, 3, 0},  // "none" stays none however many run
        {app::NoSpeedLimit, 1, 0},
        {0, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.limit << " over " << c.running);
        EXPECT_EQ(app::TaskSpeedLimit(c.limit, c.running), c.per_task);
    }
}

TEST(LimitSharing, ConnectionLimitsPerTask) {
    using Shares = std::vector<std::pair<int32_t, int32_t>>;
    struct Case {
        int32_t http;
        int32_t bt;
        int running;
        Shares shares;
    } cases[] = {
        {36, 108, 4, {{9, 27}, {9, 27}, {9, 27}, {9, 27}}},
        {36, 108, 3, {{12, 36}, {12, 36}, {12, 36}}},
        {36, 108, 1, {{36, 108}}},
        {10, 108, 4, {{3, 27}, {3, 27}, {2, 27}, {2, 27}}},  // the remainder goes to the first tasks
        {37, 110, 3, {{13, 37}, {12, 37}, {12, 36}}},
        {2, 3, 4, {{1, 1}, {1, 1}, {1, 1}, {1, 1}}},  // at least one each
        {36, 108, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.http << "/" << c.bt << " over " << c.running);
        EXPECT_EQ(app::ShareConnectionLimits(c.http, c.bt, c.running), c.shares);
    }
}

}  // namespace
