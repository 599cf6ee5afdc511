// The single-instance guard between real processes: each copy is the small
// probe program, which runs the guard as the downloader's start-up does.
#include "app/SingleInstanceGuard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Random.h"
#include "tests/support/Sandbox.h"

namespace {

using testing_support::Sandbox;
using testing_support::WaitFor;
using Clock = std::chrono::steady_clock;

constexpr int HandedOverExit = 3;

// A package id no other test run on this machine uses (the socket names are
// shared by every process in the network namespace).
std::string UniquePackageId() {
    auto bytes = platform::NewUuid();
    std::string id;
    char hex[3];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        id += hex;
    }
    return id;
}

class Copy {
public:
    Copy(const std::string& package_id, const std::string& status_file, const std::string& folder)
        : m_status(status_file) {
        platform::SpawnResult r =
            platform::SpawnProcess(TIDEWELL_SINGLE_INSTANCE_PROBE, {package_id, status_file}, folder);
        EXPECT_TRUE(r.Ok()) << r.os_error;
        m_pid = r.pid;
    }
    ~Copy() {
        if (m_pid > 0 && !m_ended) {
            ::kill(m_pid, SIGCONT);
            platform::TerminateProcess(m_pid, 2000);
        }
    }
    int Pid() const { return m_pid; }
    std::string Status() const { return Sandbox::Read(m_status); }
    bool Reports(const std::string& text) const { return Status().find(text) != std::string::npos; }
    bool WaitRunning() const {
        return WaitFor([&] { return Reports("running"); });
    }
    // Waits for the end; the exit code, or -1 when it is still running.
    int Wait(std::chrono::milliseconds limit) {
        int code = -1;
        if (!platform::WaitForProcess(m_pid, static_cast<uint32_t>(limit.count()), &code)) return -1;
        m_ended = true;
        return code;
    }

private:
    std::string m_status;
    int m_pid = -1;
    bool m_ended = false;
};

TEST(SingleInstanceGuard, LaterCopyHandsOverToRunningCopyAndExits) {
    Sandbox box;
    std::string id = UniquePackageId();
    std::string second_folder = box.File("second");
    ASSERT_TRUE(platform::CreateDirectories(second_folder));
    Copy first(id, box.File("first.txt"), box.Path().string());
    ASSERT_TRUE(first.WaitRunning()) << first.Status();

    auto started = Clock::now();
    Copy second(id, box.File("second.txt"), second_folder);
    EXPECT_EQ(second.Wait(std::chrono::seconds(10)), HandedOverExit) << second.Status();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    std::printf("hand-over took %lld ms\n", static_cast<long long>(elapsed.count()));
    EXPECT_TRUE(second.Reports("handed-over"));
    // The running copy was asked to come to the front, with the later
    // copy's folder, and still runs.
    EXPECT_TRUE(WaitFor([&] { return first.Reports("front " + second_folder + "\n"); })) << first.Status();
    EXPECT_EQ(first.Wait(std::chrono::milliseconds(0)), -1);
}

TEST(SingleInstanceGuard, HungCopyIsEndedAfterOneSecondAndLaterCopyRuns) {
    Sandbox box;
    std::string id = UniquePackageId();
    Copy first(id, box.File("first.txt"), box.Path().string());
    ASSERT_TRUE(first.WaitRunning()) << first.Status();
    ASSERT_EQ(::kill(first.Pid(), SIGSTOP), 0);

    auto started = Clock::now();
    Copy second(id, box.File("second.txt"), box.Path().string());
    ASSERT_TRUE(second.WaitRunning()) << second.Status() << "first: " << first.Status() << " pid " << first.Pid();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    std::printf("take-over took %lld ms\n", static_cast<long long>(elapsed.count()));
    // It waited the whole reply time before ending the first copy.
    EXPECT_GE(elapsed.count(), static_cast<long long>(app::SingleInstanceGuard::ReplyTimeoutMs));
    EXPECT_NE(first.Wait(std::chrono::seconds(5)), -1) << "the hung copy still runs";
    EXPECT_TRUE(second.Reports(" " + std::to_string(static_cast<int>(platform::SingleInstance::Outcome::TookOver))))
        << second.Status();

    // The later copy now holds the name: a third copy hands over to it.
    Copy third(id, box.File("third.txt"), box.Path().string());
    EXPECT_EQ(third.Wait(std::chrono::seconds(10)), HandedOverExit) << third.Status();
}

TEST(SingleInstanceGuard, CopiesForDifferentPackagesRunSideBySide) {
    Sandbox box;
    Copy one(UniquePackageId(), box.File("one.txt"), box.Path().string());
    Copy two(UniquePackageId(), box.File("two.txt"), box.Path().string());
    EXPECT_TRUE(one.WaitRunning()) << one.Status();
    EXPECT_TRUE(two.WaitRunning()) << two.Status();
    EXPECT_FALSE(one.Reports("front"));
    EXPECT_FALSE(two.Reports("front"));
}

}  // namespace
