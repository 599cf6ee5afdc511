#include "ui/WindowTexts.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using namespace ui;

TEST(WindowTexts, RepairStatusWaitsForProgressThenAlternates) {
    StatusInputs in{11, 0, 0, "2.0 MB/s", "ignored"};
    EXPECT_EQ(StatusText(in), "修复准备...");
    in.repair_progress = 1;
    int headline = 0;
    for (uint32_t second = 0; second < 24; ++second) {
        in.seconds = second;
        std::string text = StatusText(in);
        if (text == "修复中...") ++headline;
        else EXPECT_EQ(text, "2.0 MB/s") << second;
    }
    EXPECT_EQ(headline, 8);  // 4 of every 12 seconds
}

TEST(WindowTexts, StatusLabelAndValueFollowTheState) {
    struct Case {
        int state;
        const char* status;
        const char* label;
        const char* value;
    };
    const std::array cases{
        Case{4, "3.1 MB/s", "当前进度:", "12.34%"},
        Case{10, "文件验证中...", "验证进度:", "50.00%"},
        Case{12, "3.1 MB/s", "验证进度:", "50.00%"},
        Case{11, "修复中...", "修复进度:", "7.00%"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        EXPECT_EQ(StatusText({c.state, 700, 1, "detail", "3.1 MB/s"}), c.status);
        EXPECT_EQ(ProgressLabel(c.state), c.label);
        EXPECT_EQ(ProgressValueText({c.state, 1234, 5000, 700}), c.value);
    }
    EXPECT_EQ(ProgressValueText({11, 1234, 5000, 0}), "修复准备...");
    EXPECT_EQ(ProgressValueText({4, 10000, 0, 0}), "100.00%");
}

TEST(WindowTexts, BarUsesTheVerifyProgressWhileCheckingCappedAtFull) {
    EXPECT_EQ(BarProgress({4, 2500, 9000, 0}), 2500);
    EXPECT_FALSE(UsesVerifyBar(4));
    EXPECT_EQ(BarProgress({10, 2500, 9000, 0}), 9000);
    EXPECT_EQ(BarProgress({11, 2500, 9000, 300}), 300);
    EXPECT_EQ(BarProgress({12, 2500, 12000, 0}), 10000);
    EXPECT_TRUE(UsesVerifyBar(12));
}

TEST(WindowTexts, FinalMessageNamesRepairOnlyWhenFilesWereRepaired) {
    EXPECT_EQ(FinalMessage(12, false), "√ 验证通过");
    EXPECT_EQ(FinalMessage(12, true), "√ 修复成功");
    EXPECT_EQ(FinalMessage(8, true), "下载完成");
    EXPECT_EQ(FinalMessage(13, false), "下载完成");
    EXPECT_EQ(FinalMessage(4, false), "");
    EXPECT_TRUE(ShowsFinalMessage(13));
    EXPECT_FALSE(ShowsFinalMessage(11));
}

}  // namespace

TEST(WindowTexts, AboutTextCarriesTheBuildVersion) {
    EXPECT_EQ(AboutText("雾港长歌高速下载器"), std::string("雾港长歌高速下载器\n版本 ") + TIDEWELL_VERSION);
}
