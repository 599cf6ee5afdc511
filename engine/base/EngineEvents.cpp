#include "engine/base/EngineEvents.h"

#include <mutex>

namespace engine {

namespace {

struct SinkSlot {
    std::mutex mutex;
    EngineEventSink sink;
};

SinkSlot& Slot() {
    static auto* slot = new SinkSlot;  // outlives every reporting thread
    return *slot;
}

}  // namespace

void SetEngineEventSink(EngineEventSink sink) {
    SinkSlot& slot = Slot();
    std::lock_guard lock(slot.mutex);
    slot.sink = std::move(sink);
}

void ReportEngineEvent(int32_t code, const std::string& text, int32_t kind) {
    EngineEventSink sink;
    {
        SinkSlot& slot = Slot();
        std::lock_guard lock(slot.mutex);
        sink = slot.sink;
    }
    // Called outside the lock: a sink that reports again must not deadlock.
    if (sink) sink(code, text, kind);
}

}  // namespace engine
