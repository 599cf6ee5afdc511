// The inner work of a task's loop: one pass (WorkStep), the peer pump and the
// once-a-second statistics with their duties. Work thread only.

#include <algorithm>
#include <cstdlib>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineSettings.h"
#include "engine/frame/TWorkThread.h"
#include "engine/peers/TClaims.h"
#include "engine/pieces/TPieces.h"
#include "platform/Clock.h"

namespace engine {

namespace {

// Incoming connections are dispatched about twice a second and the rates are
// rolled once a second (millisecond ticks, wrap-safe differences).
constexpr uint32_t DispatchIntervalMs = 400;
constexpr uint32_t StatisticsIntervalMs = 1000;
// Peers that have this much pending are serviced in every pass.
constexpr uint32_t UpkeepIntervalS = 3;
// A busy task saves its state at least this often.
constexpr uint32_t SaveIntervalS = 20;
constexpr int64_t RefreshIntervalS = 5;
// An incomplete task whose piece map saw nothing for a quarter of an hour
// gives up its run.
constexpr int64_t InactivityLimitS = 900;
// Which BitTorrent peers we choke is decided this often.
constexpr int64_t ChokeIntervalS = 10;
constexpr int32_t SlowWebRateBps = 1024;
constexpr int SlowWebSecondsInARow = 16;
constexpr int64_t AddressSourceIntervalS = 31;
constexpr int64_t SlowWebPeerIntervalS = 45;
constexpr uint32_t SlowWebPeerGraceS = 45;

struct SpeedStep {
    uint64_t above_bytes;
    int32_t speed_class;
    uint32_t service_divisor;
};
// The faster the task, the shorter the pass delay (class + 1 ms) and the more
// passes between services of idle peers.
constexpr SpeedStep SpeedSteps[] = {
    {3145728, 1, 14}, {1536000, 2, 9}, {819200, 3, 7}, {307200, 4, 6}, {0, 5, 5},
};

}  // namespace

int64_t TWorkThread::WorkStep() {
    const bool had_size = HasSize();
    PumpPeers();
    PieceLayerStep();
    if (!had_size && HasSize()) {
        // A source's reply just told the size: the task's other web
        // connections start now, not a cycle (up to a second) later.
        RestartWebCycle();
        ConnectWebSources();
    }
    bool complete = IsDownloadComplete();
    // A finished task that only talks to trackers has nothing urgent to do.
    if (complete && OnlyTrackerPeersForAMinute()) platform::SleepMs(200);
    if (m_publish_requested && ObjectLock().TryLock()) {
        ApplyPendingPeerChanges();
        // The progress goes into the live block first: published after it,
        // the block is current, and a download that just completed is seen
        // as complete now rather than a second later.
        UpdateProgress();
        PublishStatus(true, true);
        m_publish_requested = false;
        ObjectLock().Unlock();
    }
    uint32_t uptime = GetUptimeSeconds();
    if (uptime - m_last_upkeep_uptime > UpkeepIntervalS) {
        PeerUpkeep(complete);
        m_last_upkeep_uptime = uptime;
    }
    if (complete) {
        PauseForPeers(static_cast<uint32_t>(m_speed_class + 1));
    } else {
        platform::SleepMs(static_cast<uint32_t>(m_speed_class + 1));
    }
    return m_task_clock != 0 ? m_task_clock : GetClockSeconds();
}

void TWorkThread::PumpPeers() {
    if (m_service_divisor == 0) m_service_divisor = 6;
    if (m_request_divisor == 0) m_request_divisor = 18;
    uint32_t tick = platform::TickCount();
    if (m_first_pump || tick - m_last_dispatch_tick >= DispatchIntervalMs) {
        DispatchIncoming();
        m_last_dispatch_tick = platform::TickCount();
    }
    PeerPumpPass pass;
    pass.pass = m_pass;
    pass.complete = IsDownloadComplete();
    if (m_first_pump || tick - m_last_second_tick >= StatisticsIntervalMs) {
        m_first_pump = false;
        PerSecondStatistics();
        m_last_second_tick = platform::TickCount();
        pass.every_peer_due = true;
        pass.extra_request_slots = m_last_second_bytes / 8192 < m_upload_slots ? std::max(m_upload_slots / 6, 1u) : 0;
    } else {
        pass.every_peer_due = m_pass % m_service_divisor == 0;
    }
    pass.service_divisor = m_service_divisor;
    pass.request_divisor = m_request_divisor;
    pass.upload_slots = m_upload_slots;
    ServicePeers(pass);
    if (TakeNewBtCandidates() && IsP2PEnabled()) ConnectBtPeers();
    if (!IsMetadataReady()) {
        ConnectWebSources();
        if (IsP2PEnabled()) {
            ConnectBtPeers();
        } else {
            DropPeers(PeerKindBt, 2, false);
        }
    }
    ++m_pass;
}

void TWorkThread::PerSecondStatistics() {
    SecondCounters second = TakeSecondCounters();
    bool complete = IsDownloadComplete();
    m_download_rate = complete ? 0 : static_cast<int32_t>((3 * second.block_payload_bytes + m_download_rate) / 4);
    m_total_received += complete ? second.payload_bytes : second.received_bytes;
    m_total_sent += second.sent_bytes;
    m_last_second_bytes = complete ? second.sent_bytes : second.received_bytes;

    for (const SpeedStep& c : SpeedSteps) {
        if (m_last_second_bytes > c.above_bytes || c.above_bytes == 0) {
            m_speed_class = c.speed_class;
            m_service_divisor = c.service_divisor;
            break;
        }
    }
    m_request_divisor = 3 * m_service_divisor;
    m_task_clock = GetClockSeconds();

    PeerRates rates = MeasuredPeerRates();
    PieceCounters pieces = Counters();
    int32_t remaining_s = 0;
    if (!complete && rates.download_bps >= 1024) {
        uint64_t missing = pieces.piece_count - std::min(pieces.pieces_done, pieces.piece_count);
        remaining_s = static_cast<int32_t>(std::min<uint64_t>(
            uint64_t{pieces.piece_length} * missing / static_cast<uint64_t>(rates.download_bps), INT32_MAX));
    }
    int32_t ceiling = static_cast<int32_t>(std::max<int64_t>((rates.download_bps + rates.upload_bps) / 4096 + 8, 52));
    m_upload_slots = static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(rates.upload_bps / 8192 - 8, 8), 20));
    CheckRequests();
    if (m_task_clock - m_last_choke_clock >= ChokeIntervalS) {
        m_last_choke_clock = m_task_clock;
        ChokeDecisions(m_upload_slots, complete);
    }
    TaskOptions options;
    {
        QTMutexLocker lock(ObjectLock());
        m_live.download_rate = m_download_rate;
        m_live.remaining_s = remaining_s;
        FoldKeptBytes();
        m_options.peer_ceiling = ceiling;
        options = m_options;
    }
    RecomputeAllowances(options);

    m_publish_requested = true;
    if (HasSize()) SaveAndRefreshDuty(complete);
    uint32_t uptime = GetUptimeSeconds();
    if (uptime - m_last_have_uptime > HaveBatchSeconds) {
        std::vector<uint32_t> haves = TakeHaveQueue();
        if (!haves.empty()) {
            SendHaves(haves);
            m_last_have_uptime = uptime;
        }
    }
    if (!complete) {
        ConnectionDuties();
    } else if (IsP2PEnabled()) {
        // A complete task still announces itself (and meets the peers the
        // trackers name): a seed nobody can find serves nobody.
        ConnectBtPeers();
    }
}

void TWorkThread::SaveAndRefreshDuty(bool complete) {
    uint32_t uptime = GetUptimeSeconds();
    if (m_save_requested || uptime - m_last_save_uptime > SaveIntervalS) {
        if (!m_completed) {
            FlushComplete();
            IsFinished(m_task_clock);
        }
        if (m_completed) {
            CloseFiles();
            DeleteTaskInfo();
        } else {
            SaveTaskInfo();
        }
        m_save_requested = false;
        m_last_save_uptime = uptime;
    }
    if (m_task_clock - m_last_refresh_clock > RefreshIntervalS) {
        {
            QTMutexLocker lock(ObjectLock());
            SetCacheSize(m_options.cache_units, true);
            PublishStatus(true, true);
            // The piece map keeps its activity on the engine clock, as the task clock is.
            const int64_t last_activity = PieceMap() ? PieceMap()->LastActivity() : 0;
            if (!complete && last_activity != 0 && m_task_clock - last_activity >= InactivityLimitS) {
                uint64_t id = 0;
                RequestStop(&id);
            }
        }
        MaintainCache();
        LimitOpenFiles();
        m_last_refresh_clock = m_task_clock;
    }
}

void TWorkThread::ConnectionDuties() {
    ConnectWebSources();
    if (IsP2PEnabled()) {
        ConnectBtPeers();
    } else {
        DropPeers(PeerKindBt, 2, false);
    }
    int32_t web_limit = WebLimit();
    if (SourceKindRate(PeerKindsWeb) < SlowWebRateBps) {
        if (++m_slow_web_seconds >= SlowWebSecondsInARow) {
            if (ConnectedWebPeers() < web_limit) {
                ReAddSavedSources(true);
                ResolvePending();
            }
            m_slow_web_seconds = 0;
        }
    } else {
        m_slow_web_seconds = 0;
    }
    if (IpSourcesInUse()) {
        if (m_task_clock - m_last_ip_duty_clock >= AddressSourceIntervalS) {
            m_last_ip_duty_clock = m_task_clock;
            int count = ConnectedWebPeers();
            if (count >= web_limit) {
                DropPeers(PeerKindsWeb, count - web_limit + 1, true);
                count = web_limit - 1;
            }
            AddRandomSources(std::max(web_limit - count, 1));
            ResolvePending();
        }
    } else if (SecondsSinceStart() > SlowWebPeerGraceS && SpreadsWebSources() &&
               m_task_clock - m_last_slow_web_clock > SlowWebPeerIntervalS) {
        m_last_slow_web_clock = m_task_clock;
        if (ConnectedWebPeers() >= web_limit && ConnectableWebCandidates() >= web_limit) DropSlowWebPeer();
    }
}

}  // namespace engine
