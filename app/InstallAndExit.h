#pragma once
// The three ways the downloader's job ends: the user starts the game's
// installer (the downloader then closes), the user exits, or the computer is
// shut down after the download has finished. Install opens the installer and
// reports why it could not; OnExit logs and reports how the program ended and
// stops the process-wide services; ShutdownComputer schedules the power-off.
//
// Owner: the download controller, one per process. Threads: Install and
// ShutdownComputer run on the UI thread (the main button, the state update,
// the message that follows a verification); OnExit once, when the main window
// is destroyed. The exit flags are atomics because the verification thread's
// message can start Install while the UI thread reads them.

#include <atomic>
#include <string>

#include "app/PackageFinishHost.h"

namespace app {

class InstallAndExit {
public:
    // `opener` is the desktop's program for files that are not executable
    // (replaceable for tests).
    InstallAndExit(IPackageFinishHost& host, std::string product_title, std::string opener = "xdg-open");

    // Starts the installer in the save folder; `verified` tells whether the
    // package passed its MD5 check first (it only changes the failure text).
    void Install(bool verified);
    // The exit sequence; does nothing after its first run.
    void OnExit();
    // Schedules the power-off in one minute; a message when that fails.
    void ShutdownComputer();

    // Set by the main window when the user exits, cleared when the user
    // takes it back.
    void SetUserExit(bool user_exit) { m_user_exit = user_exit; }
    bool UserExit() const { return m_user_exit; }
    bool InstallerStarted() const { return m_installer_started; }

    // The shell's text for a failed "open" with result code `code` (< 32).
    static std::string InstallErrorText(int code);

private:
    // The shell's "open": an executable file is run with the save folder as
    // its working folder, anything else goes to the desktop's opener. The
    // shell's result code: 0 when started.
    int OpenInstaller(const std::string& path, const std::string& folder) const;
    void ReportLaunchFailure(int code, bool verified);

    IPackageFinishHost& m_host;
    std::string m_title;
    std::string m_opener;
    std::atomic<bool> m_user_exit{false};
    std::atomic<bool> m_installer_started{false};
    // The exit sequence runs once; one controller exists per process, so a
    // member flag is the process-wide flag.
    std::atomic<bool> m_exit_done{false};
};

}  // namespace app
