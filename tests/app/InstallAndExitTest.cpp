#include "app/InstallAndExit.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/app/AppTestSupport.h"
#include "tests/app/FakeFinishHost.h"
#include "tests/support/Sandbox.h"

namespace {

using app_test::FakeFinishHost;
using Event = FakeFinishHost::Event;
using Messages = std::vector<std::pair<std::string, std::string>>;
using testing_support::Sandbox;
using testing_support::WaitFor;

constexpr const char* Title = "雾港长歌高速下载器";

void MakeExecutable(const std::string& path, bool executable) {
    namespace fs = std::filesystem;
    fs::perms x = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    fs::permissions(path, x, executable ? fs::perm_options::add : fs::perm_options::remove);
}

std::string WriteScript(const Sandbox& box, const std::string& name, const std::string& body) {
    std::string path = box.Write(name, "#!/bin/sh\n" + body);
    MakeExecutable(path, true);
    return path;
}

class InstallTest : public ::testing::Test {
protected:
    Sandbox m_box;
    app_test::LogCapture m_log;
    FakeFinishHost m_host{m_box.Path().string()};
};

TEST_F(InstallTest, MissingInstallerIsReportedAndStateStaysInstalling) {
    m_host.state = app::StateCheckFinished;
    app::InstallAndExit(m_host, Title).Install(true);
    EXPECT_EQ(m_host.Messages(), (Messages{{"安装程序丢失", "安装失败"}}));
    EXPECT_EQ(m_host.Events(), (std::vector<Event>{{app::EventInstallerMissing, "setup.sh",
                                                     "用户点击安装按钮，但是找不到安装程序，安装失败"}}));
    EXPECT_TRUE(m_log.Has("安装失败] [用户点击安装按钮，但是找不到安装程序"));
    EXPECT_EQ(m_host.State(), app::StateInstalling);
    EXPECT_FALSE(m_host.Called("CloseMainWindow"));
}

TEST_F(InstallTest, InstallerThatCannotBeOpenedGivesTheShellReason) {
    struct Case {
        const char* name;
        std::string content;
        bool executable;
        bool verified;
        const char* reason;
    };
    const std::array<Case, 3> cases{{
        {.name = "no opener for a plain file",
         .content = "not a program",
         .executable = false,
         .verified = true,
         .reason = "安装程序无法正常打开，原因：本次安装前通过了校验There is no application associated with the given "
                   "file name extension. This error will also be returned if you attempt to print a file that is "
                   "not printable."},
        {.name = "executable of no known format",
         .content = std::string("\x7f" "ELF\x01garbage", 12),
         .executable = true,
         .verified = false,
         .reason = "安装程序无法正常打开，原因：本次安装前没有校验The .exe file is invalid (non-Win32 .exe or error "
                   "in .exe image)."},
        {.name = "script whose interpreter is missing",
         .content = "#!/nonexistent/interpreter\n",
         .executable = true,
         .verified = false,
         .reason = "安装程序无法正常打开，原因：本次安装前没有校验The specified file was not found."},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFinishHost host(m_box.Path().string());
        host.state = app::StateFinished;
        std::string path = m_box.Write("setup.sh", c.content);
        MakeExecutable(path, c.executable);
        app::InstallAndExit install(host, Title, m_box.File("no-such-opener"));
        install.Install(c.verified);
        EXPECT_EQ(host.Messages(), (Messages{{"安装程序无法正常打开", "安装失败"}}));
        EXPECT_EQ(host.Events(), (std::vector<Event>{{app::EventInstallerNotStarted, "setup.sh", c.reason}}));
        EXPECT_TRUE(m_log.Has(c.reason));
        EXPECT_EQ(host.State(), app::StateFinished);  // restored
        EXPECT_FALSE(install.InstallerStarted());
    }
}

TEST_F(InstallTest, EventThatCannotBeSentIsLoggedAsStatisticsFailure) {
    m_box.Write("setup.sh", "plain");
    m_host.throw_on_file_event = true;
    app::InstallAndExit(m_host, Title, m_box.File("no-such-opener")).Install(false);
    EXPECT_TRUE(m_log.Has("DC failed"));
    EXPECT_EQ(m_host.Messages().size(), 1u);
}

TEST_F(InstallTest, ExecutableInstallerRunsInTheSaveFolderAndClosesTheWindow) {
    WriteScript(m_box, "setup.sh", "pwd > installed.txt\n");
    m_host.state = app::StateCheckFinished;
    app::InstallAndExit install(m_host, Title);
    install.Install(true);
    EXPECT_TRUE(WaitFor([&] { return !Sandbox::Read(m_box.File("installed.txt")).empty(); }));
    EXPECT_EQ(Sandbox::Read(m_box.File("installed.txt")), m_box.Path().string() + "\n");
    EXPECT_TRUE(m_log.Has("开始安装] [用户点击安装按钮"));
    EXPECT_TRUE(install.InstallerStarted());
    EXPECT_TRUE(m_host.Called("CloseMainWindow"));
    EXPECT_EQ(m_host.State(), app::StateCheckFinished);
    EXPECT_TRUE(m_host.Messages().empty());
    EXPECT_TRUE(m_host.Events().empty());
}

TEST_F(InstallTest, PlainFileGoesToTheDesktopOpener) {
    m_box.Write("setup.sh", "data");
    std::string opener = WriteScript(m_box, "opener", "echo \"$1\" > \"$(dirname \"$0\")/opened.txt\"\n");
    app::InstallAndExit install(m_host, Title, opener);
    install.Install(false);
    EXPECT_TRUE(WaitFor([&] { return !Sandbox::Read(m_box.File("opened.txt")).empty(); }));
    EXPECT_EQ(Sandbox::Read(m_box.File("opened.txt")), m_box.File("setup.sh") + "\n");
    EXPECT_TRUE(install.InstallerStarted());
}

TEST(InstallErrorText, KnownCodesAndTheRest) {
    EXPECT_EQ(app::InstallAndExit::InstallErrorText(2), "The specified file was not found.");
    EXPECT_EQ(app::InstallAndExit::InstallErrorText(26), "A sharing violation occurred.");
    EXPECT_EQ(app::InstallAndExit::InstallErrorText(32), "The specified DLL was not found.");
    EXPECT_EQ(app::InstallAndExit::InstallErrorText(1), "Unknown open failed");
    EXPECT_EQ(app::InstallAndExit::InstallErrorText(12), "Unknown open failed");
}

TEST(ExitSequence, ExitKindsLogAndReportHowTheProgramEnded) {
    struct Case {
        const char* name;
        bool user_exit;
        bool installer_started;
        int state;
        std::vector<Event> events;
        std::vector<std::string> lines;  // in this order
        int final_state;
    };
    const std::string banner = "=====================退出=====================";
    const std::array<Case, 5> cases{{
        {.name = "user exit while downloading",
         .user_exit = true,
         .installer_started = false,
         .state = app::StateDownloading,
         .events = {{app::EventUserExit, "stats", ""}},
         .lines = {"用户点击退出按钮", banner},
         .final_state = app::StateDownloading},
        {.name = "user exit when finished",
         .user_exit = true,
         .installer_started = false,
         .state = app::StateFinished,
         .events = {},
         .lines = {"用户点击退出按钮", banner},
         .final_state = app::StateFinished},
        {.name = "user exit before starting",
         .user_exit = true,
         .installer_started = false,
         .state = app::StateReady,
         .events = {},
         .lines = {"用户点击退出按钮", banner},
         .final_state = app::StateReady},
        {.name = "installer started",
         .user_exit = false,
         .installer_started = true,
         .state = app::StateCheckFinished,
         .events = {},
         .lines = {"由于启动了安装程序，退出", banner},
         .final_state = app::StateCheckFinished},
        {.name = "window destroyed otherwise",
         .user_exit = false,
         .installer_started = false,
         .state = app::StateDownloading,
         .events = {{app::EventUnrequestedExit, "stats", "Unknow Exit, maybe crashed"}},
         .lines = {"遭遇意外退出", "=====================已退出====================="},
         .final_state = app::StateUnrequestedExit},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        app_test::LogCapture log;
        Sandbox box;
        FakeFinishHost host(box.Path().string());
        host.state = c.state;
        app::InstallAndExit exit(host, Title);
        exit.SetUserExit(c.user_exit);
        if (c.installer_started) {
            WriteScript(box, "setup.sh", "exit 0\n");
            exit.Install(true);
            ASSERT_TRUE(exit.InstallerStarted());
        }
        exit.OnExit();
        exit.OnExit();  // runs once
        EXPECT_EQ(host.Events(), c.events);
        EXPECT_EQ(host.State(), c.final_state);
        auto all = log.All();
        auto next = all.begin();
        for (const std::string& line : c.lines) {
            next = std::find_if(next, all.end(), [&](const std::string& l) { return l.find(line) != std::string::npos; });
            EXPECT_NE(next, all.end()) << line;
        }
        EXPECT_EQ(c.user_exit || c.installer_started, !log.Has("已退出"));
        auto calls = host.Calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "ShutdownServices"), 1);
    }
}

class ShutdownTest : public InstallTest {
protected:
    void UseCommand(const std::string& path) { ::setenv("TIDEWELL_SHUTDOWN_COMMAND", path.c_str(), 1); }
    ~ShutdownTest() override { ::unsetenv("TIDEWELL_SHUTDOWN_COMMAND"); }
};

TEST_F(ShutdownTest, AsksForPowerOffInOneMinuteWithTheMessage) {
    UseCommand(WriteScript(m_box, "shutdown", "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args.txt\"\n"));
    app::InstallAndExit(m_host, Title).ShutdownComputer();
    EXPECT_EQ(Sandbox::Read(m_box.File("args.txt")), "-P\n+1\n一分钟后将自动关机\n");
    EXPECT_TRUE(m_host.Messages().empty());
}

TEST_F(ShutdownTest, RefusedOrMissingShutdownAsksTheUserToShutDown) {
    for (const std::string& command : {WriteScript(m_box, "refuse", "exit 1\n"), m_box.File("no-such-program")}) {
        SCOPED_TRACE(command);
        FakeFinishHost host(m_box.Path().string());
        UseCommand(command);
        app::InstallAndExit(host, Title).ShutdownComputer();
        EXPECT_EQ(host.Messages(), (Messages{{"自动关机失败，请手动关机", Title}}));
    }
}

}  // namespace
