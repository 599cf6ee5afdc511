#pragma once
// The end of the download, joined to the download controller: verification
// and repair (PackageVerifier), installer launch, exit and shutdown
// (InstallAndExit), with the controller's state, tasks, settings and events
// behind the host interface they use. A front end makes one before the
// controller, passes Hooks() to the controller's constructor, then attaches
// the controller:
//
//   PackageFinish finish(config, title, stats, window);
//   DownloadController controller(config, env, finish.Hooks());
//   finish.Attach(controller);
//
// Owner: the front end's main object (it outlives the controller's use of
// the hooks). Threads: as the controller's; the host calls come from the UI
// thread and the verification thread and take the controller's own lock.

#include <functional>
#include <memory>
#include <string>

#include "app/DownloadController.h"
#include "app/InstallAndExit.h"
#include "app/PackageFinishHost.h"
#include "app/PackageVerifier.h"

namespace app {

// What only the main window can do.
struct FinishWindow {
    // A synchronous yes/no question; true for "yes". Empty: "yes".
    std::function<bool(const std::string& text, const std::string& caption)> ask_yes_no;
    // Queues the installer start on the UI thread (the message that follows a
    // verification asked for before installing). Empty: the installer is
    // started at once, on the verification thread.
    std::function<void()> post_install_after_verification;
    // Destroys the main window; the program then exits through OnExit.
    std::function<void()> close_main_window;
};

class PackageFinish final : public IPackageFinishHost {
public:
    PackageFinish(const PackageConfig& config, std::string product_title, IStatsReporter* stats, FinishWindow window,
                  VerifierOptions options = {});
    ~PackageFinish() override;

    // The controller's hooks for the install button and the shutdown.
    ControllerHooks Hooks();
    void Attach(DownloadController& controller) { m_controller = &controller; }

    // The main window's side.
    void SetUserExit(bool user_exit) { m_install.SetUserExit(user_exit); }
    // Message 1128: start the installer after a successful verification.
    void InstallAfterVerification() { m_install.Install(true); }
    // When the main window is destroyed: stops the check, then the exit sequence.
    void OnExit();
    PackageVerifier& Verifier() { return *m_verifier; }
    InstallAndExit& Installation() { return m_install; }

    // IPackageFinishHost, forwarded to the controller.
    int State() const override;
    void SetState(int state) override;
    uint32_t OverallProgress() override;
    std::string SaveFolder() const override;
    std::string InstallerName() const override;
    void StopFileTask(int index) override;
    int32_t ReloadFileTask(int index, bool force) override;
    bool QueryFileTask(int index, uint32_t* progress, uint32_t* download_rate_bps) override;
    void SetVerification(int index, uint32_t progress) override;
    void SetVerifyProgress(uint32_t progress) override;
    void SetRepair(uint32_t progress, uint32_t rate_bps) override;
    void SetMismatchSeen(bool seen) override;
    void WriteCreationKeys() override;
    void RecordFinishInfo(int index) override;
    void ShowMessage(const std::string& text, const std::string& caption) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    void SubmitEvent(uint32_t code, const std::string& text, int32_t kind) override;
    void SubmitFileEvent(uint32_t code, const std::string& file_name, const std::string& text) override;
    void SubmitStatsEvent(uint32_t code, const std::string& text) override;
    void PostInstallAfterVerification() override;
    void CloseMainWindow() override;
    void ShutdownServices() override;

private:
    DownloadController& Controller() const;

    DownloadController* m_controller = nullptr;
    IStatsReporter* m_stats;
    FinishWindow m_window;
    InstallAndExit m_install;
    std::unique_ptr<PackageVerifier> m_verifier;
};

}  // namespace app
