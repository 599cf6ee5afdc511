#include "engine/frame/WorkList.h"

#include <algorithm>
#include <optional>

#include "engine/frame/EngineClock.h"
#include "engine/frame/EngineLocks.h"
#include "engine/frame/SharedServices.h"
#include "platform/Random.h"

namespace engine {

namespace {

// All guarded by WorkListMutex.
std::vector<TBaseWork*>& List() {
    static std::vector<TBaseWork*> list;
    return list;
}
SharedServiceHooks& Hooks() {
    static SharedServiceHooks hooks;
    return hooks;
}
std::optional<std::array<uint8_t, 8>>& Identity() {
    static std::optional<std::array<uint8_t, 8>> identity;
    return identity;
}

void CreateIdentityIfMissing() {
    if (Identity()) return;
    std::array<uint8_t, 16> uuid = platform::NewUuid();
    std::array<uint8_t, 8> id{};
    std::copy_n(uuid.begin(), id.size(), id.begin());
    if (id[0] == 0) id[0] = 1;
    Identity() = id;
}

}  // namespace

void RegisterWork(TBaseWork* task) {
    QTMutexLocker lock(WorkListMutex());
    auto& list = List();
    bool first = list.empty();
    if (std::find(list.begin(), list.end(), task) == list.end()) list.push_back(task);
    if (!first) return;
    EnsureTimeThread();
    CreateIdentityIfMissing();
    StartSharedServicesForFirstTask();
    if (Hooks().start_first) Hooks().start_first();
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
    if (Hooks().stop_last) Hooks().stop_last();
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

void SetSharedServiceHooks(SharedServiceHooks hooks) {
    QTMutexLocker lock(WorkListMutex());
    Hooks() = std::move(hooks);
}

std::array<uint8_t, 8> NodeIdentity() {
    QTMutexLocker lock(WorkListMutex());
    CreateIdentityIfMissing();
    return *Identity();
}

}  // namespace engine
