#pragma once
// The downloader as a front end sees it: the download controller together
// with the end of the download (verification, repair, installation and exit,
// PackageFinish), wired to the engine's call interface and the statistics
// uploader, behind the IDownloadControl interface the window and the terminal
// front end drive. The finish part's window requests (the install question,
// the installer start after a verification, closing the window) go to the
// handlers the front end installs.
//
// Owner: the front end's main function, one per process. Threads: the front
// end's thread for every IDownloadControl call; the verification thread
// reaches the handlers, which are guarded by m_handler_lock.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/ConfigSlots.h"
#include "app/DownloadControl.h"
#include "app/DownloadController.h"
#include "app/EngineCalls.h"
#include "app/PackageFinish.h"
#include "app/PortForwarding.h"

namespace app {

struct FrontEndOptions {
    // Engine and statistics; null: the production ones (the engine's flat
    // interface and its statistics uploader).
    IEngineCalls* engine = nullptr;
    IStatsReporter* stats = nullptr;
    // Where the work folder is made; empty: the platform's data folder.
    std::string data_folder;
    // The folder the default save folder is made in; empty: the candidate
    // with the most free space.
    std::string save_root;
    // The program that opens an installer that is not executable.
    std::string opener = "xdg-open";
    // Changes the built-in package before anything reads it (tests point its
    // addresses at their own servers); null: the package as built.
    std::function<void(PackageConfig&)> adjust_package;
    // The router port mapping at start-up (its statistics reporter is the
    // front end's); unset: none, and the engine listens on its default port.
    // The programs set it; tests that talk to a router of their own too.
    std::optional<PortForwardingEnvironment> port_forwarding;
};

class ControllerFrontEnd final : public IDownloadControl {
public:
    explicit ControllerFrontEnd(FrontEndOptions options = {});
    ~ControllerFrontEnd() override;
    ControllerFrontEnd(const ControllerFrontEnd&) = delete;
    ControllerFrontEnd& operator=(const ControllerFrontEnd&) = delete;

    int Initialize() override;
    bool CheckExpiry(std::string* message, std::string* url) override;
    int UpdateState() override;
    void PollTasks() override;
    void OnMainButton() override;
    void Install(bool verified) override;
    void StartVerification(bool install_afterwards) override;
    int State() const override;
    bool Blocked() const override;
    std::string TitleText() const override;
    std::string SizeText() override;
    std::string SpeedText() override;
    int32_t OverallProgress() override;
    int32_t VerifyProgress() const override;
    int32_t RepairProgress() const override;
    std::string RepairRateText() const override;
    bool MismatchSeen() const override;
    int FileCount() const override { return PackageFileCount; }
    std::string FileName(int index) const override;
    std::string FileStatusText(int index) override;
    FileFigures Figures(int index) override;
    uint64_t PackageBytes() const override;
    std::string SaveFolder() const override;
    void SetSaveFolder(const std::string& folder) override;
    bool ChooseSaveFolder(const std::string& picked) override;
    std::string SetupFilePath() const override;
    int CloseSelection() const override;
    void SetCloseSelection(int choice) override;
    void SetUserExit(bool requested) override;
    void SetSpeedLimit(int32_t kib_per_s) override;
    void SetShutdownWhenFinished(bool enabled) override;
    void SetP2PEnabled(bool enabled) override;
    bool P2PEnabled() const override;
    void OnExit() override;
    void SetInstallRequestHandler(std::function<void()> handler) override;
    void SetEndHandler(std::function<void()> handler) override;
    void SetQuestionHandler(std::function<bool(const std::string&, const std::string&)> handler) override;
    void SetPortForwardHandler(std::function<void(int code, int64_t status)> handler) override;
    std::string OnPortForwardNotification(int code, int64_t status) override;

    const PackageConfig& Config() const { return m_config; }
    bool InstallerStarted() const;

private:
    FinishWindow WindowRequests();
    void CallHandler(const std::function<void()> ControllerFrontEnd::*handler);

    std::unique_ptr<IEngineCalls> m_own_engine;
    std::unique_ptr<IStatsReporter> m_own_stats;
    IEngineCalls* m_engine;
    IStatsReporter* m_stats;
    PackageConfig m_config;
    std::string m_title;
    std::unique_ptr<PackageFinish> m_finish;
    std::unique_ptr<DownloadController> m_controller;
    // The controller's start-up calls it; its workers end in the destructor.
    std::unique_ptr<PortForwarding> m_port_forwarding;

    mutable std::mutex m_handler_lock;
    std::function<void()> m_install_request;
    std::function<void()> m_end_request;
    std::function<bool(const std::string&, const std::string&)> m_question;
    // Held while the handler runs, so that replacing it waits for a call
    // under way and a front end that goes away is never called afterwards.
    std::mutex m_port_handler_lock;
    std::function<void(int, int64_t)> m_port_forward_handler;
};

}  // namespace app
