#pragma once
// The downloader's one object of application logic. It drives the four
// engine tasks of the package (one per file), keeps the application state
// (AppState.h), writes the settings file, shares the user's limits among the
// running tasks, reacts to the tasks' state codes with messages and sends the
// statistics events. Start-up and recovery are its DownloadSession; front
// ends only call its operations and show the texts it returns, so every
// decision stays here and a window, a terminal or a test drive it alike.
//
// Owner: the front end's main object, for the whole run of the program.
// Threads: a front end calls UpdateState every 100 ms and PollTasks every
// 1000 ms (each from its own timer thread), the operations and text getters
// from its UI thread; the resource-list application runs on a thread of the
// controller's own, verification (a later component) on another.
// Lock: m_lock, one recursive mutex of the controller's own, guards every
// value of the controller and its session; every public operation takes it
// for its whole duration, so an operation sees and leaves consistent values
// (the state, the completion flags and the handles change together). Engine
// calls are made under it (lock order: controller, then the engine's API
// lock); the engine never calls back into the controller, and nothing the
// controller calls while holding it waits for a thread that needs it: the
// hooks that may wait for the user run after the lock is released, and the
// resource-list thread takes the lock only for short reads. The verification
// and repair progress values, written for every 4 KiB read by the
// verification thread, are atomics read without the lock.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/AppState.h"
#include "app/DownloadSession.h"
#include "app/EngineCalls.h"
#include "app/LimitSharing.h"
#include "app/ResourceList.h"

namespace app {

// What the controller hands to the parts built on it and to the platform.
// Every member may be left empty.
struct ControllerHooks {
    // Main button in state 8 (after event 11070000): ask whether to verify
    // before installing. Empty: nothing more happens.
    std::function<void()> ask_verify_and_install;
    // Main button in state 12: start the installer, marked as verified.
    std::function<void(bool verified)> install;
    // Entering state 8 with "shut down when finished" ticked.
    std::function<void()> shutdown_computer;
    // One application of the resource list; runs on the controller's
    // resource-list thread. Empty: fetch the list (a bounded wait) and apply it.
    std::function<int(IEngineCalls& engine, const ResourceListTarget& target)> apply_resource_list;
    // A standard message box that waits for the user. Empty: the engine's
    // asynchronous message box.
    std::function<void(const std::string& text)> show_blocking_message;
};

class DownloadController {
public:
    // `environment.apply_speed_limit` is the controller's own; a value given
    // there is replaced.
    DownloadController(PackageConfig config, SessionEnvironment environment, ControllerHooks hooks = {});
    // Waits for a resource-list application still running and removes the
    // engine's event sink installed by Initialize.
    ~DownloadController();
    DownloadController(const DownloadController&) = delete;
    DownloadController& operator=(const DownloadController&) = delete;

    // Start-up: routes the engine's own statistics events (failed name
    // resolutions) to the statistics reporter, then the session's start-up
    // and recovery. Results as DownloadSession::Initialize: 0 start normally
    // (the user presses start), 1 tasks were restored, negative: quit.
    int Initialize();
    // The start-up expiry check against the resource list (2-second wait):
    // true when this downloader is expired; then *message is shown to the
    // user and *url (a web page, or empty) opened before quitting.
    bool CheckExpiry(std::string* message, std::string* url);

    // --- Called by the front end's timers ---------------------------------
    // Every 100 ms: progress, bytes on disk, the free-space watch, state
    // changes with their log lines. Returns the state.
    int UpdateState();
    // Every 1000 ms except in states 8 and 12: download seconds, completions,
    // the end of the download.
    void PollTasks();

    // --- Operations ------------------------------------------------------
    // The start/pause/continue/install button: what it does depends on the state.
    void OnMainButton();
    void BeginDownload();
    void Pause();
    void Resume();
    // KiB/s, 0 = none; shared among the running tasks.
    void SetSpeedLimit(int32_t limit_kib);
    // "下载完成后关机".
    void SetShutdownWhenFinished(bool on);
    // The P2P switch from the settings: applied to the engine now and again
    // with every speed text.
    void SetP2PEnabled(bool on);
    // Stores the remembered close-dialog choice in the settings file.
    void SetCloseSelection(int choice);

    // --- Texts and values for the front end ----------------------------------
    // Sums the rates, moves 3/6/15/16 to 4 when data flows, shares the
    // connection limits and starts the resource list while downloading.
    std::string SpeedText();
    std::string FileStatusText(int index);
    // Bytes on disk, "/", package size.
    std::string SizeText();
    int State() const;
    bool Blocked() const;
    std::string SaveFolder() const;
    void SetSaveFolder(const std::string& folder);
    // The user chose `folder` in the folder browser: in states 0 and 1 the
    // save folder becomes folder + "/wg311" and the state 1; refused (false)
    // once a download has begun.
    bool ChooseSaveFolder(const std::string& folder);
    // The window's buffer protocol: -2 without a save folder, the length when
    // buffer is null, 0 when it is too small, -1 after copying.
    int GetSaveFolder(char* buffer, size_t size) const;
    std::string VersionText() const;
    std::string SetupFilePath() const;
    std::string FileName(int index) const;
    int CloseSelection() const;
    bool ShutdownWhenFinished() const;
    bool P2PEnabled() const;
    int32_t SpeedLimit() const;  // KiB/s as stored: NoSpeedLimit for none
    // Values of the last UpdateState.
    uint32_t Progress() const;  // ten-thousandths
    uint64_t BytesOnDisk() const;
    // Ten-thousandths over the four files while verifying and repairing.
    uint32_t VerifyProgress() const;
    uint32_t RepairProgress() const { return uint32_t(m_repair_progress.load()); }
    std::string RepairRateText() const;
    bool MismatchSeen() const { return m_mismatch_seen.load(); }
    // A resource-list application is running (a new one is not started then).
    bool ResourceListRunning() const { return m_list_running.load(); }

    // --- For verification, repair, installation and exit -----------------
    void SetState(int state);
    void SetVerification(int index, uint32_t progress);
    void SetVerifyProgress(uint32_t progress) { m_verify_progress.store(int32_t(progress)); }
    int VerifyIndex() const { return m_verify_index.load(); }
    void SetRepair(uint32_t progress, int32_t rate);
    void SetMismatchSeen(bool seen) { m_mismatch_seen.store(seen); }
    // Re-creates task i (forced when repairing); the engine's code.
    int32_t ReloadFileTask(int index, bool force);
    bool ReloadFailed() const;
    int32_t StopTask(int index, bool reset);
    // False when file i has no task or its query fails.
    bool QueryTask(int index, TaskStatusInfo* status);
    bool FileComplete(int index) const;
    void RecordFinishInfo(int index);
    void WriteCreationKeys();
    std::string TargetPath(int index) const;
    const PackageConfig& Config() const { return m_config; }
    // The work values of start-up, under the controller's lock.
    template <typename F>
    auto WithSession(F f) {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        return f(m_session);
    }
    IEngineCalls& Engine() { return *m_engine; }
    // A message box captioned with the product title.
    void ShowMessage(const std::string& text);
    // Event with the transfer totals of this run.
    void SubmitStatsEvent(uint32_t code, const std::string& text);
    void SubmitEvent(uint32_t code, const std::string& text, int32_t kind = 0);
    void SubmitFileEvent(uint32_t code, const std::string& file_name, const std::string& text);
    // The overall progress, running the completion checks and the code
    // handler as a side effect (ten-thousandths).
    uint32_t OverallProgress();
    int RunningTaskCount();

private:
    struct FileProbe {
        bool has_task = false;
        bool answered = false;  // the status query returned 0
        TaskStatusInfo status;
    };
    using Probes = std::array<FileProbe, PackageFileCount>;

    Probes QueryAll();
    uint32_t ProgressOf(const Probes& probes) const;
    uint32_t ProgressWithChecks(const Probes& probes);
    void CheckCompletion(int index);
    void HandleCode(int32_t code);
    uint64_t SumBytesOnDisk(const Probes& probes);
    void WatchSparseSpace();
    void LogStateChange();
    void ApplySpeedLimit();
    void ShareConnectionLimitsIfChanged();
    void CreateFileTask(int index);
    void MainButtonLocked();
    void BeginDownloadLocked();
    // Hooks that may wait for the user (a modal question, a message box) or
    // start other work run after the operation has released m_lock, so the
    // timers keep running meanwhile.
    void Defer(std::function<void()> action);
    void RunDeferred();
    void StartResourceList();
    void CountResourceList();
    int RunResourceList(const ResourceListTarget& target);
    TransferTotals Totals();
    HttpGetOptions ResourceListOptions() const;
    void Log(const std::string& text) const;
    void Sleep(int milliseconds) const;

    const PackageConfig m_config;
    IEngineCalls* m_engine;
    IStatsReporter* m_stats;
    const ResourceModule* m_module;
    std::function<void(int)> m_sleep;
    std::string m_title;
    ControllerHooks m_hooks;

    mutable std::recursive_mutex m_lock;
    DownloadSession m_session;
    bool m_blocked = false;
    int32_t m_speed_limit = NoSpeedLimit;
    int32_t m_http_limit = DefaultHttpConnectionLimit;
    int32_t m_bt_limit = BtConnectionLimit;
    int32_t m_shared_http = -1;   // the HTTP limit of the last sharing
    int m_shared_running = -1;    // the running count of the last sharing
    bool m_shutdown_when_finished = false;
    bool m_p2p = false;
    uint32_t m_progress = 0;
    uint64_t m_bytes_on_disk = 0;
    uint64_t m_last_size = 0;
    uint32_t m_run_seconds = 0;
    uint32_t m_poll_count = 0;
    uint32_t m_list_counter = 0;
    uint64_t m_displayed_speed = 0;
    int32_t m_last_code_seen = 0;
    int32_t m_last_code_shown = 0;
    std::array<uint64_t, PackageFileCount> m_cached_web{};
    std::array<uint64_t, PackageFileCount> m_cached_peer{};
    int m_logged_state = -1;
    bool m_logged_blocked = false;

    std::atomic<int32_t> m_verify_index{0};
    std::atomic<int32_t> m_verify_progress{0};
    std::atomic<int32_t> m_repair_progress{0};
    std::atomic<int32_t> m_repair_rate{0};
    std::atomic<bool> m_mismatch_seen{false};

    // The resource-list thread; m_list_lock guards m_list_thread only.
    std::mutex m_list_lock;
    std::thread m_list_thread;
    std::atomic<bool> m_list_running{false};
    bool m_sink_installed = false;
    std::vector<std::function<void()>> m_deferred;  // under m_lock
};

}  // namespace app
