// Verification, repair, installation and exit driven through the download
// controller, over the recording engine: the main button in state 8 asks the
// question, the check runs against the files in the save folder, a repair
// reloads the file's task through the controller, and the controller's
// figures follow the check.
#include "app/PackageFinish.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/app/AppTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using app_test::FakeEngine;
using app_test::FakeStats;
using testing_support::Sandbox;
using testing_support::WaitFor;

constexpr const char* Title = "雾港长歌高速下载器";
constexpr uint32_t MiB = 1u << 20;

const unsigned char kTorrent[] = {'d', 'e'};
const unsigned char kStats[] = {'W', '1', '0', 'K'};
const app::EmbeddedResource kResources[] = {
    {"TORRENT", 301, kTorrent, 2}, {"TORRENT", 302, kTorrent, 2}, {"TORRENT", 303, kTorrent, 2},
    {"TORRENT", 304, kTorrent, 2}, {"DUCONF", 181, kStats, 4},
};
const app::ResourceModule kModule{kResources, 5};

// RFC 1321 test strings stand in for the package files.
const std::array<std::string, 4> kGood = {"abc", "message digest", "a", "abcdefghijklmnopqrstuvwxyz"};

app::PackageConfig TestConfig() {
    app::PackageConfig c;
    c.resource_list_url = "https://127.0.0.1:9/list.xml";
    c.names = {"setup.sh", "data.zip", "d01.cab", "d02.cab"};
    c.md5 = {"900150983cd24fb0d6963f7d28e17f72", "f96b697d7cb7938d525a2f31aaf161d0",
             "0cc175b9c0f1b6a831c399e269772661", "c3fcd3d76192e4007dfb496cca67e13b"};
    for (size_t i = 0; i < 4; ++i) c.urls[i] = "http://127.0.0.1:9/" + c.names[i];
    c.sizes = {1 * MiB, 2 * MiB, 3 * MiB, 4 * MiB};
    return c;
}

app::TaskStatusInfo Complete() {
    app::TaskStatusInfo s;
    s.total_kib = 1024;
    s.progress = 10000;
    s.state = app::TaskStateComplete;
    return s;
}

class PackageFinishTest : public ::testing::Test {
protected:
    PackageFinishTest() {
        app::FinishWindow window;
        window.ask_yes_no = [this](const std::string& text, const std::string&) {
            m_questions.push_back(text);
            return true;
        };
        window.close_main_window = [this] { ++m_closed; };
        m_finish = std::make_unique<app::PackageFinish>(m_config, Title, &m_stats, window,
                                                        app::VerifierOptions{.poll_interval_ms = 2, .start_thread = {}});
        app::SessionEnvironment env;
        env.engine = &m_engine;
        env.stats = &m_stats;
        env.module = &kModule;
        env.data_folder = m_box.File("data");
        env.task_link_ini = m_box.File("TidewellTaskLink.ini");
        env.product_title = Title;
        env.default_save_root = [this] { return m_box.File("disk"); };
        env.sleep = [](int) {};
        env.disk_mode_probe = [](const std::string&) { return app::DiskMode::Preallocate; };
        m_controller = std::make_unique<app::DownloadController>(m_config, env, m_finish->Hooks());
        m_finish->Attach(*m_controller);
    }
    ~PackageFinishTest() override {
        m_finish->Verifier().Stop();
        m_controller.reset();
    }

    std::string Target(int i) const { return m_box.File("disk/wg311/" + m_config.names[size_t(i)]); }
    void SetStatus(app::TaskHandle handle, const app::TaskStatusInfo& status) {
        std::lock_guard<std::recursive_mutex> hold(m_engine.mutex);
        m_engine.status[handle] = status;
    }
    // A download whose four files are complete on disk; file `broken` (if
    // any) holds wrong bytes.
    void FinishedDownload(int broken) {
        ASSERT_EQ(m_controller->Initialize(), app::InitializeStarted);
        m_controller->OnMainButton();
        ASSERT_EQ(m_controller->State(), app::StatePreparing);
        for (int i = 0; i < 4; ++i) {
            m_box.Write("disk/wg311/" + m_config.names[size_t(i)], i == broken ? "wrong" : kGood[size_t(i)]);
            SetStatus(FakeEngine::Handle(i), Complete());
        }
        m_controller->PollTasks();
        m_controller->UpdateState();
        ASSERT_EQ(m_controller->State(), app::StateFinished);
    }
    size_t Reloads() const {
        std::lock_guard<std::recursive_mutex> hold(m_engine.mutex);
        return size_t(std::count_if(m_engine.calls.begin(), m_engine.calls.end(), [](const FakeEngine::Call& c) {
            return c.name == "RecoverAndContinueTask" && c.b == "force";
        }));
    }
    bool HasEvent(uint32_t code) const {
        auto codes = m_stats.Codes();
        return std::find(codes.begin(), codes.end(), code) != codes.end();
    }

    Sandbox m_box;
    app::PackageConfig m_config = TestConfig();
    FakeEngine m_engine;
    FakeStats m_stats;
    app_test::LogCapture m_log;
    std::vector<std::string> m_questions;
    int m_closed = 0;
    std::unique_ptr<app::PackageFinish> m_finish;
    std::unique_ptr<app::DownloadController> m_controller;
};

TEST_F(PackageFinishTest, InstallButtonVerifiesRepairsThroughTheControllerAndInstalls) {
    FinishedDownload(1);
    m_box.Write("disk/wg311/setup.sh", kGood[0]);  // not executable: the desktop opener would get it
    m_controller->OnMainButton();
    EXPECT_EQ(m_questions, std::vector<std::string>{"是否验证安装文件的正确性？"});

    // The check finds file 1 wrong and reloads its task; the "engine"
    // downloads it again.
    ASSERT_TRUE(WaitFor([&] { return Reloads() == 1; }));
    EXPECT_EQ(m_controller->State(), app::StateCheckRecover);
    EXPECT_TRUE(m_controller->MismatchSeen());
    EXPECT_EQ(m_controller->FileStatusText(1), "准备修复.. ");
    m_box.Write("disk/wg311/data.zip", kGood[1]);
    SetStatus(FakeEngine::Handle(4), Complete());

    ASSERT_TRUE(WaitFor([&] { return HasEvent(app::EventAllFilesVerified); }));
    // After the check the installer is started, marked as verified; the
    // plain file goes to the desktop's opener, which the test machine lacks
    // or which opens it: either way the state returns to 12.
    ASSERT_TRUE(WaitFor([&] {
        return m_log.Has("开始安装] [用户点击安装按钮") || HasEvent(app::EventInstallerNotStarted);
    }));
    auto codes = m_stats.Codes();
    auto first = std::find(codes.begin(), codes.end(), app::EventFirstVerifyFailed);
    ASSERT_NE(first, codes.end());
    EXPECT_EQ(*(first + 1), app::EventRepairedFileVerified);
    EXPECT_EQ(m_controller->State(), app::StateCheckFinished);
    // The next state update notices the repaired task's completion.
    m_controller->UpdateState();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(m_controller->FileStatusText(i), "√ 验证通过  ") << i;
    EXPECT_TRUE(m_log.Has("Reload 成功"));
}

TEST_F(PackageFinishTest, ExitDuringARepairStopsTheCheckAndShutsTheServicesDown) {
    FinishedDownload(2);
    m_controller->OnMainButton();
    // The repair waits for a download that never ends.
    ASSERT_TRUE(WaitFor([&] { return Reloads() == 1; }));
    m_finish->SetUserExit(true);
    m_finish->OnExit();
    EXPECT_TRUE(m_log.Has("用户点击退出按钮"));
    EXPECT_TRUE(HasEvent(app::EventUserExit));  // state 11
    std::lock_guard<std::recursive_mutex> hold(m_engine.mutex);
    EXPECT_EQ(m_engine.calls.back().name, "EngineShutdown");
    EXPECT_TRUE(m_stats.stopped);
}

}  // namespace
