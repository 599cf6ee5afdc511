#pragma once
// Engine-side figures of a task that the flat status record does not carry:
// where its web sources' bytes went. Read by the fetch tool (benchmarks) and
// by tests; any thread, under the engine's API lock like every call.

#include "engine/base/EngineTypes.h"
#include "engine/base/TaskTypes.h"

namespace engine {

// The web traffic of the task's last published status; false for a handle
// that names no live task.
bool QueryTaskWebTraffic(TaskHandle task, WebTraffic* out);

}  // namespace engine
