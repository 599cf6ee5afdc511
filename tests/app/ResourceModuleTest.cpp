#include "app/ResourceModule.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "AppTestSupport.h"
#include "app/EmbeddedPackage.h"
#include "tests/support/Sandbox.h"

namespace {

using testing_support::Sandbox;

const unsigned char kPlain[] = {'a', 'b', 'c'};
const unsigned char kEncoded[] = {'W', 'z', 'F', 'd'};  // base64 of "[1]"

const app::EmbeddedResource kResources[] = {
    {"TORRENT", 301, kPlain, sizeof kPlain},
    {"DUCONF", 181, kEncoded, sizeof kEncoded},
    {"TORRENT", 302, nullptr, 0},
};
const app::ResourceModule kModule{kResources, 3};

// Points TMPDIR somewhere else for one test.
class ScopedTmpDir {
public:
    explicit ScopedTmpDir(const std::string& dir) {
        const char* old = std::getenv("TMPDIR");
        m_had = old != nullptr;
        if (old) m_old = old;
        setenv("TMPDIR", dir.c_str(), 1);
    }
    ~ScopedTmpDir() {
        if (m_had) {
            setenv("TMPDIR", m_old.c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }

private:
    bool m_had = false;
    std::string m_old;
};

TEST(ExtractResource, ReportsEachFailureWithItsText) {
    Sandbox box;
    struct Case {
        const char* name;
        const app::ResourceModule* module;
        int id;
        const char* type;
        std::string target;
        const char* error;
    };
    const std::array<Case, 5> cases{{
        {"no module", nullptr, 301, "TORRENT", box.File("a"), "进程句柄为空！"},
        {"unknown id", &kModule, 303, "TORRENT", box.File("a"), "获取资源失败！"},
        {"type must match", &kModule, 301, "DUCONF", box.File("a"), "获取资源失败！"},
        {"not loadable", &kModule, 302, "TORRENT", box.File("a"), "加载资源数据失败！"},
        {"target folder missing", &kModule, 301, "TORRENT", box.File("missing/a"), "创建文件失败！"},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_EQ(app::ExtractResource(c.module, c.id, c.type, c.target, false, &error), 0);
        EXPECT_EQ(error, c.error);
    }
}

TEST(ExtractResource, WritesRawOrDecodedBytesOverAnOldFile) {
    Sandbox box;
    std::string target = box.Write("out", "an older and longer content");
    EXPECT_EQ(app::ExtractResource(&kModule, 301, "TORRENT", target, false), 1);
    EXPECT_EQ(Sandbox::Read(target), "abc");
    EXPECT_EQ(app::ExtractResource(&kModule, 181, "DUCONF", target, true), 1);
    EXPECT_EQ(Sandbox::Read(target), "[1]");
}

TEST(ExtractToWorkFolder, CreatesTheFolderWithItsParents) {
    Sandbox box;
    app_test::LogCapture log;
    std::string folder = box.File("a/b/c");
    std::string written;
    EXPECT_EQ(app::ExtractToWorkFolder(&kModule, 301, folder, "x.torrent", "TORRENT", false, &written), 0);
    EXPECT_EQ(written, folder + "/x.torrent");
    EXPECT_EQ(Sandbox::Read(written), "abc");
    EXPECT_TRUE(log.All().empty());
}

TEST(ExtractToWorkFolder, FallsBackToTheTemporaryFolder) {
    Sandbox box;
    app_test::LogCapture log;
    // A file where the folder should be: the first attempt cannot succeed.
    std::string blocked = box.Write("blocked", "");
    std::filesystem::create_directory(box.File("tmp"));
    ScopedTmpDir tmp(box.File("tmp"));
    std::string written;
    EXPECT_EQ(app::ExtractToWorkFolder(&kModule, 181, blocked, "dataupload.twconf", "DUCONF", true, &written), 1);
    EXPECT_EQ(written, box.File("tmp/dataupload.twconf"));
    EXPECT_EQ(Sandbox::Read(written), "[1]");
    EXPECT_TRUE(log.Has("Tidewell UI : 释放文件(path=" + blocked + "/dataupload.twconf)第一次失败"));
}

TEST(ExtractToWorkFolder, ReportsWhenBothAttemptsFail) {
    Sandbox box;
    app_test::LogCapture log;
    ScopedTmpDir tmp(box.File("no-such-tmp"));
    std::string written = "stale";
    EXPECT_EQ(app::ExtractToWorkFolder(&kModule, 999, box.File("work"), "n", "TORRENT", false, &written), -1);
    EXPECT_EQ(written, "");
    EXPECT_TRUE(log.Has("第一次失败"));
    EXPECT_TRUE(log.Has("Tidewell UI : 初始化失败，释放文件(path=" + box.File("no-such-tmp") + "/n)第二次失败"));
}

// The statistics configuration is stored base64-encoded and extracted decoded.
TEST(BuiltInModule, HoldsTheDecodableStatisticsConfiguration) {
    Sandbox box;
    std::string target = box.File("dataupload.twconf");
    ASSERT_EQ(app::ExtractResource(app::BuiltInModule(), app::StatsConfigResourceId, app::StatsConfigResourceType,
                                   target, true),
              1);
    EXPECT_NE(Sandbox::Read(target).find("[SubmitEventDownloadSeveral]"), std::string::npos);
}

}  // namespace
