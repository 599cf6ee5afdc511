// FTP sources against real servers on loopback: vsftpd (anonymous) and
// pyftpdlib (with a user and password; it refuses the size request in ASCII
// mode) each serve a 256 MiB file that a task fetches over several ranged
// connections, byte for byte; a metainfo file fetched whole over FTP starts
// a BitTorrent task; a speed limit holds an FTP download back; and one P2SP
// task takes its bytes from an FTP source, an HTTP source and an aria2c
// seeder at once.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/engine/peers/HttpTestSupport.h"
#include "tests/engine/peers/SwarmTestSupport.h"
#include "tests/support/FtpServers.h"
#include "tests/support/OpentrackerServer.h"

namespace {

using http_test::RandomContent;
using http_test::ReadFile;
using http_test::RunResult;
using http_test::WriteFile;
using std::chrono::seconds;

constexpr int64_t PieceLength = 262144;

class FtpDownload : public http_test::EngineFixture {
protected:
    std::string Serve(const std::string& name, const std::string& content) {
        std::filesystem::create_directories(m_sandbox.File("root"));
        WriteFile(m_sandbox.File("root/" + name), content);
        return m_sandbox.File("root");
    }
    std::string Target(const std::string& name) {
        std::filesystem::create_directories(m_sandbox.File("out"));
        return m_sandbox.File("out/" + name);
    }
    // 256 MiB over `url`; the server's log must show restarts at more than
    // one offset, so several ranged transfers made the file.
    void DownloadLargeFile(const testing_support::FtpServerProcess& server, const std::string& url,
                           const std::string& content, const std::string& torrent) {
        const std::string target = Target("big.bin");
        RunResult r = http_test::RunTask(target, url, torrent, seconds(240));
        ASSERT_FALSE(r.timed_out) << "progress " << r.status.progress << "\n" << server.Log().substr(0, 4000);
        EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
        EXPECT_TRUE(ReadFile(target) == content);
        EXPECT_EQ(r.status.web_bytes, content.size());
        const std::vector<int64_t> rest = server.RestOffsets();
        const std::set<int64_t> offsets(rest.begin(), rest.end());
        EXPECT_GE(offsets.size(), 4u);
        EXPECT_GT(*offsets.rbegin(), 0);
    }
};

TEST_F(FtpDownload, VsftpdAnonymousLargeFileOverSeveralTransfers) {
    const std::string content = RandomContent(size_t{256} << 20, 41);
    const std::string root = Serve("big.bin", content);
    testing_support::VsftpdServer vsftpd(root);
    ASSERT_TRUE(vsftpd.Started()) << vsftpd.Failure();
    // A plain FTP task: its size comes from the server.
    DownloadLargeFile(vsftpd, vsftpd.Url("/big.bin"), content, "");
}

TEST_F(FtpDownload, PyftpdlibWithLoginLargeFileOverSeveralTransfers) {
    const std::string content = RandomContent(size_t{256} << 20, 42);
    const std::string root = Serve("big.bin", content);
    testing_support::PyftpdServer pyftpd(root, "tw", "s3cret");
    ASSERT_TRUE(pyftpd.Started()) << pyftpd.Failure();
    const std::string torrent = m_sandbox.File("big.torrent");
    WriteFile(torrent, http_test::MakeTorrent(content, "big.bin", PieceLength));
    DownloadLargeFile(pyftpd, pyftpd.Url("/big.bin", "tw:s3cret"), content, torrent);
    EXPECT_NE(pyftpd.Log().find("USER 'tw' logged in"), std::string::npos) << pyftpd.Log().substr(0, 4000);
}

// A BitTorrent task whose metainfo source is on FTP: the torrent is fetched
// whole into memory, then the file comes from the same server.
TEST_F(FtpDownload, TorrentFetchedIntoMemoryStartsTheDownload) {
    const std::string content = RandomContent((3 << 20) + 11, 45);
    const std::string root = Serve("f.bin", content);
    WriteFile(m_sandbox.File("root/f.torrent"), http_test::MakeTorrent(content, "f.bin", PieceLength));
    testing_support::VsftpdServer vsftpd(root);
    ASSERT_TRUE(vsftpd.Started()) << vsftpd.Failure();
    const std::string target = Target("bt.bin");
    RunResult r = http_test::RunTask(target, vsftpd.Url("/f.torrent") + "\n" + vsftpd.Url("/f.bin"), "", seconds(60), 0,
                                     "", "", TW_FLAG_BT);
    ASSERT_FALSE(r.timed_out) << "progress " << r.status.progress;
    EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
    EXPECT_STREQ(r.status.name, "f.bin") << vsftpd.Log().substr(0, 6000);
    EXPECT_TRUE(ReadFile(target) == content);
}

TEST_F(FtpDownload, SpeedLimitHoldsTheDownloadBack) {
    const std::string root = Serve("f.bin", RandomContent(32 << 20, 46));
    testing_support::VsftpdServer vsftpd(root);
    ASSERT_TRUE(vsftpd.Started()) << vsftpd.Failure();
    TaskParams params;
    std::memset(&params, 0, sizeof params);
    params.flags = TW_FLAG_EXACT_TARGET;
    const std::string sources = vsftpd.Url("/f.bin");
    params.source_text = sources.c_str();
    http_test::CopyText(params.target, Target("slow.bin"));
    ASSERT_EQ(CreateTask(&params), TW_OK);
    ASSERT_EQ(SetTaskSpeedLimit(params.handle, 1, 256), TW_OK);
    ASSERT_EQ(StartTask(params.handle), TW_OK);
    // Unlimited, 32 MiB take about a second here; at 256 KiB/s the task has
    // at most a few seconds' worth after three seconds.
    const auto until = std::chrono::steady_clock::now() + seconds(3);
    TaskStatus status{};
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_EQ(QueryTaskStatus(params.handle, &status), TW_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(QueryTaskStatus(params.handle, &status), TW_OK);
    EXPECT_NE(status.state, TW_STATE_COMPLETE);
    EXPECT_GT(status.web_bytes, 0u);
    EXPECT_LT(status.web_bytes, uint64_t{3} << 20);
    StopTask(params.handle, 0);
}

// FTP, HTTP and BitTorrent in one task. The web servers are held to 512 KiB/s
// a connection, so the seeder has a share to deliver too.
TEST(FtpP2sp, FtpHttpAndAria2SeederAllDeliver) {
    testing_support::Sandbox sandbox;
    const std::string content = RandomContent(size_t{32} << 20, 44);
    std::filesystem::create_directories(sandbox.File("seed"));
    WriteFile(sandbox.File("seed/f.bin"), content);
    const swarm_test::Torrent draft = swarm_test::MakeTorrent(content, "f.bin", PieceLength, {"http://127.0.0.1:1/a"});
    testing_support::OpentrackerServer tracker({draft.info_hash});
    ASSERT_TRUE(tracker.Started()) << tracker.Failure();
    const swarm_test::Torrent torrent = swarm_test::MakeTorrent(content, "f.bin", PieceLength, {tracker.HttpAnnounceUrl()});
    const std::string torrent_path = sandbox.File("f.torrent");
    WriteFile(torrent_path, torrent.bytes);

    http_test::LoggedNginx nginx(sandbox.File("seed"), sandbox.File("ranges.log"), "limit_rate 512k;\n");
    ASSERT_TRUE(nginx.Server().Started()) << nginx.Server().Failure();
    testing_support::VsftpdServer vsftpd(sandbox.File("seed"), "anon_max_rate=524288");
    ASSERT_TRUE(vsftpd.Started()) << vsftpd.Failure();
    const uint16_t seed_port = swarm_test::FreePort(platform::MakeIpv4(127, 0, 0, 16));
    swarm_test::Background seeder(
        swarm_test::Aria2Args(torrent_path, sandbox.File("seed"), "127.0.0.16", seed_port, true),
        sandbox.File("aria2.log"), sandbox.Path().string());
    ASSERT_TRUE(seeder.Started());
    ASSERT_TRUE(swarm_test::WaitForSeeders(tracker.Port(), torrent.info_hash, 1)) << seeder.Log();

    const std::string target = sandbox.File("got/f.bin");
    std::filesystem::create_directories(sandbox.File("got"));
    const std::string listen = "127.0.0.5:" + std::to_string(swarm_test::FreePort(platform::MakeIpv4(127, 0, 0, 5)));
    swarm_test::Background engine({TIDEWELL_FETCH, "--target", target, "--torrent", torrent_path, "--work",
                                   sandbox.File("work"), "--bt-limit", "20", "--listen", listen, "--timeout", "240",
                                   "--quiet", "--web-limit", "4", nginx.Url("/f.bin"), vsftpd.Url("/f.bin")},
                                  sandbox.File("engine.log"), sandbox.Path().string());
    ASSERT_TRUE(engine.Started());
    int code = -1;
    ASSERT_TRUE(engine.Wait(240000, &code));
    EXPECT_EQ(code, 0) << engine.Log();
    EXPECT_TRUE(ReadFile(target) == content);
    const swarm_test::ByteCounts bytes = swarm_test::ParseByteCounts(engine.Log());
    EXPECT_GT(bytes.peer, 0) << engine.Log();
    EXPECT_EQ(bytes.web + bytes.peer, static_cast<long long>(content.size())) << engine.Log();
    EXPECT_GT(nginx.BytesServed(), 0);
    EXPECT_GT(vsftpd.BytesSent(), 0) << vsftpd.Log().substr(0, 4000);
}

}  // namespace
