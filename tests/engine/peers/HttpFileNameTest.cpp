// A plain HTTP task given a save folder (no exact target) names its file
// after the server's Content-Disposition or the URL's last segment. Names
// that would climb out of, or jump away from, the folder are neutralised the
// way a torrent's names are: the file lands inside the folder, whatever the
// server or the URL says.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/engine/peers/HttpTestSupport.h"
#include "tests/support/FaultHttpServer.h"

namespace http_test {
namespace {

using HttpFileName = EngineFixture;

// Runs a plain HTTP task into `folder` until it ends; the final state code.
int32_t RunIntoFolder(const std::string& folder, const std::string& url, const std::string& info_path) {
    TaskParams params;
    std::memset(&params, 0, sizeof params);
    params.source_text = url.c_str();
    CopyText(params.target, folder);
    CopyText(params.info_path, info_path);
    if (CreateTask(&params) != TW_OK || StartTask(params.handle) != TW_OK) return -1;
    TaskStatus status{};
    testing_support::WaitFor(
        [&] {
            QueryTaskStatus(params.handle, &status);
            return status.state != TW_STATE_NONE;
        },
        std::chrono::seconds(60));
    StopTask(params.handle, 0);
    return status.state;
}

// Every regular file below `root`, relative to it.
std::vector<std::string> FilesBelow(const std::filesystem::path& root) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) out.push_back(std::filesystem::relative(entry.path(), root).string());
    }
    return out;
}

TEST_F(HttpFileName, HostileNamesStayInsideTheSaveFolder) {
    const std::string content = RandomContent((300 << 10) + 7, 31);
    struct Case {
        const char* name;
        const char* disposition;  // empty: the server sends none
        const char* path;
        const char* stored_as;
    };
    const std::array<Case, 6> cases{{
        {"disposition climbing", "attachment; filename=\"../../escaped.bin\"", "/f.bin", ".._.._escaped.bin"},
        {"disposition absolute", "attachment; filename=/tmp-escape/escaped.bin", "/f.bin", "_tmp-escape_escaped.bin"},
        {"disposition dot dot", "attachment; filename=\"..\"", "/f.bin", "_"},
        {"url climbing", "", "/dl/..%2F..%2Fescaped.bin", ".._.._escaped.bin"},
        {"url dot dot", "", "/dl/%2E%2E", "_"},
        {"plain name", "", "/dl/plain%20name.bin", "plain name.bin"},
    }};
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        testing_support::FaultHttpServer server(content, testing_support::HttpFault::None, 0);
        ASSERT_TRUE(server.Started());
        if (*c.disposition) server.AddReplyHeader(std::string("Content-Disposition: ") + c.disposition);
        const std::filesystem::path root = m_sandbox.File("case" + std::to_string(i));
        const std::filesystem::path folder = root / "save" / "inner";
        std::filesystem::create_directories(folder);
        const int32_t state =
            RunIntoFolder(folder.string(), server.Url(c.path), m_sandbox.File("info" + std::to_string(i) + ".twinfo"));
        EXPECT_EQ(state, TW_STATE_COMPLETE);
        EXPECT_EQ(FilesBelow(root), std::vector<std::string>{"save/inner/" + std::string(c.stored_as)});
        EXPECT_TRUE(ReadFile((folder / c.stored_as).string()) == content);
    }
}

}  // namespace
}  // namespace http_test
