#include "engine/base/CTidewellLog.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/File.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::CTidewellLogApi;
using testing_support::Sandbox;

// The debug sink is a plain function pointer, so the captured lines live here.
std::mutex g_sink_lock;
std::vector<std::string> g_sink_lines;

void CaptureSink(const std::string& line) {
    std::lock_guard<std::mutex> guard(g_sink_lock);
    g_sink_lines.push_back(line);
}

// A log writing into a sandbox, at a fixed local time: 2023-11-14 22:13:20 UTC.
class LogFixture : public ::testing::Test {
protected:
    Sandbox box;
    platform::ManualClockSource clock{0, 1'700'000'000};
    CTidewellLogApi log;
    std::string base = box.File("pkg");

    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        platform::SetClockSource(&clock);
        g_sink_lines.clear();
        log.SetDebugSink(&CaptureSink);
        log.SetBasePath(base);
    }
    void TearDown() override { platform::SetClockSource(nullptr); }

    std::vector<std::string> Files() const { return platform::ListDirectory(box.Path().string()); }
    std::string FileText(const char* suffix) const { return Sandbox::Read(base + suffix); }
};

TEST_F(LogFixture, LevelSelectsFile) {
    struct Case {
        int32_t level;
        const char* suffix;
    };
    constexpr std::array<Case, 14> cases = {{
        {4, ".req.log"},        {38, ".dump.log"},     {37, ".checktask.log"}, {18, ".peerprefer.log"},
        {28, ".dataupload.log"}, {25, ".httptrace.log"}, {9, ".checkpeer.log"},  {29, ".written.log"},
        {30, ".sha1check.log"},  {31, ".peerinfo.log"},  {2, ".log"},           {34, ".log"},
        {0, ".log"},             {1000, ".log"},
    }};
    // Every level to the files, none to the debug output.
    log.SetLevels(0, 1001);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        EXPECT_EQ(log.PathForLevel(c.level), base + c.suffix);
        std::string text = "line at " + std::to_string(c.level);
        log.Write(text, c.level, c.level);
        EXPECT_NE(FileText(c.suffix).find("[22:13:20] [" + text + "]\n"), std::string::npos);
    }
    EXPECT_EQ(Files().size(), 11u);
    EXPECT_TRUE(g_sink_lines.empty());
}

TEST_F(LogFixture, BothThresholdsOffSilenceEverything) {
    log.SetLevels(CTidewellLogApi::LevelOff, CTidewellLogApi::LevelOff);
    for (int32_t level : {2, 34, 38, 39, 1000}) log.Write("quiet", level, level);
    EXPECT_TRUE(g_sink_lines.empty());
    EXPECT_TRUE(Files().empty());
}

TEST_F(LogFixture, DebugThresholdOffStillBlocksFiles) {
    log.SetLevels(0, CTidewellLogApi::LevelOff);
    log.Write("to nowhere", 38, 2);
    log.Write("debug only", 38, 39);
    EXPECT_TRUE(Files().empty());
    EXPECT_EQ(g_sink_lines, std::vector<std::string>{"[22:13:20] [debug only]\n"});
}

TEST_F(LogFixture, DefaultThresholdsSendLevel34ToDebugOnlyAndLevel38ToBoth) {
    CTidewellLogApi fresh;
    fresh.SetDebugSink(&CaptureSink);
    fresh.SetBasePath(base);
    fresh.Write("controller line", 34, 34);
    EXPECT_EQ(g_sink_lines, std::vector<std::string>{"[22:13:20] [controller line]\n"});
    EXPECT_TRUE(Files().empty());

    fresh.Write("dump line", 38, 38);
    EXPECT_EQ(g_sink_lines.size(), 2u);
    EXPECT_EQ(g_sink_lines.back(), "[22:13:20] [dump line]\n");
    EXPECT_EQ(Files(), std::vector<std::string>{"pkg.dump.log"});
    EXPECT_EQ(FileText(".dump.log"), "[22:13:20] [dump line]\n");

    fresh.Write("below both", 1, 1);
    EXPECT_EQ(g_sink_lines.size(), 2u);
}

TEST_F(LogFixture, FilesAreAppendedAndMayBeDeletedBetweenLines) {
    log.SetLevels(0, 1001);
    log.Write("one", 2, 2);
    ASSERT_TRUE(platform::RemoveFile(base + ".log"));
    log.Write("two", 2, 2);
    log.Write("three", 2, 2);
    EXPECT_EQ(FileText(".log"), "[22:13:20] [two]\n[22:13:20] [three]\n");
}

TEST_F(LogFixture, WriteDebugFormatLineShape) {
    log.SetLevels(CTidewellLogApi::LevelOff, CTidewellLogApi::LevelOff);
    log.WriteDebugFormat("task %d: %s", 7, "started");
    EXPECT_EQ(g_sink_lines, std::vector<std::string>{"[2023-11-14 22:13:20] [task 7: started]\r\n"});
    EXPECT_TRUE(Files().empty());
}

TEST_F(LogFixture, OverlongTextIsCutButLineKeepsItsEnd) {
    log.SetLevels(0, 1001);
    std::string text(5000, 'x');
    text[4080] = '\xe9';  // a multi-byte character straddling the cut
    log.Write(text, 2, 2);
    log.Write("next", 2, 2);
    std::string file = FileText(".log");
    size_t first_end = file.find('\n');
    ASSERT_NE(first_end, std::string::npos);
    EXPECT_LE(first_end + 1, CTidewellLogApi::LineCapacity - 1);
    EXPECT_EQ(file.substr(first_end - 1, 2), "]\n");
    EXPECT_EQ(file.substr(first_end + 1), "[22:13:20] [next]\n");

    g_sink_lines.clear();
    log.WriteDebugFormat("%s", std::string(8000, 'y').c_str());
    ASSERT_EQ(g_sink_lines.size(), 1u);
    EXPECT_EQ(g_sink_lines[0].size(), CTidewellLogApi::LineCapacity - 1);
    EXPECT_EQ(g_sink_lines[0].substr(g_sink_lines[0].size() - 4), "y]\r\n");
}

TEST_F(LogFixture, GlobalLogSkipsWhileUnset) {
    log.SetLevels(0, 1001);
    engine::SetTidewellLog(nullptr);
    engine::LogLine("lost", 2);
    engine::SetTidewellLog(&log);
    engine::LogLine("kept", 2);
    engine::LogFormat(2, "n=%d", 5);
    engine::SetTidewellLog(nullptr);
    EXPECT_EQ(FileText(".log"), "[22:13:20] [kept]\n[22:13:20] [n=5]\n");
}

TEST_F(LogFixture, ConcurrentWritersProduceWholeLines) {
    constexpr int Threads = 4;
    constexpr int Lines = 200;
    log.SetLevels(0, 1001);
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < Lines; ++i) log.Write("writer " + std::to_string(t) + " " + std::string(100, 'z'), 2, 2);
        });
    }
    for (std::thread& w : writers) w.join();
    std::string file = FileText(".log");
    size_t count = 0;
    size_t pos = 0;
    while (pos < file.size()) {
        size_t end = file.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = file.substr(pos, end - pos);
        ASSERT_EQ(line.rfind("[22:13:20] [writer ", 0), 0u) << line;
        ASSERT_EQ(line.back(), ']');
        ++count;
        pos = end + 1;
    }
    EXPECT_EQ(count, static_cast<size_t>(Threads * Lines));
}

}  // namespace
