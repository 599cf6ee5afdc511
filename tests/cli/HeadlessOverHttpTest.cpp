// The headless front end on the real download controller and engine, with
// nginx on 127.0.0.1 serving the demo package: a first run downloads, checks
// and installs; then one file is damaged on disk and on the server, so no
// repair can make it match its MD5 digest, and the next run must end with a
// failure status that names the file instead of reporting success.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/ControllerFrontEnd.h"
#include "app/EmbeddedPackage.h"
#include "app/EngineCallsApi.h"
#include "cli/TerminalFrontEnd.h"
#include "engine/frame/EngineApiHooks.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/NginxServer.h"
#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Sandbox;
using testing_support::WaitFor;

// The path part of "http://host:port/path".
std::string UrlPath(const std::string& url) {
    size_t scheme = url.find("://");
    return url.substr(url.find('/', scheme + 3));
}

std::string ReadAll(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
    return text;
}

// Inverts a few bytes in the middle of a file, leaving its size alone.
void Damage(const std::string& path) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(0, std::ios::end);
    const std::streamoff middle = static_cast<std::streamoff>(f.tellg()) / 2;
    std::string bytes(16, '\0');
    f.seekg(middle);
    f.read(bytes.data(), std::streamsize(bytes.size()));
    for (char& b : bytes) b = static_cast<char>(~b);
    f.seekp(middle);
    f.write(bytes.data(), std::streamsize(bytes.size()));
}

class HeadlessOverHttp : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string generated = m_box.File("generated");
        auto made = testing_support::RunProgram(
            {"bash", std::string(TIDEWELL_SOURCE_DIR) + "/packages/demo/generate-files", generated}, {},
            std::chrono::seconds(300));
        ASSERT_EQ(made.exit_code, 0) << made.output;
        m_package = app::PackageConfig::FromSlotBlock(app::BuiltInSlotBlock());
        for (size_t i = 0; i < 4; ++i) {
            fs::path served = m_box.File("www") + UrlPath(m_package.urls[i]);
            fs::create_directories(served.parent_path());
            fs::rename(generated + "/" + m_package.names[i], served);
        }
        // P2P off: the torrents' tracker address is the demo's, where a seeder
        // with good copies may be running.
        m_box.Write("www/downloader/list.xml",
                    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<project><configs><p2p-switch>off</p2p-switch>"
                    "<expire-info><expired>false</expired></expire-info></configs></project>\n");
        m_nginx = std::make_unique<testing_support::NginxServer>(
            testing_support::NginxOptions{m_box.File("www"), false, "", "", m_box.File("access.log")});
        ASSERT_TRUE(m_nginx->Started()) << m_nginx->Failure();
        engine::SetMessageHandler([this](void*, const std::string& text, const std::string&, uint32_t) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_messages.push_back(text);
        });
    }
    void TearDown() override {
        m_engine.EngineShutdown();
        engine::SetMessageHandler(nullptr);
    }

    // One run of tidewell-cli: a new controller on a new engine, the same
    // work and save folders as the runs before.
    int Run(const cli::CliOptions& options) {
        m_engine.EngineShutdown();
        app::FrontEndOptions front;
        front.engine = &m_engine;
        front.stats = &m_stats;
        front.data_folder = m_box.File("data");
        front.save_root = m_box.File("disk");
        front.opener = "sh";
        const std::string base = m_nginx->BaseUrl();
        front.adjust_package = [base](app::PackageConfig& package) {
            for (std::string& url : package.urls) url = base + UrlPath(url);
            package.resource_list_url = base + "/downloader/list.xml";
        };
        app::ControllerFrontEnd control(front);
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        int status = -1;
        {
            cli::TerminalFrontEnd terminal(control, options, out, err);
            status = terminal.Run();
        }
        ReadAll(out);
        m_err = ReadAll(err);
        return status;
    }

    std::string Saved(size_t i) const { return m_box.File("disk/wg311/" + m_package.names[i]); }
    std::string Served(size_t i) const { return m_box.File("www") + UrlPath(m_package.urls[i]); }
    std::string Installed() const { return m_box.File("disk/wg311/TidewellDemoInstalled.txt"); }

    Sandbox m_box;
    app::PackageConfig m_package;
    std::unique_ptr<testing_support::NginxServer> m_nginx;
    app::EngineCallsApi m_engine;
    app_test::LogCapture m_log;
    app_test::FakeStats m_stats;
    std::mutex m_lock;
    std::vector<std::string> m_messages;
    std::string m_err;
};

TEST_F(HeadlessOverHttp, FileTheServerKeepsWrongEndsWithAFailureStatus) {
    cli::CliOptions options;
    options.timeout_s = 240;
    ASSERT_EQ(Run(options), cli::ExitComplete) << m_err;
    EXPECT_NE(m_err.find("安装程序已启动"), std::string::npos) << m_err;
    // The demo installer ran in the save folder and found the four files.
    ASSERT_TRUE(WaitFor([&] { return fs::exists(Installed()); }, std::chrono::seconds(20)));
    fs::remove(Installed());

    // The same size and time: the next start takes the package as finished
    // and finds the damage only by checking the digests.
    const fs::file_time_type stamp = fs::last_write_time(Saved(1));
    Damage(Saved(1));
    fs::last_write_time(Saved(1), stamp);
    Damage(Served(1));
    // The piece hashes refuse every copy the server sends, so the repair
    // never completes; the limit leaves the digest check ample time first.
    options.timeout_s = 30;
    EXPECT_EQ(Run(options), cli::ExitFailed) << m_err;
    EXPECT_NE(m_err.find("文件未能通过验证：TidewellDemo.zip"), std::string::npos) << m_err;
    EXPECT_EQ(m_err.find("安装程序已启动"), std::string::npos) << m_err;
    EXPECT_FALSE(fs::exists(Installed()));
}

}  // namespace
