// Verification and repair against a controller stand-in whose "tasks" write
// prepared file contents when they are reloaded.
#include "app/PackageVerifier.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "tests/app/AppTestSupport.h"
#include "tests/app/FakeFinishHost.h"
#include "tests/support/Sandbox.h"

namespace {

using app_test::FakeFinishHost;
using Event = FakeFinishHost::Event;
using testing_support::Sandbox;
using testing_support::WaitFor;

constexpr const char* Title = "雾港长歌高速下载器";
constexpr const char* RepairFailed =
    "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复";
constexpr const char* NotFinished = "请先将客户端下载完成，再点击检查按钮";
// RFC 1321 test digests serve as the package's expected digests.
constexpr const char* AbcMd5 = "900150983cd24fb0d6963f7d28e17f72";

class PackageVerifierTest : public ::testing::Test {
protected:
    PackageVerifierTest() {
        m_config.names = {"setup.sh", "data.zip", "one.cab", "two.cab"};
        m_config.md5 = {AbcMd5, "f96b697d7cb7938d525a2f31aaf161d0", "0cc175b9c0f1b6a831c399e269772661",
                        "c3fcd3d76192e4007dfb496cca67e13b"};
        m_good = {"abc", "message digest", "a", "abcdefghijklmnopqrstuvwxyz"};
        for (int i = 0; i < 4; ++i) m_box.Write(m_config.names[size_t(i)], m_good[size_t(i)]);
        m_host.SetNames(m_config.names);
        m_host.installer_name = "not-downloaded.sh";  // installing fails visibly
    }

    app::PackageVerifier& Verifier(app::VerifierOptions options = {.poll_interval_ms = 2, .start_thread = {}}) {
        m_verifier = std::make_unique<app::PackageVerifier>(m_host, m_config, m_installer, Title, std::move(options));
        return *m_verifier;
    }
    void Corrupt(int i, const std::string& content) { m_box.Write(m_config.names[size_t(i)], content); }
    // Runs a check and waits until its thread has settled in `state`.
    void RunCheck(int final_state) {
        Verifier().StartVerification(true);
        ASSERT_TRUE(WaitFor([&] { return m_host.State() == final_state && EndsCheck(); }))
            << "state " << m_host.State();
        m_verifier->Stop();
    }
    bool EndsCheck() const {
        for (const Event& e : m_host.Events())
            if (e.code == app::EventAllFilesVerified || e.code == app::EventRepairFailed) return true;
        auto messages = m_host.Messages();
        return !messages.empty();
    }
    std::vector<uint32_t> Codes() const {
        std::vector<uint32_t> codes;
        for (const Event& e : m_host.Events()) codes.push_back(e.code);
        return codes;
    }
    size_t CountCalls(const std::string& call) const {
        auto calls = m_host.Calls();
        return size_t(std::count(calls.begin(), calls.end(), call));
    }

    Sandbox m_box;
    app_test::LogCapture m_log;
    app::PackageConfig m_config;
    std::array<std::string, 4> m_good;
    FakeFinishHost m_host{m_box.Path().string()};
    app::InstallAndExit m_installer{m_host, Title};
    std::unique_ptr<app::PackageVerifier> m_verifier;
};

TEST_F(PackageVerifierTest, FourGoodFilesEndVerifiedAndAskForTheInstaller) {
    RunCheck(app::StateCheckFinished);
    EXPECT_EQ(Codes(), std::vector<uint32_t>{app::EventAllFilesVerified});
    EXPECT_EQ(m_host.States(), (std::vector<int>{app::StateMd5Checking, app::StateCheckFinished}));
    EXPECT_TRUE(m_host.Called("WriteCreationKeys"));
    EXPECT_TRUE(m_host.Called("PostInstall"));
    EXPECT_TRUE(m_log.Has(std::string("MD5匹配：setup.sh，Except：") + AbcMd5 + "，Actural：" + AbcMd5));
    for (const std::string& name : m_config.names) EXPECT_TRUE(m_log.Has("MD5匹配：" + name + "，")) << name;
    EXPECT_FALSE(m_host.Get(m_host.mismatch_seen));
    EXPECT_TRUE(m_host.Messages().empty());
}

TEST_F(PackageVerifierTest, FileFixedByFirstRepairIsReportedWithOneRepair) {
    Corrupt(1, "abc");  // wrong content with a known digest
    m_host.repairs[1] = {m_good[1]};
    RunCheck(app::StateCheckFinished);
    EXPECT_EQ(m_host.Events(),
              (std::vector<Event>{{app::EventFirstVerifyFailed, "data.zip", std::string("MD5 unmatched (") + AbcMd5 + ")"},
                                  {app::EventRepairedFileVerified, "data.zip", "修复次数：1"},
                                  {app::EventAllFilesVerified, "", ""}}));
    EXPECT_TRUE(m_log.Has(std::string("MD5不匹配：data.zip，Except：f96b697d7cb7938d525a2f31aaf161d0，Actural：") + AbcMd5));
    EXPECT_EQ(m_host.States(), (std::vector<int>{app::StateMd5Checking, app::StateCheckRecover, app::StateMd5Checking,
                                                 app::StateCheckFinished}));
    auto calls = m_host.Calls();
    auto at = [&](const std::string& c) { return std::find(calls.begin(), calls.end(), c) - calls.begin(); };
    EXPECT_LT(at("StopTask 1"), at("Reload 1 force"));
    EXPECT_LT(at("Reload 1 force"), at("RecordFinishInfo 1"));
    EXPECT_TRUE(m_host.Get(m_host.mismatch_seen));
    // The repaired task's progress was shown while it ran: 0, then its 5000.
    EXPECT_EQ(m_host.Get(m_host.repair_figures), (std::vector<uint32_t>{0, 5000}));
}

TEST_F(PackageVerifierTest, MissingFileIsRepairedLikeABrokenOne) {
    std::remove(m_box.File("setup.sh").c_str());
    m_host.repairs[0] = {m_good[0]};
    RunCheck(app::StateCheckFinished);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{app::EventFirstVerifyFailed, app::EventRepairedFileVerified, app::EventAllFilesVerified}));
    EXPECT_EQ(m_host.Events()[0].text, "MD5 unmatched ()");
}

TEST_F(PackageVerifierTest, FileFixedOnlyByFifthRepairLetsTheCheckGoOn) {
    Corrupt(2, "x");
    m_host.repairs[2] = {"x", "x", "x", "x", m_good[2]};
    RunCheck(app::StateCheckFinished);
    EXPECT_EQ(m_host.Events()[1], (Event{app::EventRepairedFileVerified, "one.cab", "修复次数：5"}));
    EXPECT_EQ(CountCalls("Reload 2 force"), 5u);
    EXPECT_TRUE(m_log.Has("MD5匹配：two.cab，"));
}

TEST_F(PackageVerifierTest, FileStillWrongAfterFiveRepairsFailsTheCheck) {
    Corrupt(2, "x");
    m_host.repairs[2] = {"still wrong"};
    RunCheck(app::StateFailed);
    EXPECT_EQ(m_host.Events().back(), (Event{app::EventRepairFailed, "one.cab", "修复次数：5"}));
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{app::EventFirstVerifyFailed, app::EventRepairFailed}));
    EXPECT_EQ(m_host.Messages(), (std::vector<std::pair<std::string, std::string>>{{RepairFailed, Title}}));
    EXPECT_EQ(CountCalls("Reload 2 force"), 5u);
    EXPECT_FALSE(m_log.Has("two.cab"));  // the check ended before the last file
    EXPECT_FALSE(m_host.Called("PostInstall"));
}

TEST_F(PackageVerifierTest, TaskThatCannotBeReloadedEndsTheCheckInRepair) {
    Corrupt(0, "x");
    m_host.reload_failures = 4;
    RunCheck(app::StateCheckRecover);
    EXPECT_EQ(CountCalls("Reload 0 force"), 4u);
    EXPECT_EQ(m_host.Messages(),
              (std::vector<std::pair<std::string, std::string>>{{"修复出错，请尝试重新启动下载器", Title}}));
    EXPECT_FALSE(m_host.Called("RecordFinishInfo 0"));
}

TEST_F(PackageVerifierTest, ReloadSucceedingOnFourthAttemptRepairs) {
    Corrupt(0, "x");
    m_host.reload_failures = 3;
    m_host.repairs[0] = {m_good[0]};
    RunCheck(app::StateCheckFinished);
    EXPECT_EQ(CountCalls("Reload 0 force"), 4u);
}

TEST_F(PackageVerifierTest, StartVerificationAnswersEachState) {
    struct Case {
        const char* name;
        int state;
        uint32_t overall;
        const char* message;
        const char* caption;
    };
    const std::array<Case, 6> cases{{
        {.name = "repairing", .state = 11, .overall = 10000, .message = "部分文件错误，正在修复中...", .caption = Title},
        {.name = "checking", .state = 10, .overall = 10000, .message = "MD5计算工作中……请等待完成", .caption = Title},
        {.name = "repair failed", .state = 7, .overall = 10000, .message = RepairFailed, .caption = Title},
        {.name = "disk failed", .state = 7, .overall = 9000, .message = NotFinished, .caption = Title},
        {.name = "paused", .state = 5, .overall = 5000, .message = NotFinished, .caption = Title},
        // Verified already: the installer starts (and is missing here).
        {.name = "verified", .state = 12, .overall = 10000, .message = "安装程序丢失", .caption = "安装失败"},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_host.state = c.state;
        m_host.overall_progress = c.overall;
        m_host.messages.clear();
        Verifier().StartVerification(true);
        EXPECT_EQ(m_host.Messages(), (std::vector<std::pair<std::string, std::string>>{{c.message, c.caption}}));
        EXPECT_FALSE(m_host.Called("WriteCreationKeys"));
    }
}

TEST_F(PackageVerifierTest, InstallQuestionChoosesVerificationOrInstallsUnverified) {
    m_host.answer_yes = false;
    Verifier().AskVerifyAndInstall();
    EXPECT_EQ(m_host.questions,
              (std::vector<std::pair<std::string, std::string>>{{"是否验证安装文件的正确性？", Title}}));
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{app::EventVerifyDeclined, app::EventInstallerMissing}));

    m_host.events.clear();
    m_host.state = app::StateFinished;
    m_host.answer_yes = true;
    Verifier().AskVerifyAndInstall();
    ASSERT_TRUE(WaitFor([&] { return m_host.State() == app::StateCheckFinished && m_host.Called("PostInstall"); }));
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{app::EventVerifyChosen, app::EventAllFilesVerified}));
    EXPECT_TRUE(m_verifier->InstallAfterwards());
}

TEST_F(PackageVerifierTest, CheckThreadThatCannotStartLeavesTheDownloadFinished) {
    Verifier({.poll_interval_ms = 2, .start_thread = [](std::function<void()>) { return false; }})
        .StartVerification(false);
    EXPECT_EQ(m_host.Messages(), (std::vector<std::pair<std::string, std::string>>{{"检查线程创建失败，请重试", Title}}));
    EXPECT_EQ(m_host.State(), app::StateFinished);
}

TEST_F(PackageVerifierTest, VerifyIndexAndProgressFollowTheFileBeingChecked) {
    std::string path = m_box.Write("big", std::string(5 * 1048576, 'z'));
    app::PackageVerifier& v = Verifier();
    v.ComputeFileDigest(path, 3);
    EXPECT_EQ(m_host.Get(m_host.verify_index), 3);
    EXPECT_EQ(m_host.Get(m_host.verify_progress), 10000u);
    // A mismatch resets the progress of the file it names.
    Corrupt(1, "x");
    EXPECT_FALSE(v.CheckFile(1, false));
    EXPECT_EQ(m_host.Get(m_host.verify_index), 1);
    EXPECT_EQ(m_host.Get(m_host.verify_progress), 0u);
    EXPECT_EQ(v.KeptDigest(), "");  // not remembered
}

}  // namespace
