#include "app/ControllerFrontEnd.h"

#include <algorithm>

#include "app/EmbeddedPackage.h"
#include "app/EngineCallsApi.h"
#include "app/HttpGet.h"
#include "app/PackageFinishHost.h"
#include "app/ResourceList.h"
#include "app/StatsReporterApi.h"
#include "app/TextFormats.h"
#include "engine/frame/CTidewellLog.h"

namespace app {

// The verifier's and the installer's view of the downloader.
class ControllerFrontEnd::FinishHost final : public IPackageFinishHost {
public:
    explicit FinishHost(ControllerFrontEnd& owner) : m_owner(owner), m_controller(*owner.m_controller) {}

    int State() const override { return m_controller.State(); }
    void SetState(int state) override { m_controller.SetState(state); }
    uint32_t OverallProgress() override { return m_controller.OverallProgress(); }
    std::string SaveFolder() const override { return m_controller.SaveFolder(); }
    std::string InstallerName() const override {
        return m_controller.WithSession([](DownloadSession& session) { return session.InstallerName(); });
    }
    void StopFileTask(int index) override { m_controller.StopTask(index, false); }
    int32_t ReloadFileTask(int index, bool force) override { return m_controller.ReloadFileTask(index, force); }
    bool QueryFileTask(int index, uint32_t* progress, uint32_t* download_rate_bps) override {
        TaskStatusInfo status;
        if (!m_controller.QueryTask(index, &status)) return false;
        *progress = uint32_t(std::max(status.progress, 0));
        *download_rate_bps = uint32_t(std::max(status.download_rate, 0));
        return true;
    }
    void WriteCreationKeys() override { m_controller.WriteCreationKeys(); }
    void RecordFinishInfo(int index) override { m_controller.RecordFinishInfo(index); }
    void ShowMessage(const std::string& text, const std::string& caption) override {
        m_owner.m_engine->ShowMessageBoxAsync(text, caption);
    }
    bool AskYesNo(const std::string& text, const std::string& caption) override {
        std::function<bool(const std::string&, const std::string&)> question;
        {
            std::lock_guard<std::mutex> hold(m_owner.m_handler_lock);
            question = m_owner.m_question;
        }
        // Without anyone to ask, the files are checked: the safer answer.
        return question ? question(text, caption) : true;
    }
    void SubmitEvent(uint32_t code, const std::string& text, int32_t kind) override {
        m_controller.SubmitEvent(code, text, kind);
    }
    void SubmitFileEvent(uint32_t code, const std::string& file_name, const std::string& text) override {
        m_controller.SubmitFileEvent(code, file_name, text);
    }
    void SubmitStatsEvent(uint32_t code, const std::string& text) override { m_controller.SubmitStatsEvent(code, text); }
    void PostInstallAfterVerification() override { m_owner.CallHandler(&ControllerFrontEnd::m_install_request); }
    void CloseMainWindow() override { m_owner.CallHandler(&ControllerFrontEnd::m_end_request); }
    void ShutdownServices() override {
        m_owner.m_stats->StopUploader();
        m_owner.m_engine->EngineShutdown();
    }

private:
    ControllerFrontEnd& m_owner;
    DownloadController& m_controller;
};

namespace {

PackageConfig BuiltInConfig() {
    return PackageConfig::FromSlotBlock(BuiltInSlotBlock());
}

}  // namespace

ControllerFrontEnd::ControllerFrontEnd(FrontEndOptions options)
    : m_own_engine(options.engine ? nullptr : std::make_unique<EngineCallsApi>()),
      m_own_stats(options.stats ? nullptr : std::make_unique<StatsReporterApi>()),
      m_engine(options.engine ? options.engine : m_own_engine.get()),
      m_stats(options.stats ? options.stats : m_own_stats.get()),
      m_config(BuiltInConfig()),
      m_title(BuiltInProductTitle()) {
    SessionEnvironment environment;
    environment.engine = m_engine;
    environment.stats = m_stats;
    environment.data_folder = options.data_folder;
    if (!options.save_root.empty()) {
        environment.default_save_root = [root = options.save_root] { return root; };
    }
    ControllerHooks hooks;
    hooks.ask_verify_and_install = [this] { m_verifier->AskVerifyAndInstall(); };
    hooks.install = [this](bool verified) { m_installer->Install(verified); };
    hooks.shutdown_computer = [this] { m_installer->ShutdownComputer(); };
    m_controller = std::make_unique<DownloadController>(m_config, environment, std::move(hooks));
    m_host = std::make_unique<FinishHost>(*this);
    m_installer = std::make_unique<InstallAndExit>(*m_host, m_title, options.opener);
    m_verifier = std::make_unique<PackageVerifier>(*m_host, m_config, *m_installer, m_title);
}

ControllerFrontEnd::~ControllerFrontEnd() {
    // The check thread calls into the controller: it ends first.
    m_verifier->Stop();
}

void ControllerFrontEnd::CallHandler(const std::function<void()> ControllerFrontEnd::*handler) {
    std::function<void()> call;
    {
        std::lock_guard<std::mutex> hold(m_handler_lock);
        call = this->*handler;
    }
    if (call) call();
}

void ControllerFrontEnd::SyncVerifierFigures() const {
    m_controller->SetVerification(m_verifier->VerifyIndex(), m_verifier->VerifyFileProgress());
    m_controller->SetRepair(m_verifier->RepairProgress(), int32_t(m_verifier->RepairRate()));
    m_controller->SetMismatchSeen(m_verifier->MismatchSeen());
}

int ControllerFrontEnd::Initialize() {
    return m_controller->Initialize();
}

bool ControllerFrontEnd::CheckExpiry(std::string* message, std::string* url) {
    HttpGetOptions options;
    if (const EmbeddedResource* ca = BuiltInModule()->Find(CaCertResourceId, CaCertResourceType)) {
        if (ca->data != nullptr) options.extra_ca_pem.assign(reinterpret_cast<const char*>(ca->data), ca->size);
    }
    return app::CheckExpiry(m_config.resource_list_url, options, message, url);
}

int ControllerFrontEnd::UpdateState() {
    SyncVerifierFigures();
    return m_controller->UpdateState();
}

void ControllerFrontEnd::PollTasks() {
    SyncVerifierFigures();
    m_controller->PollTasks();
}

void ControllerFrontEnd::OnMainButton() { m_controller->OnMainButton(); }
void ControllerFrontEnd::Install(bool verified) { m_installer->Install(verified); }
void ControllerFrontEnd::StartVerification(bool install_afterwards) {
    m_verifier->StartVerification(install_afterwards);
}
int ControllerFrontEnd::State() const { return m_controller->State(); }
void ControllerFrontEnd::SetState(int state) { m_controller->SetState(state); }
bool ControllerFrontEnd::Blocked() const { return m_controller->Blocked(); }
std::string ControllerFrontEnd::TitleText() const { return m_controller->VersionText(); }
std::string ControllerFrontEnd::SizeText() { return m_controller->SizeText(); }
std::string ControllerFrontEnd::SpeedText() { return m_controller->SpeedText(); }
int32_t ControllerFrontEnd::OverallProgress() { return int32_t(m_controller->Progress()); }

int32_t ControllerFrontEnd::VerifyProgress() const {
    SyncVerifierFigures();
    return int32_t(m_controller->VerifyProgress());
}

int32_t ControllerFrontEnd::RepairProgress() const { return int32_t(m_verifier->RepairProgress()); }

std::string ControllerFrontEnd::RepairRateText() const {
    SyncVerifierFigures();
    return m_controller->RepairRateText();
}

bool ControllerFrontEnd::MismatchSeen() const { return m_verifier->MismatchSeen(); }
std::string ControllerFrontEnd::FileName(int index) const { return m_controller->FileName(index); }

std::string ControllerFrontEnd::FileStatusText(int index) {
    SyncVerifierFigures();
    return m_controller->FileStatusText(index);
}

FileFigures ControllerFrontEnd::Figures(int index) {
    FileFigures figures;
    figures.total_bytes = m_config.sizes[size_t(index)];
    figures.complete = m_controller->FileComplete(index);
    TaskStatusInfo status;
    if (m_controller->QueryTask(index, &status)) {
        figures.progress = std::clamp(status.progress, 0, 10000);
        figures.downloaded_bytes = status.downloaded_bytes;
        figures.rate_bps = uint64_t(std::max(status.download_rate, 0));
    }
    if (figures.complete) {
        figures.progress = 10000;
        figures.downloaded_bytes = figures.total_bytes;
        figures.rate_bps = 0;
    }
    return figures;
}

uint64_t ControllerFrontEnd::PackageBytes() const { return m_config.PackageBytes(); }
std::string ControllerFrontEnd::SaveFolder() const { return m_controller->SaveFolder(); }
void ControllerFrontEnd::SetSaveFolder(const std::string& folder) { m_controller->SetSaveFolder(folder); }
std::string ControllerFrontEnd::SetupFilePath() const { return m_controller->SetupFilePath(); }
int ControllerFrontEnd::CloseSelection() const { return m_controller->CloseSelection(); }
void ControllerFrontEnd::SetCloseSelection(int choice) { m_controller->SetCloseSelection(choice); }
void ControllerFrontEnd::SetUserExit(bool requested) { m_installer->SetUserExit(requested); }
void ControllerFrontEnd::SetSpeedLimit(int32_t kib_per_s) { m_controller->SetSpeedLimit(kib_per_s); }
void ControllerFrontEnd::SetShutdownWhenFinished(bool enabled) { m_controller->SetShutdownWhenFinished(enabled); }
void ControllerFrontEnd::SetP2PEnabled(bool enabled) { m_controller->SetP2PEnabled(enabled); }
bool ControllerFrontEnd::P2PEnabled() const { return m_controller->P2PEnabled(); }
bool ControllerFrontEnd::InstallerStarted() const { return m_installer->InstallerStarted(); }

void ControllerFrontEnd::OnExit() {
    m_verifier->Stop();
    m_installer->OnExit();
}

void ControllerFrontEnd::SetInstallRequestHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> hold(m_handler_lock);
    m_install_request = std::move(handler);
}

void ControllerFrontEnd::SetEndHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> hold(m_handler_lock);
    m_end_request = std::move(handler);
}

void ControllerFrontEnd::SetQuestionHandler(std::function<bool(const std::string&, const std::string&)> handler) {
    std::lock_guard<std::mutex> hold(m_handler_lock);
    m_question = std::move(handler);
}

}  // namespace app
