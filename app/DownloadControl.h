#pragma once
// What a front end (the skinned window or the headless terminal front end)
// asks of the download controller: start-up, the two periodic refreshes, the
// main action, the texts and figures it shows, and the user's choices it hands
// on. The window and the terminal front end talk to the controller only
// through this interface, so both can be driven by a scripted stand-in in
// tests. Operation names follow the controller's own.
//
// Thread: the front end's thread (the UI thread with its two timers). The
// controller's own worker threads (resource list, verification) reach the
// front end only through the install-request and message handlers below,
// which may be called from any thread.

#include <cstdint>
#include <functional>
#include <string>

namespace app {

// One package file's figures for the terminal front end's per-file bars.
struct FileFigures {
    int32_t progress = 0;          // ten-thousandths
    uint64_t downloaded_bytes = 0;
    uint64_t total_bytes = 0;
    uint64_t rate_bps = 0;         // download bytes per second
    bool complete = false;
};

// The controller's answer to what should happen at start.
constexpr int StartEnds = -1;       // any negative value: end the program
constexpr int StartWaitsForUser = 0;
constexpr int StartContinues = 1;   // an unfinished download continues by itself

class IDownloadControl {
public:
    virtual ~IDownloadControl() = default;

    // Start-up: negative ends the program, 0 waits for the user's start, a
    // positive answer means restored tasks continue by themselves.
    virtual int Initialize() = 0;
    // With a 0 answer the controller may report that this downloader has
    // expired: a message to show and a page to open, after which the
    // program ends. False when there is nothing to report.
    virtual bool CheckExpiry(std::string* message, std::string* url) = 0;

    // The 100-ms refresh; returns the state.
    virtual int UpdateState() = 0;
    // The 1000-ms refresh ("update its figures").
    virtual void PollTasks() = 0;
    // Start, pause, continue or install: the controller decides by its state.
    virtual void OnMainButton() = 0;
    // Starts the installer (marked as verified or not).
    virtual void Install(bool verified) = 0;
    // Starts the MD5 check, installing afterwards when asked.
    virtual void StartVerification(bool install_afterwards) = 0;

    virtual int State() const = 0;
    virtual bool Blocked() const = 0;  // the busy flag: not enough disk space

    virtual std::string TitleText() const = 0;   // the package's title (version) text
    virtual std::string SizeText() = 0;          // bytes on disk "/" package size
    virtual std::string SpeedText() = 0;         // the short status text
    virtual int32_t OverallProgress() = 0;       // ten-thousandths
    virtual int32_t VerifyProgress() const = 0;  // ten-thousandths
    virtual int32_t RepairProgress() const = 0;  // ten-thousandths
    virtual std::string RepairRateText() const = 0;
    virtual bool MismatchSeen() const = 0;       // some file had to be repaired

    virtual int FileCount() const = 0;
    virtual std::string FileName(int index) const = 0;
    virtual std::string FileStatusText(int index) = 0;
    virtual FileFigures Figures(int index) = 0;
    virtual uint64_t PackageBytes() const = 0;

    virtual std::string SaveFolder() const = 0;  // empty when none is set
    virtual void SetSaveFolder(const std::string& folder) = 0;
    // The user picked `picked` in the folder browser: before the download
    // the save folder becomes it plus the package's folder name (state 1);
    // false once the download has begun.
    virtual bool ChooseSaveFolder(const std::string& picked) = 0;
    virtual std::string SetupFilePath() const = 0;

    // The remembered close choice: 1 to tray, 2 exit, anything else ask.
    virtual int CloseSelection() const = 0;
    virtual void SetCloseSelection(int choice) = 0;
    virtual void SetUserExit(bool requested) = 0;

    virtual void SetSpeedLimit(int32_t kib_per_s) = 0;  // 0: no limit
    virtual void SetShutdownWhenFinished(bool enabled) = 0;
    virtual void SetP2PEnabled(bool enabled) = 0;
    virtual bool P2PEnabled() const = 0;

    // Logs the kind of exit and shuts the engine down; once per process.
    virtual void OnExit() = 0;

    // Called (from any thread) when a verification asked for before
    // installing has ended successfully: the front end then acts as if the
    // main button were pressed.
    virtual void SetInstallRequestHandler(std::function<void()> handler) = 0;
    // Called (from any thread) when the controller ends the program itself,
    // after it has started the installer.
    virtual void SetEndHandler(std::function<void()> handler) = 0;
    // The synchronous yes/no question before installing ("verify first?").
    virtual void SetQuestionHandler(std::function<bool(const std::string& text, const std::string& caption)> handler) = 0;

    // The router port mapping's notifications (code, status) arrive on its
    // worker threads through this handler; the front end carries each to
    // its own thread and hands it to OnPortForwardNotification, which
    // returns a notice for the user (empty: nothing to show). Install it
    // before Initialize: the mapping waits for the search's notification.
    virtual void SetPortForwardHandler(std::function<void(int code, int64_t status)> handler) { (void)handler; }
    virtual std::string OnPortForwardNotification(int code, int64_t status) {
        (void)code;
        (void)status;
        return {};
    }
};

}  // namespace app
