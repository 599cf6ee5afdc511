#include "app/DownloadController.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <vector>

#include "app/EmbeddedPackage.h"
#include "app/HttpGet.h"
#include "app/ControllerStates.h"
#include "app/TextFormats.h"
#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineEvents.h"
#include "engine/net/NameResolver.h"
#include "platform/File.h"

namespace app {

using namespace controller_detail;

DownloadController::DownloadController(PackageConfig config, SessionEnvironment environment, ControllerHooks hooks)
    : m_config(config),
      m_engine(environment.engine),
      m_stats(environment.stats),
      m_module(environment.module ? environment.module : BuiltInModule()),
      m_sleep(environment.sleep),
      m_title(environment.product_title.empty() ? BuiltInProductTitle() : environment.product_title),
      m_hooks(std::move(hooks)),
      m_session(std::move(config), [this, &environment] {
          environment.apply_speed_limit = [this] {
              std::lock_guard<std::recursive_mutex> hold(m_lock);
              ApplySpeedLimit();
          };
          return std::move(environment);
      }()) {}

DownloadController::~DownloadController() {
    {
        std::lock_guard<std::mutex> hold(m_list_lock);
        if (m_list_thread.joinable()) m_list_thread.join();
    }
    if (m_sink_installed) engine::SetEngineEventSink(nullptr);
    // The progress figures written behind reach the disk before the front end goes.
    m_session.Settings().Flush();
}

int DownloadController::Initialize() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (m_stats != nullptr && !m_sink_installed) {
        // The engine's own events (a host name that cannot be resolved, a piece
        // that fails its check) come
        // from its task threads; the reporter only queues them.
        IStatsReporter* stats = m_stats;
        engine::SetEngineEventSink([stats](int32_t code, const std::string& text, int32_t kind) {
            stats->SubmitEvent(uint32_t(code), text, kind);
        });
        m_sink_installed = true;
    }
    m_blocked = false;
    m_speed_limit = NoSpeedLimit;
    m_displayed_speed = 0;
    m_session.SetTasksRunning(false);
    m_http_limit = m_session.HttpConnectionLimit();
    int rc = m_session.Initialize();
    m_http_limit = m_session.HttpConnectionLimit();
    m_last_size = m_session.LastSize();
    return rc;
}

// --- Timers ---------------------------------------------------------------

int DownloadController::UpdateState() {
    int state;
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        Probes probes = QueryAll();
        m_progress = ProgressWithChecks(probes);
        m_bytes_on_disk = SumBytesOnDisk(probes);
        if (m_session.Mode() == DiskMode::Sparse) WatchSparseSpace();
        if (State() == StatePreparing && m_progress > 0) SetState(StateReload);
        LogStateChange();
        state = State();
    }
    RunDeferred();
    return state;
}

void DownloadController::PollTasks() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    int state = State();
    if (In(state, {StateBack, StateReady, StateFailed, StateUnrequestedExit})) return;
    if (Transferring(state)) {
        ++m_poll_count;
        if (m_poll_count % PollsPerProgressEvent == 0) SubmitStatsEvent(EventStillDownloading, "");
        ++m_run_seconds;
        long long seconds = m_session.Settings().GetInt(settings_key::DownloadTime, 0);
        m_session.Settings().SetLater(settings_key::DownloadTime, std::to_string(std::max(seconds, 0LL) + 1));
    } else {
        m_poll_count = 0;
    }
    for (int i = 0; i < PackageFileCount; ++i) {
        TaskStatusInfo status;
        if (QueryTask(i, &status)) CheckCompletion(i);
    }
    if (In(State(), {StateMd5Checking, StateCheckRecover, StateCheckFinished})) return;
    for (int i = 0; i < PackageFileCount; ++i) {
        if (!m_session.FileComplete(i)) return;
    }
    if (RunningTaskCount() <= 0) {
        SetState(StateFinished);
        m_session.Settings().Set(settings_key::IsComplete, settings_key::CompleteValue);
    }
}

// --- Operations -------------------------------------------------------------

void DownloadController::OnMainButton() {
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        MainButtonLocked();
    }
    RunDeferred();
}

void DownloadController::MainButtonLocked() {
    switch (State()) {
    case StateBack:
    case StateReady:
        BeginDownloadLocked();
        break;
    case StateDownloading:
    case StateResume:
        Pause();
        break;
    case StatePause:
        Resume();
        break;
    case StateFinished:
        SubmitEvent(EventInstallClicked, "");
        if (m_hooks.ask_verify_and_install) Defer(m_hooks.ask_verify_and_install);
        break;
    case StateMd5Checking:
        ShowMessage("MD5计算工作中……请等待完成");
        break;
    case StateCheckRecover:
        ShowMessage("部分文件错误，正在修复中...");
        break;
    case StateCheckFinished:
        SubmitEvent(EventInstallClicked, "点击时已经验证过安装包分卷了");
        if (m_hooks.install) Defer([install = m_hooks.install] { install(true); });
        break;
    default:
        break;
    }
}

void DownloadController::BeginDownload() {
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        BeginDownloadLocked();
    }
    RunDeferred();
}

void DownloadController::BeginDownloadLocked() {
    const std::string folder = m_session.SaveFolder();
    int64_t free = m_engine->GetDiskFreeBytes(folder);
    if (free < 0 || uint64_t(free) < m_config.RequiredSpace()) {
        ShowMessage("当前磁盘空间不足，请选择其他位置存放");
        m_blocked = true;
        return;
    }
    SubmitEvent(EventDownloadBegins, "", 7);
    m_session.WriteCreationKeys();
    m_run_seconds = 0;
    m_poll_count = 0;
    m_cached_web = {};
    m_cached_peer = {};
    m_session.SetTasksRunning(true);
    m_engine->SetHttpHandshakePrefix(true);
    m_session.Settings().Set(settings_key::SavePath, m_session.SaveFolder());
    platform::CreateDirectories(m_session.SaveFolder());
    m_session.ChooseDiskMode();
    if (m_engine->EngineInitialize(m_session.Paths().work_folder) != 0) {
        Log("Begin Download Task] [环境初始化失败");
        SubmitEvent(EventEngineStartFailed, "Begin Download Task 环境初始化失败");
        if (m_hooks.show_blocking_message) {
            Defer([show = m_hooks.show_blocking_message] { show("下载启动失败请重试"); });
        } else {
            ShowMessage("下载启动失败请重试");
        }
    } else {
        for (int i = 0; i < PackageFileCount; ++i) CreateFileTask(i);
    }
    ApplySpeedLimit();
    SetState(StatePreparing);
}

void DownloadController::CreateFileTask(int index) {
    bool extracted = false;
    TaskRequest request = m_session.PrepareTaskRequest(index, &extracted);
    if (!extracted) {
        Log("Torent 资源释放失败");
        SubmitEvent(EventExtractionFailed, "TWconf资源释放失败");
    }
    m_session.Request(index) = request;
    if (m_engine->CreateAndStartTask(m_session.Request(index)) == 0) {
        m_session.SetHandle(index, m_session.Request(index).handle);
    }
    m_session.SetTasksRunning(true);
    ApplySpeedLimit();
}

void DownloadController::Pause() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    SubmitStatsEvent(EventUserPaused, "");
    std::vector<TaskHandle> handles;
    for (int i = 0; i < PackageFileCount; ++i) {
        if (m_session.Handle(i) != nullptr) handles.push_back(m_session.Handle(i));
    }
    m_engine->StopTasks(handles, false);
    SetState(StatePause);
}

void DownloadController::Resume() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    SubmitEvent(EventTasksResumed, "");
    for (int i = 0; i < PackageFileCount; ++i) {
        if (m_session.IsFileUnchangedComplete(i, false)) continue;
        m_session.Request(i).complete = 0;
        if (m_session.Handle(i) != nullptr) m_engine->StartTask(m_session.Handle(i));
    }
    SetState(StateResume);
}

void DownloadController::SetSpeedLimit(int32_t limit_kib) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_speed_limit = limit_kib <= 0 ? NoSpeedLimit : std::min(limit_kib, NoSpeedLimit);
    ApplySpeedLimit();
}

void DownloadController::ApplySpeedLimit() {
    int32_t per_task = TaskSpeedLimit(m_speed_limit, RunningTaskCount());
    for (int i = 0; i < PackageFileCount; ++i) {
        if (m_session.Handle(i) != nullptr) m_engine->SetTaskSpeedLimit(m_session.Handle(i), DirectionDownload, per_task);
    }
}

void DownloadController::SetShutdownWhenFinished(bool on) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_shutdown_when_finished = on;
}

void DownloadController::SetP2PEnabled(bool on) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_p2p = on;
    m_engine->SetP2PEnabled(on);
}

void DownloadController::SetCloseSelection(int choice) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_session.Settings().Set(settings_key::CloseSelection, std::to_string(unsigned(choice)));
}

// --- Status of the tasks ----------------------------------------------------

DownloadController::Probes DownloadController::QueryAll() {
    Probes probes;
    for (int i = 0; i < PackageFileCount; ++i) {
        FileProbe& probe = probes[size_t(i)];
        probe.has_task = m_session.Handle(i) != nullptr;
        if (probe.has_task) probe.answered = QueryTask(i, &probe.status);
    }
    return probes;
}

bool DownloadController::QueryTask(int index, TaskStatusInfo* status) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    TaskHandle handle = m_session.Handle(index);
    if (handle == nullptr || m_engine->QueryTaskStatus(handle, status) != 0) return false;
    m_cached_web[size_t(index)] = status->web_bytes;
    m_cached_peer[size_t(index)] = status->peer_bytes;
    return true;
}

uint32_t DownloadController::ProgressOf(const Probes& probes) const {
    uint64_t weighted = 0;
    uint64_t weights = 0;
    for (int i = 0; i < PackageFileCount; ++i) {
        const FileProbe& probe = probes[size_t(i)];
        uint64_t weight = 0;
        uint32_t value = 0;
        if (m_session.FileComplete(i)) {
            weight = m_config.WeightMiB(i);
            value = Complete;
        } else if (probe.answered) {
            weight = uint64_t(std::max(probe.status.total_kib, 0)) / 1024;
            value = Capped(probe.status.progress);
        }
        weighted += weight * value;
        weights += weight;
    }
    return weights == 0 ? 0 : uint32_t(weighted / weights);
}

uint32_t DownloadController::ProgressWithChecks(const Probes& probes) {
    for (int i = 0; i < PackageFileCount; ++i) {
        const FileProbe& probe = probes[size_t(i)];
        if (!probe.answered) continue;
        CheckCompletion(i);
        if (probe.status.state != m_last_code_seen) {
            m_last_code_seen = probe.status.state;
            HandleCode(probe.status.state);
        }
    }
    return ProgressOf(probes);
}

uint32_t DownloadController::OverallProgress() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return ProgressWithChecks(QueryAll());
}

void DownloadController::CheckCompletion(int index) {
    if (m_session.FileComplete(index)) return;
    bool complete = false;
    if (m_engine->IsTaskComplete(m_session.Handle(index), &complete) != 0 || !complete) return;
    // The task reports completion when its last piece is in; the file gets
    // its final name a moment later. Recording it before that would store no
    // finish information, and the next start would fetch the file again.
    if (!platform::Exists(m_session.TargetPath(index))) return;
    m_session.Request(index).complete = 1;
    m_session.RecordFinishInfo(index);
    ApplySpeedLimit();
    SubmitFileEvent(EventFileComplete, m_session.FileName(index), "");
}

void DownloadController::HandleCode(int32_t code) {
    if (code == 0 || code == m_last_code_shown) return;
    m_last_code_shown = code;
    switch (code) {
    case TaskStateNetworkError:
        ShowMessage("网络错误");
        break;
    case TaskStateNoSize:
        SubmitStatsEvent(EventTaskTimedOut, "");
        ShowMessage("网络连接超时，下载失败");
        break;
    case TaskStateDiskFull:
        if (State() == StateDownloading) Pause();
        m_blocked = true;
        SubmitStatsEvent(EventDiskFull, "");
        ShowMessage("磁盘空间不足，请检查并重新启动下载器！");
        break;
    case TaskStateNoSource:
        ShowMessage("下载出错，请重试");
        break;
    case TaskStateFileOpenFailed:
        SetState(StateFailed);
        ShowMessage("由于磁盘损坏无法写入，下载失败");
        break;
    default:
        break;
    }
}

int DownloadController::RunningTaskCount() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    int running = 0;
    for (int i = 0; i < PackageFileCount; ++i) {
        TaskStatusInfo status;
        if (!m_session.FileComplete(i) && QueryTask(i, &status)) ++running;
    }
    return running;
}

uint64_t DownloadController::SumBytesOnDisk(const Probes& probes) {
    uint64_t sum = 0;
    for (int i = 0; i < PackageFileCount; ++i) {
        const FileProbe& probe = probes[size_t(i)];
        if (probe.has_task) {
            if (probe.answered) sum += probe.status.downloaded_bytes;
        } else {
            int64_t allocated = m_engine->GetFileAllocatedSize(m_session.TargetPath(i));
            if (allocated >= 0) sum += uint64_t(allocated);
        }
    }
    if (sum != m_last_size &&
        !In(State(), {StateBack, StateReady, StatePause, StateFailed, StateFinished, StateMd5Checking,
                      StateInstalling, 14, StateUnrequestedExit})) {
        m_session.Settings().WriteLastSize(sum);
        m_last_size = sum;
    }
    return sum;
}

void DownloadController::WatchSparseSpace() {
    const uint64_t required = m_config.RequiredSpace();
    const uint64_t free = uint64_t(std::max<int64_t>(m_engine->GetDiskFreeBytes(m_session.SaveFolder()), 0));
    if (free + m_bytes_on_disk >= required) {
        m_blocked = false;
        if (State() == StateBack) SetState(StateReady);
        return;
    }
    Sleep(SparseRecheckMs);
    m_bytes_on_disk = SumBytesOnDisk(QueryAll());
    if (free + m_bytes_on_disk + SpaceMarginBytes >= required) return;
    switch (State()) {
    case StateReady:
        SetState(StateBack);
        ShowMessage("当前磁盘空间不足，请选择其他位置存放。");
        m_blocked = true;
        break;
    case StateBack:
    case StatePause:
        m_blocked = true;
        break;
    case StateDownloading:
        Pause();
        SubmitStatsEvent(EventDiskFull, "");
        ShowMessage("预留磁盘空间不足，下载暂停。");
        m_blocked = true;
        break;
    default:
        break;
    }
}

void DownloadController::LogStateChange() {
    const int state = State();
    const bool state_changed = state != m_logged_state;
    if (!state_changed && m_blocked == m_logged_blocked) return;
    m_logged_state = state;
    m_logged_blocked = m_blocked;
    // The finish actions belong to entering state 8, not to a later change
    // of the blocked flag (which would report and shut down a second time).
    const bool finished = state == StateFinished && state_changed;
    if (finished) {
        for (int i = 0; i < PackageFileCount; ++i) m_session.RecordFinishInfo(i);
        if (m_session.TasksRunning()) SubmitStatsEvent(EventDownloadFinished, "");
        ApplySpeedLimit();
    }
    if (const char* name = StateName(state)) Log(std::string("Tidewell Utility: 下载状态改变为") + name);
    if (finished && m_shutdown_when_finished) {
        Log("Tidewell Utility: 触发自动关机");
        if (m_hooks.shutdown_computer) Defer(m_hooks.shutdown_computer);
    }
}

// --- Resource list ------------------------------------------------------------

void DownloadController::CountResourceList() {
    if (m_list_counter % SpeedCallsPerResourceList == 0) StartResourceList();
    ++m_list_counter;
}

void DownloadController::StartResourceList() {
    // One application at a time: a fetch still running is not doubled.
    if (m_list_running.exchange(true)) return;
    ResourceListTarget target;
    target.download_urls = m_config.urls;
    for (int i = 0; i < PackageFileCount; ++i) target.handles[size_t(i)] = m_session.Handle(i);
    target.verifying_index = In(State(), {StateMd5Checking, StateCheckRecover}) ? m_verify_index.load() : -1;
    target.is_file_complete = [this](int i) { return FileComplete(i); };
    target.remember_p2p = [this](bool on) {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        m_p2p = on;
    };
    std::lock_guard<std::mutex> hold(m_list_lock);
    // The previous thread has finished its application (m_list_running was
    // clear), so this join does not wait for it to need m_lock.
    if (m_list_thread.joinable()) m_list_thread.join();
    try {
        m_list_thread = std::thread([this, target] {
            RunResourceList(target);
            m_list_running.store(false);
        });
    } catch (const std::system_error&) {
        m_list_running.store(false);
    }
}

int DownloadController::RunResourceList(const ResourceListTarget& target) {
    try {
        if (m_hooks.apply_resource_list) return m_hooks.apply_resource_list(*m_engine, target);
        HttpGetOptions options = ResourceListOptions();
        options.timeout_s = ResourceListFetchBoundS;
        std::string body;
        std::string error;
        long code = 0;
        if (!HttpGetToMemory(m_config.resource_list_url, &body, &error, &code, options)) {
            engine::LogLine("Seek res FAILED with XML content failed", ResourceListFailureLogLevel);
            return ResourceListFetchFailed;
        }
        return ApplyResourceListBody(body, *m_engine, target);
    } catch (...) {
        return ResourceListException;
    }
}

HttpGetOptions DownloadController::ResourceListOptions() const {
    HttpGetOptions options;
    if (m_module != nullptr) {
        if (const EmbeddedResource* ca = m_module->Find(CaCertResourceId, CaCertResourceType)) {
            if (ca->data != nullptr) options.extra_ca_pem.assign(reinterpret_cast<const char*>(ca->data), ca->size);
        }
    }
    return options;
}

bool DownloadController::CheckExpiry(std::string* message, std::string* url) {
    // No lock: the fetch waits up to two seconds and touches no controller value.
    return app::CheckExpiry(m_config.resource_list_url, ResourceListOptions(), message, url);
}

void DownloadController::Defer(std::function<void()> action) { m_deferred.push_back(std::move(action)); }

void DownloadController::RunDeferred() {
    std::vector<std::function<void()>> actions;
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        actions.swap(m_deferred);
    }
    for (auto& action : actions) action();
}

void DownloadController::Log(const std::string& text) const { engine::LogLine(text, DownloaderLogLevel); }

void DownloadController::Sleep(int milliseconds) const {
    if (m_sleep) {
        m_sleep(milliseconds);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

}  // namespace app
