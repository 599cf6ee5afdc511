#include "app/InstallAndExit.h"

#include <array>
#include <utility>

#include "app/AppState.h"
#include "engine/base/CTidewellLog.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Shutdown.h"

namespace app {

namespace {

constexpr const char* InstallFailedCaption = "安装失败";
constexpr const char* ExitBanner = "=====================退出=====================";
constexpr const char* ShutdownFailed = "自动关机失败，请手动关机";
// The shutdown gives the user a minute to save work or cancel it.
constexpr int ShutdownDelaySeconds = 60;
// The statistics component's own log level for a failed hand-over.
constexpr int32_t StatsFailureLogLevel = 28;

void Log(const std::string& text) { engine::LogLine(text, DownloaderLogLevel); }

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

struct ErrorText {
    int code;
    const char* text;
};

// The Windows shell's texts for its "open" result codes, kept as the
// statistics server and the support staff know them.
constexpr std::array<ErrorText, 12> ErrorTexts{{
    {2, "The specified file was not found."},
    {3, "The specified path was not found."},
    {5, "The operating system denied access to the specified file."},
    {8, "There was not enough memory to complete the operation."},
    {11, "The .exe file is invalid (non-Win32 .exe or error in .exe image)."},
    {26, "A sharing violation occurred."},
    {27, "The file name association is incomplete or invalid."},
    {28, "The DDE transaction could not be completed because the request timed out."},
    {29, "The DDE transaction failed."},
    {30, "The DDE transaction could not be completed because other DDE transactions were being processed."},
    {31, "There is no application associated with the given file name extension. This error will also be "
         "returned if you attempt to print a file that is not printable."},
    {32, "The specified DLL was not found."},
}};

}  // namespace

InstallAndExit::InstallAndExit(IPackageFinishHost& host, std::string product_title, std::string opener)
    : m_host(host), m_title(std::move(product_title)), m_opener(std::move(opener)) {}

std::string InstallAndExit::InstallErrorText(int code) {
    for (const ErrorText& e : ErrorTexts)
        if (e.code == code) return e.text;
    return "Unknown open failed";
}

int InstallAndExit::OpenInstaller(const std::string& path, const std::string& folder) const {
    if (platform::IsExecutableFile(path)) {
        platform::SpawnResult started = platform::SpawnProcess(path, {}, folder);
        if (started.Ok()) platform::ReapInBackground(started.pid);
        return started.error;
    }
    return platform::OpenWithDesktop(path, m_opener).error;
}

void InstallAndExit::Install(bool verified) {
    int remembered = m_host.State();
    m_host.SetState(StateInstalling);
    std::string folder = m_host.SaveFolder();
    std::string name = m_host.InstallerName();
    std::string path = JoinPath(folder, name);
    if (!platform::Exists(path)) {
        m_host.ShowMessage("安装程序丢失", InstallFailedCaption);
        m_host.SubmitFileEvent(EventInstallerMissing, name, "用户点击安装按钮，但是找不到安装程序，安装失败");
        Log("安装失败] [用户点击安装按钮，但是找不到安装程序");
        return;
    }
    int code = OpenInstaller(path, folder);
    m_host.SetState(remembered);
    if (code != platform::SpawnError::None) {
        ReportLaunchFailure(code, verified);
        return;
    }
    Log("开始安装] [用户点击安装按钮");
    m_installer_started = true;
    m_host.CloseMainWindow();
}

void InstallAndExit::ReportLaunchFailure(int code, bool verified) {
    std::string reason = std::string("安装程序无法正常打开，原因：") +
                         (verified ? "本次安装前通过了校验" : "本次安装前没有校验") + InstallErrorText(code);
    m_host.ShowMessage("安装程序无法正常打开", InstallFailedCaption);
    Log(reason);
    try {
        m_host.SubmitFileEvent(EventInstallerNotStarted, m_host.InstallerName(), reason);
    } catch (...) {
        engine::LogLine("DC failed", StatsFailureLogLevel);
    }
}

void InstallAndExit::OnExit() {
    if (m_exit_done.exchange(true)) return;
    if (m_user_exit) {
        Log("用户点击退出按钮");
        int state = m_host.State();
        if (state != StateBack && state != StateReady && state != StateFinished)
            m_host.SubmitStatsEvent(EventUserExit, "");
        Log(ExitBanner);
    } else if (m_installer_started) {
        Log("由于启动了安装程序，退出");
        Log(ExitBanner);
    } else {
        m_host.SubmitStatsEvent(EventUnrequestedExit, "Unknow Exit, maybe crashed");
        Log("遭遇意外退出");
        m_host.SetState(StateUnrequestedExit);
        Log("=====================已退出=====================");
    }
    m_host.ShutdownServices();
}

void InstallAndExit::ShutdownComputer() {
    if (!platform::ScheduleSystemShutdown(ShutdownDelaySeconds, "一分钟后将自动关机"))
        m_host.ShowMessage(ShutdownFailed, m_title);
}

}  // namespace app
