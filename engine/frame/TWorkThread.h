#pragma once
// One download task: the work loop and the task operations (start, continue,
// pause, stop, restart), status publication and the per-second statistics.
// The layers below supply configuration (TBaseWork), peers
// (TWorkWithPeers), pieces (TWorkWithPieces) and transfer counters
// (TWorkWithTransStatis).
//
// Owner: the WorkList; the handle of the flat interface is the address of the
// task's TBaseWork part. Threads: the loop runs on the task's work thread;
// the operations are called by engine calls under the EngineApiMutex. Lock:
// the task lock (QThread object lock) guards the status blocks, the options
// and the connection limits; the work thread takes it only to publish and at
// the end of a run. The run-state members below are work-thread only.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/frame/TWorkWithTransStatis.h"
#include "engine/udp/LanDiscovery.h"

namespace engine {

class TWorkThread : public TWorkWithTransStatis {
public:
    TWorkThread();
    ~TWorkThread() override;

    void Run() override;

    int32_t StopDownload();
    int32_t StartDownload();
    int32_t ContinueDownload();
    int32_t PauseDownload();
    // Stops, deletes the target file with its ".twtmp", ".twinfo" and
    // ".twinfodf" companions and the task-information file, and starts again
    // from nothing.
    int32_t RestartDownload();
    int32_t StartOrContinue();
    MetainfoSummary GetSourceInfo() { return Summary(); }
    void GetTaskStatus(TaskStatus* out);
    bool IsComplete();
    // The web traffic of the last published status.
    WebTraffic PublishedWebTraffic();
    int32_t SetSpeedLimit(int32_t direction, int32_t value_kib);
    // Each layer clears its per-run state (the piece map and the
    // configuration stay).
    void ResetWork();
    bool IsAcceptingIncoming();
    // A peer of `kind` from the pool (reinitialised) or a new one.
    TPeerObject* CreatePeer(int kind) override;
    void PublishStatus(bool force, bool wait) override;

    // Bytes the target file occupies, as last read by the loop.
    int64_t AllocatedFileSize() const { return m_allocated_size; }
    int32_t SpeedClass() const { return m_speed_class; }
    // Bytes received and sent since the task was created, as the per-second
    // statistics add them up (work thread).
    uint64_t SessionReceivedBytes() const override { return m_total_received; }
    uint64_t SessionSentBytes() const override { return m_total_sent; }

protected:
    // One pass of the inner work; returns the task clock (seconds).
    int64_t WorkStep();
    // The task's LAN discovery step, every 10 seconds: the first announces
    // the task on the local network, later ones add the peers that answered
    // or announced the same torrent.
    virtual void AnnounceOnLan();
    // The process-wide dispatch of incoming connections (SharedServices).
    void DispatchIncoming() override;
    void SendHaves(const std::vector<uint32_t>& pieces) override { SendHavesToPeers(pieces); }

private:
    void WorkLoop();
    bool Prepare();
    // The "file://" main source's bytes; false when it cannot be read or is
    // not bencoded dictionary text.
    bool ReadMainSourceTorrent(std::string* bytes);
    // Code 20211, and the run is asked to stop.
    void FailUnreadableTorrent();
    bool IsFinished(int64_t clock_s);
    bool NoSourceDelivers();
    bool IsDownloadComplete();
    void EndRun();
    void PoolDuty();
    // The block-request and socket pools' use checks (8-second duty, run end).
    void CheckSharedPools();
    void PumpPeers();
    void PerSecondStatistics();
    void SaveAndRefreshDuty(bool complete);
    void ConnectionDuties();
    void ReadAllocatedSize();
    uint32_t SecondsSinceStart();
    void SetPhase(TaskPhase phase);
    // Adds the payload kept since the last fold to the live status block;
    // the caller holds the task lock.
    void FoldKeptBytes();
    void ResetRunState();

    bool m_completed = false;
    int64_t m_completion_time = 0;
    bool m_no_source = false;
    bool m_no_size = false;
    int64_t m_mark15 = 0;
    int64_t m_mark8 = 0;
    int64_t m_mark10 = 0;
    uint32_t m_pool_duties = 0;
    int64_t m_allocated_size = 0;

    bool m_first_pump = true;
    uint32_t m_pass = 0;
    uint32_t m_service_divisor = 0;
    uint32_t m_request_divisor = 0;
    int32_t m_speed_class = 5;
    uint32_t m_last_dispatch_tick = 0;
    uint32_t m_last_second_tick = 0;
    uint32_t m_last_upkeep_uptime = 0;
    bool m_publish_requested = false;

    int64_t m_task_clock = 0;
    int32_t m_download_rate = 0;
    uint64_t m_total_received = 0;
    uint64_t m_total_sent = 0;
    uint64_t m_last_second_bytes = 0;
    uint32_t m_upload_slots = 8;
    bool m_save_requested = false;
    uint32_t m_last_save_uptime = 0;
    int64_t m_last_refresh_clock = 0;
    uint32_t m_last_have_uptime = 0;
    int m_slow_web_seconds = 0;
    int64_t m_last_ip_duty_clock = 0;
    int64_t m_last_slow_web_clock = 0;
    int64_t m_last_choke_clock = 0;
    LanTaskState m_lan;
};

}  // namespace engine
