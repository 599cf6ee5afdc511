#include "app/PackageFinish.h"

#include <stdexcept>
#include <utility>

#include "engine/base/CTidewellLog.h"

namespace app {

PackageFinish::PackageFinish(const PackageConfig& config, std::string product_title, IStatsReporter* stats,
                             FinishWindow window, VerifierOptions options, std::string opener)
    : m_stats(stats), m_window(std::move(window)), m_install(*this, product_title, std::move(opener)) {
    m_verifier = std::make_unique<PackageVerifier>(*this, config, m_install, std::move(product_title),
                                                   std::move(options));
}

PackageFinish::~PackageFinish() { m_verifier->Stop(); }

ControllerHooks PackageFinish::Hooks() {
    ControllerHooks hooks;
    hooks.ask_verify_and_install = [this] { m_verifier->AskVerifyAndInstall(); };
    hooks.install = [this](bool verified) { m_install.Install(verified); };
    hooks.shutdown_computer = [this] { m_install.ShutdownComputer(); };
    return hooks;
}

void PackageFinish::OnExit() {
    // The check thread calls into the controller and the engine, both of
    // which the exit sequence takes down.
    m_verifier->Stop();
    m_install.OnExit();
}

DownloadController& PackageFinish::Controller() const {
    if (!m_controller) throw std::logic_error("PackageFinish used before Attach");
    return *m_controller;
}

int PackageFinish::State() const { return Controller().State(); }
void PackageFinish::SetState(int state) { Controller().SetState(state); }
// The figure of the last state update: reading it has no side effects.
uint32_t PackageFinish::OverallProgress() { return Controller().Progress(); }
std::string PackageFinish::SaveFolder() const { return Controller().SaveFolder(); }
std::string PackageFinish::InstallerName() const {
    return Controller().WithSession([](DownloadSession& s) { return s.InstallerName(); });
}

void PackageFinish::StopFileTask(int index) { Controller().StopTask(index, false); }
int32_t PackageFinish::ReloadFileTask(int index, bool force) { return Controller().ReloadFileTask(index, force); }
bool PackageFinish::QueryFileTask(int index, uint32_t* progress, uint32_t* download_rate_bps) {
    TaskStatusInfo status;
    if (!Controller().QueryTask(index, &status)) return false;
    *progress = status.progress < 0 ? 0u : uint32_t(status.progress);
    *download_rate_bps = status.download_rate < 0 ? 0u : uint32_t(status.download_rate);
    return true;
}

void PackageFinish::SetVerification(int index, uint32_t progress) { Controller().SetVerification(index, progress); }
void PackageFinish::SetVerifyProgress(uint32_t progress) { Controller().SetVerifyProgress(progress); }
void PackageFinish::SetRepair(uint32_t progress, uint32_t rate_bps) {
    Controller().SetRepair(progress, int32_t(rate_bps));
}
void PackageFinish::SetMismatchSeen(bool seen) { Controller().SetMismatchSeen(seen); }

void PackageFinish::WriteCreationKeys() { Controller().WriteCreationKeys(); }
void PackageFinish::RecordFinishInfo(int index) { Controller().RecordFinishInfo(index); }

void PackageFinish::ShowMessage(const std::string& text, const std::string& caption) {
    Controller().Engine().ShowMessageBoxAsync(text, caption);
}
bool PackageFinish::AskYesNo(const std::string& text, const std::string& caption) {
    return m_window.ask_yes_no ? m_window.ask_yes_no(text, caption) : true;
}

void PackageFinish::SubmitEvent(uint32_t code, const std::string& text, int32_t kind) {
    Controller().SubmitEvent(code, text, kind);
}
void PackageFinish::SubmitFileEvent(uint32_t code, const std::string& file_name, const std::string& text) {
    Controller().SubmitFileEvent(code, file_name, text);
}
void PackageFinish::SubmitStatsEvent(uint32_t code, const std::string& text) {
    Controller().SubmitStatsEvent(code, text);
}

void PackageFinish::PostInstallAfterVerification() {
    if (m_window.post_install_after_verification)
        m_window.post_install_after_verification();
    else
        m_install.Install(true);
}
void PackageFinish::CloseMainWindow() {
    if (m_window.close_main_window) m_window.close_main_window();
}

void PackageFinish::ShutdownServices() {
    if (m_stats) m_stats->StopUploader();
    engine::SetTidewellLog(nullptr);
    Controller().Engine().EngineShutdown();
}

}  // namespace app
