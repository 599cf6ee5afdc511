#include "app/PackageVerifier.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "app/AppState.h"
#include "app/FileDigest.h"
#include "engine/base/CTidewellLog.h"
#include "platform/Thread.h"

namespace app {

namespace {

constexpr const char* RepairFailedText =
    "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复";

std::string RepairCountText(int repairs) { return "修复次数：" + std::to_string(repairs); }

}  // namespace

PackageVerifier::PackageVerifier(IPackageFinishHost& host, const PackageConfig& config, InstallAndExit& installer,
                                 std::string product_title, VerifierOptions options)
    : m_host(host),
      m_config(config),
      m_installer(installer),
      m_title(std::move(product_title)),
      m_options(std::move(options)) {}

PackageVerifier::~PackageVerifier() { Stop(); }

void PackageVerifier::Stop() {
    {
        std::lock_guard<std::mutex> hold(m_wait_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

std::string PackageVerifier::KeptDigest() const {
    std::lock_guard<std::mutex> hold(m_digest_lock);
    return m_kept_digest;
}

void PackageVerifier::Message(const std::string& text) { m_host.ShowMessage(text, m_title); }

void PackageVerifier::AskVerifyAndInstall() {
    if (m_host.AskYesNo("是否验证安装文件的正确性？", m_title)) {
        m_host.SubmitEvent(EventVerifyChosen, "", 0);
        StartVerification(true);
    } else {
        m_host.SubmitEvent(EventVerifyDeclined, "", 0);
        m_installer.Install(false);
    }
}

void PackageVerifier::StartVerification(bool install_afterwards) {
    int state = m_host.State();
    switch (state) {
        case StateCheckRecover: Message("部分文件错误，正在修复中..."); return;
        case StateMd5Checking: Message("MD5计算工作中……请等待完成"); return;
        case StateCheckFinished: m_installer.Install(true); return;
        case StateFinished: break;
        default:
            if (state == StateFailed && m_host.OverallProgress() == 10000)
                Message(RepairFailedText);
            else
                Message("请先将客户端下载完成，再点击检查按钮");
            return;
    }
    if (m_thread.joinable()) m_thread.join();  // a finished earlier check
    m_host.SetState(StateMd5Checking);
    m_host.SetVerification(0, 0);
    m_install_afterwards = install_afterwards;
    m_host.WriteCreationKeys();
    bool started = false;
    if (m_options.start_thread) {
        started = m_options.start_thread([this] { CheckThread(); });
    } else {
        try {
            m_thread = std::thread([this] { CheckThread(); });
            started = true;
        } catch (const std::system_error&) {
        }
    }
    if (!started) {
        // Without the thread nothing would ever leave state 10, and the
        // message asks the user to try again: go back to "finished".
        m_host.SetState(StateFinished);
        Message("检查线程创建失败，请重试");
    }
}

std::string PackageVerifier::FilePath(int index) const {
    std::string folder = m_host.SaveFolder();
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder + m_config.names[size_t(index)];
}

std::string PackageVerifier::ComputeFileDigest(const std::string& path, int index) {
    m_host.SetVerification(index, 0);
    return Md5OfFile(path, [this](uint32_t progress) {
        m_host.SetVerifyProgress(progress);
        return !StopRequested();
    });
}

bool PackageVerifier::CheckFile(int index, bool remember) {
    const std::string& name = m_config.names[size_t(index)];
    const std::string& expected = m_config.md5[size_t(index)];
    std::string computed = ComputeFileDigest(FilePath(index), index);
    if (computed != expected) {
        m_host.SetMismatchSeen(true);
        m_host.SetVerification(index, 0);
        engine::LogFormat(DownloaderLogLevel, "MD5不匹配：%s，Except：%s，Actural：%s", name.c_str(), expected.c_str(),
                          computed.c_str());
        if (remember) {
            std::lock_guard<std::mutex> hold(m_digest_lock);
            m_kept_digest = computed;
        }
        return false;
    }
    engine::LogFormat(DownloaderLogLevel, "MD5匹配：%s，Except：%s，Actural：%s", name.c_str(), expected.c_str(),
                      computed.c_str());
    return true;
}

void PackageVerifier::CheckThread() {
    platform::SetCurrentThreadName("CheckFiles");
    platform::LowerCurrentThreadPriority();
    m_host.SetMismatchSeen(false);
    for (int i = 0; i < PackageFileCount; ++i)
        if (!VerifyAndRepair(i)) return;
    m_host.SubmitEvent(EventAllFilesVerified, "", 0);
    m_host.SetState(StateCheckFinished);
    if (m_install_afterwards) m_host.PostInstallAfterVerification();
}

bool PackageVerifier::VerifyAndRepair(int index) {
    const std::string& name = m_config.names[size_t(index)];
    int repairs = 0;
    {
        std::lock_guard<std::mutex> hold(m_digest_lock);
        m_kept_digest.clear();
    }
    bool ok = CheckFile(index, true);
    if (StopRequested()) return false;
    if (!ok) m_host.SubmitFileEvent(EventFirstVerifyFailed, name, "MD5 unmatched (" + KeptDigest() + ")");
    while (!ok && repairs < MaxRepairRounds) {
        if (!RepairOnce(index)) return false;
        ok = CheckFile(index, false);
        if (StopRequested()) return false;
        ++repairs;
        if (ok) m_host.SubmitFileEvent(EventRepairedFileVerified, name, RepairCountText(repairs));
    }
    if (ok) return true;
    Message(RepairFailedText);
    m_host.SubmitFileEvent(EventRepairFailed, name, RepairCountText(repairs));
    m_host.SetState(StateFailed);
    return false;
}

bool PackageVerifier::RepairOnce(int index) {
    m_host.SetState(StateCheckRecover);
    m_host.SetRepair(0, 0);
    m_host.StopFileTask(index);
    if (!ReloadTask(index)) return false;
    if (!WaitForRepairedTask(index)) return false;
    m_host.RecordFinishInfo(index);
    m_host.SetState(StateMd5Checking);
    return true;
}

bool PackageVerifier::ReloadTask(int index) {
    for (int attempt = 0; attempt < MaxReloadAttempts; ++attempt) {
        if (m_host.ReloadFileTask(index, true) == 0) return true;
        if (StopRequested()) return false;
    }
    Message("修复出错，请尝试重新启动下载器");
    return false;
}

bool PackageVerifier::WaitForRepairedTask(int index) {
    // No time limit: a repair takes as long as the download does. Only the
    // program's end interrupts it.
    for (;;) {
        if (!Nap()) return false;
        uint32_t progress = 0;
        uint32_t rate = 0;
        if (!m_host.QueryFileTask(index, &progress, &rate)) continue;
        if (progress > 9999) return true;
        m_host.SetRepair(progress, rate);
    }
}

bool PackageVerifier::Nap() {
    std::unique_lock<std::mutex> hold(m_wait_lock);
    m_wake.wait_for(hold, std::chrono::milliseconds(m_options.poll_interval_ms), [this] { return m_stop.load(); });
    return !m_stop;
}

}  // namespace app
