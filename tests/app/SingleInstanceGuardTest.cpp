// The single-instance guard between real processes: each copy is the small
// probe program, which runs the guard as the downloader's start-up does.
#include "app/SingleInstanceGuard.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstddef>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Random.h"
#include "tests/support/Sandbox.h"

namespace {

using testing_support::Sandbox;
using testing_support::WaitFor;
using Clock = std::chrono::steady_clock;

constexpr int HandedOverExit = 3;
constexpr int HeldExit = 4;

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
    Copy(const std::string& package_id, const std::string& status_file, const std::string& folder,
         const std::string& mode = {})
        : m_status(status_file) {
        std::vector<std::string> args{package_id, status_file};
        if (!mode.empty()) args.push_back(mode);
        platform::SpawnResult r = platform::SpawnProcess(TIDEWELL_SINGLE_INSTANCE_PROBE, args, folder);
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
    // After SIGSTOP: true once the whole process has stopped.
    bool WaitStopped() const {
        return WaitFor([&] {
            int status = 0;
            return ::waitpid(m_pid, &status, WNOHANG | WUNTRACED) == m_pid && WIFSTOPPED(status);
        });
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
    // kill() returns before every thread has stopped: on a busy machine the
    // listener thread could still answer. Wait until the whole copy stopped.
    ASSERT_TRUE(first.WaitStopped());

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

// A running copy whose window does not respond closes the later copy's
// connection without answering. That is no answer: the later copy ends it and
// runs, instead of retrying until it gives up and runs beside it.
TEST(SingleInstanceGuard, CopyWhoseWindowDoesNotRespondIsEnded) {
    Sandbox box;
    std::string id = UniquePackageId();
    Copy first(id, box.File("first.txt"), box.Path().string(), "unresponsive");
    ASSERT_TRUE(first.WaitRunning()) << first.Status();

    Copy second(id, box.File("second.txt"), box.Path().string());
    ASSERT_TRUE(second.WaitRunning()) << second.Status();
    EXPECT_TRUE(first.Reports("front")) << first.Status();
    EXPECT_NE(first.Wait(std::chrono::seconds(5)), -1) << "the unresponsive copy still runs";
    EXPECT_TRUE(second.Reports(" " + std::to_string(static_cast<int>(platform::SingleInstance::Outcome::TookOver))))
        << second.Status();
}

// The name is held by something that can be neither asked nor ended (bound,
// never listening): the later copy does not run rather than run unguarded.
TEST(SingleInstanceGuard, CopyThatCannotClaimThePackageDoesNotRun) {
    Sandbox box;
    std::string id = UniquePackageId();
    std::string name = app::SingleInstanceGuard::NameFor(id);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    int squatter = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(squatter, 0);
    ASSERT_EQ(::bind(squatter, reinterpret_cast<const sockaddr*>(&address),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);

    Copy later(id, box.File("later.txt"), box.Path().string());
    EXPECT_EQ(later.Wait(std::chrono::seconds(15)), HeldExit) << later.Status();
    EXPECT_TRUE(later.Reports("held")) << later.Status();
    ::close(squatter);
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
