#include "app/EngineCallsApi.h"

#include <cstring>
#include <memory>
#include <vector>

#include "engine/frame/EngineApi.h"

namespace app {

namespace {

bool CopyText(char (&field)[TW_TEXT_CAPACITY], const std::string& text) {
    if (text.size() >= TW_TEXT_CAPACITY) return false;
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

::TaskHandle ToEngine(TaskHandle handle) { return reinterpret_cast<::TaskHandle>(handle); }

// The engine's record for `request`; null when a text does not fit.
std::unique_ptr<TaskParams> ToParams(const TaskRequest& request) {
    // Three 4 KiB text fields: on the heap rather than the caller's stack.
    auto params = std::make_unique<TaskParams>();
    std::memset(params.get(), 0, sizeof(TaskParams));
    params->caller_words[0] = request.complete;
    if (!CopyText(params->main_source, request.main_source) || !CopyText(params->target, request.target) ||
        !CopyText(params->info_path, request.info_path)) {
        return nullptr;
    }
    params->source_text = request.source_text.empty() ? nullptr : request.source_text.c_str();
    params->flags = request.flags;
    return params;
}

}  // namespace

int32_t EngineCallsApi::EngineInitialize(const std::string& work_folder) {
    return ::EngineInitialize(work_folder.c_str());
}

int32_t EngineCallsApi::EngineShutdown() { return ::EngineShutdown(); }

int32_t EngineCallsApi::CreateAndStartTask(TaskRequest& request) {
    std::unique_ptr<TaskParams> params = ToParams(request);
    if (!params) return TW_BAD_ARGUMENT;
    int32_t rc = ::CreateAndStartTask(params.get());
    if (rc == TW_OK) request.handle = reinterpret_cast<TaskHandle>(params->handle);
    return rc;
}

int32_t EngineCallsApi::RecoverAndContinueTask(TaskRequest& request, bool force) {
    std::unique_ptr<TaskParams> params = ToParams(request);
    if (!params) return TW_BAD_ARGUMENT;
    int32_t rc = ::RecoverAndContinueTask(params.get(), force ? 1 : 0);
    if (rc == TW_OK) request.handle = reinterpret_cast<TaskHandle>(params->handle);
    return rc;
}

int32_t EngineCallsApi::StartTask(TaskHandle handle) { return ::StartTask(ToEngine(handle)); }

int32_t EngineCallsApi::StopTask(TaskHandle handle, bool reset) { return ::StopTask(ToEngine(handle), reset ? 1 : 0); }

int32_t EngineCallsApi::StopTasks(const std::vector<TaskHandle>& handles, bool reset) {
    if (handles.empty()) return TW_OK;
    std::vector<::TaskHandle> engine_handles;
    for (TaskHandle h : handles) engine_handles.push_back(ToEngine(h));
    std::vector<int32_t> results(handles.size(), 0);
    return ::StopTasks(engine_handles.data(), static_cast<int32_t>(engine_handles.size()), reset ? 1 : 0,
                       results.data());
}

int32_t EngineCallsApi::QueryTaskStatus(TaskHandle handle, TaskStatusInfo* status) {
    auto record = std::make_unique<TaskStatus>();
    int32_t rc = ::QueryTaskStatus(ToEngine(handle), record.get());
    if (rc != TW_OK) return rc;
    status->progress = record->progress;
    status->state = record->state;
    status->download_rate = record->download_rate;
    status->remaining_s = record->remaining_s;
    status->total_kib = record->total_kib;
    status->web_bytes = record->web_bytes;
    status->peer_bytes = record->peer_bytes;
    status->downloaded_bytes = record->downloaded_bytes;
    return rc;
}

int32_t EngineCallsApi::IsTaskComplete(TaskHandle handle, bool* complete) {
    int32_t value = 0;
    int32_t rc = ::IsTaskComplete(ToEngine(handle), &value);
    *complete = rc == TW_OK && value != 0;
    return rc;
}

int32_t EngineCallsApi::SetTaskSpeedLimit(TaskHandle handle, int32_t direction, int32_t value_kib) {
    return ::SetTaskSpeedLimit(ToEngine(handle), direction, value_kib);
}

int32_t EngineCallsApi::SetTaskConnectionLimits(TaskHandle handle, int32_t web_limit, int32_t bt_limit) {
    return ::SetTaskConnectionLimits(ToEngine(handle), web_limit, bt_limit);
}

int64_t EngineCallsApi::GetDiskFreeBytes(const std::string& path) { return ::GetDiskFreeBytes(path.c_str()); }

int64_t EngineCallsApi::GetFileAllocatedSize(const std::string& path) {
    return ::GetFileAllocatedSize(path.c_str());
}

int32_t EngineCallsApi::ClearTaskIpSources(TaskHandle handle) { return ::ClearTaskIpSources(ToEngine(handle)); }

int32_t EngineCallsApi::AddTaskIpSources(TaskHandle handle, const std::string& url_text,
                                         const std::string& host_text) {
    return ::AddTaskIpSources(ToEngine(handle), url_text.c_str(), host_text.c_str());
}

int32_t EngineCallsApi::SetListenPort(uint16_t port) { return ::SetListenPort(port); }

int32_t EngineCallsApi::SetRendezvousServer(const std::string& host, int32_t port) {
    return ::SetRendezvousServer(host.c_str(), port);
}

int32_t EngineCallsApi::SetP2PEnabled(bool enabled) { return ::SetP2PEnabled(enabled ? 1 : 0); }

void EngineCallsApi::SetHttpHandshakePrefix(bool enabled) { ::SetHttpHandshakePrefix(enabled ? 1 : 0); }

int32_t EngineCallsApi::ShowMessageBoxAsync(const std::string& text, const std::string& caption) {
    return ::ShowMessageBoxAsync(nullptr, text.c_str(), caption.c_str(), 0);
}

}  // namespace app
