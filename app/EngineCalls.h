#pragma once
// The engine calls the downloader makes, as an interface: the download
// controller and start-up recovery call the engine only through it. The
// production implementation forwards to the engine's flat extern "C"
// interface; tests record the calls. Every method is called from the
// controller's threads; the engine serialises them itself.

#include <cstdint>
#include <string>

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

class IEngineCalls {
public:
    virtual ~IEngineCalls() = default;
    virtual int32_t EngineInitialize(const std::string& work_folder) = 0;
    virtual int32_t RecoverAndContinueTask(TaskRequest& request, bool force) = 0;
    virtual int32_t ClearTaskIpSources(TaskHandle handle) = 0;
    virtual int32_t AddTaskIpSources(TaskHandle handle, const std::string& url_text, const std::string& host_text) = 0;
    virtual int32_t SetListenPort(uint16_t port) = 0;
    virtual int32_t SetP2PEnabled(bool enabled) = 0;
    virtual void SetHttpHandshakePrefix(bool enabled) = 0;
    // Shows a message without blocking the caller more than 2 s; 1 when shown.
    virtual int32_t ShowMessageBoxAsync(const std::string& text, const std::string& caption) = 0;
};

// Statistics reporting as the downloader uses it; never blocks the caller.
class IStatsReporter {
public:
    virtual ~IStatsReporter() = default;
    virtual void StartUploader(const std::string& config_path, const std::string& game_id,
                               const std::string& program_version, const std::string& game_version,
                               const std::string& channel) = 0;
    virtual void SubmitEvent(uint32_t code, const std::string& text, int32_t kind) = 0;
};

}  // namespace app
