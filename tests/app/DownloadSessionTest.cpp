#include "app/DownloadSession.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>

#include "AppTestSupport.h"
#include "app/AppState.h"
#include "app/EmbeddedPackage.h"
#include "platform/File.h"
#include "platform/Ini.h"
#include "tests/support/Sandbox.h"

namespace {

using app_test::FakeEngine;
using testing_support::Sandbox;
namespace k = app::settings_key;

const unsigned char kTorrent[] = {'d', 'e'};
const unsigned char kStats[] = {'W', '1', '0', 'K'};  // base64 of "[]\n"
const app::EmbeddedResource kResources[] = {
    {"TORRENT", 301, kTorrent, 2}, {"TORRENT", 302, kTorrent, 2}, {"TORRENT", 303, kTorrent, 2},
    {"TORRENT", 304, kTorrent, 2}, {"DUCONF", 181, kStats, 4},
};
const app::ResourceModule kModule{kResources, 5};
const app::ResourceModule kModuleWithoutStats{kResources, 4};

class FakeStats : public app::IStatsReporter {
public:
    std::string config_path;
    std::vector<std::pair<uint32_t, std::string>> events;
    void StartUploader(const std::string& path, const std::string& game_id, const std::string&,
                       const std::string& game_version, const std::string& channel) override {
        config_path = path;
        EXPECT_EQ(game_id, "991002359");
        EXPECT_EQ(game_version, "v0.0.3.11");
        EXPECT_EQ(channel, "1");
    }
    void SubmitEvent(uint32_t code, const std::string& text, int32_t) override { events.emplace_back(code, text); }
    void StopUploader() override {}
    void SubmitFileEvent(uint32_t code, const std::string&, const std::string& text) override {
        events.emplace_back(code, text);
    }
    void SubmitStatsEvent(uint32_t code, const app::TransferTotals&, const std::string& text) override {
        events.emplace_back(code, text);
    }
};

app::PackageConfig TestConfig() {
    app::PackageConfig c;
    c.resource_list_url = "https://127.0.0.1/list.xml";
    c.names = {"setup.sh", "data.zip", "d01.cab", "d02.cab"};
    c.md5 = {"00000000000000000000000000000000", "11111111111111111111111111111111",
             "22222222222222222222222222222222", "33333333333333333333333333333333"};
    for (size_t i = 0; i < 4; ++i) c.urls[i] = "http://127.0.0.1/" + c.names[i];
    c.sizes = {10, 20, 30, 40};
    return c;
}

// A sandboxed start-up: data folder, current-folder INI and save root all
// inside the sandbox; the engine and statistics are recorded.
class DownloadSessionTest : public ::testing::Test {
protected:
    std::unique_ptr<app::DownloadSession> NewSession(const app::ResourceModule* module = &kModule) {
        app::SessionEnvironment env;
        env.engine = &m_engine;
        env.stats = &m_stats;
        env.module = module;
        env.data_folder = m_box.File("data");
        env.task_link_ini = m_box.File("TidewellTaskLink.ini");
        env.product_title = "T";
        env.default_save_root = [this] { return m_box.File("disk"); };
        env.sleep = [](int) {};
        env.apply_speed_limit = [this] { ++m_speed_limits; };
        return std::make_unique<app::DownloadSession>(m_config, env);
    }

    std::string SettingsPath() const {
        return m_box.File("data/Corvane/Tidewell/Tidewell" + m_config.PackageId() + "/" + m_config.PackageId() +
                          ".twconf");
    }
    std::string Target(int i) const { return m_box.File("save/" + m_config.names[size_t(i)]); }
    void Set(const char* key, const std::string& value) {
        ASSERT_TRUE(platform::IniWriteString(SettingsPath(), k::Section, key, value));
    }

    // The state a finished download leaves behind: all keys, COMPLETE, the
    // four files and their finish information.
    void WriteFinishedDownload() {
        std::filesystem::create_directories(m_box.File("data/Corvane/Tidewell/Tidewell" + m_config.PackageId()));
        Set(k::CreateTime, "2024-01-01 10:00:00");
        Set(k::Hash, m_config.PackageId());
        Set(k::SavePath, m_box.File("save"));
        Set(k::Entrance, m_config.names[0]);
        Set(k::IsComplete, "COMPLETE");
        app::SettingsFile settings(SettingsPath());
        for (int i = 0; i < 4; ++i) {
            m_box.Write("save/" + m_config.names[size_t(i)], std::string(size_t(10 * (i + 1)), 'x'));
            app::FinishInfo info;
            ASSERT_TRUE(app::FinishInfoOfFile(Target(i), &info));
            ASSERT_TRUE(settings.WriteFinishInfo(i, info));
        }
    }

    void Touch(int i) {
        platform::FileTime t;
        ASSERT_TRUE(platform::LastWriteTime(Target(i), &t));
        t.low += 10'000'000;  // one second later
        if (t.low < 10'000'000) ++t.high;
        ASSERT_TRUE(platform::SetLastWriteTime(Target(i), t));
    }

    std::vector<bool> Reloaded() const {
        std::vector<bool> r(4, false);
        for (const auto& req : m_engine.recovered) {
            for (int i = 0; i < 4; ++i) {
                if (req.target == Target(i)) r[size_t(i)] = true;
            }
        }
        return r;
    }

    Sandbox m_box;
    app::PackageConfig m_config = TestConfig();
    FakeEngine m_engine;
    FakeStats m_stats;
    int m_speed_limits = 0;
    app_test::LogCapture m_log;
};

TEST_F(DownloadSessionTest, FirstRunIsReadyWithDefaults) {
    auto session = NewSession();
    EXPECT_EQ(session->Initialize(), app::InitializeStarted);
    EXPECT_EQ(session->State(), app::StateReady);
    EXPECT_TRUE(m_engine.messages.empty());
    EXPECT_EQ(m_engine.Count("EngineInitialize"), 0u);
    EXPECT_EQ(m_engine.calls.front(), (FakeEngine::Call{"SetListenPort", nullptr, "0", ""}));
    // The engine learns the package's rendezvous server before any task starts.
    ASSERT_GE(m_engine.calls.size(), 2u);
    EXPECT_EQ(m_engine.calls[1], (FakeEngine::Call{"SetRendezvousServer", nullptr, app::BuiltInRendezvousHost(),
                                                   std::to_string(app::BuiltInRendezvousPort())}));
    EXPECT_EQ(session->SaveFolder(), m_box.File("disk/wg311"));
    EXPECT_EQ(session->TaskHash(), m_config.PackageId());
    EXPECT_EQ(session->InfoPath(2), session->Paths().work_folder + "/" + m_config.PackageId() + "TWInfo/d01.cab.twinfo");
    EXPECT_TRUE(std::filesystem::is_directory(session->Paths().work_folder + "/" + m_config.PackageId() + "TWInfo"));
    // The statistics configuration is extracted decoded and handed to the uploader.
    EXPECT_EQ(m_stats.config_path, session->Paths().work_folder + "/dataupload.twconf");
    EXPECT_EQ(Sandbox::Read(m_stats.config_path), "[]\n");
    EXPECT_EQ(session->CloseSelection(), -1);
    EXPECT_EQ(session->SetupFilePath(), m_box.File("disk/wg311/setup.sh"));
    EXPECT_TRUE(m_log.Has("=====================正在初始化====================="));
    EXPECT_TRUE(m_log.Has("自我恢复功能关闭"));
}

// The recovery decision over settings files and files on disk.
TEST_F(DownloadSessionTest, RecoveryDecision) {
    enum Disk { Untouched, AllDeleted, AllDeletedTmpKept, OneTouched, NothingYetTmpKept };
    struct Case {
        const char* name;
        bool complete;  // "TidewellTaskIsComplete" = "COMPLETE"
        Disk disk;
        int state;
        int result;
        std::vector<bool> reloaded;
        bool settings_deleted;
        std::string log;
    };
    const std::array<Case, 6> cases{{
        {"finished and untouched", true, Untouched, app::StateFinished, 1, {false, false, false, false}, false,
         "下载已经完成，文件正确"},
        {"finished, all deleted", true, AllDeleted, app::StateReady, 0, {false, false, false, false}, true,
         "目标文件全部丢失，退回初始状态"},
        {"unfinished, all deleted with no .twtmp", false, AllDeleted, app::StateReady, 0,
         {false, false, false, false}, true, "目标文件全部丢失，退回初始状态"},
        {"unfinished, all deleted, .twtmp kept", false, AllDeletedTmpKept, app::StateRecover, 1,
         {true, true, true, true}, false, "成功地恢复了下载，可以进行续传"},
        {"one finished file touched", true, OneTouched, app::StateReload, 1, {false, false, true, false}, false,
         "需要文件校验"},
        {"in progress, only .twtmp files", false, NothingYetTmpKept, app::StateRecover, 1,
         {true, true, true, true}, false, "成功地恢复了下载，可以进行续传"},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(m_box.Path());
        std::filesystem::create_directories(m_box.Path());
        m_engine.Reset();
        WriteFinishedDownload();
        if (!c.complete) Set(k::IsComplete, "");
        for (int i = 0; i < 4; ++i) {
            if (c.disk == AllDeleted || c.disk == AllDeletedTmpKept || c.disk == NothingYetTmpKept) {
                std::filesystem::remove(Target(i));
            }
            if (c.disk == AllDeletedTmpKept && i == 1) m_box.Write("save/data.zip.twtmp", "partial");
            if (c.disk == NothingYetTmpKept) m_box.Write("save/" + m_config.names[size_t(i)] + ".twtmp", "p");
        }
        if (c.disk == OneTouched) Touch(2);

        auto session = NewSession();
        EXPECT_EQ(session->Initialize(), c.result);
        EXPECT_EQ(session->State(), c.state);
        EXPECT_EQ(Reloaded(), c.reloaded);
        EXPECT_EQ(std::filesystem::exists(SettingsPath()), !c.settings_deleted);
        EXPECT_EQ(m_engine.messages,
                  c.settings_deleted ? std::vector<std::string>{"目标文件被删除或移动，请重新下载"}
                                     : std::vector<std::string>{});
        EXPECT_TRUE(m_log.Has(c.log));
        for (int i = 0; i < 4; ++i) {
            // A file not reloaded is marked complete when tasks were restored.
            bool expect_complete = c.result == 1 && !c.reloaded[size_t(i)];
            EXPECT_EQ(session->FileComplete(i), expect_complete) << i;
        }
        if (c.result == 1) {
            EXPECT_EQ(m_engine.Count("EngineInitialize"), 1u);
            // After the listen port and the rendezvous server.
            EXPECT_EQ(m_engine.calls[2], (FakeEngine::Call{"SetHttpHandshakePrefix", nullptr, "on", ""}));
        }
    }
}

TEST_F(DownloadSessionTest, TouchedFileIsReloadedAsAP2spTaskAndRecorded) {
    WriteFinishedDownload();
    Touch(2);
    auto session = NewSession();
    ASSERT_EQ(session->Initialize(), app::InitializeRestored);
    ASSERT_EQ(m_engine.recovered.size(), 1u);
    const app::TaskRequest& r = m_engine.recovered[0];
    EXPECT_EQ(r.flags, 0x1100002u);
    EXPECT_EQ(r.main_source, "file://" + session->Paths().work_folder + "/" + m_config.md5[2]);
    EXPECT_EQ(r.source_text, m_config.urls[2]);
    EXPECT_EQ(r.target, Target(2));
    EXPECT_EQ(m_engine.calls.back().b, "");  // not forced
    EXPECT_EQ(session->Handle(2), FakeEngine::Handle(0));
    EXPECT_EQ(session->ReloadList(), std::vector<int>{2});
    app::SettingsFile settings(SettingsPath());
    EXPECT_EQ(settings.Get("TidewellTask2"), "d01.cab");
    EXPECT_EQ(settings.Get("TidewellTask1"), "");
    EXPECT_TRUE(session->TasksRunning());
    EXPECT_EQ(m_speed_limits, 1);
    EXPECT_EQ(m_stats.events.back().first, app::EventTasksResumed);
    // After recording it again the file counts as unchanged.
    session->RecordFinishInfo(2);
    EXPECT_TRUE(session->IsFileUnchangedComplete(2, false));
}

TEST_F(DownloadSessionTest, MissingKeysAreRepairedWithDefaults) {
    WriteFinishedDownload();
    // The files lie in the default folder; the settings no longer name it.
    std::filesystem::create_directories(m_box.File("disk"));
    std::filesystem::rename(m_box.File("save"), m_box.File("disk/wg311"));
    ASSERT_TRUE(platform::IniWriteString(SettingsPath(), k::Section, k::SavePath, std::nullopt));
    ASSERT_TRUE(platform::IniWriteString(SettingsPath(), k::Section, k::Entrance, std::nullopt));
    auto session = NewSession();
    EXPECT_EQ(session->Initialize(), app::InitializeRestored);
    EXPECT_EQ(session->SaveFolder(), m_box.File("disk/wg311"));
    EXPECT_EQ(session->InstallerName(), "setup.sh");
    EXPECT_EQ(session->State(), app::StateFinished);
    // Restoring writes the repaired keys back.
    app::SettingsFile settings(SettingsPath());
    EXPECT_EQ(settings.Get(k::SavePath), m_box.File("disk/wg311"));
    EXPECT_EQ(settings.Get(k::Entrance), "setup.sh");
    EXPECT_EQ(settings.Get(k::Folder), "wg311");
}

TEST_F(DownloadSessionTest, SettingsWithoutAnyCreationKeyStartAfresh) {
    WriteFinishedDownload();
    for (const char* key : {k::CreateTime, k::Hash, k::SavePath, k::Entrance}) {
        ASSERT_TRUE(platform::IniWriteString(SettingsPath(), k::Section, key, std::nullopt));
    }
    auto session = NewSession();
    EXPECT_EQ(session->Initialize(), app::InitializeStarted);
    EXPECT_EQ(session->State(), app::StateReady);
    EXPECT_EQ(m_engine.Count("RecoverAndContinueTask"), 0u);
}

TEST_F(DownloadSessionTest, TaskLinkLimit) {
    struct Case {
        const char* value;
        int limit;
    };
    const std::array<Case, 6> cases{{{"5", 36}, {"500", 36}, {"10", 10}, {"200", 200}, {"50", 50}, {nullptr, 36}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "absent");
        std::string ini = m_box.File("TidewellTaskLink.ini");
        std::filesystem::remove(ini);
        if (c.value) {
            ASSERT_TRUE(platform::IniWriteString(ini, "TidewellTask", "TidewellTaskLink", c.value));
        }
        auto session = NewSession();
        session->Initialize();
        EXPECT_EQ(session->HttpConnectionLimit(), c.limit);
    }
}

TEST_F(DownloadSessionTest, StartUpFailures) {
    m_config.sizes = {0, 0, 0, 0};
    EXPECT_EQ(NewSession()->Initialize(), app::InitializeNoPackageSize);

    m_config = TestConfig();
    // No statistics configuration anywhere: neither the work folder nor the
    // temporary folder gets it.
    EXPECT_EQ(NewSession(&kModuleWithoutStats)->Initialize(), app::InitializeNoStatsConfig);
    EXPECT_TRUE(m_log.Has("TWconf资源释放失败"));
    ASSERT_FALSE(m_stats.events.empty());
    EXPECT_EQ(m_stats.events.back(), (std::pair<uint32_t, std::string>{11400190, "TWconf资源释放失败"}));
}

TEST_F(DownloadSessionTest, EngineStartFailureWhileRestoring) {
    WriteFinishedDownload();
    Touch(0);
    m_engine.init_result = -102;
    auto session = NewSession();
    EXPECT_EQ(session->Initialize(), app::InitializeRestored);
    EXPECT_EQ(m_engine.Count("RecoverAndContinueTask"), 0u);
    EXPECT_EQ(m_engine.messages, std::vector<std::string>{"下载启动失败请重试"});
    EXPECT_TRUE(m_log.Has("Reload Download Task] [环境初始化失败"));
    EXPECT_EQ(m_stats.events.back(), (std::pair<uint32_t, std::string>{11400101, "继续下载：环境初始化失败"}));
    EXPECT_FALSE(session->TasksRunning());
}

TEST_F(DownloadSessionTest, ForcedReloadFailureIsRememberedAndShown) {
    auto session = NewSession();
    session->Initialize();
    m_engine.recover_result = -105;
    EXPECT_EQ(session->ReloadFileTask(1, true), -105);
    EXPECT_TRUE(session->ReloadFailed());
    EXPECT_EQ(m_engine.messages.back(), "ErrorCode : -105");
    EXPECT_TRUE(m_log.Has("Reload 失败"));
    m_engine.recover_result = 0;
    EXPECT_EQ(session->ReloadFileTask(1, true), 0);
    EXPECT_FALSE(session->ReloadFailed());
    EXPECT_EQ(m_engine.calls.back().b, "force");
}

TEST(ChooseSaveRoot, TakesTheMostFreeSpaceFirstOnTies) {
    auto space = [](const std::string& p) -> int64_t { return p == "/a" ? 5 : p == "/b" ? 9 : p == "/c" ? 9 : -1; };
    EXPECT_EQ(app::ChooseSaveRoot({"/a", "/b", "/c"}, space), "/b");
    EXPECT_EQ(app::ChooseSaveRoot({"/x", "/y"}, space), "/x");
    EXPECT_EQ(app::ChooseSaveRoot({}, space), "");
}

}  // namespace
