#pragma once
// Plain records of a task: its option block, its status blocks and its web
// sources. Owned by the task (TBaseWork); guarded by the task lock where the
// owner says so.

#include <cstdint>
#include <string>

namespace engine {

// Per-task tuning values; Normalise() runs whenever a limit is set and when
// the piece map is created, so out-of-range values fall back to defaults.
struct TaskOptions {
    int32_t peer_ceiling = 52;
    int32_t tuning2 = 1;
    int32_t cache_units = 64;  // units of 256 KiB
    int32_t tuning4 = 1;
    int32_t seeding_hours = 12;
    int32_t download_limit_kib = 0;  // 0 = none
    int32_t upload_limit_kib = 0;    // 0 = none
    uint8_t flags_a[4] = {1, 1, 1, 0};
    int32_t spare_limit_kib = 0;
    uint8_t flags_b[6] = {1, 0, 0, 0, 0, 0};  // [5]: alternative verification
    int32_t connection_value = 32;
    int32_t metadata_timeout_s = 45;

    void Normalise();
};

// Where the bytes a task's web sources sent went, beyond the payload it kept
// (web_bytes): what a server sends and the task never uses is load the
// server carries for nothing, so the task counts it.
struct WebTraffic {
    uint64_t requests = 0;    // requests sent to web sources
    uint64_t received = 0;    // every byte read from web connections (headers included)
    uint64_t skipped = 0;     // body bytes read and dropped on the way to a wanted block
    uint64_t duplicate = 0;   // blocks that arrived when the task held them already
    uint64_t discarded = 0;   // body bytes read but still unused when a request was given up
};

// The phases of a run as the status block reports them.
enum class TaskPhase : int32_t { Stopped = 1, Checking = 3, Running = 4 };

struct TaskStatusBlock {
    TaskPhase phase = TaskPhase::Stopped;
    int32_t code = 0;
    std::string name;
    std::string info_hash_text;
    uint64_t total_bytes = 0;
    uint64_t downloaded_bytes = 0;
    uint32_t piece_count = 0;
    uint32_t pieces_done = 0;
    uint32_t piece_length = 0;
    int32_t download_rate = 0;
    int32_t remaining_s = 0;
    uint64_t web_bytes = 0;
    uint64_t peer_bytes = 0;
    WebTraffic web_traffic;
    // What the last tracker reply said: its announce interval (600 when it
    // gave none or less than 61 seconds) and its peer counts. The engine
    // schedules nothing from them; they are shown as they came.
    int32_t tracker_interval_s = 0;
    int64_t tracker_done_peers = 0;
    int64_t tracker_completed = 0;

    void Reset() { *this = TaskStatusBlock{}; }
    // downloaded * 10000 / total; 0 while the total is unknown.
    int32_t Progress() const;
};

// Marks a web source carries; 16 and 17 are set by the source layer while a
// run uses the source and return to 0 and 1 when the run ends.
enum class SourceMark : uint8_t { None = 0, Metainfo = 1, InUse = 16, MetainfoInUse = 17 };

struct WebSource {
    std::string url;
    SourceMark mark = SourceMark::None;
};

// Completion in ten-thousandths never needs more than 64 bits: sizes stay far
// below 2^50 bytes.
int32_t ProgressOf(uint64_t downloaded, uint64_t total);

}  // namespace engine
