#pragma once
// The engine's statistics uploader. Reports format their event text on the
// caller's thread and only queue it; this thread ("CollectDataUpload") wakes
// once a second, hands the queued events to the statistics component and
// submits them as one batch, so no reporter ever waits for the network.
//
// One instance per process (see DataUploadApi.h), created and started by
// StartDataUpload, stopped at exit. Threads: any thread calls Queue; Run and
// everything it calls execute on the uploader thread, which alone talks to the
// component. Locks: m_queue_lock guards m_queue only and is held just for an
// append or a swap, never while the component or the network is busy;
// m_counters_lock guards m_counters. The texts and the ready flag are set by
// Configure before the thread starts and only read afterwards.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "engine/base/QThread.h"

namespace engine {

class IDataStatisticsUser;

class DataUpload final : public QThread {
public:
    // One queued event: owned by the queue until handed over.
    struct EventRecord {
        std::string code;
        std::string text;  // JSON members, starting with ","
        int32_t kind = 0;  // bits 0, 1, 2: processor, memory, video card entries
    };

    // What the uploader did, for diagnostics and tests.
    struct Counters {
        uint64_t handed_over = 0;   // events given to AddEvent
        uint64_t accepted = 0;      // AddEvent answered 1
        uint64_t refused = 0;       // AddEvent answered anything else
        uint64_t refused_full = 0;  // ... of which 18 (batch full)
        uint64_t submissions = 0;   // batches submitted
        int32_t last_submit_result = -1;
    };

    // The wait between two passes; by default one second of sleep.
    using IntervalWait = std::function<void(DataUpload& self)>;

    // Period of the run loop: at most one batch per second.
    static constexpr uint32_t IntervalMs = 1000;

    explicit DataUpload(IDataStatisticsUser* component);
    ~DataUpload() override;

    // Passes the configuration path to the component and makes the uploader
    // ready; the four texts are stored only when all four are given (null
    // pointers mean "not given").
    void Configure(const char* config_path, const char* game_id, const char* app_version,
                   const char* game_version, const char* channel);
    // Ready: configured, and game id, application version and game version set.
    bool IsReady() const;
    const std::string& GameId() const { return m_game_id; }
    const std::string& AppVersion() const { return m_app_version; }
    const std::string& GameVersion() const { return m_game_version; }
    const std::string& Channel() const { return m_channel; }
    bool HasComponent() const { return m_component != nullptr; }

    // Appends a record to the queue; false (record dropped) when not ready.
    bool Queue(EventRecord record);
    size_t QueuedCount();
    Counters GetCounters();

    // Replaces the one-second sleep; set before Start (tests gate the passes).
    void SetIntervalWait(IntervalWait wait) { m_wait = std::move(wait); }

    void Run() override;
    void UpdateProgress() override {}

private:
    // Hands one record to the component; returns whether it was counted.
    void HandOver(const EventRecord& record);
    void LogHandOverException(const EventRecord& record, const char* what);

    IDataStatisticsUser* m_component;  // not owned; outlives the thread
    bool m_configured = false;
    std::string m_game_id;
    std::string m_app_version;
    std::string m_game_version;
    std::string m_channel;
    IntervalWait m_wait;

    std::mutex m_queue_lock;
    std::deque<EventRecord> m_queue;

    // Events handed over since the last submission; uploader thread only.
    uint32_t m_pending = 0;

    std::mutex m_counters_lock;
    Counters m_counters;
};

}  // namespace engine
