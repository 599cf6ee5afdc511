// The task calls of the flat interface. Every call holds the EngineApiMutex
// for its whole duration (LockedCall), validates its handle against the
// WorkList and maps exceptions to -107 (-1 for the bitfield calls).

#include "engine/frame/EngineApi.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "engine/base/CTidewellLog.h"
#include "engine/frame/EngineApiGuard.h"
#include "engine/frame/EngineApiInternal.h"
#include "engine/frame/TWorkThread.h"
#include "engine/frame/TaskTraffic.h"
#include "engine/frame/WorkList.h"
#include "platform/Clock.h"

namespace engine {

TWorkThread* FindTask(TaskHandle handle) {
    auto* base = reinterpret_cast<TBaseWork*>(handle);
    if (!IsLiveWork(base)) return nullptr;
    // Every task in the WorkList is a TWorkThread.
    return static_cast<TWorkThread*>(base);
}

TaskHandle HandleOf(TWorkThread* task) { return reinterpret_cast<TaskHandle>(static_cast<TBaseWork*>(task)); }

namespace {

constexpr uint32_t StopPollMs = 50;

bool DuplicatesALiveTask(const TWorkThread& task) {
    QTMutexLocker lock(WorkListMutex());
    for (TBaseWork* other : WorkListSnapshot()) {
        if (other != &task && task.IsDuplicateOf(*other)) return true;
    }
    return false;
}

int32_t CreateCommon(TaskParams* params, bool recover, bool force) {
    if (!params) return TW_BAD_ARGUMENT;
    std::unique_ptr<TWorkThread> task(new (std::nothrow) TWorkThread);
    if (!task) return TW_NO_MEMORY;
    task->Configure(*params, !recover);
    if (!(recover && force) && DuplicatesALiveTask(*task)) return TW_DUPLICATE;
    TWorkThread* created = task.release();
    params->handle = HandleOf(created);
    const std::string& target = created->HasExactTarget() ? created->TargetFile() : created->SaveFolder();
    LogFormat(23, "%s %s, Download, ID : %lu] [Target File : (%s) ", recover ? "Recover" : "Create",
              created->KindName(), static_cast<unsigned long>(params->handle), target.c_str());
    return TW_OK;
}

// Runs `body` on the task a handle names, or returns -106.
template <class Body>
int32_t WithTask(TaskHandle handle, Body&& body) {
    return LockedCall<int32_t>(TW_TASK_FAILED, [&]() -> int32_t {
        TWorkThread* task = FindTask(handle);
        if (!task) return TW_UNKNOWN_HANDLE;
        return body(*task);
    });
}

}  // namespace

bool QueryTaskWebTraffic(TaskHandle handle, WebTraffic* out) {
    if (!out) return false;
    return WithTask(handle, [&](TWorkThread& t) -> int32_t {
               *out = t.PublishedWebTraffic();
               return TW_OK;
           }) == TW_OK;
}

namespace {

void EndOfRun(TWorkThread& task, int32_t reset) {
    task.ResetWebSourceMarks(task.HasMetainfoBytes());
    if (reset) task.ResetWork();
}

struct PendingStop {
    size_t index;
    TWorkThread* task;
    uint64_t thread_id;
};

}  // namespace

}  // namespace engine

using engine::LockedCall;
using engine::TWorkThread;

extern "C" {

int32_t CreateTask(TaskParams* params) {
    return LockedCall<int32_t>(TW_TASK_FAILED, [&] { return engine::CreateCommon(params, false, false); });
}

int32_t CreateAndStartTask(TaskParams* params) {
    return LockedCall<int32_t>(TW_TASK_FAILED, [&]() -> int32_t {
        int32_t result = engine::CreateCommon(params, false, false);
        if (result != TW_OK) return result;
        return engine::FindTask(params->handle)->StartDownload();
    });
}

int32_t RecoverTask(TaskParams* params, uint8_t force) {
    return LockedCall<int32_t>(TW_TASK_FAILED, [&] { return engine::CreateCommon(params, true, force != 0); });
}

int32_t RecoverAndContinueTask(TaskParams* params, uint8_t force) {
    return LockedCall<int32_t>(TW_TASK_FAILED, [&]() -> int32_t {
        int32_t result = engine::CreateCommon(params, true, force != 0);
        if (result != TW_OK) return result;
        return engine::FindTask(params->handle)->ContinueDownload();
    });
}

int32_t StartTask(TaskHandle task) {
    return engine::WithTask(task, [](TWorkThread& t) { return t.StartDownload(); });
}

int32_t StopTask(TaskHandle task, int32_t reset) {
    return engine::WithTask(task, [&](TWorkThread& t) -> int32_t {
        t.StopDownload();
        engine::EndOfRun(t, reset);
        return TW_OK;
    });
}

int32_t StopTasks(const TaskHandle* tasks, int32_t count, int32_t reset, int32_t* results) {
    return LockedCall<int32_t>(TW_TASK_FAILED, [&]() -> int32_t {
        if (count <= 0) return TW_OK;
        if (!tasks) return TW_BAD_ARGUMENT;
        std::vector<int32_t> own_results;
        if (!results) {
            own_results.resize(static_cast<size_t>(count));
            results = own_results.data();
        }
        // Ask every thread first, so they all wind down at the same time.
        std::vector<engine::PendingStop> pending;
        for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
            TWorkThread* task = engine::FindTask(tasks[i]);
            results[i] = task ? TW_OK : TW_UNKNOWN_HANDLE;
            if (!task) continue;
            results[i] = engine::GuardedCall<int32_t>(TW_TASK_FAILED, [&]() -> int32_t {
                uint64_t id = 0;
                task->RequestStop(&id);
                pending.push_back({i, task, id});
                return TW_OK;
            });
        }
        while (!pending.empty()) {
            auto ended = std::remove_if(pending.begin(), pending.end(), [&](const engine::PendingStop& p) {
                bool done = true;
                results[p.index] = engine::GuardedCall<int32_t>(TW_TASK_FAILED, [&]() -> int32_t {
                    done = p.task->HasEnded(p.thread_id);
                    if (done) engine::EndOfRun(*p.task, reset);
                    return TW_OK;
                });
                return done;
            });
            pending.erase(ended, pending.end());
            if (!pending.empty()) platform::SleepMs(engine::StopPollMs);
        }
        return TW_OK;
    });
}

int32_t QueryTaskStatus(TaskHandle task, TaskStatus* status) {
    return engine::WithTask(task, [&](TWorkThread& t) -> int32_t {
        if (!status) return TW_BAD_ARGUMENT;
        t.GetTaskStatus(status);
        return TW_OK;
    });
}

int32_t IsTaskComplete(TaskHandle task, int32_t* complete) {
    return engine::WithTask(task, [&](TWorkThread& t) -> int32_t {
        if (!complete) return TW_BAD_ARGUMENT;
        *complete = t.IsComplete() ? 1 : 0;
        return TW_OK;
    });
}

int32_t SetTaskSpeedLimit(TaskHandle task, int32_t direction, int32_t value_kib) {
    return engine::WithTask(task, [&](TWorkThread& t) { return t.SetSpeedLimit(direction, value_kib); });
}

int32_t SetTaskConnectionLimits(TaskHandle task, int32_t web_limit, int32_t bt_limit) {
    return engine::WithTask(task, [&](TWorkThread& t) -> int32_t {
        t.SetConnectionLimits(web_limit, bt_limit);
        return TW_OK;
    });
}

int32_t GetTaskBitfield(TaskHandle task, uint8_t* buffer, int32_t length) {
    return LockedCall<int32_t>(TW_BITFIELD_FAILED, [&]() -> int32_t {
        TWorkThread* t = engine::FindTask(task);
        if (!t) return TW_BITFIELD_FAILED;
        if (!buffer || length <= 0) return 0;
        std::vector<uint8_t> bits = t->Bitfield();
        size_t copied = std::min(static_cast<size_t>(length), bits.size());
        std::memcpy(buffer, bits.data(), copied);
        // The pieces the whole bitfield describes, however much of it the
        // buffer took: the caller learns how long a buffer it needs.
        uint64_t piece_count = t->Counters().piece_count;
        return static_cast<int32_t>(std::min<uint64_t>(uint64_t{bits.size()} * 8, piece_count));
    });
}

int32_t GetTaskBitfieldLength(TaskHandle task) {
    // Without the API lock (it may be asked while a call is in progress), but
    // a stale handle is still never followed.
    return engine::GuardedCall<int32_t>(TW_BITFIELD_FAILED, [&]() -> int32_t {
        TWorkThread* t = engine::FindTask(task);
        if (!t) return TW_BITFIELD_FAILED;
        return static_cast<int32_t>(t->Bitfield().size());
    });
}

int32_t ClearTaskIpSources(TaskHandle task) {
    return engine::WithTask(task, [](TWorkThread& t) -> int32_t {
        t.ClearIpSources();
        return TW_OK;
    });
}

int32_t AddTaskIpSources(TaskHandle task, const char* url_text, const char* host_text) {
    return engine::WithTask(task, [&](TWorkThread& t) -> int32_t {
        t.AddIpSources(url_text, host_text);
        return TW_OK;
    });
}

}  // extern "C"
