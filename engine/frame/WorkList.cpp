#include "engine/frame/WorkList.h"

#include <algorithm>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineLocks.h"
#include "engine/base/NodeIdentity.h"
#include "engine/frame/SharedServices.h"
#include "platform/Random.h"

namespace engine {

namespace {

// All guarded by WorkListMutex.
std::vector<TBaseWork*>& List() {
    static std::vector<TBaseWork*> list;
    return list;
}
std::vector<SharedServiceHooks>& Hooks() {
    static std::vector<SharedServiceHooks> hooks;
    return hooks;
}
}  // namespace

void RegisterWork(TBaseWork* task) {
    QTMutexLocker lock(WorkListMutex());
    auto& list = List();
    bool first = list.empty();
    if (std::find(list.begin(), list.end(), task) == list.end()) list.push_back(task);
    if (!first) return;
    EnsureTimeThread();
    NodeIdentity();
    StartSharedServicesForFirstTask();
    for (const SharedServiceHooks& hooks : Hooks()) {
        if (hooks.start_first) hooks.start_first();
    }
}

void UnregisterWork(TBaseWork* task) {
    QTMutexLocker lock(WorkListMutex());
    auto& list = List();
    auto it = std::find(list.begin(), list.end(), task);
    if (it == list.end()) return;
    list.erase(it);
    ForgetSharedTask(task);
    if (!list.empty()) return;
    StopSharedServicesForLastTask();
    for (auto hooks = Hooks().rbegin(); hooks != Hooks().rend(); ++hooks) {
        if (hooks->stop_last) hooks->stop_last();
    }
}

bool IsLiveWork(const void* task) {
    if (!task) return false;
    QTMutexLocker lock(WorkListMutex());
    const auto& list = List();
    return std::any_of(list.begin(), list.end(), [&](const TBaseWork* t) { return t == task; });
}

std::vector<TBaseWork*> WorkListSnapshot() {
    QTMutexLocker lock(WorkListMutex());
    return List();
}

void AddSharedServiceHooks(SharedServiceHooks hooks) {
    QTMutexLocker lock(WorkListMutex());
    Hooks().push_back(std::move(hooks));
}

void SetSharedServiceHooks(SharedServiceHooks hooks) {
    QTMutexLocker lock(WorkListMutex());
    Hooks().assign(1, std::move(hooks));
}

}  // namespace engine
