// A download killed at random moments (SIGKILL, nothing saved) resumes from
// what reached the disk: after twenty kills and restarts the file is exact
// and the server sent less than 1.1 times its size, because verified pieces
// are never fetched again.

#include <gtest/gtest.h>

#include <signal.h>

#include <random>

#include "platform/Process.h"
#include "tests/engine/peers/HttpTestSupport.h"

namespace http_test {
namespace {

TEST(KillResume, TwentyKillsCostLessThanATenthOfTheFile) {
    testing_support::Sandbox sandbox;
    // 24 MiB at 1 MiB/s over one connection: the kills land mid-download.
    const std::string content = RandomContent(24 << 20, 21);
    std::filesystem::create_directories(sandbox.File("root"));
    std::filesystem::create_directories(sandbox.File("work"));
    WriteFile(sandbox.File("root/f.bin"), content);
    const std::string torrent = sandbox.File("f.torrent");
    WriteFile(torrent, MakeTorrent(content, "f.bin", 65536));
    LoggedNginx nginx(sandbox.File("root"), sandbox.File("ranges.log"), "limit_rate 1m;\n");
    ASSERT_TRUE(nginx.Server().Started()) << nginx.Server().Failure();
    const std::string target = sandbox.File("f.bin");
    const std::vector<std::string> args = {"--target", target,   "--torrent",   torrent, "--work",
                                           sandbox.File("work"), "--web-limit", "1",     "--quiet",
                                           "--timeout", "120",   nginx.Url("/f.bin")};

    std::mt19937 random(7);
    std::uniform_int_distribution<int> pause_ms(300, 1300);
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        platform::SpawnResult child = platform::SpawnProcess(TIDEWELL_FETCH, args, sandbox.File("work"));
        ASSERT_TRUE(child.Ok()) << child.os_error;
        const int wait = pause_ms(random);
        int code = -1;
        const bool ended = platform::WaitForProcess(child.pid, static_cast<uint32_t>(wait), &code);
        if (!ended) {
            ::kill(child.pid, SIGKILL);
            ASSERT_TRUE(platform::WaitForProcess(child.pid, 10000, &code));
        }
        ASSERT_FALSE(ended && code == 0) << "finished before every kill was made; slow the server down";
    }
    platform::SpawnResult last = platform::SpawnProcess(TIDEWELL_FETCH, args, sandbox.File("work"));
    ASSERT_TRUE(last.Ok());
    int code = -1;
    ASSERT_TRUE(platform::WaitForProcess(last.pid, 120000, &code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(ReadFile(target) == content);

    ASSERT_TRUE(testing_support::WaitFor([&] { return nginx.BytesServed() >= static_cast<int64_t>(content.size()); }));
    const int64_t served = nginx.BytesServed();
    EXPECT_LT(static_cast<double>(served), 1.1 * static_cast<double>(content.size()))
        << served << " bytes served in " << nginx.Requests().size() << " requests";
}

}  // namespace
}  // namespace http_test
