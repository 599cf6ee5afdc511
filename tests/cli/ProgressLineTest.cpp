#include "cli/ProgressLine.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using namespace cli;

TEST(ProgressLine, BarFillsInProportionAndClamps) {
    EXPECT_EQ(Bar(0, 10), "[----------]");
    EXPECT_EQ(Bar(4999, 10), "[####------]");
    EXPECT_EQ(Bar(10000, 10), "[##########]");
    EXPECT_EQ(Bar(12000, 4), "[####]");
    EXPECT_EQ(Bar(-5, 4), "[----]");
}

TEST(ProgressLine, RemainingTimeFromBytesLeftAndSpeed) {
    struct Case {
        uint64_t left, rate;
        const char* expected;
    };
    const std::array cases{
        Case{0, 0, "00:00"},          Case{1000, 0, "--:--"},      Case{1000, 1000, "00:01"},
        Case{1001, 1000, "00:02"},    Case{125 * 1000, 1000, "02:05"}, Case{3725 * 10, 10, "1:02:05"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(Remaining(c.left, c.rate), c.expected);
    }
}

TEST(ProgressLine, LineAlignsNamesOfEveryWidth) {
    LineFigures latin{"a.zip", 5000, 50 << 20, 100 << 20, 10 << 20, "50.00%    "};
    LineFigures chinese{"总进度", 5000, 50 << 20, 100 << 20, 10 << 20, ""};
    std::string a = ProgressLine(latin, 10, 8);
    std::string b = ProgressLine(chinese, 10, 8);
    // Both bars start in display column 11: "a.zip" is 5 cells, "总进度" 6.
    EXPECT_EQ(a.find('['), 11u);
    EXPECT_EQ(b.find('['), 9u + 5u);  // 9 bytes of text, 5 spaces
    EXPECT_NE(a.find("[####----]  50.00%"), std::string::npos);
    EXPECT_NE(a.find("10.0 MB/s"), std::string::npos);
    EXPECT_NE(a.find("剩余 00:05"), std::string::npos);
    EXPECT_NE(a.find("50.00%    "), std::string::npos);
}

}  // namespace
