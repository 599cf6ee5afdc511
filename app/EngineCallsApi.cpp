#include "app/EngineCallsApi.h"

#include <cstring>
#include <memory>

#include "engine/frame/EngineApi.h"

namespace app {

namespace {

bool CopyText(char (&field)[TW_TEXT_CAPACITY], const std::string& text) {
    if (text.size() >= TW_TEXT_CAPACITY) return false;
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

::TaskHandle ToEngine(TaskHandle handle) { return reinterpret_cast<::TaskHandle>(handle); }

}  // namespace

int32_t EngineCallsApi::EngineInitialize(const std::string& work_folder) {
    return ::EngineInitialize(work_folder.c_str());
}

int32_t EngineCallsApi::RecoverAndContinueTask(TaskRequest& request, bool force) {
    // Three 4 KiB text fields: on the heap rather than the caller's stack.
    auto params = std::make_unique<TaskParams>();
    std::memset(params.get(), 0, sizeof(TaskParams));
    params->caller_words[0] = request.complete;
    if (!CopyText(params->main_source, request.main_source) || !CopyText(params->target, request.target) ||
        !CopyText(params->info_path, request.info_path)) {
        return TW_BAD_ARGUMENT;
    }
    params->source_text = request.source_text.empty() ? nullptr : request.source_text.c_str();
    params->flags = request.flags;
    int32_t rc = ::RecoverAndContinueTask(params.get(), force ? 1 : 0);
    if (rc == TW_OK) request.handle = reinterpret_cast<TaskHandle>(params->handle);
    return rc;
}

int32_t EngineCallsApi::ClearTaskIpSources(TaskHandle handle) { return ::ClearTaskIpSources(ToEngine(handle)); }

int32_t EngineCallsApi::AddTaskIpSources(TaskHandle handle, const std::string& url_text,
                                         const std::string& host_text) {
    return ::AddTaskIpSources(ToEngine(handle), url_text.c_str(), host_text.c_str());
}

int32_t EngineCallsApi::SetListenPort(uint16_t port) { return ::SetListenPort(port); }

int32_t EngineCallsApi::SetP2PEnabled(bool enabled) { return ::SetP2PEnabled(enabled ? 1 : 0); }

void EngineCallsApi::SetHttpHandshakePrefix(bool enabled) { ::SetHttpHandshakePrefix(enabled ? 1 : 0); }

int32_t EngineCallsApi::ShowMessageBoxAsync(const std::string& text, const std::string& caption) {
    return ::ShowMessageBoxAsync(nullptr, text.c_str(), caption.c_str(), 0);
}

}  // namespace app
