// Verification and repair of the demo package against a real nginx, with the
// engine doing the downloads: a host that drives the engine's call interface
// the way the download controller does for a repair.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "app/ConfigSlots.h"
#include "app/EmbeddedPackage.h"
#include "app/InstallAndExit.h"
#include "app/PackageVerifier.h"
#include "engine/frame/EngineApi.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/FakeFinishHost.h"
#include "tests/support/NginxServer.h"
#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"

namespace {

namespace fs = std::filesystem;
using app_test::FakeFinishHost;
using testing_support::Sandbox;
using testing_support::WaitFor;

constexpr const char* Title = "雾港长歌高速下载器";
constexpr const char* DemoHost = "http://127.0.0.1:18080";

void Copy(char* out, const std::string& text) { std::snprintf(out, TW_TEXT_CAPACITY, "%s", text.c_str()); }

// Flips `count` bytes in the middle of a file.
void FlipMiddle(const std::string& path, size_t count) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(0, std::ios::end);
    auto middle = static_cast<std::streamoff>(f.tellg()) / 2;
    std::string bytes(count, '\0');
    f.seekg(middle);
    f.read(bytes.data(), static_cast<std::streamsize>(count));
    for (char& b : bytes) b = static_cast<char>(~b);
    f.seekp(middle);
    f.write(bytes.data(), static_cast<std::streamsize>(count));
}

// The controller's side of a repair, on the real engine: a forced reload
// re-creates file i's task (P2SP with its torrent, or plain HTTP), and a poll
// reads its status. Everything else is recorded by the fake host.
class EngineHost : public FakeFinishHost {
public:
    EngineHost(std::string save_folder, const app::PackageConfig& config, std::string info_folder)
        : FakeFinishHost(std::move(save_folder)), m_config(config), m_info_folder(std::move(info_folder)) {}

    std::array<std::string, 4> urls;
    std::array<std::string, 4> torrents;  // empty: a plain HTTP task
    app::InstallAndExit* installer = nullptr;

    void StopFileTask(int i) override {
        FakeFinishHost::StopFileTask(i);
        std::lock_guard<std::mutex> hold(m_tasks);
        if (m_handles[size_t(i)]) StopTask(m_handles[size_t(i)], 0);
    }
    int32_t ReloadFileTask(int i, bool force) override {
        TaskParams params;
        std::memset(&params, 0, sizeof params);
        params.flags = TW_FLAG_CARRIED | TW_FLAG_EXACT_TARGET;
        if (!torrents[size_t(i)].empty()) {
            Copy(params.main_source, "file://" + torrents[size_t(i)]);
            params.flags |= TW_FLAG_P2SP;
        }
        params.source_text = urls[size_t(i)].c_str();
        Copy(params.target, SaveFolder() + "/" + m_config.names[size_t(i)]);
        Copy(params.info_path, m_info_folder + "/" + m_config.names[size_t(i)] + ".twinfo");
        int32_t rc = RecoverAndContinueTask(&params, force ? 1 : 0);
        FakeFinishHost::ReloadFileTask(i, force);  // records the call
        std::lock_guard<std::mutex> hold(m_tasks);
        if (rc == TW_OK) m_handles[size_t(i)] = params.handle;
        return rc;
    }
    bool QueryFileTask(int i, uint32_t* progress, uint32_t* rate) override {
        std::lock_guard<std::mutex> hold(m_tasks);
        TaskStatus status;
        if (!m_handles[size_t(i)] || QueryTaskStatus(m_handles[size_t(i)], &status) != TW_OK) return false;
        *progress = static_cast<uint32_t>(status.progress);
        *rate = static_cast<uint32_t>(status.download_rate);
        return true;
    }
    // Message 1128: the main window starts the installer, marked as verified.
    void PostInstallAfterVerification() override {
        FakeFinishHost::PostInstallAfterVerification();
        installer->Install(true);
    }
    void StopAll() {
        std::lock_guard<std::mutex> hold(m_tasks);
        for (TaskHandle& h : m_handles)
            if (h) StopTask(h, 0);
    }

private:
    const app::PackageConfig& m_config;
    std::string m_info_folder;
    std::mutex m_tasks;
    std::array<TaskHandle, 4> m_handles{};
};

class RepairOverHttpTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_config = app::PackageConfig::FromSlotBlock(app::BuiltInSlotBlock());
        ASSERT_EQ(m_config.names[0], "TidewellDemo_Setup.sh") << "the build must embed the demo package";
        testing_support::ProgramResult made = testing_support::RunProgram(
            {std::string(TIDEWELL_SOURCE_DIR) + "/packages/demo/generate-files", m_box.File("made")});
        ASSERT_EQ(made.exit_code, 0) << made.output;
        for (const char* folder : {"www", "save", "info", "work"}) fs::create_directories(m_box.File(folder));
        for (int i = 0; i < 4; ++i) {
            const std::string& name = m_config.names[size_t(i)];
            const std::string& url = m_config.urls[size_t(i)];
            ASSERT_EQ(url.rfind(DemoHost, 0), 0u) << url;
            m_url_paths[size_t(i)] = url.substr(std::strlen(DemoHost));
            fs::path served = m_box.File("www") + m_url_paths[size_t(i)];
            fs::create_directories(served.parent_path());
            fs::copy_file(m_box.File("made/" + name), served);
            // A finished download from an earlier run.
            fs::copy_file(m_box.File("made/" + name), m_box.File("save/" + name));
        }
        m_nginx = std::make_unique<testing_support::NginxServer>(
            testing_support::NginxOptions{.document_root = m_box.File("www"),
                                          .tls = false,
                                          .server_config = "",
                                          .http_config = "",
                                          .access_log = m_box.File("access.log")});
        ASSERT_TRUE(m_nginx->Started()) << m_nginx->Failure();
        ASSERT_EQ(EngineInitialize(m_box.File("work").c_str()), TW_OK);
        m_host = std::make_unique<EngineHost>(m_box.File("save"), m_config, m_box.File("info"));
        m_host->installer_name = m_config.InstallerName();
        m_host->SetNames(m_config.names);
        m_host->repairs.clear();  // the engine writes the files
        for (int i = 0; i < 4; ++i) {
            m_host->urls[size_t(i)] = m_nginx->BaseUrl() + m_url_paths[size_t(i)];
            m_host->torrents[size_t(i)] =
                std::string(TIDEWELL_SOURCE_DIR) + "/packages/demo/" + m_config.names[size_t(i)] + ".torrent";
        }
        m_installer = std::make_unique<app::InstallAndExit>(*m_host, Title);
        m_host->installer = m_installer.get();
        m_verifier = std::make_unique<app::PackageVerifier>(*m_host, m_config, *m_installer, Title,
                                                            app::VerifierOptions{.poll_interval_ms = 100, .start_thread = {}});
    }
    void TearDown() override {
        if (m_verifier) m_verifier->Stop();
        if (m_host) m_host->StopAll();
        EngineShutdown();
    }
    std::string Served(int i) const { return m_box.File("www") + m_url_paths[size_t(i)]; }
    std::string Saved(int i) const { return m_box.File("save/" + m_config.names[size_t(i)]); }
    bool Ended() const {
        for (const auto& e : m_host->Events())
            if (e.code == app::EventAllFilesVerified || e.code == app::EventRepairFailed) return true;
        return !m_host->Messages().empty();
    }

    Sandbox m_box;
    app_test::LogCapture m_log;
    app::PackageConfig m_config;
    std::array<std::string, 4> m_url_paths;
    std::unique_ptr<testing_support::NginxServer> m_nginx;
    std::unique_ptr<EngineHost> m_host;
    std::unique_ptr<app::InstallAndExit> m_installer;
    std::unique_ptr<app::PackageVerifier> m_verifier;
};

TEST_F(RepairOverHttpTest, FlippedBytesAreRepairedThroughTheTaskAndTheInstallerStarts) {
    FlipMiddle(Saved(1), 64);
    m_verifier->StartVerification(true);
    ASSERT_TRUE(WaitFor([&] { return Ended(); }, std::chrono::seconds(120))) << "state " << m_host->State();
    using Event = FakeFinishHost::Event;
    auto events = m_host->Events();
    ASSERT_EQ(events.size(), 3u) << m_host->State();
    EXPECT_EQ(events[0].code, app::EventFirstVerifyFailed);
    EXPECT_EQ(events[0].file, "TidewellDemo.zip");
    EXPECT_EQ(events[1], (Event{app::EventRepairedFileVerified, "TidewellDemo.zip", "修复次数：1"}));
    EXPECT_EQ(events[2].code, app::EventAllFilesVerified);
    EXPECT_EQ(m_host->State(), app::StateCheckFinished);
    EXPECT_TRUE(m_host->Messages().empty());
    // The demo installer ran in the save folder and found all four files.
    EXPECT_TRUE(WaitFor([&] { return fs::exists(m_box.File("save/TidewellDemoInstalled.txt")); }));
    EXPECT_TRUE(m_log.Has("开始安装] [用户点击安装按钮"));
    EXPECT_TRUE(m_host->Called("CloseMainWindow"));
}

TEST_F(RepairOverHttpTest, FileTheServerKeepsServingWrongFailsAfterFiveRepairs) {
    FlipMiddle(Served(1), 64);
    FlipMiddle(Saved(1), 64);
    // Without its torrent the task cannot tell the bytes are wrong: each
    // repair downloads the whole file again as served.
    m_host->torrents[1].clear();
    m_verifier->StartVerification(false);
    ASSERT_TRUE(WaitFor([&] { return Ended(); }, std::chrono::seconds(300))) << "state " << m_host->State();
    auto events = m_host->Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), (FakeFinishHost::Event{app::EventRepairFailed, "TidewellDemo.zip", "修复次数：5"}));
    EXPECT_EQ(m_host->State(), app::StateFailed);
    EXPECT_EQ(m_host->Messages(),
              (std::vector<std::pair<std::string, std::string>>{
                  {"修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复", Title}}));
}

}  // namespace
