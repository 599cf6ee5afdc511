#pragma once
// The process-wide list of live tasks and the start and end of the services
// the tasks share. The first task registered starts the clock thread, creates
// the node identity and runs the shared-services start hook; the last one
// unregistered runs the stop hook. Everything here is guarded by the
// WorkListMutex; any thread may call.

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/base/NodeIdentity.h"

namespace engine {

class TBaseWork;

void RegisterWork(TBaseWork* task);
void UnregisterWork(TBaseWork* task);
// Whether `task` is in the list; the pointer is compared, never followed.
bool IsLiveWork(const void* task);
// The tasks in creation order.
std::vector<TBaseWork*> WorkListSnapshot();

// The network layers plug in here: the UDP server with its rendezvous
// client, the listeners and the LAN membership start with the first task and
// stop with the last. Both run under the WorkListMutex; the start hooks in
// the order they were added, the stop hooks in the reverse order.
struct SharedServiceHooks {
    std::function<void()> start_first;
    std::function<void()> stop_last;
};
// Adds one service's hooks beside the others.
void AddSharedServiceHooks(SharedServiceHooks hooks);
// Replaces every registration with these hooks (tests).
void SetSharedServiceHooks(SharedServiceHooks hooks);


}  // namespace engine
