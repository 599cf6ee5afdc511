#pragma once
// Statistics events the engine raises itself (a host name that cannot be
// resolved, a piece that fails its check) leave it through one installed
// sink: the application routes them to its statistics reporter. Without a
// sink they are dropped. Any thread may report; the sink must only queue.

#include <cstdint>
#include <functional>
#include <string>

namespace engine {

using EngineEventSink = std::function<void(int32_t code, const std::string& text, int32_t kind)>;
void SetEngineEventSink(EngineEventSink sink);
void ReportEngineEvent(int32_t code, const std::string& text, int32_t kind);

}  // namespace engine
