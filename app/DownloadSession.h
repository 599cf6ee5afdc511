#pragma once
// The start-up half of the download controller: builds the paths, extracts
// the statistics configuration and starts the uploader, reads the settings
// file and the package files on disk, decides between a fresh start,
// resuming, re-checking and "finished", and restores the engine tasks. It also
// keeps the values the controller works with afterwards (save folder, task
// hash, information paths, task requests and handles) and the settings-file
// operations the controller repeats (creation keys, finish information).
//
// Owner: the download controller (one per process). Thread: the controller's
// (the UI thread); the resource-list and verification threads only read
// through the controller. No lock of its own: the engine serialises its calls.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/AppPaths.h"
#include "app/ConfigSlots.h"
#include "app/EngineCalls.h"
#include "app/RecoveryDecision.h"
#include "app/ResourceModule.h"
#include "app/SettingsFile.h"

namespace app {

enum class DiskMode { Preallocate, Sparse, Plain };

// What start-up needs from outside; every member has a production default
// except the engine and the statistics reporter.
struct SessionEnvironment {
    IEngineCalls* engine = nullptr;
    IStatsReporter* stats = nullptr;
    const ResourceModule* module = nullptr;  // null: the built-in one
    std::string data_folder;                 // empty: platform::DataFolder()
    std::string task_link_ini;               // empty: "TidewellTaskLink.ini" in the current folder
    std::string product_title;               // empty: the built-in title
    // The port chosen and mapped on the router; 0 when that fails (the
    // engine then listens on 8080). Null: 0.
    std::function<uint16_t()> map_listen_port;
    // The folder the default save folder is made in. Null: the candidate
    // with the most free space (ChooseSaveRoot over the platform's).
    std::function<std::string()> default_save_root;
    // Called where start-up pauses briefly. Null: a real sleep.
    std::function<void(int milliseconds)> sleep;
    // Applies the user's download limit to the restored tasks (the controller's).
    std::function<void()> apply_speed_limit;
    // What the save folder's file system offers. Null: the platform probes
    // (pre-allocation, then sparse files).
    std::function<DiskMode(const std::string& folder)> disk_mode_probe;
};

// Results of Initialize.
constexpr int InitializeStarted = 0;
constexpr int InitializeRestored = 1;  // tasks were restored; skip the expiry check
constexpr int InitializeNoPackageSize = -1;
constexpr int InitializeNoStatsConfig = -2;

// The default folder name under the chosen root.
inline constexpr const char* DefaultFolderName = "wg311";

// Among `candidates`, the one with the most free space (ties: the first);
// the first candidate when none can be examined; empty when there is none.
std::string ChooseSaveRoot(const std::vector<std::string>& candidates,
                           const std::function<int64_t(const std::string&)>& free_space);

class DownloadSession {
public:
    DownloadSession(PackageConfig config, SessionEnvironment environment);

    int Initialize();
    // File i is unchanged-complete: its target exists and its local last-write
    // time and size match the recorded finish information text for text. With
    // `note`, a file that is not is added (once) to the reload list.
    bool IsFileUnchangedComplete(int index, bool note);
    void ReloadTasks();
    // Re-creates task i through RecoverAndContinueTask; the engine's code.
    int32_t ReloadFileTask(int index, bool force);
    // The task record of file i: flags, sources, target, information path,
    // with the torrent extracted into the work folder (a P2SP task) when that
    // works. *extracted tells whether it did.
    TaskRequest PrepareTaskRequest(int index, bool* extracted);
    // Task hash, creation stamp and time, (in states 0 and 1) the four URL
    // and file-name keys, installer name and folder name.
    void WriteCreationKeys();
    void RecordFinishInfo(int index);
    // Pre-allocation when the save folder's file system supports it, else
    // sparse files when possible.
    void ChooseDiskMode();

    // Getters for the main window.
    const std::string& SaveFolder() const { return m_save_folder; }
    void SetSaveFolder(const std::string& folder) { m_save_folder = folder; }
    std::string VersionText() const { return "游戏版本：v0.0.3.11"; }
    // Save folder + "/" + installer file name; empty without a save folder.
    std::string SetupFilePath() const;
    const std::string& FileName(int index) const { return m_config.names[size_t(index)]; }
    // The remembered close-dialog choice; -1 without a settings file.
    int CloseSelection() const;

    // Values the controller works with.
    const PackageConfig& Config() const { return m_config; }
    const AppPaths& Paths() const { return m_paths; }
    const SettingsFile& Settings() const { return m_settings; }
    int State() const { return m_state; }
    void SetState(int state) { m_state = state; }
    const std::string& TaskHash() const { return m_task_hash; }
    const std::string& InstallerName() const { return m_installer_name; }
    const std::string& InfoPath(int index) const { return m_info_paths[size_t(index)]; }
    TaskRequest& Request(int index) { return m_requests[size_t(index)]; }
    TaskHandle Handle(int index) const { return m_handles[size_t(index)]; }
    void SetHandle(int index, TaskHandle handle) { m_handles[size_t(index)] = handle; }
    bool FileComplete(int index) const { return m_requests[size_t(index)].complete != 0; }
    const std::vector<int>& ReloadList() const { return m_reload_list; }
    bool TasksRunning() const { return m_tasks_running; }
    void SetTasksRunning(bool running) { m_tasks_running = running; }
    bool ReloadFailed() const { return m_reload_failed; }
    DiskMode Mode() const { return m_disk_mode; }
    int HttpConnectionLimit() const { return m_http_limit; }
    uint64_t LastSize() const { return m_last_size; }
    const std::string& StatsConfigPath() const { return m_stats_config_path; }
    std::string TargetPath(int index) const;

private:
    bool ExtractStatsConfig();
    void StartStatistics();
    void UseDefaults();
    RecoveryFlags ReadSettings();
    void BuildDefaultInfoPaths();
    void ApplyOutcome(RecoveryOutcome outcome);
    std::string DefaultSaveFolder() const;
    void Note(int index);
    void Message(const std::string& text) const;
    void Event(uint32_t code, const std::string& text, int32_t kind = 0) const;
    void Sleep(int milliseconds) const;

    PackageConfig m_config;
    SessionEnvironment m_env;
    AppPaths m_paths;
    SettingsFile m_settings{""};
    int m_state = 0;
    std::string m_save_folder;
    std::string m_task_hash;
    std::string m_installer_name;
    std::string m_folder_name = DefaultFolderName;
    std::string m_stats_config_path;
    std::array<std::string, PackageFileCount> m_info_paths;
    std::array<TaskRequest, PackageFileCount> m_requests;
    std::array<TaskHandle, PackageFileCount> m_handles{};
    std::vector<int> m_reload_list;
    uint64_t m_last_size = 0;
    int m_http_limit = DefaultHttpConnectionLimit;
    bool m_tasks_running = false;
    bool m_reload_failed = false;
    DiskMode m_disk_mode = DiskMode::Plain;
};

}  // namespace app
