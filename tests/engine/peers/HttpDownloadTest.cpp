// End-to-end downloads from real nginx on loopback through the engine's call
// interface: P2SP and plain HTTP tasks over several ranged connections,
// redirections, a missing file, an overloaded server and a server that closes
// in the middle of a body.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "engine/pieces/QBufferPool.h"

#include "tests/engine/peers/HttpTestSupport.h"
#include "tests/support/FaultHttpServer.h"

namespace http_test {
namespace {

using std::chrono::seconds;
constexpr int64_t PieceLength = 262144;

bool SameFile(const std::string& path, const std::string& expected) {
    std::string got = ReadFile(path);
    if (got.size() != expected.size()) {
        ADD_FAILURE() << path << ": " << got.size() << " bytes, expected " << expected.size();
        return false;
    }
    return got == expected;
}

class HttpDownload : public EngineFixture {
protected:
    void Serve(const std::string& name, const std::string& content) {
        std::filesystem::create_directories(m_sandbox.File("root"));
        WriteFile(m_sandbox.File("root/" + name), content);
    }
    std::string Target(const std::string& name) {
        std::filesystem::create_directories(m_sandbox.File("out"));
        return m_sandbox.File("out/" + name);
    }
    std::string Torrent(const std::string& content, const std::string& name) {
        std::string path = m_sandbox.File(name + ".torrent");
        WriteFile(path, MakeTorrent(content, name, PieceLength));
        return path;
    }
    // 256 MiB from nginx; the access log must show several connections, each
    // working on its own range.
    void DownloadLargeFile(bool p2sp) {
        const std::string content = RandomContent(size_t{256} << 20, 1);
        Serve("big.bin", content);
        LoggedNginx nginx(m_sandbox.File("root"), m_sandbox.File("ranges.log"));
        ASSERT_TRUE(nginx.Server().Started()) << nginx.Server().Failure();
        const std::string torrent = p2sp ? Torrent(content, "big.bin") : std::string();
        const std::string target = Target("big.bin");
        RunResult r = RunTask(target, nginx.Url("/big.bin"), torrent, seconds(180));
        ASSERT_FALSE(r.timed_out) << "progress " << r.status.progress;
        EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
        EXPECT_EQ(r.status.progress, 10000);
        EXPECT_TRUE(SameFile(target, content));
        EXPECT_FALSE(std::filesystem::exists(target + ".twtmp"));
        // Every byte came from the web source, once: the counts add up to
        // the file however fast the download was over.
        EXPECT_EQ(r.status.web_bytes, content.size());
        EXPECT_EQ(r.status.peer_bytes, 0u);
        // nginx logs a request when it ends; the last ones end as the task
        // closes its connections, so the log is read until it shows them.
        std::set<std::string> ranges;
        std::set<int> ports;
        testing_support::WaitFor([&] {
            ranges.clear();
            ports.clear();
            for (const ServedRequest& q : nginx.Requests()) {
                if (q.status == 206 && !q.range.empty() && q.range != "-") {
                    ranges.insert(q.range);
                    ports.insert(q.port);
                }
            }
            return ranges.size() >= 4u && ports.size() >= 4u;
        });
        EXPECT_GE(ranges.size(), 4u);
        EXPECT_GE(ports.size(), 4u);
    }
};

TEST_F(HttpDownload, LargeP2spTaskOverSeveralRangedConnections) { DownloadLargeFile(true); }

TEST_F(HttpDownload, LargeHttpTaskOverSeveralRangedConnections) { DownloadLargeFile(false); }

// What nginx sends is what the task keeps: ranged requests end where the
// connection's run ends, the first request of a task that knows its pieces
// starts at its claim (not at offset 0), the connection reading from offset
// 0 keeps the claim there, and a reply read to its end makes way for the
// next request on the same connection.
TEST_F(HttpDownload, ServerSendsLittleMoreThanTheTaskKeeps) {
    struct Case {
        const char* name;
        bool p2sp;
        int web_limit;
    };
    constexpr std::array<Case, 3> cases{{
        {.name = "plain HTTP, one connection", .p2sp = false, .web_limit = 1},
        {.name = "plain HTTP, four connections", .p2sp = false, .web_limit = 4},
        {.name = "P2SP without peers, two connections", .p2sp = true, .web_limit = 2},
    }};
    const std::string content = RandomContent(size_t{64} << 20, 23);
    Serve("w.bin", content);
    const std::string torrent = Torrent(content, "w.bin");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string log = m_sandbox.File(std::string("waste-") + std::to_string(c.web_limit) + (c.p2sp ? "p" : "h"));
        LoggedNginx nginx(m_sandbox.File("root"), log);
        ASSERT_TRUE(nginx.Server().Started()) << nginx.Server().Failure();
        const std::string target = Target(std::string("w-") + std::to_string(c.web_limit) + (c.p2sp ? "p" : "h"));
        RunResult r = RunTask(target, nginx.Url("/w.bin"), c.p2sp ? torrent : std::string(), seconds(120),
                              c.web_limit);
        ASSERT_EQ(r.status.state, TW_STATE_COMPLETE) << "progress " << r.status.progress;
        EXPECT_TRUE(SameFile(target, content));
        ASSERT_EQ(r.status.web_bytes, content.size());
        // nginx logs a request when it ends: the log is read until the
        // connections the stopped task closed show up in it.
        int64_t served = 0;
        size_t requests = 0;
        testing_support::WaitFor([&] {
            const size_t before = requests;
            requests = nginx.Requests().size();
            served = nginx.BytesServed();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return requests > 0 && requests == before && nginx.Requests().size() == requests;
        });
        // Headers (about 300 bytes a reply) aside, at most 2 % more than
        // kept, and one reply from offset 0 given up: a request from there
        // carries no range, so the server sends what the kernel buffers
        // take (up to about 5 MiB on loopback) until the connection closes.
        const int64_t headers = static_cast<int64_t>(requests) * 512;
        const int64_t open_ended = int64_t{8} << 20;
        EXPECT_LE(served - headers, static_cast<int64_t>(content.size()) * 102 / 100 + open_ended)
            << served << " bytes in " << requests << " requests";
    }
}


// Idle buffers left in the process-wide pools (as a busy swarm leaves them)
// are released by the work threads: the socket, piece and SHA-1 pools are
// small again once a task's run has ended.
TEST_F(HttpDownload, BufferPoolsShrinkBackWhenTheRunEnds) {
    auto idle = [](engine::QBufferPool& pool) {
        int64_t in_use = 0;
        return pool.Usage(&in_use) - in_use;
    };
    engine::QBufferPool* pools[] = {&engine::BufferPools::SocketBuffers(), &engine::BufferPools::PieceBuffers(),
                                    &engine::BufferPools::Sha1States()};
    for (engine::QBufferPool* pool : pools) {
        std::vector<uint8_t*> buffers;
        for (int k = 0; k < 128; ++k) buffers.push_back(pool->Alloc(65536));
        pool->FreeList(buffers);
        ASSERT_GE(idle(*pool), int64_t{8} << 20);
    }
    const std::string content = RandomContent(size_t{8} << 20, 12);
    Serve("pool.bin", content);
    LoggedNginx nginx(m_sandbox.File("root"), m_sandbox.File("ranges.log"));
    ASSERT_TRUE(nginx.Server().Started()) << nginx.Server().Failure();
    const std::string target = Target("pool.bin");
    RunResult r = RunTask(target, nginx.Url("/pool.bin"), "", seconds(120));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
    EXPECT_TRUE(testing_support::WaitFor([&] {
        return idle(engine::BufferPools::SocketBuffers()) <= (int64_t{1} << 20) &&
               idle(engine::BufferPools::PieceBuffers()) <= 2097152 && idle(engine::BufferPools::Sha1States()) <= 10240;
    })) << "socket " << idle(engine::BufferPools::SocketBuffers()) << ", piece "
        << idle(engine::BufferPools::PieceBuffers()) << ", sha1 " << idle(engine::BufferPools::Sha1States());
}

// A task stopped with blocks of unfinished pieces in memory keeps them in its
// block dump: started again, it asks the server only for what it did not
// have, so the server sends the file about once in all.
TEST_F(HttpDownload, BlocksBufferedAtAStopAreNotFetchedAgain) {
    constexpr int64_t BigPiece = 4 << 20;  // nothing completes before the stop
    const std::string content = RandomContent(size_t{8} << 20, 14);
    testing_support::FaultHttpServer server(content, testing_support::HttpFault::None, 0, 1 << 20);
    ASSERT_TRUE(server.Started());
    const std::string torrent = m_sandbox.File("dump.torrent");
    WriteFile(torrent, MakeTorrent(content, "dump.bin", BigPiece));
    const std::string target = Target("dump.bin");
    TaskParams params;
    std::memset(&params, 0, sizeof params);
    params.flags = TW_FLAG_EXACT_TARGET | TW_FLAG_P2SP;
    CopyText(params.main_source, "file://" + torrent);
    const std::string sources = server.Url("/dump.bin");
    params.source_text = sources.c_str();
    CopyText(params.target, target);
    CopyText(params.info_path, target + ".twinfo");
    ASSERT_EQ(CreateTask(&params), TW_OK);
    ASSERT_EQ(SetTaskConnectionLimits(params.handle, 1, 0), TW_OK);
    ASSERT_EQ(StartTask(params.handle), TW_OK);
    auto status = [&] {
        TaskStatus s{};
        EXPECT_EQ(QueryTaskStatus(params.handle, &s), TW_OK);
        return s;
    };
    ASSERT_TRUE(testing_support::WaitFor([&] { return status().web_bytes >= (2u << 20); }, seconds(30)));
    ASSERT_EQ(StopTask(params.handle, 0), TW_OK);
    const int64_t sent_in_first_run = server.BytesSent();
    ASSERT_LT(sent_in_first_run, BigPiece) << "a piece completed before the stop";
    ASSERT_TRUE(std::filesystem::exists(target + ".twinfodf")) << "no block dump was written";

    ASSERT_EQ(StartTask(params.handle), TW_OK);
    ASSERT_TRUE(testing_support::WaitFor([&] { return status().state == TW_STATE_COMPLETE; }, seconds(60)));
    StopTask(params.handle, 0);
    EXPECT_TRUE(SameFile(target, content));
    // What arrived before the stop is not sent again: without the dump the
    // second run would fetch those 2 MiB and more once more.
    EXPECT_LT(server.BytesSent(), int64_t(content.size()) + (256 << 10))
        << "first run " << sent_in_first_run << ", in all " << server.BytesSent();
}

TEST_F(HttpDownload, RedirectionsReachTheFile) {
    const std::string content = RandomContent(3 << 20, 2);
    Serve("f.bin", content);
    LoggedNginx nginx(m_sandbox.File("root"), m_sandbox.File("ranges.log"),
                      "absolute_redirect off;\n"
                      "location = /moved301 { return 301 /f.bin; }\n"
                      "location = /moved302 { return 302 http://127.0.0.1:$server_port/f.bin; }\n");
    ASSERT_TRUE(nginx.Server().Started()) << nginx.Server().Failure();
    for (const char* path : {"/moved301", "/moved302"}) {
        SCOPED_TRACE(path);
        const std::string target = Target(std::string(path + 1) + ".bin");
        RunResult r = RunTask(target, nginx.Url(path), "", seconds(60));
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
        EXPECT_TRUE(SameFile(target, content));
    }
}

TEST_F(HttpDownload, TorrentFetchedIntoMemoryStartsTheDownload) {
    const std::string content = RandomContent((3 << 20) + 11, 6);
    Serve("f.bin", content);
    WriteFile(m_sandbox.File("root/f.torrent"), MakeTorrent(content, "f.bin", PieceLength));
    LoggedNginx nginx(m_sandbox.File("root"), m_sandbox.File("ranges.log"));
    ASSERT_TRUE(nginx.Server().Started()) << nginx.Server().Failure();
    const std::string target = Target("bt.bin");
    RunResult r = RunTask(target, nginx.Url("/f.torrent") + "\n" + nginx.Url("/f.bin"), "", seconds(60), 0, "", "",
                          TW_FLAG_BT);
    ASSERT_FALSE(r.timed_out) << "progress " << r.status.progress;
    EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
    EXPECT_STREQ(r.status.name, "f.bin");
    EXPECT_TRUE(SameFile(target, content));
}

TEST_F(HttpDownload, AddressSourceCarriesItsHostName) {
    const std::string content = RandomContent((1 << 20) + 3, 5);
    Serve("f.bin", content);
    LoggedNginx nginx(m_sandbox.File("root"), m_sandbox.File("ranges.log"));
    ASSERT_TRUE(nginx.Server().Started()) << nginx.Server().Failure();
    const std::string target = Target("ip.bin");
    RunResult r = RunTask(target, "", "", seconds(60), 0, nginx.Url("/f.bin"), "files.example.test");
    ASSERT_FALSE(r.timed_out) << "progress " << r.status.progress;
    EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
    EXPECT_TRUE(SameFile(target, content));
    ASSERT_TRUE(testing_support::WaitFor([&] { return !nginx.Requests().empty(); }));
    for (const ServedRequest& q : nginx.Requests()) EXPECT_EQ(q.host, "files.example.test");
}

TEST_F(HttpDownload, SpeedLimitHoldsTheDownloadBack) {
    const std::string content = RandomContent(32 << 20, 8);
    Serve("f.bin", content);
    LoggedNginx nginx(m_sandbox.File("root"), m_sandbox.File("ranges.log"));
    ASSERT_TRUE(nginx.Server().Started()) << nginx.Server().Failure();
    TaskParams params;
    std::memset(&params, 0, sizeof params);
    params.flags = TW_FLAG_EXACT_TARGET;
    const std::string sources = nginx.Url("/f.bin");
    params.source_text = sources.c_str();
    CopyText(params.target, Target("slow.bin"));
    ASSERT_EQ(CreateTask(&params), TW_OK);
    ASSERT_EQ(SetTaskSpeedLimit(params.handle, 1, 256), TW_OK);
    ASSERT_EQ(StartTask(params.handle), TW_OK);
    // Unlimited, 32 MiB take well under a second here; at 256 KiB/s the
    // task has at most a few seconds' worth after three seconds.
    const auto until = std::chrono::steady_clock::now() + seconds(3);
    TaskStatus status{};
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_EQ(QueryTaskStatus(params.handle, &status), TW_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(QueryTaskStatus(params.handle, &status), TW_OK);
    EXPECT_NE(status.state, TW_STATE_COMPLETE);
    EXPECT_LT(status.web_bytes, uint64_t{3} << 20);
    StopTask(params.handle, 0);
}

TEST_F(HttpDownload, MissingFileRemovesTheOnlySource) {
    Serve("other.bin", "x");
    LoggedNginx nginx(m_sandbox.File("root"), m_sandbox.File("ranges.log"));
    ASSERT_TRUE(nginx.Server().Started()) << nginx.Server().Failure();
    const std::string target = Target("missing.bin");
    RunResult r = RunTask(target, nginx.Url("/missing.bin"), "", seconds(60));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status.state, TW_STATE_NO_SOURCE);
    // A 404 removes the source instead of delaying it: it is asked again only
    // when the idle task re-adds its saved sources, not on every cycle.
    int asked = 0;
    for (const ServedRequest& q : nginx.Requests()) asked += q.status == 404;
    EXPECT_GE(asked, 1);
    EXPECT_LE(asked, 4);
}

TEST_F(HttpDownload, OverloadedServerIsRetriedLater) {
    const std::string content = RandomContent(2 << 20, 3);
    testing_support::FaultHttpServer server(content, testing_support::HttpFault::Status503, 1);
    ASSERT_TRUE(server.Started());
    const std::string target = Target("busy.bin");
    RunResult r = RunTask(target, server.Url(), "", seconds(120));
    ASSERT_FALSE(r.timed_out) << "progress " << r.status.progress;
    EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
    EXPECT_EQ(server.SpoiledReplies(), 1);
    EXPECT_GE(server.Requests(), 2);
    EXPECT_TRUE(SameFile(target, content));
}

TEST_F(HttpDownload, ClosedMidBodyResumesAtTheNextMissingBlock) {
    // The first reply stops after half the body: 2 MiB + 2500 bytes, so the
    // last whole block received ends at 2 MiB.
    const std::string content = RandomContent((4 << 20) + 5000, 4);
    testing_support::FaultHttpServer server(content, testing_support::HttpFault::ShorterBody, 1);
    ASSERT_TRUE(server.Started());
    const std::string target = Target("cut.bin");
    RunResult r = RunTask(target, server.Url(), Torrent(content, "cut.bin"), seconds(60), 1);
    ASSERT_FALSE(r.timed_out) << "progress " << r.status.progress;
    EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
    EXPECT_TRUE(SameFile(target, content));
    std::vector<int64_t> starts = server.RangeStarts();
    ASSERT_GE(starts.size(), 2u);
    EXPECT_EQ(starts[0], 0);
    EXPECT_EQ(starts[1], 2 << 20);
}

TEST_F(HttpDownload, BodyReadInPiecesOfAnySizeLandsExact) {
    // The server sends the body in pieces that end anywhere inside a block,
    // so reads into the piece memory end mid-block and the block's rest
    // comes with the next read; a corrupted stretch must still fail its
    // piece, which is then fetched again.
    struct Case {
        const char* name;
        size_t send_bytes;
        bool torrent;
        testing_support::HttpFault fault;
    };
    const Case cases[] = {
        {"odd sends, with digests", 7919, true, testing_support::HttpFault::None},
        {"odd sends, without digests", 7919, false, testing_support::HttpFault::None},
        {"a block and a half, with digests", 24577, true, testing_support::HttpFault::None},
        {"odd sends, garbage in the first reply", 7919, true, testing_support::HttpFault::Garbage},
    };
    const std::string content = RandomContent((2 << 20) + 777, 9);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::FaultHttpServer server(content, c.fault, c.fault == testing_support::HttpFault::None ? 0 : 1);
        ASSERT_TRUE(server.Started());
        server.SendBodyInPieces(c.send_bytes);
        const std::string name = "split" + std::to_string(n++) + ".bin";
        const std::string target = Target(name);
        RunResult r = RunTask(target, server.Url(), c.torrent ? Torrent(content, name) : std::string(), seconds(60), 1);
        ASSERT_FALSE(r.timed_out) << "progress " << r.status.progress;
        EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
        EXPECT_TRUE(SameFile(target, content));
        // Only the bytes of passed pieces count as kept.
        EXPECT_EQ(r.status.web_bytes, content.size());
        if (c.fault != testing_support::HttpFault::None) {
            EXPECT_GE(server.Requests(), 2);
        }
    }
}

}  // namespace
}  // namespace http_test
