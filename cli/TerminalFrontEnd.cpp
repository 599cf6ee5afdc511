#include "cli/TerminalFrontEnd.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "cli/ProgressLine.h"

namespace cli {

namespace {

std::atomic<bool> g_stop{false};

constexpr int StateBack = 0;
constexpr int StateReady = 1;
constexpr int StateFailed = 7;
constexpr int StateFinished = 8;
constexpr int StateChecking = 10;
constexpr int StateRepairing = 11;
constexpr int StateChecked = 12;
constexpr int StateInstalling = 13;
// The slow refresh runs every this many fast ticks (1000 ms / 100 ms).
constexpr int SlowEvery = 10;
// Without a terminal the lines are printed this often (seconds).
constexpr uint32_t PlainEvery = 5;
// A state 13 that lasts this many ticks means the installer is missing.
constexpr int InstallingTicks = 5;
constexpr int NameWidth = 22;
constexpr int BarWidth = 24;

bool IsVerifying(int state) {
    return state == StateChecking || state == StateRepairing || state == StateChecked;
}

bool ParseInt(const std::string& text, int* value) {
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed < 0 || parsed > 1000000000) return false;
    *value = int(parsed);
    return true;
}

}  // namespace

std::string Usage() {
    return "usage: tidewell-cli [options]\n"
           "  --folder DIR      save the package in DIR (default: the remembered or chosen folder)\n"
           "  --no-verify       do not check the MD5 digests when the download is complete\n"
           "  --no-install      do not start the installer at the end\n"
           "  --limit KIB       download speed limit in KiB/s (10-30000; 0: none)\n"
           "  --timeout SECONDS give up (exit status 5) when not done in time\n"
           "  --opener PROGRAM  program that opens an installer that is not executable\n"
           "  --version         print the version and exit\n"
           "exit status: 0 complete (and verified unless --no-verify), 1 a file failed, 3 start-up refused,\n"
           "             4 downloader expired, 5 timed out, 6 installer not started, 130 interrupted\n";
}

bool ParseArguments(const std::vector<std::string>& args, CliOptions* options, bool* help, std::string* error) {
    *help = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                *error = arg + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            *help = true;
        } else if (arg == "--version") {
            options->show_version = true;
        } else if (arg == "--no-verify") {
            options->verify = false;
        } else if (arg == "--no-install") {
            options->install = false;
        } else if (arg == "--folder") {
            if (!value(&options->save_folder)) return false;
        } else if (arg == "--opener") {
            if (!value(&options->opener)) return false;
        } else if (arg == "--limit" || arg == "--timeout") {
            if (!value(&text)) return false;
            int number = 0;
            if (!ParseInt(text, &number) || (arg == "--limit" && number != 0 && (number < 10 || number > 30000))) {
                *error = "bad value for " + arg + ": " + text;
                return false;
            }
            (arg == "--limit" ? options->speed_limit_kib : options->timeout_s) = number;
        } else {
            *error = "unknown option: " + arg;
            return false;
        }
    }
    return true;
}

TerminalFrontEnd::TerminalFrontEnd(app::IDownloadControl& control, CliOptions options, std::FILE* out, std::FILE* err)
    : m_control(control), m_options(std::move(options)), m_out(out), m_err(err) {
    m_control.SetInstallRequestHandler([this] { m_install_requested = true; });
    m_control.SetEndHandler([this] { m_ended = true; });
    // The install question ("verify first?") is answered from the options.
    m_control.SetQuestionHandler([this](const std::string& text, const std::string&) {
        Say(text + (m_options.verify ? " 是" : " 否"));
        return m_options.verify;
    });
    // The port mapping's workers only queue their notifications; the ticks
    // hand them to the controller on this thread.
    m_control.SetPortForwardHandler([this](int code, int64_t status) {
        std::lock_guard<std::mutex> hold(m_port_lock);
        m_port_notifications.emplace_back(code, status);
    });
}

TerminalFrontEnd::~TerminalFrontEnd() {
    m_control.SetPortForwardHandler({});
    m_control.SetInstallRequestHandler({});
    m_control.SetEndHandler({});
    m_control.SetQuestionHandler({});
}

void TerminalFrontEnd::RequestStop() {
    g_stop = true;
}

void TerminalFrontEnd::Say(const std::string& text) {
    std::fprintf(m_err, "%s\n", text.c_str());
    std::fflush(m_err);
}

int TerminalFrontEnd::Run() {
    int started = Start();
    if (started >= 0) return started;
    auto next = std::chrono::steady_clock::now();
    for (uint64_t tick = 0;; ++tick) {
        if (g_stop) return Finish(ExitInterrupted, true);
        bool slow = tick % SlowEvery == 0;
        if (slow && tick > 0) ++m_seconds;
        int status = Tick(slow);
        if (status >= 0) return status;
        if (m_options.timeout_s > 0 && m_seconds >= uint32_t(m_options.timeout_s)) return TimeUp();
        next += std::chrono::milliseconds(m_options.tick_ms);
        std::this_thread::sleep_until(next);
    }
}

int TerminalFrontEnd::Start() {
    m_control.SetShutdownWhenFinished(false);
    int answer = m_control.Initialize();
    if (answer < 0) {
        Say("启动失败 (" + std::to_string(answer) + ")");
        return Finish(ExitStartFailed, true);
    }
    if (answer == app::StartWaitsForUser) {
        std::string message;
        std::string url;
        if (m_control.CheckExpiry(&message, &url)) {
            Say(message);
            if (!url.empty()) Say(url);
            return Finish(ExitExpired, true);
        }
        if (!m_options.save_folder.empty()) m_control.SetSaveFolder(m_options.save_folder);
    }
    if (m_options.speed_limit_kib > 0) m_control.SetSpeedLimit(m_options.speed_limit_kib);
    Say("保存位置: " + m_control.SaveFolder());
    int state = m_control.UpdateState();
    if (answer == app::StartWaitsForUser && (state == StateBack || state == StateReady)) {
        m_control.OnMainButton();  // start
        if (m_control.Blocked()) return Finish(ExitStartFailed, true);
    }
    return -1;
}

void TerminalFrontEnd::DeliverPortForwardNotifications() {
    std::vector<std::pair<int, int64_t>> notifications;
    {
        std::lock_guard<std::mutex> hold(m_port_lock);
        notifications.swap(m_port_notifications);
    }
    for (const auto& [code, status] : notifications) {
        const std::string notice = m_control.OnPortForwardNotification(code, status);
        if (!notice.empty()) Say(notice);
    }
}

int TerminalFrontEnd::Tick(bool slow) {
    DeliverPortForwardNotifications();
    int state = m_control.UpdateState();
    if (slow) {
        if (state != StateFinished && state != StateChecked) m_control.PollTasks();
        Draw(state);
    }
    if (m_ended) return Finish(ExitComplete, false);
    if (m_install_requested.exchange(false)) {
        m_control.OnMainButton();  // state 12: the installer, marked as verified
        return AfterInstallAttempt();
    }
    switch (state) {
    case StateFinished: return OnFinished();
    case StateChecked: return OnChecked();
    case StateFailed:
        Draw(state);
        Say("下载失败");
        return Finish(ExitFailed, true);
    case StateInstalling:
        if (++m_ticks_in_installing >= InstallingTicks) return Finish(ExitInstallFailed, true);
        return -1;
    case StateBack:
        if (m_control.Blocked()) return Finish(ExitStartFailed, true);
        return -1;
    default: m_ticks_in_installing = 0; return -1;
    }
}

int TerminalFrontEnd::OnFinished() {
    if (m_finish_handled) return -1;
    m_finish_handled = true;
    Draw(StateFinished);
    Say("下载完成");
    if (m_options.verify && !m_options.install) {
        m_control.StartVerification(false);
        return -1;
    }
    if (!m_options.verify && !m_options.install) return Finish(ExitComplete, true);
    // The install button: the controller asks whether to verify first (the
    // question handler answers from the options) and then checks the files
    // or starts the installer at once.
    m_control.OnMainButton();
    return m_options.verify ? -1 : AfterInstallAttempt();
}

int TerminalFrontEnd::OnChecked() {
    if (m_options.install) return -1;  // the controller asks for the installer itself
    Draw(StateChecked);
    Say("√ 验证通过");
    return Finish(ExitComplete, true);
}

int TerminalFrontEnd::AfterInstallAttempt() {
    if (m_ended) {
        Say("安装程序已启动");
        return Finish(ExitComplete, false);
    }
    return Finish(ExitInstallFailed, true);
}

void TerminalFrontEnd::Draw(int state) {
    bool verifying = IsVerifying(state);
    std::vector<std::string> lines;
    uint64_t done = 0;
    uint64_t rate = 0;
    for (int i = 0; i < m_control.FileCount(); ++i) {
        app::FileFigures figures = m_control.Figures(i);
        done += figures.downloaded_bytes;
        rate += figures.rate_bps;
        LineFigures line{m_control.FileName(i), figures.progress, figures.downloaded_bytes, figures.total_bytes,
                         figures.rate_bps, m_control.FileStatusText(i)};
        if (verifying) line.rate_bps = 0;
        lines.push_back(ProgressLine(line, NameWidth, BarWidth));
    }
    LineFigures overall{"总进度", m_control.OverallProgress(), done, m_control.PackageBytes(), rate,
                        m_control.SizeText()};
    if (verifying) {
        overall.name = state == StateRepairing ? "修复进度" : "验证进度";
        overall.progress = m_control.VerifyProgress();
        overall.rate_bps = 0;
        overall.done_bytes = overall.total_bytes;
    }
    lines.push_back(ProgressLine(overall, NameWidth, BarWidth));
    if (!m_options.redraw && m_seconds % PlainEvery != 0 && state != StateFinished && state != StateChecked &&
        state != StateFailed) {
        return;
    }
    if (m_options.redraw && m_lines_drawn > 0) std::fprintf(m_out, "\x1b[%dA", m_lines_drawn);
    for (const std::string& line : lines) {
        std::fprintf(m_out, m_options.redraw ? "\x1b[2K%s\n" : "%s\n", line.c_str());
    }
    if (!m_options.redraw) std::fprintf(m_out, "\n");
    m_lines_drawn = int(lines.size());
    std::fflush(m_out);
}

int TerminalFrontEnd::TimeUp() {
    // A repair that never completes means the file's sources cannot deliver
    // data that matches its digest: the package cannot be verified.
    if (m_control.State() == StateRepairing) {
        for (int i = 0; i < m_control.FileCount(); ++i) {
            // The file under repair is the one whose status names the repair.
            if (m_control.FileStatusText(i).find("修复") != std::string::npos) {
                Say("文件未能通过验证：" + m_control.FileName(i));
            }
        }
        Say("修复未能在限定时间内完成");
        return Finish(ExitFailed, true);
    }
    Say("未能在限定时间内完成");
    return Finish(ExitTimedOut, true);
}

int TerminalFrontEnd::Finish(int status, bool user_exit) {
    m_control.SetUserExit(user_exit);
    m_control.OnExit();
    return status;
}

}  // namespace cli
