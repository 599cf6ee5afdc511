#include "app/DownloadController.h"

// The controller's texts and values for the front ends, and the values
// verification and repair write.

#include <algorithm>

#include "app/ControllerStates.h"
#include "app/TextFormats.h"
#include "platform/Paths.h"

namespace app {

using namespace controller_detail;

// --- Texts ------------------------------------------------------------------

std::string DownloadController::SpeedText() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_engine->SetP2PEnabled(m_p2p);
    const int state = State();
    if (Transferring(state)) {
        uint64_t total = 0;
        for (int i = 0; i < PackageFileCount; ++i) {
            TaskStatusInfo status;
            if (!m_session.FileComplete(i) && QueryTask(i, &status)) total += uint64_t(std::max(status.download_rate, 0));
        }
        if (total > FlowingRate) {
            SetState(StateDownloading);
            ShareConnectionLimitsIfChanged();
        }
        if (State() == StateDownloading) {
            CountResourceList();
        } else {
            m_list_counter = 0;
        }
        uint64_t displayed = total;
        if (m_speed_limit < NoSpeedLimit) {
            const uint64_t limit = uint64_t(m_speed_limit) * 1024;
            // Smooth the display towards the limit rather than showing the
            // bursts a rate limiter lets through.
            if (total > limit) displayed = ((m_displayed_speed < limit ? total : limit) + m_displayed_speed) / 2;
        }
        m_displayed_speed = displayed;
        return FormatSpeed(displayed);
    }
    if (state == StateCheckRecover) {
        CountResourceList();
        return {};
    }
    m_list_counter = 0;
    return "0 B/s";
}

void DownloadController::ShareConnectionLimitsIfChanged() {
    const int running = RunningTaskCount();
    if (running <= 0 || (m_http_limit == m_shared_http && running == m_shared_running)) return;
    auto shares = ShareConnectionLimits(m_http_limit, m_bt_limit, running);
    size_t k = 0;
    for (int i = 0; i < PackageFileCount && k < shares.size(); ++i) {
        TaskStatusInfo status;
        if (m_session.FileComplete(i) || !QueryTask(i, &status)) continue;
        m_engine->SetTaskConnectionLimits(m_session.Handle(i), shares[k].first, shares[k].second);
        ++k;
    }
    m_shared_http = m_http_limit;
    m_shared_running = running;
}

std::string DownloadController::FileStatusText(int index) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (index < 0 || index >= PackageFileCount) return {};
    const int state = State();
    const int verifying = m_verify_index.load();
    // While verifying and repairing, every file shows where the check is; the
    // file under repair has had its task re-created and its flag cleared.
    if (m_session.FileComplete(index) || In(state, {StateMd5Checking, StateCheckRecover})) {
        if (state == StateMd5Checking || state == StateCheckRecover) {
            if (index > verifying) return "待验证    ";
            if (index < verifying) return "√ 验证通过  ";
            if (state == StateMd5Checking) {
                return "验证中：" + FormatPercentTwoDecimals(uint32_t(m_verify_progress.load())) + "  ";
            }
            uint32_t repair = uint32_t(m_repair_progress.load());
            return repair == 0 ? "准备修复.. " : "修复中：" + FormatPercentTwoDecimals(repair) + "  ";
        }
        if (state == StateCheckFinished) return "√ 验证通过  ";
        return "√ 下载完成  ";
    }
    TaskStatusInfo status;
    if (QueryTask(index, &status)) {
        if (status.progress >= Complete) return "√ 下载完成  ";
        if (status.progress > 0) return FormatPercentTwoDecimals(uint32_t(status.progress)) + "    ";
    }
    return state == StateDownloading ? "准备下载    " : "未开始    ";
}

std::string DownloadController::SizeText() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const uint64_t package = m_config.PackageBytes();
    std::string done;
    if (State() == StateFinished) {
        done = FormatSize(package);
    } else {
        done = m_bytes_on_disk == 0 ? "0 B" : FormatSize(m_bytes_on_disk);
    }
    return done + "/" + FormatSize(package);
}

int DownloadController::State() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_session.State();
}

void DownloadController::SetState(int state) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_session.SetState(state);
}

bool DownloadController::Blocked() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_blocked;
}

std::string DownloadController::SaveFolder() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_session.SaveFolder();
}

void DownloadController::SetSaveFolder(const std::string& folder) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_session.SetSaveFolder(folder);
}

bool DownloadController::ChooseSaveFolder(const std::string& folder) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (folder.empty() || !In(State(), {StateBack, StateReady})) return false;
    m_session.SetSaveFolder(platform::JoinPath(folder, DefaultFolderName));
    SetState(StateReady);
    return true;
}

int DownloadController::GetSaveFolder(char* buffer, size_t size) const {
    const std::string folder = SaveFolder();
    if (folder.empty()) return -2;
    int rc = CopyTextToBuffer(folder, buffer, size);
    return buffer == nullptr || rc == 0 ? rc : -1;
}

std::string DownloadController::VersionText() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_session.VersionText();
}

std::string DownloadController::SetupFilePath() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_session.SetupFilePath();
}

std::string DownloadController::FileName(int index) const {
    if (index < 0 || index >= PackageFileCount) return {};
    return m_config.names[size_t(index)];
}

int DownloadController::CloseSelection() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_session.CloseSelection();
}

bool DownloadController::ShutdownWhenFinished() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_shutdown_when_finished;
}

bool DownloadController::P2PEnabled() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_p2p;
}

int32_t DownloadController::SpeedLimit() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_speed_limit;
}

uint32_t DownloadController::Progress() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_progress;
}

uint64_t DownloadController::BytesOnDisk() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_bytes_on_disk;
}

uint32_t DownloadController::VerifyProgress() const {
    const int verifying = m_verify_index.load();
    const uint32_t progress = Capped(m_verify_progress.load());
    uint64_t weighted = 0;
    uint64_t weights = 0;
    for (int i = 0; i < PackageFileCount; ++i) {
        uint64_t weight = m_config.WeightMiB(i);
        uint32_t value = i < verifying ? Complete : i == verifying ? progress : 0;
        weighted += weight * value;
        weights += weight;
    }
    return weights == 0 ? 0 : uint32_t(weighted / weights);
}

std::string DownloadController::RepairRateText() const {
    return FormatSpeed(uint64_t(std::max(m_repair_rate.load(), 0)));
}

// --- For verification, repair, installation and exit --------------------------

void DownloadController::SetVerification(int index, uint32_t progress) {
    m_verify_index.store(index);
    m_verify_progress.store(int32_t(progress));
}

void DownloadController::SetRepair(uint32_t progress, int32_t rate) {
    m_repair_progress.store(int32_t(progress));
    m_repair_rate.store(rate);
}

int32_t DownloadController::ReloadFileTask(int index, bool force) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_session.ReloadFileTask(index, force);
}

bool DownloadController::ReloadFailed() const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_session.ReloadFailed();
}

int32_t DownloadController::StopTask(int index, bool reset) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    TaskHandle handle = m_session.Handle(index);
    return handle == nullptr ? -106 : m_engine->StopTask(handle, reset);
}

bool DownloadController::FileComplete(int index) const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_session.FileComplete(index);
}

void DownloadController::RecordFinishInfo(int index) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_session.RecordFinishInfo(index);
}

void DownloadController::WriteCreationKeys() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_session.WriteCreationKeys();
}

std::string DownloadController::TargetPath(int index) const {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_session.TargetPath(index);
}

void DownloadController::ShowMessage(const std::string& text) { m_engine->ShowMessageBoxAsync(text, m_title); }

TransferTotals DownloadController::Totals() {
    Probes probes = QueryAll();
    TransferTotals totals;
    for (int i = 0; i < PackageFileCount; ++i) {
        totals.web_bytes += m_cached_web[size_t(i)];
        totals.peer_bytes += m_cached_peer[size_t(i)];
    }
    totals.seconds = m_run_seconds;
    totals.total_bytes = totals.web_bytes + totals.peer_bytes;
    if (totals.seconds != 0) {
        totals.average_speed = totals.total_bytes / totals.seconds;
        totals.web_speed = totals.web_bytes / totals.seconds;
        totals.peer_speed = totals.peer_bytes / totals.seconds;
    }
    totals.progress = FormatProgress(ProgressOf(probes));
    return totals;
}

void DownloadController::SubmitStatsEvent(uint32_t code, const std::string& text) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (m_stats != nullptr) m_stats->SubmitStatsEvent(code, Totals(), text);
}

void DownloadController::SubmitEvent(uint32_t code, const std::string& text, int32_t kind) {
    if (m_stats != nullptr) m_stats->SubmitEvent(code, text, kind);
}

void DownloadController::SubmitFileEvent(uint32_t code, const std::string& file_name, const std::string& text) {
    if (m_stats != nullptr) m_stats->SubmitFileEvent(code, file_name, text);
}

}  // namespace app
