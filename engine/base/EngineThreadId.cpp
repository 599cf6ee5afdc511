#include "engine/base/EngineThreadId.h"

#include <atomic>

namespace engine {

namespace {
std::atomic<uint64_t> g_next_id{1};
thread_local uint64_t t_id = 0;
}  // namespace

uint64_t NewEngineThreadId() { return g_next_id.fetch_add(1, std::memory_order_relaxed); }

uint64_t CurrentEngineThreadId() {
    if (t_id == 0) t_id = NewEngineThreadId();
    return t_id;
}

void AdoptEngineThreadId(uint64_t id) { t_id = id; }

}  // namespace engine
