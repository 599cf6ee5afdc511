#include "cli/TerminalFrontEnd.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "tests/support/ScriptedControl.h"

namespace {

using cli::CliOptions;
using cli::TerminalFrontEnd;
using uitest::ScriptedControl;

// Runs the terminal front end against a scripted controller, quickly (one
// "second" is ten 1-ms ticks) and with its output captured.
struct TerminalFixture : testing::Test {
    ScriptedControl control;
    CliOptions options;
    std::string out_text;
    std::string err_text;

    TerminalFixture() { options.tick_ms = 1; }

    int Run() {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        int status = 0;
        {
            TerminalFrontEnd terminal(control, options, out, err);
            status = terminal.Run();
        }
        out_text = Read(out);
        err_text = Read(err);
        return status;
    }

    static std::string Read(std::FILE* file) {
        std::string text;
        std::rewind(file);
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
        std::fclose(file);
        return text;
    }

    // A download that starts on the main button and is complete after a few
    // updates; then the main button asks the install question as the real
    // controller does, and verification ends in state 12 with the install
    // request when it was asked for before installing.
    void ScriptDownload() {
        control.state = 1;
        auto updates = std::make_shared<int>(0);
        control.on_main_button = [](ScriptedControl& c) {
            if (c.state == 1) c.state = 3;
            else if (c.state == 8 && c.question("是否验证安装文件的正确性？", "雾港长歌高速下载器")) c.StartVerification(true);
            else if (c.state == 8) c.Install(false);
            else if (c.state == 12) c.Install(true);
        };
        control.on_update = [updates](ScriptedControl& c) {
            ++*updates;
            if (c.state == 3 && *updates > 20) c.state = 4;
            if (c.state == 4 && *updates > 40) c.state = 8;
            if (c.state == 10 && !c.verifications.empty()) {
                c.state = 12;
                if (c.verifications.back() && c.install_request) c.install_request();
            }
        };
    }
};

TEST_F(TerminalFixture, DownloadsVerifiesAndStartsTheInstaller) {
    ScriptDownload();
    auto button = control.on_main_button;
    control.on_main_button = [button](ScriptedControl& c) {
        int before = int(c.verifications.size());
        button(c);
        if (int(c.verifications.size()) > before) c.state = 10;
        if (!c.installs.empty() && c.end_request) c.end_request();  // the installer started
    };
    EXPECT_EQ(Run(), cli::ExitComplete);
    EXPECT_EQ(control.verifications, std::vector<bool>{true});
    EXPECT_EQ(control.installs, std::vector<bool>{true});
    EXPECT_FALSE(control.user_exit);  // ended by the installer, not by the user
    EXPECT_EQ(control.exits, 1);
    EXPECT_NE(err_text.find("是否验证安装文件的正确性？ 是"), std::string::npos);
    EXPECT_NE(out_text.find("总进度"), std::string::npos);
}

// The port mapping's workers report on their own threads; the ticks hand the
// notifications to the controller in order and print the notices it returns.
TEST_F(TerminalFixture, PortMappingNoticesReachTheControllerAndAreShown) {
    ScriptDownload();
    options.verify = false;
    options.install = false;
    control.port_notices = {{18, "NAT Device found : Name : <LabGate 7>"}, {34, "uPnP成功"}};
    auto script = control.on_update;
    auto reported = std::make_shared<bool>(false);
    control.on_update = [script, reported](ScriptedControl& c) {
        if (!*reported) {
            *reported = true;
            std::thread worker([&c] {
                for (auto [code, status] : {std::pair<int, int64_t>{17, 5}, {18, 0}, {33, 2}, {34, 0}}) {
                    c.port_forward_handler(code, status);
                }
            });
            worker.join();
        }
        script(c);
    };
    Run();
    EXPECT_EQ(control.port_notifications,
              (std::vector<std::pair<int, int64_t>>{{17, 5}, {18, 0}, {33, 2}, {34, 0}}));
    EXPECT_NE(err_text.find("NAT Device found : Name : <LabGate 7>\nuPnP成功\n"), std::string::npos) << err_text;
    EXPECT_FALSE(control.port_forward_handler);  // cleared when the front end went
}

TEST_F(TerminalFixture, VerifiesWithoutInstallingOnRequest) {
    ScriptDownload();
    options.install = false;
    auto base = control.on_update;
    control.on_update = [base](ScriptedControl& c) {
        if (c.state == 8 && !c.verifications.empty()) c.state = 10;
        base(c);
    };
    EXPECT_EQ(Run(), cli::ExitComplete);
    EXPECT_EQ(control.verifications, std::vector<bool>{false});
    EXPECT_TRUE(control.installs.empty());
    EXPECT_NE(err_text.find("√ 验证通过"), std::string::npos);
}

TEST_F(TerminalFixture, InstallerThatDoesNotStartFails) {
    ScriptDownload();
    options.verify = false;
    EXPECT_EQ(Run(), cli::ExitInstallFailed);  // Install(false) ran, nobody ended the program
    EXPECT_EQ(control.installs, std::vector<bool>{false});
    EXPECT_TRUE(control.verifications.empty());
    EXPECT_NE(err_text.find("是否验证安装文件的正确性？ 否"), std::string::npos);
}

TEST_F(TerminalFixture, EndStatesGiveTheirExitStatus) {
    struct Case {
        const char* name;
        std::function<void(ScriptedControl&, CliOptions&)> setup;
        int expected;
    };
    const std::vector<Case> cases{
        {"start-up refused", [](ScriptedControl& c, CliOptions&) { c.start_answer = -2; }, cli::ExitStartFailed},
        {"expired",
         [](ScriptedControl& c, CliOptions&) {
             c.expired = true;
             c.expiry_message = "已过期";
         },
         cli::ExitExpired},
        {"not enough space",
         [](ScriptedControl& c, CliOptions&) {
             c.on_main_button = [](ScriptedControl& s) { s.blocked = true; };
         },
         cli::ExitStartFailed},
        {"disk failure",
         [](ScriptedControl& c, CliOptions&) {
             c.on_main_button = [](ScriptedControl& s) { s.state = 7; };
         },
         cli::ExitFailed},
        {"slow download",
         [](ScriptedControl& c, CliOptions& o) {
             o.timeout_s = 2;
             c.on_main_button = [](ScriptedControl& s) { s.state = 4; };
         },
         cli::ExitTimedOut},
        {"repair that never completes",
         [](ScriptedControl& c, CliOptions& o) {
             o.timeout_s = 2;
             c.start_answer = 1;
             c.state = 11;
             c.statuses[2] = "修复中：12.00%  ";
         },
         cli::ExitFailed},
        {"complete, nothing more asked",
         [](ScriptedControl& c, CliOptions& o) {
             o.verify = o.install = false;
             c.start_answer = 1;
             c.state = 8;
         },
         cli::ExitComplete},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        control = ScriptedControl{};
        options = CliOptions{};
        options.tick_ms = 1;
        c.setup(control, options);
        EXPECT_EQ(Run(), c.expected);
        EXPECT_EQ(control.exits, 1);
        EXPECT_TRUE(control.user_exit);
    }
    EXPECT_NE(err_text.find("下载完成"), std::string::npos);
}

TEST_F(TerminalFixture, RepairThatNeverCompletesNamesTheFile) {
    options.timeout_s = 1;
    control.start_answer = 1;
    control.state = 11;
    control.statuses[2] = "修复中：12.00%  ";
    EXPECT_EQ(Run(), cli::ExitFailed);
    EXPECT_NE(err_text.find("文件未能通过验证：TidewellDemo01.cab"), std::string::npos);
    EXPECT_EQ(err_text.find("TidewellDemo02.cab"), std::string::npos);
}

TEST_F(TerminalFixture, FolderAndLimitReachTheControllerOnAFreshStart) {
    options.save_folder = "/srv/package";
    options.speed_limit_kib = 300;
    control.on_main_button = [](ScriptedControl& s) { s.state = 7; };
    Run();
    EXPECT_EQ(control.folders_set, std::vector<std::string>{"/srv/package"});
    EXPECT_EQ(control.speed_limit, 300);
}

TEST(TerminalArguments, ParsesOptionsAndRefusesMistakes) {
    CliOptions options;
    bool help = false;
    std::string error;
    ASSERT_TRUE(cli::ParseArguments({"--folder", "/x", "--no-verify", "--limit", "10", "--timeout", "30"}, &options,
                                    &help, &error));
    EXPECT_EQ(options.save_folder, "/x");
    EXPECT_FALSE(options.verify);
    EXPECT_TRUE(options.install);
    EXPECT_EQ(options.speed_limit_kib, 10);
    EXPECT_EQ(options.timeout_s, 30);
    for (std::vector<std::string> bad : {std::vector<std::string>{"--limit", "9"}, {"--limit", "30001"},
                                         {"--timeout", "-1"}, {"--folder"}, {"--frobnicate"}}) {
        SCOPED_TRACE(bad[0]);
        EXPECT_FALSE(cli::ParseArguments(bad, &options, &help, &error));
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
