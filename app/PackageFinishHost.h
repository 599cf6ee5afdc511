#pragma once
// What verification, installation and exit need from the download controller:
// its state, its engine tasks, its settings file, its statistics events and
// the main window. The controller implements it; tests use a recording one.
//
// Threads: the verification thread calls the task, state, settings and
// message operations while the UI thread's timers read the controller too;
// the engine serialises the task calls, and the controller keeps its shared
// values in single words (see the controller's header).

#include <cstdint>
#include <string>

namespace app {

class IPackageFinishHost {
public:
    virtual ~IPackageFinishHost() = default;

    // Application state (AppState.h); setting it logs the state line.
    virtual int State() const = 0;
    virtual void SetState(int state) = 0;
    // Overall progress of the package in ten-thousandths.
    virtual uint32_t OverallProgress() = 0;
    virtual std::string SaveFolder() const = 0;
    virtual std::string InstallerName() const = 0;

    // StopTask on file i's task, reset off (nothing when it has no task).
    virtual void StopFileTask(int index) = 0;
    // Re-creates file i's task through RecoverAndContinueTask; the engine's
    // code (0 on success).
    virtual int32_t ReloadFileTask(int index, bool force) = 0;
    // QueryTaskStatus of file i's task: false when the query fails.
    virtual bool QueryFileTask(int index, uint32_t* progress, uint32_t* download_rate_bps) = 0;

    // Figures the file list and the progress bar show while verifying:
    // the file being checked or repaired and its progress (ten-thousandths),
    // the repaired task's progress and rate, and whether any file mismatched.
    virtual void SetVerification(int index, uint32_t progress) = 0;
    virtual void SetVerifyProgress(uint32_t progress) = 0;
    virtual void SetRepair(uint32_t progress, uint32_t rate_bps) = 0;
    virtual void SetMismatchSeen(bool seen) = 0;

    // Settings file: the creation keys, and file i's finish information.
    virtual void WriteCreationKeys() = 0;
    virtual void RecordFinishInfo(int index) = 0;

    // A message that never blocks the caller for long (ShowMessageBoxAsync).
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
    // A synchronous yes/no question; true for "yes".
    virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;

    // Statistics events: plain (code, text, kind), per file, and with the
    // transfer totals of the download.
    virtual void SubmitEvent(uint32_t code, const std::string& text, int32_t kind) = 0;
    virtual void SubmitFileEvent(uint32_t code, const std::string& file_name, const std::string& text) = 0;
    virtual void SubmitStatsEvent(uint32_t code, const std::string& text) = 0;

    // Main window: start the installer after a verification asked for by the
    // install question (message 1128); close the window (the program exits).
    virtual void PostInstallAfterVerification() = 0;
    virtual void CloseMainWindow() = 0;

    // End of the process: stop the statistics uploader, remove the log object
    // and shut the engine down.
    virtual void ShutdownServices() = 0;
};

}  // namespace app
