#include "app/DownloadController.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <chrono>
#include <thread>

#include "AppTestSupport.h"
#include "engine/net/NameResolver.h"
#include "platform/Ini.h"
#include "tests/support/ReplacementWatch.h"
#include "tests/support/Sandbox.h"

namespace {

using app_test::FakeEngine;
using app_test::FakeStats;
using testing_support::Sandbox;
using testing_support::WaitFor;
namespace k = app::settings_key;

constexpr uint32_t MiB = 1u << 20;

const unsigned char kTorrent[] = {'d', 'e'};
const unsigned char kStats[] = {'W', '1', '0', 'K'};
const app::EmbeddedResource kResources[] = {
    {"TORRENT", 301, kTorrent, 2}, {"TORRENT", 302, kTorrent, 2}, {"TORRENT", 303, kTorrent, 2},
    {"TORRENT", 304, kTorrent, 2}, {"DUCONF", 181, kStats, 4},
};
const app::ResourceModule kModule{kResources, 5};

app::PackageConfig TestConfig() {
    app::PackageConfig c;
    c.resource_list_url = "https://127.0.0.1:9/list.xml";
    c.names = {"setup.sh", "data.zip", "d01.cab", "d02.cab"};
    c.md5 = {"0123456789abcdef0123456789abcdef", "11111111111111111111111111111111",
             "22222222222222222222222222222222", "33333333333333333333333333333333"};
    for (size_t i = 0; i < 4; ++i) c.urls[i] = "http://127.0.0.1:9/" + c.names[i];
    // Weights 1, 2, 3 and 4 MiB.
    c.sizes = {1 * MiB, 2 * MiB, 3 * MiB, 4 * MiB};
    return c;
}

// A status of a task of `size` bytes with `done` of them downloaded.
app::TaskStatusInfo Status(uint64_t size, uint64_t done, int32_t rate = 0, int32_t code = 0) {
    app::TaskStatusInfo s;
    s.total_kib = int32_t(size / 1024);
    s.downloaded_bytes = done;
    s.progress = size == 0 ? 0 : int32_t(done * 10000 / size);
    s.state = s.progress > 9999 ? app::TaskStateComplete : code;
    s.download_rate = rate;
    s.web_bytes = done;
    return s;
}

// A controller over the fake engine, with its data folder, save root and
// "TidewellTaskLink.ini" inside a sandbox.
class ControllerTest : public ::testing::Test {
protected:
    ~ControllerTest() override { m_controller.reset(); }

    app::DownloadController& NewController() {
        m_controller.reset();
        app::SessionEnvironment env;
        env.engine = &m_engine;
        env.stats = &m_stats;
        env.module = &kModule;
        env.data_folder = m_box.File("data");
        env.task_link_ini = m_box.File("TidewellTaskLink.ini");
        env.product_title = "雾港长歌高速下载器";
        env.default_save_root = [this] { return m_box.File("disk"); };
        env.sleep = [](int) {};
        env.disk_mode_probe = [this](const std::string&) { return m_disk_mode; };
        app::ControllerHooks hooks;
        hooks.ask_verify_and_install = [this] {
            // A modal question runs while the timers go on: another thread
            // reaches the controller meanwhile.
            m_probe = std::thread([this] {
                m_controller->UpdateState();
                m_probe_reached = true;
            });
            m_hook_saw_unlocked = WaitFor([this] { return m_probe_reached.load(); }, std::chrono::seconds(5));
            ++m_asked;
        };
        hooks.install = [this](bool verified) { m_installs.push_back(verified); };
        hooks.shutdown_computer = [this] { ++m_shutdowns; };
        hooks.show_blocking_message = [this](const std::string& text) { m_blocking.push_back(text); };
        hooks.apply_resource_list = [this](app::IEngineCalls&, const app::ResourceListTarget& target) {
            std::lock_guard<std::mutex> hold(m_list_mutex);
            m_list_targets.push_back(target);
            if (target.remember_p2p) target.remember_p2p(m_list_p2p);
            return 0;
        };
        m_controller = std::make_unique<app::DownloadController>(m_config, env, hooks);
        return *m_controller;
    }

    // Forgets every earlier run: no settings, no files, a new engine.
    void FreshStart() {
        m_controller.reset();
        std::filesystem::remove_all(m_box.File("data"));
        std::filesystem::remove_all(m_box.File("disk"));
        m_engine.Reset();
        std::lock_guard<std::mutex> hold(m_stats.mutex);
        m_stats.events.clear();
    }

    // A fresh start and the start button: four tasks created, state 3.
    app::DownloadController& Downloading() {
        FreshStart();
        app::DownloadController& c = NewController();
        EXPECT_EQ(c.Initialize(), app::InitializeStarted);
        c.OnMainButton();
        EXPECT_EQ(c.State(), app::StatePreparing);
        return c;
    }

    std::string SettingsPath() const {
        return m_box.File("data/Corvane/Tidewell/Tidewell" + m_config.PackageId() + "/" + m_config.PackageId() +
                          ".twconf");
    }
    std::string Key(const char* key, const char* section = k::Section) const {
        return platform::IniGetString(SettingsPath(), section, key, "<none>");
    }
    std::string SaveFolder() const { return m_box.File("disk/wg311"); }
    std::string Target(int i) const { return SaveFolder() + "/" + m_config.names[size_t(i)]; }
    uint64_t Size(int i) const { return m_config.sizes[size_t(i)]; }

    void SetStatus(int i, const app::TaskStatusInfo& status) {
        std::lock_guard<std::recursive_mutex> hold(m_engine.mutex);
        m_engine.status[FakeEngine::Handle(i)] = status;
    }
    // File i is downloaded: its task says so and its target has its final name.
    void Finish(int i) {
        m_box.Write("disk/wg311/" + m_config.names[size_t(i)], std::string(16, 'x'));
        SetStatus(i, Status(Size(i), Size(i)));
    }
    size_t Messages(const std::string& text) const {
        std::lock_guard<std::recursive_mutex> hold(m_engine.mutex);
        return size_t(std::count(m_engine.messages.begin(), m_engine.messages.end(), text));
    }
    std::vector<std::string> SpeedLimits() const {
        std::vector<std::string> out;
        for (const auto& c : m_engine.Calls("SetTaskSpeedLimit")) out.push_back(c.b);
        return out;
    }

    Sandbox m_box;
    app::PackageConfig m_config = TestConfig();
    FakeEngine m_engine;
    FakeStats m_stats;
    app_test::LogCapture m_log;
    app::DiskMode m_disk_mode = app::DiskMode::Preallocate;
    int m_asked = 0;
    bool m_hook_saw_unlocked = false;
    std::thread m_probe;  // joined by the test once the operation has returned
    std::atomic<bool> m_probe_reached{false};
    int m_shutdowns = 0;
    std::vector<bool> m_installs;
    std::vector<std::string> m_blocking;
    std::mutex m_list_mutex;
    std::vector<app::ResourceListTarget> m_list_targets;
    bool m_list_p2p = true;
    std::unique_ptr<app::DownloadController> m_controller;
};

TEST_F(ControllerTest, FreshDownloadRunsFromReadyToFinished) {
    app::DownloadController& c = NewController();
    ASSERT_EQ(c.Initialize(), app::InitializeStarted);
    EXPECT_EQ(c.UpdateState(), app::StateReady);
    EXPECT_TRUE(m_log.Has("Tidewell Utility: 下载状态改变为ready"));
    EXPECT_EQ(c.SizeText(), "0 B/10.0 MB");
    EXPECT_EQ(c.SpeedText(), "0 B/s");

    c.OnMainButton();
    EXPECT_EQ(c.State(), app::StatePreparing);
    EXPECT_FALSE(c.Blocked());
    ASSERT_EQ(m_engine.created.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const app::TaskRequest& r = m_engine.created[size_t(i)];
        EXPECT_EQ(r.flags, 0x1100002u);
        EXPECT_EQ(r.source_text, m_config.urls[size_t(i)]);
        EXPECT_EQ(r.target, Target(i));
        EXPECT_EQ(r.main_source, "file://" + m_box.File("data/Corvane/Tidewell/Tidewell" + m_config.PackageId() +
                                                       "/" + m_config.md5[size_t(i)]));
        EXPECT_EQ(r.info_path, m_box.File("data/Corvane/Tidewell/Tidewell" + m_config.PackageId() + "/" +
                                          m_config.PackageId() + "TWInfo/" + m_config.names[size_t(i)] + ".twinfo"));
        EXPECT_EQ(Key(app::PerFileKey(k::HttpTaskUrl, i).c_str()), m_config.urls[size_t(i)]);
        EXPECT_EQ(Key(app::PerFileKey(k::HttpTaskFile, i).c_str()), m_config.names[size_t(i)]);
    }
    EXPECT_EQ(Key(k::SavePath), SaveFolder());
    EXPECT_EQ(Key(k::Hash), m_config.PackageId());
    EXPECT_EQ(Key(k::Entrance), "setup.sh");
    EXPECT_EQ(Key(k::Folder), "wg311");
    EXPECT_NE(Key(k::CreateTime), "<none>");
    EXPECT_NE(Key(k::CreateTimeStamp), "<none>");
    EXPECT_EQ(m_engine.Calls("SetHttpHandshakePrefix").back().a, "on");
    ASSERT_FALSE(m_stats.events.empty());
    EXPECT_EQ(m_stats.events.front().code, app::EventDownloadBegins);
    EXPECT_EQ(m_stats.events.front().kind, 7);
    // No limit: every task is told "none".
    EXPECT_EQ(SpeedLimits().back(), "0");

    // The statuses the engine reports, poll by poll, and what the controller makes of them.
    struct Step {
        const char* what;
        std::array<std::pair<uint64_t, int32_t>, 4> done_and_rate;  // bytes done and rate of each task
        int finished_file;  // a file whose target appears, -1 none
        int state_after_update;
        const char* speed;
        int state_after_speed;
        uint32_t progress;
        const char* size_text;
    } steps[] = {
        {"no data yet", {{{0, 0}, {0, 0}, {0, 0}, {0, 0}}}, -1, 3, "0 B/s", 3, 0, "0 B/10.0 MB"},
        {"a trickle", {{{0, 600}, {0, 0}, {0, 0}, {0, 0}}}, -1, 3, "600 B/s", 3, 0, "0 B/10.0 MB"},
        {"data flows", {{{512 * 1024, 800 * 1024}, {0, 300 * 1024}, {0, 0}, {0, 0}}}, -1, 16, "1.1 MB/s", 4, 500,
         "512.0 KB/10.0 MB"},
        {"file 0 done", {{{MiB, 0}, {MiB, 2048}, {0, 0}, {0, 0}}}, 0, 4, "2.0 KB/s", 4, 2000, "2.0 MB/10.0 MB"},
        {"all done", {{{MiB, 0}, {2 * MiB, 0}, {3 * MiB, 0}, {4 * MiB, 0}}}, 9, 8, "0 B/s", 8, 10000,
         "10.0 MB/10.0 MB"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        for (int i = 0; i < 4; ++i) {
            SetStatus(i, Status(Size(i), s.done_and_rate[size_t(i)].first, s.done_and_rate[size_t(i)].second));
        }
        if (s.finished_file >= 0 && s.finished_file < 4) Finish(s.finished_file);
        if (s.finished_file == 9) {
            for (int i = 0; i < 4; ++i) Finish(i);
        }
        c.PollTasks();
        EXPECT_EQ(c.UpdateState(), s.state_after_update);
        EXPECT_EQ(c.SpeedText(), s.speed);
        EXPECT_EQ(c.State(), s.state_after_speed);
        EXPECT_EQ(c.Progress(), s.progress);
        EXPECT_EQ(c.SizeText(), s.size_text);
    }
    EXPECT_EQ(Key(k::IsComplete), "COMPLETE");
    // Each file's completion is reported once, file 0 first.
    EXPECT_EQ(m_stats.Count(app::EventFileComplete), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NE(Key(app::PerFileKey(k::FileSizeLow, i).c_str(), k::FinishSection), "<none>");
    }
    c.UpdateState();
    EXPECT_EQ(m_stats.Count(app::EventDownloadFinished), 1u);
    for (const char* name : {"preparing", "reload", "downloading", "finished"}) {
        EXPECT_TRUE(m_log.Has(std::string("Tidewell Utility: 下载状态改变为") + name)) << name;
    }
    // The size is recorded while downloading, not once finished.
    EXPECT_EQ(Key(k::LastSizeLow), std::to_string(2 * MiB));
    EXPECT_EQ(Key(k::LastSizeHigh), "0");
    EXPECT_EQ(m_shutdowns, 0);
    EXPECT_TRUE(m_engine.messages.empty());
}

TEST_F(ControllerTest, CompletionWaitsForTheTargetName) {
    app::DownloadController& c = Downloading();
    SetStatus(2, Status(Size(2), Size(2)));
    c.PollTasks();
    EXPECT_FALSE(c.FileComplete(2));
    EXPECT_EQ(m_stats.Count(app::EventFileComplete), 0u);
    Finish(2);
    c.UpdateState();  // the progress query notices it as well; recorded once
    c.PollTasks();
    EXPECT_TRUE(c.FileComplete(2));
    ASSERT_EQ(m_stats.Count(app::EventFileComplete), 1u);
    EXPECT_EQ(m_stats.events.back().file_name, "d01.cab");
    EXPECT_NE(Key(app::PerFileKey(k::FileSizeLow, 2).c_str(), k::FinishSection), "<none>");
}

TEST_F(ControllerTest, StartRefusedWithoutSpace) {
    struct Case {
        int64_t free_offset;  // free bytes relative to the required space
        bool refused;
    } cases[] = {{-1, true}, {0, false}};
    for (const Case& t : cases) {
        SCOPED_TRACE(t.free_offset);
        FreshStart();
        m_engine.free_bytes = int64_t(m_config.RequiredSpace()) + t.free_offset;
        app::DownloadController& c = NewController();
        c.Initialize();
        c.OnMainButton();
        EXPECT_EQ(c.State(), t.refused ? app::StateReady : app::StatePreparing);
        EXPECT_EQ(c.Blocked(), t.refused);
        EXPECT_EQ(Messages("当前磁盘空间不足，请选择其他位置存放"), t.refused ? 1u : 0u);
        EXPECT_EQ(m_engine.created.size(), t.refused ? 0u : 4u);
    }
}

TEST_F(ControllerTest, EngineStartFailureStillPrepares) {
    FreshStart();
    m_engine.init_result = -102;
    app::DownloadController& c = NewController();
    c.Initialize();
    c.OnMainButton();
    EXPECT_EQ(c.State(), app::StatePreparing);
    EXPECT_TRUE(m_engine.created.empty());
    EXPECT_EQ(m_blocking, std::vector<std::string>{"下载启动失败请重试"});
    EXPECT_TRUE(m_log.Has("Begin Download Task] [环境初始化失败"));
    EXPECT_EQ(m_stats.Count(app::EventEngineStartFailed), 1u);
    EXPECT_EQ(m_stats.events.back().text, "Begin Download Task 环境初始化失败");
    EXPECT_EQ(c.FileStatusText(0), "未开始    ");
}

// Task state codes and what the controller does about them.
TEST_F(ControllerTest, CodeHandler) {
    struct Case {
        int32_t code;
        const char* message;  // null: none
        uint32_t event;       // 0: none
        int state;
        bool blocked;
        bool paused;
    } cases[] = {
        {20207, "网络错误", 0, app::StateDownloading, false, false},
        {20209, "网络连接超时，下载失败", app::EventTaskTimedOut, app::StateDownloading, false, false},
        {20210, "磁盘空间不足，请检查并重新启动下载器！", app::EventDiskFull, app::StatePause, true, true},
        {20214, "下载出错，请重试", 0, app::StateDownloading, false, false},
        {20215, "由于磁盘损坏无法写入，下载失败", 0, app::StateFailed, false, false},
        {20211, nullptr, 0, app::StateDownloading, false, false},
        {20216, nullptr, 0, app::StateDownloading, false, false},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.code);
        app::DownloadController& c = Downloading();
        for (int i = 0; i < 4; ++i) SetStatus(i, Status(Size(i), 1024, 4096));
        c.SpeedText();
        ASSERT_EQ(c.State(), app::StateDownloading);
        SetStatus(1, Status(Size(1), 1024, 4096, t.code));
        c.UpdateState();
        EXPECT_EQ(m_engine.messages.size(), t.message ? 1u : 0u);
        if (t.message) {
            EXPECT_EQ(m_engine.messages.back(), t.message);
        }
        EXPECT_EQ(m_engine.Calls("Message").empty() ? "" : m_engine.Calls("Message").back().b,
                  t.message ? "雾港长歌高速下载器" : "");
        if (t.event != 0) {
            EXPECT_EQ(m_stats.Count(t.event), 1u);
        }
        EXPECT_EQ(c.State(), t.state);
        EXPECT_EQ(c.Blocked(), t.blocked);
        EXPECT_EQ(m_engine.Count("StopTasks"), t.paused ? 1u : 0u);
        // Reported again by the same task: not shown twice.
        c.UpdateState();
        EXPECT_EQ(m_engine.messages.size(), t.message ? 1u : 0u);
    }
}

TEST_F(ControllerTest, SameCodeFromTwoTasksShownOnce) {
    app::DownloadController& c = Downloading();
    SetStatus(0, Status(Size(0), 0, 0, app::TaskStateNoSource));
    c.UpdateState();
    SetStatus(0, Status(Size(0), 0));
    SetStatus(2, Status(Size(2), 0, 0, app::TaskStateNoSource));
    c.UpdateState();
    c.UpdateState();
    EXPECT_EQ(Messages("下载出错，请重试"), 1u);
    // A different code in between lets it be shown again.
    SetStatus(2, Status(Size(2), 0, 0, app::TaskStateNetworkError));
    c.UpdateState();
    SetStatus(2, Status(Size(2), 0, 0, app::TaskStateNoSource));
    c.UpdateState();
    EXPECT_EQ(Messages("网络错误"), 1u);
    EXPECT_EQ(Messages("下载出错，请重试"), 2u);
}

TEST_F(ControllerTest, PauseAndResume) {
    app::DownloadController& c = Downloading();
    for (int i = 0; i < 4; ++i) SetStatus(i, Status(Size(i), 4096, 2048));
    Finish(3);
    c.PollTasks();
    c.SpeedText();
    ASSERT_EQ(c.State(), app::StateDownloading);

    c.OnMainButton();
    EXPECT_EQ(c.State(), app::StatePause);
    ASSERT_EQ(m_engine.Count("StopTasks"), 1u);
    EXPECT_EQ(m_engine.Calls("StopTasks")[0].a, "0,1,2,3,");
    EXPECT_EQ(m_engine.Calls("StopTasks")[0].b, "");  // not reset
    EXPECT_EQ(m_stats.Codes().back(), app::EventUserPaused);
    EXPECT_TRUE(m_stats.events.back().with_totals);
    EXPECT_EQ(c.SpeedText(), "0 B/s");
    EXPECT_EQ(c.FileStatusText(0), "0.39%    ");  // 4096 of 1 MiB

    c.OnMainButton();
    EXPECT_EQ(c.State(), app::StateResume);
    EXPECT_EQ(m_stats.Codes().back(), app::EventTasksResumed);
    // The finished file keeps its flag and its task is not restarted.
    std::vector<app::TaskHandle> started;
    for (const auto& call : m_engine.Calls("StartTask")) started.push_back(call.handle);
    EXPECT_EQ(started, (std::vector<app::TaskHandle>{FakeEngine::Handle(0), FakeEngine::Handle(1),
                                                     FakeEngine::Handle(2)}));
    EXPECT_TRUE(c.FileComplete(3));
    c.SpeedText();
    EXPECT_EQ(c.State(), app::StateDownloading);
    c.OnMainButton();
    EXPECT_EQ(c.State(), app::StatePause);
}

TEST_F(ControllerTest, LimitsAreSharedAmongRunningTasks) {
    app::DownloadController& c = Downloading();
    for (int i = 0; i < 4; ++i) SetStatus(i, Status(Size(i), 4096, 2048));
    m_engine.Clear();
    c.SpeedText();
    auto shares = m_engine.Calls("SetTaskConnectionLimits");
    ASSERT_EQ(shares.size(), 4u);
    for (const auto& s : shares) EXPECT_EQ(s.a + "/" + s.b, "9/27");
    // Nothing changed: not shared again.
    c.SpeedText();
    EXPECT_EQ(m_engine.Count("SetTaskConnectionLimits"), 4u);

    c.SetSpeedLimit(25);
    EXPECT_EQ(SpeedLimits(), (std::vector<std::string>{"10", "10", "10", "10"}));  // 25 / 4 = 6, raised to 10

    m_engine.Clear();
    Finish(0);
    c.PollTasks();
    EXPECT_EQ(m_stats.Count(app::EventFileComplete), 1u);
    // The download limit was re-shared on completion: 25 / 3 = 8, raised to 10.
    EXPECT_EQ(SpeedLimits(), (std::vector<std::string>{"10", "10", "10", "10"}));
    c.SpeedText();
    shares = m_engine.Calls("SetTaskConnectionLimits");
    ASSERT_EQ(shares.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(shares[i].handle, FakeEngine::Handle(int(i) + 1));
        EXPECT_EQ(shares[i].a + "/" + shares[i].b, "12/36");
    }

    m_engine.Clear();
    c.SetSpeedLimit(300);
    EXPECT_EQ(SpeedLimits(), (std::vector<std::string>{"100", "100", "100", "100"}));
    c.SetSpeedLimit(0);
    EXPECT_EQ(c.SpeedLimit(), app::NoSpeedLimit);
    EXPECT_EQ(SpeedLimits().back(), "0");
}

TEST_F(ControllerTest, HttpConnectionLimitFromTaskLinkFile) {
    ASSERT_TRUE(platform::IniWriteString(m_box.File("TidewellTaskLink.ini"), "TidewellTask", "TidewellTaskLink", "20"));
    app::DownloadController& c = Downloading();
    for (int i = 0; i < 4; ++i) SetStatus(i, Status(Size(i), 4096, 2048));
    Finish(3);
    c.PollTasks();
    c.SpeedText();
    auto shares = m_engine.Calls("SetTaskConnectionLimits");
    ASSERT_EQ(shares.size(), 3u);
    EXPECT_EQ(shares[0].a + "/" + shares[0].b, "7/36");
    EXPECT_EQ(shares[1].a + "/" + shares[1].b, "7/36");
    EXPECT_EQ(shares[2].a + "/" + shares[2].b, "6/36");
}

TEST_F(ControllerTest, DisplayedSpeedIsSmoothedUnderALimit) {
    app::DownloadController& c = Downloading();
    c.SetSpeedLimit(100);  // 102400 B/s
    struct Step {
        int32_t rate;  // summed over two tasks (half each)
        const char* shown;
    } steps[] = {
        {153600, "75.0 KB/s"},   // previous below the limit: (153600 + 0) / 2
        {204800, "137.5 KB/s"},  // previous below the limit: (204800 + 76800) / 2
        {204800, "118.8 KB/s"},  // previous above: (102400 + 140800) / 2
        {51200, "50.0 KB/s"},    // under the limit: as it is
    };
    for (const Step& s : steps) {
        SetStatus(0, Status(Size(0), 4096, s.rate / 2));
        SetStatus(1, Status(Size(1), 4096, s.rate / 2));
        EXPECT_EQ(c.SpeedText(), s.shown) << s.rate;
    }
}

TEST_F(ControllerTest, FileStatusTexts) {
    app::DownloadController& c = Downloading();
    SetStatus(1, Status(10000, 1234));
    SetStatus(2, Status(Size(2), Size(2)));
    struct Case {
        int file;
        int state;
        int verifying;
        uint32_t verify_progress;
        uint32_t repair_progress;
        const char* text;
    } cases[] = {
        {0, app::StatePreparing, 0, 0, 0, "未开始    "},
        {0, app::StateDownloading, 0, 0, 0, "准备下载    "},
        {1, app::StateDownloading, 0, 0, 0, "12.34%    "},
        {2, app::StateDownloading, 0, 0, 0, "√ 下载完成  "},
        {3, app::StateFinished, 0, 0, 0, "√ 下载完成  "},
        {3, app::StateMd5Checking, 3, 4567, 0, "验证中：45.67%  "},
        {3, app::StateMd5Checking, 2, 4567, 0, "待验证    "},
        {3, app::StateMd5Checking, 4, 0, 0, "√ 验证通过  "},
        {3, app::StateCheckRecover, 3, 0, 0, "准备修复.. "},
        {3, app::StateCheckRecover, 3, 0, 5000, "修复中：50.00%  "},
        {0, app::StateCheckRecover, 3, 0, 5000, "√ 验证通过  "},
        {3, app::StateCheckFinished, 0, 0, 0, "√ 验证通过  "},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.text);
        if (t.state == app::StateFinished || t.state == app::StateCheckFinished) Finish(3);
        c.SetState(t.state);
        c.SetVerification(t.verifying, t.verify_progress);
        c.SetRepair(t.repair_progress, 0);
        if (t.state == app::StateFinished) c.PollTasks();
        EXPECT_EQ(c.FileStatusText(t.file), t.text);
    }
}

TEST_F(ControllerTest, VerifyProgressWeighsFilesBySize) {
    app::DownloadController& c = NewController();
    c.Initialize();
    struct Case {
        int index;
        uint32_t progress;
        uint32_t overall;
    } cases[] = {
        {0, 0, 0}, {0, 5000, 500}, {1, 0, 1000}, {2, 10000, 6000}, {3, 12000, 10000}, {4, 0, 10000},
    };
    for (const Case& t : cases) {
        c.SetVerification(t.index, t.progress);
        EXPECT_EQ(c.VerifyProgress(), t.overall) << t.index << " " << t.progress;
    }
    c.SetRepair(100, 3 * 1024 * 1024);
    EXPECT_EQ(c.RepairRateText(), "3.0 MB/s");
}

TEST_F(ControllerTest, MainButtonByState) {
    app::DownloadController& c = NewController();
    c.Initialize();
    c.SetState(app::StateFinished);
    c.OnMainButton();
    EXPECT_EQ(m_asked, 1);
    m_probe.join();
    EXPECT_TRUE(m_hook_saw_unlocked);
    EXPECT_EQ(m_stats.Codes().back(), app::EventInstallClicked);
    c.SetState(app::StateMd5Checking);
    c.OnMainButton();
    c.SetState(app::StateCheckRecover);
    c.OnMainButton();
    EXPECT_EQ(m_engine.messages,
              (std::vector<std::string>{"MD5计算工作中……请等待完成", "部分文件错误，正在修复中..."}));
    c.SetState(app::StateCheckFinished);
    c.OnMainButton();
    EXPECT_EQ(m_installs, std::vector<bool>{true});
    EXPECT_EQ(m_stats.events.back().text, "点击时已经验证过安装包分卷了");
    for (int state : {app::StatePreparing, app::StateFailed, app::StateInstalling, app::StateRecover}) {
        c.SetState(state);
        c.OnMainButton();
        EXPECT_EQ(c.State(), state);
    }
    EXPECT_EQ(m_engine.messages.size(), 2u);
    EXPECT_EQ(m_installs.size(), 1u);
}

TEST_F(ControllerTest, SaveFolderIsChosenOnlyBeforeTheDownload) {
    app::DownloadController& c = NewController();
    c.Initialize();
    c.SetState(app::StateBack);
    EXPECT_TRUE(c.ChooseSaveFolder(m_box.File("games")));
    EXPECT_EQ(c.SaveFolder(), m_box.File("games/wg311"));
    EXPECT_EQ(c.State(), app::StateReady);
    EXPECT_TRUE(c.ChooseSaveFolder(m_box.File("other/")));
    EXPECT_EQ(c.SaveFolder(), m_box.File("other/wg311"));
    char buffer[4096];
    EXPECT_EQ(c.GetSaveFolder(nullptr, 0), int(c.SaveFolder().size()));
    EXPECT_EQ(c.GetSaveFolder(buffer, 3), 0);
    EXPECT_EQ(c.GetSaveFolder(buffer, sizeof buffer), -1);
    EXPECT_EQ(std::string(buffer), m_box.File("other/wg311"));

    c.OnMainButton();
    ASSERT_EQ(c.State(), app::StatePreparing);
    EXPECT_EQ(m_engine.created[0].target, m_box.File("other/wg311/setup.sh"));
    EXPECT_FALSE(c.ChooseSaveFolder(m_box.File("late")));
    EXPECT_EQ(c.SaveFolder(), m_box.File("other/wg311"));
    c.SetSaveFolder("");
    EXPECT_EQ(c.GetSaveFolder(buffer, sizeof buffer), -2);
}

TEST_F(ControllerTest, SparseModeWatchesTheFreeSpace) {
    m_disk_mode = app::DiskMode::Sparse;
    app::DownloadController& c = Downloading();
    for (int i = 0; i < 4; ++i) SetStatus(i, Status(Size(i), MiB / 2, 4096));
    c.SpeedText();
    ASSERT_EQ(c.State(), app::StateDownloading);
    const int64_t on_disk = 2 * MiB;
    const int64_t required = int64_t(m_config.RequiredSpace());

    // Short of the whole need, but within the 100 MiB margin: nothing happens.
    m_engine.free_bytes = required - on_disk - 1;
    c.UpdateState();
    EXPECT_EQ(c.State(), app::StateDownloading);
    EXPECT_FALSE(c.Blocked());

    // Short beyond the margin: paused with a message and an event.
    m_engine.free_bytes = required - on_disk - int64_t(app::SpaceMarginBytes) - 1;
    c.UpdateState();
    EXPECT_EQ(c.State(), app::StatePause);
    EXPECT_TRUE(c.Blocked());
    EXPECT_EQ(Messages("预留磁盘空间不足，下载暂停。"), 1u);
    EXPECT_EQ(m_stats.Count(app::EventDiskFull), 1u);
    EXPECT_TRUE(m_log.Has("pause"));
    c.UpdateState();
    EXPECT_EQ(Messages("预留磁盘空间不足，下载暂停。"), 1u);

    // Space again: unblocked.
    m_engine.free_bytes = required;
    c.UpdateState();
    EXPECT_FALSE(c.Blocked());
    EXPECT_EQ(c.State(), app::StatePause);

    // Ready and short: back, with the message once.
    c.SetState(app::StateReady);
    m_engine.free_bytes = 0;
    c.UpdateState();
    EXPECT_EQ(c.State(), app::StateBack);
    EXPECT_TRUE(c.Blocked());
    c.UpdateState();
    EXPECT_EQ(Messages("当前磁盘空间不足，请选择其他位置存放。"), 1u);
    m_engine.free_bytes = required;
    c.UpdateState();
    EXPECT_EQ(c.State(), app::StateReady);
    EXPECT_FALSE(c.Blocked());
}

TEST_F(ControllerTest, PollsCountDownloadSecondsAndReportProgress) {
    app::DownloadController& c = Downloading();
    for (int i = 0; i < 4; ++i) {
        app::TaskStatusInfo s = Status(Size(i), 3000, 2048);
        s.web_bytes = 1000;
        s.peer_bytes = 2000;
        SetStatus(i, s);
    }
    for (int n = 0; n < 300; ++n) c.PollTasks();
    EXPECT_EQ(Key(k::DownloadTime), "300");
    ASSERT_EQ(m_stats.Count(app::EventStillDownloading), 1u);
    const FakeStats::Event& e = m_stats.events.back();
    EXPECT_EQ(e.code, app::EventStillDownloading);
    app::TransferTotals expected;
    expected.seconds = 299;  // the event goes before the 300th second is counted
    expected.total_bytes = 12000;
    expected.average_speed = 40;
    expected.web_bytes = 4000;
    expected.web_speed = 13;
    expected.peer_bytes = 8000;
    expected.peer_speed = 26;
    expected.progress = "0.11%";  // 3000 B of each file: 0.28%, 0.14%, 0.09%, 0.07% by weight
    EXPECT_EQ(e.totals, expected);

    // A failing query keeps the last values for the totals.
    m_engine.failing.insert(FakeEngine::Handle(0));
    c.Pause();
    EXPECT_EQ(m_stats.events.back().totals.total_bytes, 12000u);
    // Paused: seconds are not counted.
    c.PollTasks();
    EXPECT_EQ(Key(k::DownloadTime), "300");
}

// The window asks for the state ten times a second or more while the bytes
// on disk change every time: the progress figures reach the settings file at
// most once a second, all of them when the controller goes, while the records a
// restart depends on are on disk the moment they are made.
TEST_F(ControllerTest, ProgressFiguresAreWrittenBehindAndRecordsAtOnce) {
    app::DownloadController& c = Downloading();
    auto on_disk = [this](const char* key) {
        platform::IniDocument doc;
        EXPECT_EQ(platform::IniDocument::Parse(Sandbox::Read(SettingsPath()), &doc), platform::IniParseError::None);
        return doc.Get(k::Section, key).value_or("<none>");
    };
    EXPECT_EQ(on_disk(k::SavePath), SaveFolder());

    testing_support::ReplacementWatch watch(SettingsPath());
    uint64_t done = 0;
    for (int n = 0; n < 60; ++n) {
        done += 4096;
        for (int i = 0; i < 4; ++i) SetStatus(i, Status(Size(i), done));
        c.UpdateState();
        if (n % 20 == 19) c.PollTasks();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(Key(k::LastSizeLow), std::to_string(4 * done));  // the process reads what it wrote
    int during = watch.Count();
    EXPECT_GE(during, 2);
    EXPECT_LE(during, 5);

    for (int i = 0; i < 4; ++i) Finish(i);
    c.PollTasks();
    ASSERT_EQ(c.State(), app::StateFinished);
    EXPECT_EQ(on_disk(k::IsComplete), k::CompleteValue);

    m_controller.reset();
    EXPECT_EQ(on_disk(k::LastSizeLow), std::to_string(4 * done));
    EXPECT_EQ(on_disk(k::DownloadTime), "4");  // three polls while downloading, one finishing
}

TEST_F(ControllerTest, ResourceListRunsWhileDownloading) {
    app::DownloadController& c = Downloading();
    m_engine.Clear();
    for (int i = 0; i < 4; ++i) SetStatus(i, Status(Size(i), 4096, 2048));
    c.SpeedText();
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> hold(m_list_mutex);
        return m_list_targets.size() == 1;
    }));
    {
        std::lock_guard<std::mutex> hold(m_list_mutex);
        const app::ResourceListTarget& t = m_list_targets[0];
        EXPECT_EQ(t.download_urls, m_config.urls);
        EXPECT_EQ(t.handles[2], FakeEngine::Handle(2));
        EXPECT_EQ(t.verifying_index, -1);
        EXPECT_FALSE(t.is_file_complete(1));
    }
    ASSERT_TRUE(WaitFor([&] { return c.P2PEnabled() && !c.ResourceListRunning(); }));
    // The switch from the list is applied again with the next speed text.
    c.SpeedText();
    EXPECT_EQ(m_engine.Calls("SetP2PEnabled").back().a, "on");
    for (int n = 0; n < 598; ++n) c.SpeedText();
    {
        std::lock_guard<std::mutex> hold(m_list_mutex);
        EXPECT_EQ(m_list_targets.size(), 1u);
    }
    c.SpeedText();  // the 601st
    EXPECT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> hold(m_list_mutex);
        return m_list_targets.size() == 2;
    }));
    ASSERT_TRUE(WaitFor([&] { return !c.ResourceListRunning(); }));
    // Paused: the count starts over.
    c.Pause();
    c.SpeedText();
    c.Resume();
    c.SpeedText();
    EXPECT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> hold(m_list_mutex);
        return m_list_targets.size() == 3;
    }));
}

TEST_F(ControllerTest, ShutdownOnFinishWhenTicked) {
    app::DownloadController& c = Downloading();
    c.SetShutdownWhenFinished(true);
    for (int i = 0; i < 4; ++i) Finish(i);
    c.PollTasks();
    EXPECT_EQ(c.UpdateState(), app::StateFinished);
    EXPECT_EQ(m_shutdowns, 1);
    EXPECT_TRUE(m_log.Has("Tidewell Utility: 触发自动关机"));
    // A later change of the blocked flag logs the state again but does not
    // report the download or shut down a second time.
    app::TaskStatusInfo full = Status(Size(1), Size(1));
    full.state = app::TaskStateDiskFull;
    SetStatus(1, full);
    c.UpdateState();
    EXPECT_TRUE(c.Blocked());
    EXPECT_EQ(m_shutdowns, 1);
    EXPECT_EQ(m_stats.Count(app::EventDownloadFinished), 1u);
}

// A restart in the middle of a download restores the tasks (state 15), counts
// on from the settings file and finishes.
TEST_F(ControllerTest, RestartResumesAndFinishes) {
    {
        app::DownloadController& c = Downloading();
        for (int i = 0; i < 4; ++i) SetStatus(i, Status(Size(i), MiB / 2, 4096));
        c.PollTasks();
        c.SpeedText();
        c.UpdateState();
        c.PollTasks();
        ASSERT_EQ(c.State(), app::StateDownloading);
        ASSERT_EQ(Key(k::DownloadTime), "2");
        // The engine's temporary files of the unfinished targets.
        for (int i = 0; i < 4; ++i) m_box.Write("disk/wg311/" + m_config.names[size_t(i)] + ".twtmp", "x");
    }
    m_controller.reset();
    m_engine.Reset();
    m_stats.events.clear();
    app::DownloadController& c = NewController();
    EXPECT_EQ(c.Initialize(), app::InitializeRestored);
    EXPECT_EQ(c.State(), app::StateRecover);
    EXPECT_TRUE(m_log.Has("成功地恢复了下载，可以进行续传"));
    ASSERT_EQ(m_engine.recovered.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(m_engine.recovered[size_t(i)].target, Target(i));
        EXPECT_EQ(Key(app::PerFileKey(k::ReloadedTask, i).c_str()), m_config.names[size_t(i)]);
    }
    EXPECT_EQ(m_engine.Calls("RecoverAndContinueTask")[0].b, "");  // not forced
    EXPECT_EQ(m_stats.Codes(), std::vector<uint32_t>{app::EventTasksResumed});
    EXPECT_EQ(SpeedLimits(), (std::vector<std::string>{"0", "0", "0", "0"}));

    EXPECT_EQ(c.UpdateState(), app::StateRecover);
    EXPECT_TRUE(m_log.Has("Tidewell Utility: 下载状态改变为recover"));
    for (int i = 0; i < 4; ++i) SetStatus(i, Status(Size(i), MiB / 2, 4096));
    c.PollTasks();
    EXPECT_EQ(Key(k::DownloadTime), "3");
    c.SpeedText();
    EXPECT_EQ(c.State(), app::StateDownloading);
    for (int i = 0; i < 4; ++i) Finish(i);
    c.PollTasks();
    EXPECT_EQ(c.UpdateState(), app::StateFinished);
    EXPECT_EQ(Key(k::IsComplete), "COMPLETE");
    EXPECT_EQ(m_stats.Count(app::EventDownloadFinished), 1u);

    // And the next start finds it finished.
    m_controller.reset();
    m_engine.Reset();
    app::DownloadController& again = NewController();
    EXPECT_EQ(again.Initialize(), app::InitializeRestored);
    EXPECT_EQ(again.State(), app::StateFinished);
    EXPECT_TRUE(m_engine.recovered.empty());
    EXPECT_EQ(again.SizeText(), "10.0 MB/10.0 MB");
    EXPECT_EQ(again.FileStatusText(2), "√ 下载完成  ");
}

TEST_F(ControllerTest, EngineEventsReachTheStatistics) {
    {
        app::DownloadController& c = NewController();
        c.Initialize();
        engine::ReportResolveFailure("nowhere.invalid", engine::ResolveError::HostNotFound);
        ASSERT_EQ(m_stats.Count(engine::ResolveFailureEvent), 1u);
        EXPECT_NE(m_stats.events.back().text.find("nowhere.invalid"), std::string::npos);
    }
    m_controller.reset();
    engine::ReportResolveFailure("nowhere.invalid", engine::ResolveError::HostNotFound);
    EXPECT_EQ(m_stats.Count(engine::ResolveFailureEvent), 1u);
}

// The timers, the UI thread and a verification thread at once: every value
// stays consistent (run under the sanitizers).
TEST_F(ControllerTest, ThreadsShareTheController) {
    app::DownloadController& c = Downloading();
    for (int i = 0; i < 4; ++i) SetStatus(i, Status(Size(i), 4096, 4096));
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        while (!stop) c.UpdateState();
    });
    threads.emplace_back([&] {
        for (int n = 0; n < 20 && !stop; ++n) c.PollTasks();
    });
    threads.emplace_back([&] {
        while (!stop) {
            c.SpeedText();
            c.SizeText();
            for (int i = 0; i < 4; ++i) c.FileStatusText(i);
        }
    });
    threads.emplace_back([&] {
        for (uint32_t p = 0; !stop; p = (p + 1) % 10000) {
            c.SetVerification(int(p % 4), p);
            c.SetRepair(p, int32_t(p));
            c.VerifyProgress();
        }
    });
    for (int round = 0; round < 20; ++round) {
        SetStatus(round % 4, Status(Size(round % 4), 8192u * unsigned(round), 4096));
        c.SetSpeedLimit(round % 2 ? 25 : 0);
        if (c.State() == app::StateDownloading) c.OnMainButton();
        if (c.State() == app::StatePause) c.OnMainButton();
    }
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(c.State() == app::StateDownloading || c.State() == app::StateResume ||
                c.State() == app::StatePreparing || c.State() == app::StateReload)
        << c.State();
}

}  // namespace
