// The metainfo a task used is kept in its task-information file and serves
// the run after a restart of the engine: a torrent fetched from a web source
// is not fetched again, and a torrent file damaged in the meantime is stood
// in for by the kept copy. Both runs go through the call interface.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/engine/peers/HttpTestSupport.h"
#include "tests/support/FaultHttpServer.h"

namespace http_test {
namespace {

using std::chrono::seconds;
constexpr int64_t PieceLength = 256 * 1024;
// 3 MiB at 512 KiB/s over one connection: the first run is stopped well before the end.
constexpr size_t ContentSize = size_t{3} << 20;
constexpr int64_t WebRate = 512 * 1024;

class TaskInfoResume : public EngineFixture {};

TEST_F(TaskInfoResume, KeptTorrentServesTheRunAfterARestart) {
    const std::string content = RandomContent(ContentSize, 51);
    const std::string torrent_bytes = MakeTorrent(content, "f.bin", PieceLength);
    struct Case {
        const char* name;
        bool fetched;  // the torrent comes from a web source, else from a file
    };
    const std::array<Case, 2> cases{{
        {"torrent fetched from a web source", true},
        {"torrent file damaged between the runs", false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::FaultHttpServer torrent_server(torrent_bytes, testing_support::HttpFault::None, 0);
        testing_support::FaultHttpServer web(content, testing_support::HttpFault::None, 0, WebRate);
        ASSERT_TRUE(torrent_server.Started() && web.Started());
        const std::string folder = m_sandbox.File(c.fetched ? "fetched" : "file");
        std::filesystem::create_directories(folder);
        const std::string torrent_file = folder + "/f.torrent";
        WriteFile(torrent_file, torrent_bytes);
        const std::string sources =
            c.fetched ? torrent_server.Url("/f.torrent") + "\n" + web.Url("/f.bin") : web.Url("/f.bin");
        TaskParams params;
        std::memset(&params, 0, sizeof params);
        params.flags = TW_FLAG_EXACT_TARGET | (c.fetched ? TW_FLAG_BT : TW_FLAG_P2SP);
        if (!c.fetched) CopyText(params.main_source, "file://" + torrent_file);
        params.source_text = sources.c_str();
        CopyText(params.target, folder + "/f.bin");
        CopyText(params.info_path, folder + "/f.twinfo");

        // First run: part of the file, then the engine goes.
        TaskParams first = params;
        ASSERT_EQ(CreateTask(&first), TW_OK);
        ASSERT_EQ(SetTaskConnectionLimits(first.handle, 1, 0), TW_OK);
        ASSERT_EQ(StartTask(first.handle), TW_OK);
        TaskStatus status{};
        ASSERT_TRUE(testing_support::WaitFor(
            [&] {
                EXPECT_EQ(QueryTaskStatus(first.handle, &status), TW_OK);
                return status.downloaded_bytes >= 2 * PieceLength;
            },
            seconds(30)));
        ASSERT_LT(status.progress, 10000);
        EXPECT_EQ(StopTask(first.handle, 0), TW_OK);
        ASSERT_EQ(EngineShutdown(), TW_OK);
        ASSERT_TRUE(std::filesystem::exists(folder + "/f.twinfo"));
        const size_t torrent_requests = torrent_server.RequestLines().size();
        EXPECT_EQ(torrent_requests, c.fetched ? 1u : 0u);
        if (!c.fetched) WriteFile(torrent_file, "d8:announce4:oops");

        // Second run, restored as the downloader restores it.
        ASSERT_EQ(EngineInitialize(m_sandbox.File("work").c_str()), TW_OK);
        TaskParams second = params;
        ASSERT_EQ(RecoverAndContinueTask(&second, 1), TW_OK);
        ASSERT_TRUE(testing_support::WaitFor(
            [&] {
                EXPECT_EQ(QueryTaskStatus(second.handle, &status), TW_OK);
                return status.state != TW_STATE_NONE;
            },
            seconds(60)));
        EXPECT_EQ(status.state, TW_STATE_COMPLETE);
        EXPECT_STREQ(status.name, "f.bin");
        EXPECT_EQ(StopTask(second.handle, 0), TW_OK);
        EXPECT_TRUE(ReadFile(folder + "/f.bin") == content);
        EXPECT_EQ(torrent_server.RequestLines().size(), torrent_requests) << "the torrent was fetched again";
    }
}

}  // namespace
}  // namespace http_test
