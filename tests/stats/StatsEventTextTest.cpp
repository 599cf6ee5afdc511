#include "stats/StatsEventText.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using namespace engine;

TEST(FormatStatsEventText, MembersInOrderWithExactNames) {
    StatsReport r;
    r.server_ip = "10.0.0.1";
    r.http_result = "200";
    r.total_seconds = 30;
    r.total_bytes = 5000000000;
    r.average_speed = 1024;
    r.progress = "45.5%";
    r.web_bytes = 7;
    r.web_speed = 8;
    r.peer_bytes = 9;
    r.peer_speed = 10;
    r.corrupt_package_id = -1;
    r.file_name = "wg311.zip";
    r.url = "http://h/wg311.zip";
    r.error_message = "none";
    StatsPrevious previous;
    const std::string text = FormatStatsEventText(r, {"311", "2.0", "1.0", "web"}, &previous);
    EXPECT_EQ(text,
              ",\"DVersion\":\"1.8\",\"GameID\":\"311\",\"AppVersion\":\"2.0\",\"GVersion\":\"1.0\","
              "\"Dchannel\":\"web\",\"Serverip\":\"10.0.0.1\",\"Httpresult\":\"200\",\"Totaltime\":\"30\","
              "\"Intime\":\"30\",\"Totalbytes\":\"5000000000\",\"Intotalbytes\":\"5000000000\","
              "\"Averagespeed\":\"1024\",\"Progress\":\"45.5%\",\"Httptotalbytes\":\"7\",\"Inhttptotalbytes\":\"7\","
              "\"Httpaveragespeed\":\"8\",\"P2ptotalbytes\":\"9\",\"Inp2ptotalbytes\":\"9\",\"P2paveragespeed\":\"10\","
              "\"Corruptpakid\":\"-1\",\"Filename\":\"wg311.zip\",\"Url\":\"http://h/wg311.zip\","
              "\"Errormsg\":\"none\"");
}

TEST(DifferenceText, GrowthSinceTheLastNonZeroValue) {
    struct Step {
        int64_t value;
        const char* difference;
        int64_t previous_after;
    };
    const std::array<Step, 6> steps = {{
        {100, "100", 100},
        {250, "150", 250},
        {200, "0", 200},  // shrank: no growth, but it is the new reference
        {0, "0", 200},    // zero leaves the reference alone
        {260, "60", 260},
        {-5, "0", -5},
    }};
    int64_t previous = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.value);
        EXPECT_EQ(DifferenceText(s.value, &previous), s.difference);
        EXPECT_EQ(previous, s.previous_after);
    }
}

TEST(EscapeJsonText, EscapesOnlyWhatWouldBreakTheString) {
    EXPECT_EQ(EscapeJsonText("plain 中文 path/x"), "plain 中文 path/x");
    EXPECT_EQ(EscapeJsonText("a\"b\\c\nd\x01"), "a\\\"b\\\\c\\u000ad\\u0001");
}

}  // namespace
