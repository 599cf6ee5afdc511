#include "app/ControllerFrontEnd.h"

#include <algorithm>

#include "app/EmbeddedPackage.h"
#include "app/EngineCallsApi.h"
#include "app/StatsReporterApi.h"

namespace app {

ControllerFrontEnd::ControllerFrontEnd(FrontEndOptions options)
    : m_own_engine(options.engine ? nullptr : std::make_unique<EngineCallsApi>()),
      m_own_stats(options.stats ? nullptr : std::make_unique<StatsReporterApi>()),
      m_engine(options.engine ? options.engine : m_own_engine.get()),
      m_stats(options.stats ? options.stats : m_own_stats.get()),
      m_config(PackageConfig::FromSlotBlock(BuiltInSlotBlock())),
      m_title(BuiltInProductTitle()) {
    if (options.adjust_package) options.adjust_package(m_config);
    m_finish = std::make_unique<PackageFinish>(m_config, m_title, m_stats, WindowRequests(), VerifierOptions{},
                                               options.opener);
    SessionEnvironment environment;
    environment.engine = m_engine;
    environment.stats = m_stats;
    environment.data_folder = options.data_folder;
    if (!options.save_root.empty()) {
        environment.default_save_root = [root = options.save_root] { return root; };
    }
    if (options.port_forwarding) {
        PortForwardingEnvironment forwarding = *options.port_forwarding;
        forwarding.stats = m_stats;
        m_port_forwarding = std::make_unique<PortForwarding>(forwarding, [this](int code, int64_t status) {
            std::lock_guard<std::mutex> hold(m_port_handler_lock);
            if (m_port_forward_handler) m_port_forward_handler(code, status);
        });
        environment.map_listen_port = [this] { return m_port_forwarding->ChoosePortAndMap(); };
    }
    m_controller = std::make_unique<DownloadController>(m_config, environment, m_finish->Hooks());
    m_finish->Attach(*m_controller);
}

ControllerFrontEnd::~ControllerFrontEnd() {
    // The check thread calls into the controller: it ends first.
    m_finish->Verifier().Stop();
    // The port-mapping workers call the handlers: they end before those go.
    if (m_port_forwarding) m_port_forwarding->RemoveMapping();
    m_port_forwarding.reset();
}

FinishWindow ControllerFrontEnd::WindowRequests() {
    FinishWindow window;
    window.ask_yes_no = [this](const std::string& text, const std::string& caption) {
        std::function<bool(const std::string&, const std::string&)> question;
        {
            std::lock_guard<std::mutex> hold(m_handler_lock);
            question = m_question;
        }
        // Without anyone to ask, the files are checked: the safer answer.
        return question ? question(text, caption) : true;
    };
    window.post_install_after_verification = [this] { CallHandler(&ControllerFrontEnd::m_install_request); };
    window.close_main_window = [this] { CallHandler(&ControllerFrontEnd::m_end_request); };
    return window;
}

void ControllerFrontEnd::CallHandler(const std::function<void()> ControllerFrontEnd::*handler) {
    std::function<void()> call;
    {
        std::lock_guard<std::mutex> hold(m_handler_lock);
        call = this->*handler;
    }
    if (call) call();
}

int ControllerFrontEnd::Initialize() { return m_controller->Initialize(); }
bool ControllerFrontEnd::CheckExpiry(std::string* message, std::string* url) {
    return m_controller->CheckExpiry(message, url);
}
int ControllerFrontEnd::UpdateState() { return m_controller->UpdateState(); }
void ControllerFrontEnd::PollTasks() { m_controller->PollTasks(); }
void ControllerFrontEnd::OnMainButton() { m_controller->OnMainButton(); }
void ControllerFrontEnd::Install(bool verified) { m_finish->Installation().Install(verified); }
void ControllerFrontEnd::StartVerification(bool install_afterwards) {
    m_finish->Verifier().StartVerification(install_afterwards);
}
int ControllerFrontEnd::State() const { return m_controller->State(); }
bool ControllerFrontEnd::Blocked() const { return m_controller->Blocked(); }
std::string ControllerFrontEnd::TitleText() const { return m_controller->VersionText(); }
std::string ControllerFrontEnd::SizeText() { return m_controller->SizeText(); }
std::string ControllerFrontEnd::SpeedText() { return m_controller->SpeedText(); }
// The figure of the last state update: reading it costs no engine query.
int32_t ControllerFrontEnd::OverallProgress() { return int32_t(m_controller->Progress()); }
int32_t ControllerFrontEnd::VerifyProgress() const { return int32_t(m_controller->VerifyProgress()); }
int32_t ControllerFrontEnd::RepairProgress() const { return int32_t(m_controller->RepairProgress()); }
std::string ControllerFrontEnd::RepairRateText() const { return m_controller->RepairRateText(); }
bool ControllerFrontEnd::MismatchSeen() const { return m_controller->MismatchSeen(); }
std::string ControllerFrontEnd::FileName(int index) const { return m_controller->FileName(index); }
std::string ControllerFrontEnd::FileStatusText(int index) { return m_controller->FileStatusText(index); }

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
bool ControllerFrontEnd::ChooseSaveFolder(const std::string& picked) { return m_controller->ChooseSaveFolder(picked); }
std::string ControllerFrontEnd::SetupFilePath() const { return m_controller->SetupFilePath(); }
int ControllerFrontEnd::CloseSelection() const { return m_controller->CloseSelection(); }
void ControllerFrontEnd::SetCloseSelection(int choice) { m_controller->SetCloseSelection(choice); }
void ControllerFrontEnd::SetUserExit(bool requested) { m_finish->SetUserExit(requested); }
void ControllerFrontEnd::SetSpeedLimit(int32_t kib_per_s) { m_controller->SetSpeedLimit(kib_per_s); }
void ControllerFrontEnd::SetShutdownWhenFinished(bool enabled) { m_controller->SetShutdownWhenFinished(enabled); }
void ControllerFrontEnd::SetP2PEnabled(bool enabled) { m_controller->SetP2PEnabled(enabled); }
bool ControllerFrontEnd::P2PEnabled() const { return m_controller->P2PEnabled(); }
bool ControllerFrontEnd::InstallerStarted() const { return m_finish->Installation().InstallerStarted(); }
void ControllerFrontEnd::OnExit() {
    // A forward left on the router would point at a port nobody listens on
    // once we are gone, and every start would add another.
    if (m_port_forwarding) m_port_forwarding->RemoveMapping();
    m_finish->OnExit();
}

void ControllerFrontEnd::SetPortForwardHandler(std::function<void(int code, int64_t status)> handler) {
    std::lock_guard<std::mutex> hold(m_port_handler_lock);
    m_port_forward_handler = std::move(handler);
}

std::string ControllerFrontEnd::OnPortForwardNotification(int code, int64_t status) {
    return m_port_forwarding ? m_port_forwarding->OnNotification(code, status) : std::string();
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
