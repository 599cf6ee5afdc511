#include "platform/CrashHandler.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <array>
#include <cctype>

#include "tests/support/Sandbox.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Sandbox;

// "YYYY-MM-DD-hh-mm-ss-<ms, 2 or 3 digits>-<2 digits>.dmp"
bool IsReportName(const std::string& name) {
    const std::string suffix = ".dmp";
    if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const std::array<size_t, 8> widths = {4, 2, 2, 2, 2, 2, 0, 2};  // 0: two or three digits
    size_t pos = 0;
    for (size_t field = 0; field < widths.size(); ++field) {
        size_t digits = 0;
        while (pos + digits < name.size() && std::isdigit(static_cast<unsigned char>(name[pos + digits]))) ++digits;
        if (widths[field] != 0 ? digits != widths[field] : (digits < 2 || digits > 3)) return false;
        pos += digits;
        const char expected = field + 1 < widths.size() ? '-' : '.';
        if (pos >= name.size() || name[pos] != expected) return false;
        ++pos;
    }
    return name.substr(pos - 1) == suffix;
}

std::vector<fs::path> Reports(const fs::path& folder) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (IsReportName(entry.path().filename().string())) found.push_back(entry.path());
    }
    return found;
}

TEST(CrashReportName, FollowsTheLocalTimePattern) {
    EXPECT_EQ(platform::CrashReportName(2024, 3, 7, 9, 5, 1, 42, 7), "2024-03-07-09-05-01-42-07.dmp");
    EXPECT_TRUE(IsReportName("2024-03-07-09-05-01-42-07.dmp"));
    EXPECT_FALSE(IsReportName("2024-03-07-09-05-01-42.dmp"));
    EXPECT_EQ(platform::CrashReportName(2024, 12, 31, 23, 59, 59, 999, 99), "2024-12-31-23-59-59-999-99.dmp");
}

[[noreturn]] void CrashIn(const fs::path& folder, int sig) {
    fs::current_path(folder);
    platform::InstallCrashHandler();
    if (sig == SIGABRT) std::abort();
    std::raise(sig);
    std::_Exit(3);  // not reached: the handler lets the signal end the process
}

// A child process crashes on purpose; the report must appear in its current
// folder under the time-stamped name and the child must still die by the
// signal (the handler reports, it does not swallow the crash).
TEST(CrashHandlerDeathTest, WritesReportAndEndsBySignal) {
    // Forked, not re-executed: the child must crash inside this sandbox.
    GTEST_FLAG_SET(death_test_style, "fast");
    const std::array<int, 4> signals = {SIGSEGV, SIGFPE, SIGBUS, SIGABRT};
    for (int sig : signals) {
        SCOPED_TRACE(sig);
        Sandbox box;
        EXPECT_EXIT(CrashIn(box.Path(), sig), testing::KilledBySignal(sig), "");
        auto reports = Reports(box.Path());
        ASSERT_EQ(reports.size(), 1u);
        std::string text = Sandbox::Read(reports[0].string());
        EXPECT_NE(text.find("signal: " + std::to_string(sig)), std::string::npos) << text;
        EXPECT_NE(text.find("backtrace:"), std::string::npos) << text;
    }
}

}  // namespace
