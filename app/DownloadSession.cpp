#include "app/DownloadSession.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/AppState.h"
#include "app/EmbeddedPackage.h"
#include "app/ProgramVersion.h"
#include "engine/base/CTidewellLog.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Paths.h"

namespace app {

namespace {

// Statistics start-up values of this package.
inline constexpr const char* GameId = "991002359";
inline constexpr const char* GameVersion = "v0.0.3.11";
inline constexpr const char* Channel = "1";
// A short pause after restoring, before the tasks are re-created.
constexpr int RestorePauseMs = 100;

void Log(const std::string& text) { engine::LogLine(text, DownloaderLogLevel); }

// The process-wide log, created on first start-up and kept for the process.
void EnsureLog(const std::string& base_path) {
    if (engine::GetTidewellLog() == nullptr) {
        static engine::CTidewellLogApi process_log;
        engine::SetTidewellLog(&process_log);
    }
    engine::GetTidewellLog()->SetBasePath(base_path);
}

}  // namespace

std::string ChooseSaveRoot(const std::vector<std::string>& candidates,
                           const std::function<int64_t(const std::string&)>& free_space) {
    std::string best;
    int64_t best_free = -1;
    for (const std::string& c : candidates) {
        int64_t f = free_space(c);
        if (f > best_free) {
            best = c;
            best_free = f;
        }
    }
    if (best.empty() && !candidates.empty()) best = candidates.front();
    return best;
}

DownloadSession::DownloadSession(PackageConfig config, SessionEnvironment environment)
    : m_config(std::move(config)), m_env(std::move(environment)) {
    if (m_env.module == nullptr) m_env.module = BuiltInModule();
    if (m_env.data_folder.empty()) m_env.data_folder = platform::DataFolder();
    if (m_env.task_link_ini.empty()) {
        m_env.task_link_ini = platform::JoinPath(platform::CurrentFolder(), "TidewellTaskLink.ini");
    }
    if (m_env.product_title.empty()) m_env.product_title = BuiltInProductTitle();
}

int DownloadSession::Initialize() {
    m_tasks_running = false;
    if (m_config.RequiredSpace() == 0) return InitializeNoPackageSize;

    m_paths = AppPaths::ForPackage(m_env.data_folder, m_config.PackageId());
    platform::CreateDirectories(m_paths.work_folder);
    m_settings = SettingsFile(m_paths.settings_file);
    EnsureLog(m_paths.log_base);
    Log("=====================正在初始化=====================");

    if (!ExtractStatsConfig()) return InitializeNoStatsConfig;
    StartStatistics();
    m_env.engine->SetListenPort(m_env.map_listen_port ? m_env.map_listen_port() : 0);
    m_env.engine->SetRendezvousServer(BuiltInRendezvousHost(), BuiltInRendezvousPort());
    m_handles = {};
    m_requests = {};
    Log("自我恢复功能关闭");
    m_http_limit = ReadHttpConnectionLimit(m_env.task_link_ini);

    RecoveryFlags flags;
    if (!m_settings.Exists()) {
        UseDefaults();
        m_last_size = 0;
        flags = CollectRecoveryFlags({}, {}, {});
    } else {
        flags = ReadSettings();
    }
    ApplyOutcome(DecideRecovery(flags));

    if (m_state == StateFinished || m_state == StateRecover || m_state == StateReload) {
        ReloadTasks();
        return InitializeRestored;
    }
    return InitializeStarted;
}

bool DownloadSession::ExtractStatsConfig() {
    int rc = ExtractToWorkFolder(m_env.module, StatsConfigResourceId, m_paths.work_folder, StatsConfigFileName,
                                 StatsConfigResourceType, true, &m_stats_config_path);
    if (rc >= 0) return true;
    Log("TWconf资源释放失败");
    Event(EventExtractionFailed, "TWconf资源释放失败");
    return false;
}

void DownloadSession::StartStatistics() {
    if (m_env.stats) m_env.stats->StartUploader(m_stats_config_path, GameId, ProgramVersion(), GameVersion, Channel);
}

void DownloadSession::UseDefaults() {
    m_task_hash = m_config.PackageId();
    m_save_folder = DefaultSaveFolder();
    m_installer_name = m_config.InstallerName();
    BuildDefaultInfoPaths();
}

RecoveryFlags DownloadSession::ReadSettings() {
    namespace k = settings_key;
    RecoverySnapshot snapshot{true,
                              m_settings.Get(k::CreateTime),
                              m_settings.Get(k::Hash),
                              m_settings.Get(k::SavePath),
                              m_settings.Get(k::Entrance),
                              m_settings.Get(k::IsComplete)};
    m_last_size = m_settings.LastSize();
    m_task_hash = snapshot.task_hash.empty() ? m_config.PackageId() : snapshot.task_hash;
    m_save_folder = snapshot.save_path.empty() ? DefaultSaveFolder() : snapshot.save_path;

    std::array<std::string, PackageFileCount> targets;
    for (int i = 0; i < PackageFileCount; ++i) targets[size_t(i)] = TargetPath(i);
    RecoveryProbe probe{[](const std::string& path) { return platform::Exists(path); },
                        [this](int i) { return IsFileUnchangedComplete(i, true); }};
    RecoveryFlags flags = CollectRecoveryFlags(snapshot, targets, probe);

    m_installer_name = snapshot.entrance.empty() ? m_config.InstallerName() : snapshot.entrance;
    for (int i = 0; i < PackageFileCount; ++i) {
        std::string stored = m_settings.Get(PerFileKey(k::DownloadInfo, i).c_str());
        if (!stored.empty()) {
            m_info_paths[size_t(i)] = stored;
            continue;
        }
        std::string folder = m_paths.InfoFolder(m_task_hash);
        platform::CreateDirectories(folder);
        m_info_paths[size_t(i)] = platform::JoinPath(folder, m_config.names[size_t(i)] + ".twinfo");
    }
    if (m_task_hash.empty()) Log("恢复下载失败，无法进行续传");
    return flags;
}

void DownloadSession::BuildDefaultInfoPaths() {
    std::string folder = m_paths.InfoFolder(m_task_hash);
    platform::CreateDirectories(folder);
    for (int i = 0; i < PackageFileCount; ++i) {
        m_info_paths[size_t(i)] = platform::JoinPath(folder, m_config.names[size_t(i)] + ".twinfo");
    }
}

void DownloadSession::ApplyOutcome(RecoveryOutcome outcome) {
    switch (outcome) {
    case RecoveryOutcome::Fresh:
        m_state = StateReady;
        break;
    case RecoveryOutcome::AllLost:
        Log("目标文件全部丢失，退回初始状态");
        m_settings.Remove();
        m_state = StateReady;
        Message("目标文件被删除或移动，请重新下载");
        m_save_folder = DefaultSaveFolder();
        break;
    case RecoveryOutcome::Finished:
        Log("下载已经完成，文件正确");
        ChooseDiskMode();
        m_state = StateFinished;
        m_tasks_running = false;
        break;
    case RecoveryOutcome::Check:
        Log("需要文件校验");
        ChooseDiskMode();
        m_state = StateReload;
        Sleep(RestorePauseMs);
        break;
    case RecoveryOutcome::Resumable:
        Log("成功地恢复了下载，可以进行续传");
        ChooseDiskMode();
        m_state = StateRecover;
        Sleep(RestorePauseMs);
        break;
    }
}

bool DownloadSession::IsFileUnchangedComplete(int index, bool note) {
    FinishInfo now;
    bool unchanged =
        FinishInfoOfFile(TargetPath(index), &now) && now == m_settings.ReadFinishInfo(index);
    if (!unchanged && note) Note(index);
    return unchanged;
}

void DownloadSession::Note(int index) {
    if (std::find(m_reload_list.begin(), m_reload_list.end(), index) == m_reload_list.end()) {
        m_reload_list.push_back(index);
    }
}

void DownloadSession::ReloadTasks() {
    WriteCreationKeys();
    m_env.engine->SetHttpHandshakePrefix(true);
    if (m_env.engine->EngineInitialize(m_paths.work_folder) != 0) {
        Log("Reload Download Task] [环境初始化失败");
        Event(EventEngineStartFailed, "继续下载：环境初始化失败");
        Message("下载启动失败请重试");
        return;
    }
    for (int i = 0; i < PackageFileCount; ++i) {
        IsFileUnchangedComplete(i, true);
        // Membership rather than a cursor: a file noted late (changed while
        // starting) is still reloaded, never marked complete by mistake.
        bool reload = std::find(m_reload_list.begin(), m_reload_list.end(), i) != m_reload_list.end();
        if (reload) {
            ReloadFileTask(i, false);
        } else {
            m_requests[size_t(i)].complete = 1;
        }
    }
    bool any = std::any_of(m_handles.begin(), m_handles.end(), [](TaskHandle h) { return h != nullptr; });
    if (any) {
        Event(EventTasksResumed, "");
        m_tasks_running = true;
        if (m_env.apply_speed_limit) m_env.apply_speed_limit();
    } else {
        m_tasks_running = false;
    }
}

TaskRequest DownloadSession::PrepareTaskRequest(int index, bool* extracted) {
    size_t i = size_t(index);
    TaskRequest request;
    request.flags = PackageTaskFlags;
    request.source_text = m_config.urls[i];
    std::string torrent;
    *extracted = ExtractToWorkFolder(m_env.module, TorrentResourceId0 + index, m_paths.work_folder,
                                     m_config.md5[i], TorrentResourceType, false, &torrent) >= 0;
    if (*extracted) {
        // The path actually written: the temporary folder when the work
        // folder refused the file.
        request.main_source = "file://" + torrent;
        request.flags |= TaskFlagP2sp;
    }
    request.target = TargetPath(index);
    request.info_path = m_info_paths[i];
    return request;
}

int32_t DownloadSession::ReloadFileTask(int index, bool force) {
    size_t i = size_t(index);
    if (m_config.urls[i].empty()) Message("下载源出错，请验证这个下载工具的md5是否正确");
    bool extracted = false;
    m_requests[i] = PrepareTaskRequest(index, &extracted);
    if (!extracted) {
        Log("Torent 资源释放失败");
        Event(EventEngineStartFailed, "TWconf资源释放失败");
    }
    int32_t rc = m_env.engine->RecoverAndContinueTask(m_requests[i], force);
    if (rc != 0) {
        if (force) m_reload_failed = true;
        Log("Reload 失败");
        Message("ErrorCode : " + std::to_string(rc));
        return rc;
    }
    if (force) m_reload_failed = false;
    Log("Reload 成功");
    m_handles[i] = m_requests[i].handle;
    m_settings.Set(PerFileKey(settings_key::ReloadedTask, index).c_str(), m_config.names[i]);
    return rc;
}

void DownloadSession::WriteCreationKeys() {
    namespace k = settings_key;
    m_settings.Set(k::Hash, m_task_hash);
    m_settings.Set(k::CreateTimeStamp, std::to_string(platform::TickCount()));
    m_settings.Set(k::CreateTime, platform::FormatLocalTime("%Y-%m-%d %X", platform::WallSeconds()));
    if (m_state == StateBack || m_state == StateReady) {
        for (int i = 0; i < PackageFileCount; ++i) {
            m_settings.Set(PerFileKey(k::HttpTaskUrl, i).c_str(), m_config.urls[size_t(i)]);
            m_settings.Set(PerFileKey(k::HttpTaskFile, i).c_str(), m_config.names[size_t(i)]);
        }
    }
    if (m_save_folder.empty()) m_save_folder = DefaultSaveFolder();
    if (m_installer_name.empty()) m_installer_name = m_config.InstallerName();
    if (m_folder_name.empty()) m_folder_name = DefaultFolderName;
    m_settings.Set(k::SavePath, m_save_folder);
    m_settings.Set(k::Entrance, m_installer_name);
    m_settings.Set(k::Folder, m_folder_name);
}

void DownloadSession::RecordFinishInfo(int index) {
    FinishInfo info;
    if (FinishInfoOfFile(TargetPath(index), &info)) m_settings.WriteFinishInfo(index, info);
}

void DownloadSession::ChooseDiskMode() {
    if (m_env.disk_mode_probe) {
        m_disk_mode = m_env.disk_mode_probe(m_save_folder);
        Log(m_disk_mode == DiskMode::Preallocate ? "使用磁盘预占"
            : m_disk_mode == DiskMode::Sparse    ? "文件系统支持稀疏文件"
                                                 : "文件系统^不^支持稀疏文件");
        return;
    }
    if (platform::ProbeFallocate(m_save_folder)) {
        Log("使用磁盘预占");
        m_disk_mode = DiskMode::Preallocate;
    } else if (platform::IsSparseCapable(m_save_folder)) {
        Log("文件系统支持稀疏文件");
        m_disk_mode = DiskMode::Sparse;
    } else {
        Log("文件系统^不^支持稀疏文件");
        m_disk_mode = DiskMode::Plain;
    }
}

std::string DownloadSession::SetupFilePath() const {
    if (m_save_folder.empty()) return {};
    return platform::JoinPath(m_save_folder, m_config.names[0]);
}

int DownloadSession::CloseSelection() const {
    if (!m_settings.Exists()) return -1;
    return static_cast<int>(m_settings.GetInt(settings_key::CloseSelection, -1));
}

std::string DownloadSession::TargetPath(int index) const {
    return platform::JoinPath(m_save_folder, m_config.names[size_t(index)]);
}

std::string DownloadSession::DefaultSaveFolder() const {
    std::string root;
    if (m_env.default_save_root) {
        root = m_env.default_save_root();
    } else {
        std::vector<std::string> candidates{platform::DownloadFolder()};
        for (const std::string& m : platform::WritableDiskMountPoints()) candidates.push_back(m);
        root = ChooseSaveRoot(candidates, [](const std::string& p) { return platform::FreeSpace(p); });
    }
    return platform::JoinPath(root, DefaultFolderName);
}

void DownloadSession::Message(const std::string& text) const {
    m_env.engine->ShowMessageBoxAsync(text, m_env.product_title);
}

void DownloadSession::Event(uint32_t code, const std::string& text, int32_t kind) const {
    if (m_env.stats) m_env.stats->SubmitEvent(code, text, kind);
}

void DownloadSession::Sleep(int milliseconds) const {
    if (m_env.sleep) {
        m_env.sleep(milliseconds);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

}  // namespace app
