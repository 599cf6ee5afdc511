#pragma once
// The engine calls the downloader makes, as an interface: the download
// controller and start-up recovery call the engine only through it. The
// production implementation forwards to the engine's flat extern "C"
// interface; tests record the calls. Every method is called from the
// controller's threads; the engine serialises them itself.
//
// Also the statistics reporting the downloader does (IStatsReporter), whose
// production implementation is app/StatsReporterApi.h.

#include <cstdint>
#include <string>
#include <vector>

namespace app {

using TaskHandle = void*;

// TaskParams flag bits the downloader uses.
constexpr uint32_t TaskFlagExactTarget = 0x2;
constexpr uint32_t TaskFlagCarried = 0x100000;  // carried by the task, no effect
constexpr uint32_t TaskFlagP2sp = 0x1000000;
constexpr uint32_t PackageTaskFlags = TaskFlagCarried | TaskFlagExactTarget;

// What the downloader fills into the engine's TaskParams record for one file.
struct TaskRequest {
    int32_t complete = 0;      // first caller word: the file's completion flag
    std::string main_source;   // "file://" + torrent path for a P2SP task
    std::string source_text;   // web sources, one per line
    std::string target;        // full path of the target file (exact target)
    std::string info_path;     // task-information file
    uint32_t flags = 0;
    TaskHandle handle = nullptr;  // written by the engine on success
};

// What a status query tells about one task (the engine's TaskStatus without
// the name).
struct TaskStatusInfo {
    int32_t progress = 0;       // ten-thousandths
    int32_t state = 0;          // 0 or one of the Task* state codes below
    int32_t download_rate = 0;  // bytes per second
    int32_t remaining_s = 0;
    int32_t total_kib = 0;
    uint64_t web_bytes = 0;
    uint64_t peer_bytes = 0;
    uint64_t downloaded_bytes = 0;
};

// Task state codes the downloader reacts to.
constexpr int32_t TaskStateComplete = 20206;
constexpr int32_t TaskStateNetworkError = 20207;
constexpr int32_t TaskStateNoSize = 20209;
constexpr int32_t TaskStateDiskFull = 20210;
constexpr int32_t TaskStateNoSource = 20214;
constexpr int32_t TaskStateFileOpenFailed = 20215;

// SetTaskSpeedLimit directions.
constexpr int32_t DirectionUpload = 0;
constexpr int32_t DirectionDownload = 1;

class IEngineCalls {
public:
    virtual ~IEngineCalls() = default;
    virtual int32_t EngineInitialize(const std::string& work_folder) = 0;
    virtual int32_t EngineShutdown() = 0;
    virtual int32_t CreateAndStartTask(TaskRequest& request) = 0;
    virtual int32_t RecoverAndContinueTask(TaskRequest& request, bool force) = 0;
    virtual int32_t StartTask(TaskHandle handle) = 0;
    virtual int32_t StopTask(TaskHandle handle, bool reset) = 0;
    // Stops all of them at once and waits until every thread has ended.
    virtual int32_t StopTasks(const std::vector<TaskHandle>& handles, bool reset) = 0;
    virtual int32_t QueryTaskStatus(TaskHandle handle, TaskStatusInfo* status) = 0;
    virtual int32_t IsTaskComplete(TaskHandle handle, bool* complete) = 0;
    // KiB/s; 0 = no limit.
    virtual int32_t SetTaskSpeedLimit(TaskHandle handle, int32_t direction, int32_t value_kib) = 0;
    virtual int32_t SetTaskConnectionLimits(TaskHandle handle, int32_t web_limit, int32_t bt_limit) = 0;
    virtual int32_t ClearTaskIpSources(TaskHandle handle) = 0;
    virtual int32_t AddTaskIpSources(TaskHandle handle, const std::string& url_text, const std::string& host_text) = 0;
    virtual int32_t SetListenPort(uint16_t port) = 0;
    // The rendezvous server the engine's UDP service talks to.
    virtual int32_t SetRendezvousServer(const std::string& host, int32_t port) = 0;
    virtual int32_t SetP2PEnabled(bool enabled) = 0;
    virtual void SetHttpHandshakePrefix(bool enabled) = 0;
    // Bytes available on the file system of the path (its nearest existing
    // folder); 0 on failure.
    virtual int64_t GetDiskFreeBytes(const std::string& path) = 0;
    // Bytes the file (or its ".twtmp" companion) occupies; 0 when neither
    // exists, negative on other errors.
    virtual int64_t GetFileAllocatedSize(const std::string& path) = 0;
    // Shows a message without blocking the caller more than 2 s; 1 when shown.
    virtual int32_t ShowMessageBoxAsync(const std::string& text, const std::string& caption) = 0;
};

// The transfer totals a statistics event carries.
struct TransferTotals {
    uint32_t seconds = 0;  // download seconds of this run of the program
    uint64_t total_bytes = 0;
    uint64_t average_speed = 0;  // bytes per second; 0 without seconds
    uint64_t web_bytes = 0;
    uint64_t web_speed = 0;
    uint64_t peer_bytes = 0;
    uint64_t peer_speed = 0;
    std::string progress;  // progress format of the overall progress
    bool operator==(const TransferTotals&) const = default;
};

// Statistics reporting as the downloader uses it; never blocks the caller.
// Codes are the eight-digit event codes.
class IStatsReporter {
public:
    virtual ~IStatsReporter() = default;
    virtual void StartUploader(const std::string& config_path, const std::string& game_id,
                               const std::string& program_version, const std::string& game_version,
                               const std::string& channel) = 0;
    virtual void StopUploader() = 0;
    // Code, text and kind only.
    virtual void SubmitEvent(uint32_t code, const std::string& text, int32_t kind) = 0;
    // Code, file name and text.
    virtual void SubmitFileEvent(uint32_t code, const std::string& file_name, const std::string& text) = 0;
    // Code, the transfer totals and text.
    virtual void SubmitStatsEvent(uint32_t code, const TransferTotals& totals, const std::string& text) = 0;
};

}  // namespace app
