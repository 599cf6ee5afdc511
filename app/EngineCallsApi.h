#pragma once
// The production IEngineCalls: forwards every call to the engine's flat
// extern "C" interface (engine/frame/EngineApi.h), copying the downloader's
// task record into the engine's fixed-size TaskParams. Stateless; any thread.

#include "app/EngineCalls.h"

namespace app {

class EngineCallsApi final : public IEngineCalls {
public:
    int32_t EngineInitialize(const std::string& work_folder) override;
    // A text longer than the record's 4095-character fields is refused
    // (-101) rather than cut, so a task never starts on a truncated path.
    int32_t RecoverAndContinueTask(TaskRequest& request, bool force) override;
    int32_t ClearTaskIpSources(TaskHandle handle) override;
    int32_t AddTaskIpSources(TaskHandle handle, const std::string& url_text, const std::string& host_text) override;
    int32_t SetListenPort(uint16_t port) override;
    int32_t SetP2PEnabled(bool enabled) override;
    void SetHttpHandshakePrefix(bool enabled) override;
    int32_t ShowMessageBoxAsync(const std::string& text, const std::string& caption) override;
};

}  // namespace app
