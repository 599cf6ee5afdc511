#pragma once
// The production IEngineCalls: forwards every call to the engine's flat
// extern "C" interface (engine/frame/EngineApi.h), copying the downloader's
// task record into the engine's fixed-size TaskParams. Stateless; any thread.

#include "app/EngineCalls.h"

namespace app {

class EngineCallsApi final : public IEngineCalls {
public:
    int32_t EngineInitialize(const std::string& work_folder) override;
    int32_t EngineShutdown() override;
    // A text longer than the record's 4095-character fields is refused
    // (-101) rather than cut, so a task never starts on a truncated path.
    int32_t CreateAndStartTask(TaskRequest& request) override;
    int32_t RecoverAndContinueTask(TaskRequest& request, bool force) override;
    int32_t StartTask(TaskHandle handle) override;
    int32_t StopTask(TaskHandle handle, bool reset) override;
    int32_t StopTasks(const std::vector<TaskHandle>& handles, bool reset) override;
    int32_t QueryTaskStatus(TaskHandle handle, TaskStatusInfo* status) override;
    int32_t IsTaskComplete(TaskHandle handle, bool* complete) override;
    int32_t SetTaskSpeedLimit(TaskHandle handle, int32_t direction, int32_t value_kib) override;
    int32_t SetTaskConnectionLimits(TaskHandle handle, int32_t web_limit, int32_t bt_limit) override;
    int32_t ClearTaskIpSources(TaskHandle handle) override;
    int32_t AddTaskIpSources(TaskHandle handle, const std::string& url_text, const std::string& host_text) override;
    int32_t SetListenPort(uint16_t port) override;
    int32_t SetRendezvousServer(const std::string& host, int32_t port) override;
    int32_t SetP2PEnabled(bool enabled) override;
    void SetHttpHandshakePrefix(bool enabled) override;
    int64_t GetDiskFreeBytes(const std::string& path) override;
    int64_t GetFileAllocatedSize(const std::string& path) override;
    int32_t ShowMessageBoxAsync(const std::string& text, const std::string& caption) override;
};

}  // namespace app
