#include "engine/frame/TWorkThread.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineDiskInfo.h"
#include "engine/base/EngineLocks.h"
#include "engine/base/EngineSettings.h"
#include "engine/net/NameResolver.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TFtpPeer.h"
#include "engine/peers/THttpPeer.h"
#include "engine/peers/TTrackerPeer.h"
#include "engine/peers/TPeerObject.h"
#include "engine/pieces/QBufferPool.h"
#include "platform/File.h"

namespace engine {

namespace {

constexpr char FileScheme[] = "file://";
// A torrent file larger than this is not a torrent the engine can use.
constexpr size_t TorrentFileLimit = 64u << 20;

bool StartsWithFileScheme(const std::string& url) {
    constexpr size_t n = sizeof(FileScheme) - 1;
    if (url.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = url[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != FileScheme[i]) return false;
    }
    return true;
}

}  // namespace

TWorkThread::TWorkThread() {
    // One class per kind; tests install scripted peers instead.
    SetPeerFactory([](int kind) -> TPeerObject* {
        switch (kind) {
            case PeerKindBt: return new TBTPeer;
            case PeerKindHttp: return new THttpPeer;
            case PeerKindFtp: return new TFtpPeer;
            case PeerKindTracker: return new TTrackerPeer;
            default: return nullptr;
        }
    });
}

TWorkThread::~TWorkThread() {
    // The loop uses members of every layer: end it before any of them goes.
    Stop();
    ResetWork();
}

int32_t TWorkThread::StopDownload() { return Stop() ? 0 : TW_TASK_FAILED; }

int32_t TWorkThread::StartDownload() { return Start("StartDownload") ? 0 : TW_TASK_FAILED; }

int32_t TWorkThread::ContinueDownload() {
    LoadTaskInfo();
    return Start("ContinueDownload") ? 0 : TW_TASK_FAILED;
}

int32_t TWorkThread::PauseDownload() { return SetPause(true) ? 0 : TW_TASK_FAILED; }

int32_t TWorkThread::StartOrContinue() { return StartDownload(); }

int32_t TWorkThread::RestartDownload() {
    LogLine("Download Restarted..", 2);
    if (StopDownload() != 0) return TW_TASK_FAILED;
    std::string target = TargetPath();
    if (!target.empty()) {
        for (const char* suffix : {"", ".twtmp", ".twinfo", ".twinfodf"}) platform::RemoveFile(target + suffix);
    }
    DeleteTaskInfo();
    {
        QTMutexLocker lock(ObjectLock());
        m_live.Reset();
        m_published.Reset();
    }
    // What the stopped run kept and never published belongs to the old file.
    TakeKeptBytes();
    TakeWebTraffic();
    ClearPieces();
    // The metainfo went with the pieces: its source is fetched again.
    ResetWebSourceMarks(false);
    ResetWork();
    return StartOrContinue();
}

void TWorkThread::GetTaskStatus(TaskStatus* out) {
    std::memset(out, 0, sizeof *out);
    QTMutexLocker lock(ObjectLock());
    const TaskStatusBlock& block = m_published;
    size_t name_length = std::min(block.name.size(), sizeof out->name - 1);
    std::memcpy(out->name, block.name.data(), name_length);
    out->progress = block.Progress();
    // Whatever code the task holds, a full download reads as complete.
    out->state = out->progress > 9999 ? TW_STATE_COMPLETE : block.code;
    out->download_rate = block.download_rate;
    out->remaining_s = block.remaining_s;
    out->total_kib = static_cast<int32_t>(std::min<uint64_t>(block.total_bytes / 1024, INT32_MAX));
    out->web_bytes = block.web_bytes;
    out->peer_bytes = block.peer_bytes;
    out->downloaded_bytes = block.downloaded_bytes;
}

bool TWorkThread::IsComplete() {
    QTMutexLocker lock(ObjectLock());
    return m_published.Progress() > 9999;
}

int32_t TWorkThread::SetSpeedLimit(int32_t direction, int32_t value_kib) {
    return SetLimit(direction, value_kib) ? 0 : TW_BAD_ARGUMENT;
}

void TWorkThread::ResetWork() {
    ResetBaseWork();
    ResetPeers();
    ResetPieceRun();
    ResetTransfers();
    ResetRunState();
}

bool TWorkThread::IsAcceptingIncoming() { return IsP2PEnabled() && IsRunning() && IsMetadataReady(); }

TPeerObject* TWorkThread::CreatePeer(int kind) {
    if (kind != PeerKindBt && kind != PeerKindHttp && kind != PeerKindFtp && kind != PeerKindTracker) {
        return nullptr;
    }
    TPeerObject* peer = TakePooledPeer(kind);
    if (!peer) peer = NewPeer(kind);
    if (peer) peer->Initialize(this);
    return peer;
}

void TWorkThread::PublishStatus(bool /*force: the status is copied whole either way*/, bool wait) {
    if (wait) {
        ObjectLock().Lock();
    } else if (!ObjectLock().TryLock()) {
        return;
    }
    FoldKeptBytes();
    m_published = m_live;
    ObjectLock().Unlock();
}

void TWorkThread::FoldKeptBytes() {
    const KeptBytes kept = TakeKeptBytes();
    // Bytes taken back were counted before, by this fold or an earlier one.
    auto add = [](uint64_t total, int64_t delta) {
        return delta >= 0 ? total + static_cast<uint64_t>(delta)
                          : total - std::min(total, static_cast<uint64_t>(-delta));
    };
    m_live.web_bytes = add(m_live.web_bytes, kept.web);
    m_live.peer_bytes = add(m_live.peer_bytes, kept.peer);
    const WebTraffic web = TakeWebTraffic();
    WebTraffic& total = m_live.web_traffic;
    total.requests += web.requests;
    total.received += web.received;
    total.skipped += web.skipped;
    total.duplicate += web.duplicate;
    total.discarded += web.discarded;
}

WebTraffic TWorkThread::PublishedWebTraffic() {
    QTMutexLocker lock(ObjectLock());
    return m_published.web_traffic;
}

void TWorkThread::SetPhase(TaskPhase phase) {
    QTMutexLocker lock(ObjectLock());
    m_live.phase = phase;
}

uint32_t TWorkThread::SecondsSinceStart() { return GetUptimeSeconds() - StartTime(); }

void TWorkThread::ReadAllocatedSize() {
    std::string target = TargetPath();
    if (target.empty()) return;
    int64_t size = FileAllocatedSize(target);
    if (size > 0) m_allocated_size = size;
}

void TWorkThread::Run() {
    try {
        WorkLoop();
    } catch (...) {
        // Nothing this run took may stay locked once it is gone.
        ObjectLock().UnlockAll();
        WorkListMutex().UnlockAll();
        SocketMutex().UnlockAll();
        StorageMutex().UnlockAll();
        // The run still ends as runs do: progress saved, status published.
        try {
            EndRun();
        } catch (...) {
            ObjectLock().UnlockAll();
        }
    }
}

bool TWorkThread::ReadMainSourceTorrent(std::string* bytes) {
    std::string path = MainSource().substr(sizeof(FileScheme) - 1);
    if (!platform::ReadWholeFile(path, bytes, TorrentFileLimit)) return false;
    return bytes->size() > 2 && ((*bytes)[0] == 'd' || (*bytes)[0] == 'D');
}

void TWorkThread::FailUnreadableTorrent() {
    {
        QTMutexLocker lock(ObjectLock());
        m_live.code = TW_STATE_TORRENT_UNREADABLE;
    }
    uint64_t id = 0;
    RequestStop(&id);
}

bool TWorkThread::Prepare() {
    ReadAllocatedSize();
    if ((IsP2sp() || IsBt()) && !MainSource().empty()) {
        SetPhase(TaskPhase::Stopped);
        if (StartsWithFileScheme(MainSource())) {
            std::string bytes;
            if (!ReadMainSourceTorrent(&bytes)) {
                FailUnreadableTorrent();
            } else if (!TakeMetainfo(bytes)) {
                // A torrent that does not load is no reason to stop: the copy
                // kept from an earlier run may stand in, and the web sources
                // may still deliver.
                TakeStoredMetainfo();
            }
        } else if (TakeStoredMetainfo()) {
            // The metainfo fetched in an earlier run: not fetched again.
            MarkMetainfoSourcesInUse();
        }
        SetPhase(TaskPhase::Running);
    }
    if (IsPlainHttp() || IsMetadataReady() || !WebSources().empty()) return true;
    // Nothing could deliver: the run ends, and says why.
    if (LiveStatus().code == 0) FailUnreadableTorrent();
    return false;
}

bool TWorkThread::IsDownloadComplete() {
    PieceCounters c = Counters();
    return c.piece_count > 0 && c.pieces_done >= c.piece_count;
}

bool TWorkThread::IsFinished(int64_t clock_s) {
    if (clock_s == 0) clock_s = GetClockSeconds();
    bool complete = IsDownloadComplete();
    if (complete && m_completion_time == 0) {
        m_completion_time = clock_s;
        if (LiveStatus().phase != TaskPhase::Checking) {
            CloseFiles();
            if (IsDownloadComplete()) m_completed = true;
        }
    }
    if (!complete) {
        m_completion_time = 0;
        return false;
    }
    PieceCounters c = Counters();
    if (IsPlainHttp() && c.downloaded_bytes >= c.total_bytes) return true;
    int32_t seeding_hours = Options().seeding_hours;
    return seeding_hours > 0 && (clock_s - m_completion_time) / 3600 >= seeding_hours;
}

bool TWorkThread::NoSourceDelivers() {
    if (LiveStatus().download_rate != 0) return false;
    if (SecondsSinceStart() <= 15) return false;
    if (!IsPlainHttp() && IsMetadataReady()) return false;
    return CandidateCount() == 0;
}

void TWorkThread::CheckSharedPools() {
    BufferPools::Check(BufferPools::BlockRequests(), BufferPools::CheckKind::BlockRequests, 15);
    BufferPools::Check(BufferPools::SocketBuffers(), BufferPools::CheckKind::SocketBuffers, 35);
}

void TWorkThread::PoolDuty() {
    CheckSharedPools();
    if (m_pool_duties++ % 4 == 0) {
        BufferPools::Sha1States().Trim(262144);
        ReturnedBlockUpkeep();
        m_publish_requested = true;
    }
}

void TWorkThread::WorkLoop() {
    LoadTaskInfo();
    if (!Prepare()) {
        // The run ends before its loop; its state code (20211) must still
        // reach the published block, or the application never learns why.
        SetPhase(TaskPhase::Stopped);
        CopyProgressToLive();
        PublishStatus(true, true);
        return;
    }
    SetPhase(TaskPhase::Running);
    ResetRunState();
    // Time spent stopped is not inactivity: a map kept from an earlier run
    // starts this one as active.
    MarkRunActive();
    if (!IsP2sp()) {
        // The sources are in place before the first pass, so its connection
        // cycle starts the first connection at once rather than a cycle (a
        // second) later. A P2SP task waits for the pass that sets up its
        // web claims: asked before, its web source would get one unranged
        // request that fetches the whole file.
        AddSourceUrls();
        ResolvePending();
        m_mark15 = m_task_clock != 0 ? m_task_clock : GetClockSeconds();
    }
    int64_t previous = 0;
    while (!IsStopRequested()) {
        if (IsFinished(previous)) {
            LogFormat(23, "TID : %5lu] [%s is Download Complete", static_cast<unsigned long>(GetThreadId()),
                      TargetPath().c_str());
            break;
        }
        ReadAllocatedSize();
        if (IsStopRequested()) break;
        int64_t now = WorkStep();
        previous = now;
        if (std::llabs(now - m_mark15) >= 15) {
            AddSourceUrls();
            ResolvePending();
            m_mark15 = now;
        }
        if (IsStopRequested()) break;
        if (!HasSize() && SecondsSinceStart() > static_cast<uint32_t>(Options().metadata_timeout_s)) {
            m_no_size = true;
            break;
        }
        if (IsStopRequested() || IsFinished(now) || IsStopRequested()) break;
        if (NoSourceDelivers()) {
            m_no_source = true;
            ResetWebSourceMarks(HasMetainfoBytes());
            break;
        }
        if (IsStopRequested()) break;
        if (std::llabs(now - m_mark8) >= 8) {
            m_mark8 = now;
            PoolDuty();
        }
        if (IsStopRequested()) break;
        if (std::llabs(now - m_mark10) >= 10) {
            m_mark10 = now;
            AnnounceOnLan();
        }
    }
    EndRun();
}

void TWorkThread::EndRun() {
    if (!m_completed) IsFinished(GetClockSeconds());
    ResetWebSourceMarks(HasMetainfoBytes());
    bool keep = !m_completed;
    bool no_source = m_no_source;
    bool no_size = m_no_size;
    bool completed = m_completed;
    ResetWork();
    if (keep) {
        SaveTaskInfo();
        // The buffered blocks of unfinished pieces, so the next run does not
        // fetch them again.
        SaveBlockDump();
    } else {
        DeleteTaskInfo();
    }
    {
        QTMutexLocker lock(ObjectLock());
        // A run that ends before its first publication still shows how far
        // the download got.
        CopyProgressToLive();
        m_live.phase = TaskPhase::Stopped;
        if (!completed) {
            if (no_source) {
                m_live.code = TW_STATE_NO_SOURCE;
            } else if (no_size) {
                m_live.code = TW_STATE_NO_SIZE;
            }
        }
        PublishStatus(true, true);
    }
    ResetWork();
    CheckSharedPools();
    BufferPools::Sha1States().Trim(10240);
    BufferPools::PieceBuffers().Trim(2097152);
    // A host that failed to resolve gets another chance in the next run.
    engine::ClearFailedHosts();
}

void TWorkThread::ResetRunState() {
    m_completed = false;
    m_completion_time = 0;
    m_no_source = false;
    m_no_size = false;
    m_mark15 = m_mark8 = m_mark10 = 0;
    m_lan = LanTaskState{};
    m_pool_duties = 0;
    m_first_pump = true;
    m_pass = 0;
    m_service_divisor = 0;
    m_request_divisor = 0;
    m_speed_class = 5;
    m_last_upkeep_uptime = 0;
    m_publish_requested = false;
    m_task_clock = 0;
    m_download_rate = 0;
    m_last_second_bytes = 0;
    m_save_requested = false;
    m_last_save_uptime = 0;
    m_last_refresh_clock = 0;
    m_last_have_uptime = 0;
    m_slow_web_seconds = 0;
    m_last_ip_duty_clock = 0;
    m_last_slow_web_clock = 0;
    m_last_choke_clock = 0;
}

}  // namespace engine
