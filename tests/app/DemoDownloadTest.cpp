// The download controller over the real engine, downloading the demo package
// from nginx on 127.0.0.1: a fresh download with a pause in the middle, and a
// downloader killed mid-download whose next start resumes and finishes.

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "AppTestSupport.h"
#include "app/DownloadController.h"
#include "app/EmbeddedPackage.h"
#include "app/EngineCallsApi.h"
#include "engine/frame/EngineApiHooks.h"
#include "platform/Ini.h"
#include "platform/Process.h"
#include "tests/support/NginxServer.h"
#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"

namespace {

using testing_support::Sandbox;
using testing_support::WaitFor;
namespace fs = std::filesystem;
namespace k = app::settings_key;

// The path part of "http://host:port/path".
std::string UrlPath(const std::string& url) {
    size_t scheme = url.find("://");
    return url.substr(url.find('/', scheme + 3));
}

// True when the two files hold the same bytes.
bool SameBytes(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary);
    std::ifstream fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        fa.read(ba.data(), std::streamsize(ba.size()));
        fb.read(bb.data(), std::streamsize(bb.size()));
        if (fa.gcount() != fb.gcount()) return false;
        if (fa.gcount() == 0) return true;
        if (!std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin())) return false;
    }
}

class DemoDownload : public ::testing::Test {
protected:
    // The four demo files, generated once, under the paths of their URLs.
    static void SetUpTestSuite() {
        s_files = new Sandbox();
        const std::string generated = s_files->File("generated");
        auto run = testing_support::RunProgram(
            {"bash", std::string(TIDEWELL_SOURCE_DIR) + "/packages/demo/generate-files", generated}, {},
            std::chrono::seconds(300));
        ASSERT_EQ(run.exit_code, 0) << run.output;
        app::PackageConfig config = app::PackageConfig::FromSlotBlock(app::BuiltInSlotBlock());
        for (size_t i = 0; i < 4; ++i) {
            fs::path served = s_files->File("www") + UrlPath(config.urls[i]);
            fs::create_directories(served.parent_path());
            fs::rename(generated + "/" + config.names[i], served);
        }
    }
    static void TearDownTestSuite() {
        delete s_files;
        s_files = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(s_files, nullptr);
        engine::SetMessageHandler([this](void*, const std::string& text, const std::string&, uint32_t) {
            std::lock_guard<std::mutex> hold(m_messages_lock);
            m_messages.push_back(text);
        });
    }

    // nginx serving the package, with `server_config` added to its server
    // block; the package's URLs point at it.
    void StartServer(const std::string& server_config = {}) {
        m_nginx = std::make_unique<testing_support::NginxServer>(testing_support::NginxOptions{
            s_files->File("www"), false, server_config, "", m_box.File("access.log")});
        ASSERT_TRUE(m_nginx->Started()) << m_nginx->Failure();
        m_config = app::PackageConfig::FromSlotBlock(app::BuiltInSlotBlock());
        for (std::string& url : m_config.urls) url = m_nginx->BaseUrl() + UrlPath(url);
    }

    void TearDown() override {
        m_controller.reset();
        m_engine.EngineShutdown();
        engine::SetMessageHandler(nullptr);
    }

    app::DownloadController& NewController() {
        m_controller.reset();
        m_engine.EngineShutdown();  // a new run of the program starts a new engine
        app::SessionEnvironment env;
        env.engine = &m_engine;
        env.stats = &m_stats;
        env.data_folder = m_box.File("data");
        env.task_link_ini = m_box.File("TidewellTaskLink.ini");
        env.default_save_root = [this] { return m_box.File("disk"); };
        m_controller = std::make_unique<app::DownloadController>(m_config, env);
        return *m_controller;
    }

    // Runs the controller the way the main window does (state update every
    // 100 ms, poll and speed text every second) until `done` holds.
    bool Drive(app::DownloadController& c, const std::function<bool()>& done, std::chrono::seconds limit) {
        int tick = 0;
        return WaitFor(
            [&] {
                c.UpdateState();
                if (++tick % 10 == 0) {
                    if (c.State() != app::StateFinished) c.PollTasks();
                    c.SpeedText();
                }
                return done();
            },
            limit);
    }

    std::string SettingsPath() const {
        return m_box.File("data/Corvane/Tidewell/Tidewell" + m_config.PackageId() + "/" + m_config.PackageId() +
                          ".twconf");
    }
    std::string Key(const char* key, const char* section = k::Section) const {
        return platform::IniGetString(SettingsPath(), section, key, "<none>");
    }
    std::string Target(int i) const { return m_box.File("disk/wg311/" + m_config.names[size_t(i)]); }
    std::string Served(int i) const { return s_files->File("www") + UrlPath(m_config.urls[size_t(i)]); }

    void ExpectPackageComplete() {
        for (int i = 0; i < 4; ++i) {
            EXPECT_TRUE(SameBytes(Target(i), Served(i))) << m_config.names[size_t(i)];
            EXPECT_FALSE(fs::exists(Target(i) + ".twtmp"));
            EXPECT_NE(Key(app::PerFileKey(k::FileSizeLow, i).c_str(), k::FinishSection), "<none>");
        }
        EXPECT_EQ(Key(k::IsComplete), "COMPLETE");
        EXPECT_EQ(Key(k::SavePath), m_box.File("disk/wg311"));
    }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> hold(m_messages_lock);
        return m_messages;
    }

    static Sandbox* s_files;
    Sandbox m_box;
    std::unique_ptr<testing_support::NginxServer> m_nginx;
    app::PackageConfig m_config;
    app::EngineCallsApi m_engine;
    app_test::FakeStats m_stats;
    std::mutex m_messages_lock;
    std::vector<std::string> m_messages;
    std::unique_ptr<app::DownloadController> m_controller;
};

Sandbox* DemoDownload::s_files = nullptr;

TEST_F(DemoDownload, FreshDownloadWithAPauseFinishes) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    app::DownloadController& c = NewController();
    ASSERT_EQ(c.Initialize(), app::InitializeStarted);
    EXPECT_EQ(c.UpdateState(), app::StateReady);
    c.OnMainButton();
    ASSERT_EQ(c.State(), app::StatePreparing);
    ASSERT_FALSE(c.Blocked());

    // Data flows: downloading. Pause there, in the middle.
    ASSERT_TRUE(Drive(c, [&] { return c.State() == app::StateDownloading; }, std::chrono::seconds(60)))
        << "state " << c.State();
    c.OnMainButton();
    ASSERT_EQ(c.State(), app::StatePause);
    const uint64_t paused_at = c.BytesOnDisk();
    EXPECT_LT(paused_at, m_config.PackageBytes());
    EXPECT_EQ(c.SpeedText(), "0 B/s");
    c.UpdateState();
    EXPECT_EQ(c.State(), app::StatePause);

    c.OnMainButton();
    EXPECT_EQ(c.State(), app::StateResume);
    ASSERT_TRUE(Drive(c, [&] { return c.State() == app::StateFinished; }, std::chrono::seconds(240)))
        << "state " << c.State() << ", " << c.Progress() << " ten-thousandths";
    c.UpdateState();

    ExpectPackageComplete();
    EXPECT_NE(Key(k::DownloadTime), "<none>");
    EXPECT_EQ(c.SizeText(), "160.0 MB/160.0 MB");
    EXPECT_EQ(c.FileStatusText(3), "√ 下载完成  ");
    EXPECT_EQ(m_stats.Count(app::EventDownloadBegins), 1u);
    EXPECT_EQ(m_stats.Count(app::EventUserPaused), 1u);
    EXPECT_EQ(m_stats.Count(app::EventTasksResumed), 1u);
    EXPECT_EQ(m_stats.Count(app::EventFileComplete), 4u);
    EXPECT_EQ(m_stats.Count(app::EventDownloadFinished), 1u);
    EXPECT_EQ(Messages(), std::vector<std::string>{});

    // The next start finds the package finished and creates no task.
    app::DownloadController& again = NewController();
    EXPECT_EQ(again.Initialize(), app::InitializeRestored);
    EXPECT_EQ(again.UpdateState(), app::StateFinished);
}

TEST_F(DemoDownload, KilledMidDownloadResumesAtTheNextStart) {
    // Each connection is held to 256 KiB/s, so the first run is surely in the
    // middle when it is killed and the second cannot fetch much before its
    // tasks report what they found on disk.
    ASSERT_NO_FATAL_FAILURE(StartServer("limit_rate 256k;"));
    // The first run of the program: the headless downloader.
    ASSERT_EQ(setenv("TIDEWELL_DATA_DIR", m_box.File("data").c_str(), 1), 0);
    platform::SpawnResult child = platform::SpawnProcess(
        TIDEWELL_HEADLESS,
        {"--save-root", m_box.File("disk"), "--url-base", m_nginx->BaseUrl(), "--quiet", "--seconds", "120"},
        m_box.File(""));
    unsetenv("TIDEWELL_DATA_DIR");
    ASSERT_TRUE(child.Ok()) << child.error;
    constexpr uint64_t KilledAfter = 12u << 20;
    const bool some_data = WaitFor([&] { return app::SettingsFile(SettingsPath()).LastSize() >= KilledAfter; },
                                   std::chrono::seconds(60));
    ASSERT_TRUE(platform::TerminateProcess(child.pid, 2000));
    ASSERT_TRUE(some_data);
    for (int i = 0; i < 4; ++i) ASSERT_FALSE(fs::exists(Target(i))) << "finished before it was killed";

    // The next run restores the tasks at once, starts from what the first
    // run left on disk, and finishes.
    app::DownloadController& c = NewController();
    ASSERT_EQ(c.Initialize(), app::InitializeRestored);
    EXPECT_EQ(c.State(), app::StateRecover);
    EXPECT_EQ(m_stats.Codes(), std::vector<uint32_t>{app::EventTasksResumed});
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Key(app::PerFileKey(k::ReloadedTask, i).c_str()), m_config.names[size_t(i)]);
    ASSERT_TRUE(Drive(c, [&] { return c.BytesOnDisk() > 0; }, std::chrono::seconds(60)));
    EXPECT_GE(c.BytesOnDisk(), KilledAfter / 2);
    ASSERT_TRUE(Drive(c, [&] { return c.State() == app::StateFinished; }, std::chrono::seconds(240)))
        << "state " << c.State() << ", " << c.Progress() << " ten-thousandths";
    ExpectPackageComplete();
    EXPECT_EQ(Messages(), std::vector<std::string>{});
}

}  // namespace
