#pragma once
// The headless front end: drives the download controller from a terminal on
// machines without a display. It starts the download (or lets a restored one
// continue), refreshes the controller on the window's two periods, draws
// per-file and overall progress lines, verifies and installs on request, and
// ends with an exit status that says whether the package is complete and
// verified.
//
// Owner: the program's main function. Thread: the main thread; the
// controller's worker threads only set the atomic flags below, or queue a
// port-mapping notification, through the handlers it installs.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/DownloadControl.h"

namespace cli {

// Exit statuses of tidewell-cli.
enum ExitStatus : int {
    ExitComplete = 0,        // complete, verified when verification was asked for, installer started when asked
    ExitFailed = 1,          // a file could not be written or verified (repair failed or never completed)
    ExitUsage = 2,
    ExitStartFailed = 3,     // start-up refused (no package size, no statistics configuration, no disk space)
    ExitExpired = 4,         // the resource list says this downloader has expired
    ExitTimedOut = 5,        // not finished within --timeout
    ExitInstallFailed = 6,   // the installer is missing or could not be started
    ExitInterrupted = 130,   // SIGINT or SIGTERM
};

struct CliOptions {
    std::string save_folder;  // empty: the one the controller chose or remembered
    bool verify = true;       // check the MD5 digests when the download is complete
    bool install = true;      // start the installer afterwards
    int32_t speed_limit_kib = 0;
    int timeout_s = 0;        // 0: no limit
    int tick_ms = 100;        // the fast refresh; the slow one runs every tenth tick
    bool redraw = false;      // rewrite the progress lines in place (a terminal)
    std::string opener;       // program that opens a non-executable installer
    bool show_version = false;  // print the version and exit
};

// Parses the command line; false (and a message in *error) on a mistake.
// *help is set for --help, options->show_version for --version.
bool ParseArguments(const std::vector<std::string>& args, CliOptions* options, bool* help, std::string* error);
std::string Usage();

class TerminalFrontEnd {
public:
    TerminalFrontEnd(app::IDownloadControl& control, CliOptions options, std::FILE* out = stdout,
                     std::FILE* err = stderr);
    ~TerminalFrontEnd();

    // Runs until the package is done (or failed, or the time is up) and
    // returns the exit status.
    int Run();
    // Asks Run to end (from a signal handler: only sets a flag).
    static void RequestStop();

private:
    int Start();
    // One fast tick; a status other than -1 ends the run.
    int Tick(bool slow);
    int OnFinished();
    int OnChecked();
    int AfterInstallAttempt();
    int TimeUp();
    void Draw(int state);
    int Finish(int status, bool user_exit);
    void Say(const std::string& text);
    // Hands the queued port-mapping notifications to the controller and
    // prints the notices it returns.
    void DeliverPortForwardNotifications();

    app::IDownloadControl& m_control;
    CliOptions m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    std::atomic<bool> m_install_requested{false};
    std::atomic<bool> m_ended{false};
    bool m_finish_handled = false;
    int m_lines_drawn = 0;
    int m_ticks_in_installing = 0;
    uint32_t m_seconds = 0;
    std::mutex m_port_lock;
    std::vector<std::pair<int, int64_t>> m_port_notifications;  // m_port_lock
};

}  // namespace cli
