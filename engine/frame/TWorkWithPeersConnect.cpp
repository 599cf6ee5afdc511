// The peer set's connections: eligibility of candidates, the once-a-second
// connection cycles, the half-open budget, the peer pool, the per-pass peer
// steps and the pruning of poor connections. Work thread only.

#include <algorithm>
#include <atomic>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineSettings.h"
#include "engine/net/QTcpSocket.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TPeerObject.h"
#include "engine/frame/TWorkWithPeers.h"
#include "platform/Clock.h"

namespace engine {

namespace {

// A tracker is asked again only after ten minutes.
constexpr int64_t TrackerInterval = 600;
// Pieces delivered that shorten a web source's back-off, and by how much.
constexpr int32_t ProvenSourcePieces = 15;
constexpr int32_t GoodSourcePieces = 5;
// Connections opened per budget round; twice that for a big task while no
// incoming connection has shown that others can reach us.
constexpr int32_t BudgetStep = 16;
constexpr int32_t LargeBudgetStep = 32;
constexpr int32_t LargeCeiling = 100;
// Idle web cycles before the saved and address sources are tried again.
constexpr int32_t IdleCyclesBeforeRefill = 10;
// The pool keeps this many idle objects beyond the ceiling.
constexpr size_t PoolSlack = 12;
// A peer with this much waiting is stepped in every pass.
constexpr size_t BusyPendingBytes = 28672;
constexpr int64_t RateMeasureS = 3;
// Each measurement logs every BitTorrent peer's rates and pipeline (a trace
// for finding which side of a swarm holds a transfer back).
constexpr int32_t PeerRateLogLevel = 13;
// Passes before the upload steps run without an allowance.
constexpr uint32_t UploadWarmupPasses = 18;
// Checks without traffic that end a BitTorrent connection.
constexpr int32_t IdleCheckLimit = 5;
// A web source this bad (and bad at least every other piece) is removed.
constexpr int32_t BadPieceLimit = 32;
constexpr int32_t PruningPenalty = 6;
constexpr int64_t RateUnit = 2048;

std::atomic<bool> g_incoming_seen{false};

}  // namespace

bool TWorkWithPeers::IncomingSeen() { return g_incoming_seen.load(); }
void TWorkWithPeers::ResetIncomingSeen() { g_incoming_seen = false; }
void TWorkWithPeers::MarkIncomingSeen() { g_incoming_seen = true; }
int32_t ProcessHalfOpenLimit() { return QTcpSocket::HalfOpenLimit(); }

bool TWorkWithPeers::CanConnect(TPeerId& c, bool fast) {
    if (!c.m_has_address) return false;
    if ((c.m_kind == PeerKindBt || c.m_kind == PeerKindTracker) && c.m_in_use > 0) return false;
    if (c.IsWebSource()) {
        if (c.m_in_use >= c.m_max_connections) return false;
        if (c.m_in_use == 1 && c.ContentLength() == 0) return false;
        if (c.m_in_use == 0) {
            if (c.m_pieces_delivered > ProvenSourcePieces) {
                c.m_backoff = 0;
                return true;
            }
            if (c.m_pieces_delivered > GoodSourcePieces) {
                c.m_backoff = c.m_backoff < 10 ? 0 : c.m_backoff / 10;
            } else if (c.m_pieces_delivered > 0) {
                c.m_backoff = c.m_backoff < 5 ? 0 : c.m_backoff / 5;
            }
            if (!fast) c.m_backoff = c.m_backoff > 10 ? c.m_backoff / 10 : (c.m_backoff >= 1 ? 0 : c.m_backoff);
        }
    }
    if (c.m_kind == PeerKindTracker && c.m_last_attempt != 0 &&
        GetClockSeconds() - c.m_last_attempt < TrackerInterval) {
        return false;
    }
    if (c.m_backoff > 0) --c.m_backoff;
    return c.m_backoff <= 0;
}

bool TWorkWithPeers::IsConnectable(TPeerId& c) {
    if (!c.IsValid() || !CanConnect(c, m_fast_backoff)) return false;
    if (c.IsWebSource()) return !IsDownloadCompleteForPeers();
    if (c.m_kind != PeerKindBt) return true;
    // A tracker may have listed this node before its public address was
    // known; it is itself all the same.
    if (IsOwnEndpoint(c.m_address, c.m_port)) return false;
    for (TPeerObject* peer : m_active) {
        if (!peer->IsActive()) continue;
        QTcpSocket* s = peer->Socket();
        if (peer->IsIncoming() && s->RemoteAddress() == c.m_address && s->RemotePort() == c.m_port) return false;
        TPeerId* attached = peer->Candidate();
        if (attached && attached->m_address == c.m_address && attached->m_peer_id == c.m_peer_id) return false;
    }
    return true;
}

int32_t TWorkWithPeers::OpenCount(const TPeerId& c) const {
    int32_t n = c.m_max_connections;
    if (c.IsWebSource() && !c.FetchesIntoMemory()) n = std::max(n, m_per_source_connections);
    return n;
}

bool TWorkWithPeers::OpenConnections(TPeerId* c, int32_t opened, int32_t room, int32_t* count) {
    *count = 0;
    const int32_t wanted = OpenCount(*c);
    for (int32_t i = c->m_in_use; i < wanted; ++i) {
        TPeerObject* peer = CreatePeer(c->m_kind);
        if (!peer) break;
        ++c->m_in_use;
        ++c->m_attempts;
        peer->SetSerial(m_live_peers + 1);
        if (!peer->ConnectTo(c)) {
            // The candidate was never attached, so its count is undone here.
            c->m_in_use = std::max(c->m_in_use - 1, 0);
            // A peer or tracker whose connect failed at once (refused on the
            // local network, where the answer comes before the handshake is
            // queued) is backed off like one whose connect failed later;
            // unpunished, a peer that has gone away would be tried again in
            // every cycle for as long as the task runs.
            if (!c->IsWebSource()) PenalizeCandidate(c, peer, 0);
            ReleasePeer(peer);
            break;
        }
        m_active.push_back(peer);
        c->m_last_attempt = GetClockSeconds();
        ++*count;
        if (!(c->IsWebSource() && c->ContentLength() > 0)) break;
        if (opened + *count >= room) break;
    }
    return *count > 0;
}

bool TWorkWithPeers::ConnectNow(TPeerId* c) {
    if (!c || !c->IsWebSource() || !c->IsValid()) return false;
    TPeerObject* peer = CreatePeer(c->m_kind);
    if (!peer) return false;
    ++c->m_in_use;
    ++c->m_attempts;
    peer->SetSerial(m_live_peers + 1);
    if (!peer->ConnectTo(c)) {
        c->m_in_use = std::max(c->m_in_use - 1, 0);
        ReleasePeer(peer);
        return false;
    }
    m_active.push_back(peer);
    c->m_last_attempt = GetClockSeconds();
    return true;
}

int32_t TWorkWithPeers::NewConnectionBudget() {
    int32_t in_progress = 0;
    for (TPeerObject* peer : m_active) {
        if (peer->IsConnected() && !peer->IsActive() && !peer->IsIncoming()) ++in_progress;
    }
    const int32_t ceiling = PeerCeiling();
    const int32_t concurrency = std::min(2 * std::min(ProcessHalfOpenLimit(), ceiling), ceiling);
    const int32_t step = (!IncomingSeen() && ceiling >= LargeCeiling) ? LargeBudgetStep : BudgetStep;
    const int32_t active = static_cast<int32_t>(m_active.size());
    int32_t budget = active + step > ceiling ? ceiling - active : step;
    if (in_progress + budget >= concurrency) budget = concurrency - in_progress - 1;
    return std::max(budget, 0);
}

bool TWorkWithPeers::IsCycleDue(int64_t& last_cycle) {
    const int64_t now = GetClockSeconds();
    if (now == last_cycle) return false;
    last_cycle = now;
    return true;
}

int TWorkWithPeers::ConnectedPeersOf(int kinds, bool skip_redirected_web) {
    int n = 0;
    for (TPeerObject* peer : m_active) {
        if (!peer->IsConnected() || (peer->Kind() & kinds) == 0) continue;
        if (skip_redirected_web && peer->Candidate() && peer->Candidate()->IsRedirected()) continue;
        ++n;
    }
    return n;
}

int TWorkWithPeers::ConnectedWebPeers() { return ConnectedPeersOf(PeerKindsWeb, false); }

int TWorkWithPeers::ConnectableWebCandidates() {
    // Counted without touching the back-offs (that happens once per cycle).
    int n = 0;
    for (TPeerId* c : m_candidates) {
        if (c->IsWebSource() && c->IsValid() && c->m_in_use < c->m_max_connections) ++n;
    }
    return n;
}

void TWorkWithPeers::ConnectWebSources() {
    if (!IsCycleDue(m_last_web_cycle)) return;
    const int32_t limit = WebLimit();
    const int count = ConnectedPeersOf(PeerKindsWeb, true);
    if (count >= limit) return;
    // Web connections are half-open like any other while they connect.
    const int32_t room = std::min(limit - count, NewConnectionBudget());
    int32_t started = 0;
    std::vector<TPeerId*> walk = m_candidates;
    for (TPeerId* c : walk) {
        if (started >= room) break;
        if (!c->IsWebSource() || !IsConnectable(*c)) continue;
        int32_t opened = 0;
        if (OpenConnections(c, started, room, &opened)) {
            started += opened;
        } else {
            ++c->m_failures;
        }
    }
    if (started == 0) {
        if (++m_idle_cycles >= IdleCyclesBeforeRefill) {
            if (ConnectedWebPeers() < limit) ReAddSavedSources(false);
            ResolvePending();
            AddRandomSources(std::max(room, 1), true);
            m_idle_cycles = 0;
        }
    } else {
        m_idle_cycles = 0;
    }
    SortCandidates();
}

void TWorkWithPeers::ConnectBtPeers() {
    if (!IsCycleDue(m_last_bt_cycle)) return;
    const int32_t limit = BtLimit();
    const int count = ConnectedPeersOf(PeerKindBt, false);
    if (count >= limit) return;
    const int32_t room = std::min(limit - count, NewConnectionBudget());
    int32_t started = 0;
    std::vector<TPeerId*> walk = m_candidates;
    for (TPeerId* c : walk) {
        if (started >= room || !IsP2PEnabled()) break;
        if (c->IsWebSource() || c->FetchesIntoMemory() || c->IsRedirected() || !IsConnectable(*c)) continue;
        int32_t opened = 0;
        if (OpenConnections(c, started, room, &opened)) started += opened;
    }
}

TPeerObject* TWorkWithPeers::TakePooledPeer(int kind) {
    auto it = std::find_if(m_pool.begin(), m_pool.end(), [&](TPeerObject* p) { return p->Kind() == kind; });
    if (it == m_pool.end()) return nullptr;
    TPeerObject* peer = *it;
    m_pool.erase(it);
    ++m_live_peers;
    return peer;
}

TPeerObject* TWorkWithPeers::NewPeer(int kind) {
    if (!m_peer_factory) return nullptr;
    TPeerObject* peer = m_peer_factory(kind);
    if (peer) ++m_live_peers;
    return peer;
}

void TWorkWithPeers::ReleasePeer(TPeerObject* peer) {
    if (!peer) return;
    m_live_peers = std::max(m_live_peers - 1, 0);
    if (m_pool.size() > static_cast<size_t>(std::max(PeerCeiling(), 0)) + PoolSlack) {
        for (TPeerObject* pooled : m_pool) TRefObject::Release(pooled);
        m_pool.clear();
    }
    if (std::find(m_pool.begin(), m_pool.end(), peer) != m_pool.end()) return;
    peer->ResetState();
    m_pool.push_back(peer);
}

void TWorkWithPeers::RemovePeerFromActive(TPeerObject* peer) {
    auto it = std::find(m_active.begin(), m_active.end(), peer);
    if (it != m_active.end()) m_active.erase(it);
}

void TWorkWithPeers::EndPeer(TPeerObject* peer, int32_t penalty) {
    RemovePeerFromActive(peer);
    const int32_t state = peer->State();
    if (penalty >= 0 && state != PeerState::Stalled && state != PeerState::Finished && !peer->IsIncoming()) {
        PenalizeCandidate(peer->Candidate(), peer, penalty);
    }
    ReleasePeer(peer);
}

void TWorkWithPeers::SortActivePeers(bool complete) {
    const int64_t now = GetClockSeconds();
    std::stable_sort(m_active.begin(), m_active.end(), [&](TPeerObject* a, TPeerObject* b) {
        if (a->IsActive() != b->IsActive()) return a->IsActive();
        QTcpSocket* sa = a->Socket();
        QTcpSocket* sb = b->Socket();
        if (complete) {
            if (a->PeriodUploaded() != b->PeriodUploaded()) return a->PeriodUploaded() > b->PeriodUploaded();
            return (sa ? sa->AverageSendRate(now) : 0) > (sb ? sb->AverageSendRate(now) : 0);
        }
        if (a->PeriodPayload() / RateUnit != b->PeriodPayload() / RateUnit) {
            return a->PeriodPayload() > b->PeriodPayload();
        }
        int64_t ra = (sa ? sa->AverageReceiveRate(now) : 0) / RateUnit;
        int64_t rb = (sb ? sb->AverageReceiveRate(now) : 0) / RateUnit;
        if (ra != rb) return ra > rb;
        if (a->PeriodUploaded() != b->PeriodUploaded()) return a->PeriodUploaded() < b->PeriodUploaded();
        if (a->TotalReceived() / RateUnit != b->TotalReceived() / RateUnit) {
            return a->TotalReceived() > b->TotalReceived();
        }
        return a->Stats().connect_time > b->Stats().connect_time;
    });
}

void TWorkWithPeers::DropPeers(int kinds, int count, bool only_unproductive) {
    SortActivePeers(IsDownloadCompleteForPeers());
    if (only_unproductive) {
        const size_t size = m_active.size();
        const size_t look = std::min<size_t>(static_cast<size_t>(std::max(count, 0)), size);
        for (size_t k = 0; k < look; ++k) {
            TPeerObject* peer = m_active[size - 1 - k];
            TPeerId* c = peer->Candidate();
            if ((peer->Kind() & kinds) == 0 || (c && c->IsWebSource() && c->IsRedirected())) continue;
            if (c) c->m_score = std::max(c->m_score - 1, 20);
            EndPeer(peer, PruningPenalty);
            return;
        }
        return;
    }
    int dropped = 0;
    for (size_t i = m_active.size(); i-- > 0 && dropped < count;) {
        if ((m_active[i]->Kind() & kinds) == 0) continue;
        EndPeer(m_active[i], PruningPenalty);
        ++dropped;
    }
}

bool TWorkWithPeers::DropSlowPeer(int kinds, int count) {
    SortActivePeers(IsDownloadCompleteForPeers());
    int64_t web_rate = 0;
    for (TPeerObject* peer : m_active) {
        if (peer->Kind() & PeerKindsWeb) web_rate += peer->DownloadRate();
    }
    const int64_t share = m_active.empty() ? 0 : web_rate / static_cast<int64_t>(m_active.size()) / 5;
    const size_t size = m_active.size();
    const size_t look = std::min<size_t>(static_cast<size_t>(std::max(count, 0)), size);
    for (size_t k = 0; k < look; ++k) {
        TPeerObject* peer = m_active[size - 1 - k];
        TPeerId* c = peer->Candidate();
        if ((peer->Kind() & kinds) == 0 || (c && c->IsWebSource() && c->IsRedirected())) continue;
        if (peer->DownloadRate() >= 1 && peer->DownloadRate() > share) return false;
        if (c) c->m_score = std::max(c->m_score - 1, 20);
        EndPeer(peer, PruningPenalty);
        return true;
    }
    return false;
}

void TWorkWithPeers::DropSlowWebPeer() { DropSlowPeer(PeerKindsWeb, static_cast<int>(m_active.size())); }

void TWorkWithPeers::ServicePeers(const PeerPumpPass& pass) {
    m_output_pending = false;
    std::vector<TPeerObject*> walk = m_active;
    std::sort(walk.begin(), walk.end());
    walk.erase(std::unique(walk.begin(), walk.end()), walk.end());
    // A peer whose input waits in its kernel buffer is stepped now, not at
    // the next due pass. While downloading that input is the data: a fast
    // remote would otherwise fill the window and wait, capping the
    // connection at one buffer per service period. Once complete it is the
    // remote's REQUESTs: left unread, a leecher that keeps its requests
    // pipelined waits a whole service period for every window of blocks.
    std::vector<uint8_t> input_waiting(walk.size(), 0);
    if (!pass.every_peer_due) {
        std::vector<QTcpSocket*> quiet(walk.size(), nullptr);
        for (size_t i = 0; i < walk.size(); ++i) {
            QTcpSocket* s = walk[i]->PumpSocket();
            const size_t pending = !s ? 0 : (pass.complete ? s->SendCount() : s->ReceiveCount());
            if (s && pending < BusyPendingBytes) quiet[i] = s;
        }
        QTcpSocket::MarkInputWaiting(quiet, &input_waiting);
    }
    std::vector<TPeerObject*> failed;
    for (size_t i = 0; i < walk.size(); ++i) {
        TPeerObject* peer = walk[i];
        QTcpSocket* s = peer->PumpSocket();
        size_t pending = !s ? 0 : (pass.complete ? s->SendCount() : s->ReceiveCount());
        if (!pass.every_peer_due && pending < BusyPendingBytes && !input_waiting[i]) continue;
        if (!peer->ProcessStep()) failed.push_back(peer);
    }
    for (TPeerObject* peer : failed) EndPeer(peer, 0);
    const bool uploads_due = pass.request_divisor != 0 && pass.pass % pass.request_divisor == 0 &&
                             (pass.extra_request_slots != 0 || pass.pass >= UploadWarmupPasses);
    uint32_t served = 0;
    failed.clear();
    for (TPeerObject* peer : m_active) {
        if (served >= pass.extra_request_slots + pass.upload_slots) break;
        if (peer->Kind() != PeerKindBt) continue;
        QTcpSocket* s = peer->Socket();
        size_t pending = !s ? 0 : (pass.complete ? s->SendCount() : s->ReceiveCount());
        // A peer with requests waiting is served in the pass that read them:
        // waiting for the next due pass would cap it at one budget per
        // period, whatever the remote could take.
        if (!uploads_due && pending < BusyPendingBytes && peer->UploadQueue().empty()) continue;
        ++served;
        if (!peer->UploadStep()) failed.push_back(peer);
    }
    for (TPeerObject* peer : failed) EndPeer(peer, 0);
}

void TWorkWithPeers::PauseForPeers(uint32_t ms) {
    std::vector<QTcpSocket*> sockets;
    int64_t traffic = 0;
    for (TPeerObject* peer : m_active) {
        QTcpSocket* s = peer->PumpSocket();
        if (!s) continue;
        sockets.push_back(s);
        traffic += s->SentTotal() + s->ReceivedTotal();
    }
    // A pause cut short by input the steps leave unread for now, or by room
    // for output the limits hold back, moves nothing; waiting again would
    // spin, so the next pause is a plain sleep.
    const bool idle_wake = m_pause_cut_short && traffic == m_traffic_at_pause;
    m_traffic_at_pause = traffic;
    m_pause_cut_short = false;
    if (!idle_wake) {
        const int woke = QTcpSocket::WaitForActivity(sockets, static_cast<int>(ms));
        if (woke >= 0) {
            m_pause_cut_short = woke > 0;
            return;
        }
    }
    platform::SleepMs(ms);
}

void TWorkWithPeers::RemoveBadWebSources() {
    std::vector<TPeerId*> bad;
    for (TPeerId* c : m_candidates) {
        const TSourceInfo* info = c->InfoIfAny();
        if (c->IsWebSource() && info && info->bad_pieces >= BadPieceLimit &&
            int64_t{info->bad_pieces} * 2 >= c->m_pieces_delivered) {
            bad.push_back(c);
        }
    }
    for (TPeerId* c : bad) {
        std::vector<TPeerObject*> connections;
        for (TPeerObject* peer : m_active) {
            if (peer->Candidate() == c) connections.push_back(peer);
        }
        for (TPeerObject* peer : connections) EndPeer(peer, -1);
        RemoveCandidate(c);
    }
}

void TWorkWithPeers::PeerUpkeep(bool complete) {
    const int32_t ceiling = PeerCeiling();
    if (static_cast<int32_t>(m_active.size()) > ceiling) {
        DropPeers(PeerKindBt | PeerKindsWeb | PeerKindTracker, static_cast<int>(m_active.size()) - ceiling, false);
    }
    std::vector<TPeerObject*> idle;
    for (TPeerObject* peer : m_active) {
        if (peer->Kind() != PeerKindBt || !peer->IsConnected()) continue;
        if (peer->Stats().idle_checks >= IdleCheckLimit) {
            idle.push_back(peer);
        } else {
            ++peer->Stats().idle_checks;
        }
    }
    for (TPeerObject* peer : idle) EndPeer(peer, 0);
    if (!complete) RemoveBadWebSources();
}

PeerRates TWorkWithPeers::MeasuredPeerRates() {
    PeerRates rates;
    // Every three seconds each peer's rates become its payload received and
    // its bytes sent in the period, over three seconds.
    const int64_t now = GetClockSeconds();
    if (now - m_last_rate_measure >= RateMeasureS) {
        m_last_rate_measure = now;
        for (TPeerObject* peer : m_active) {
            peer->SetRates(static_cast<int32_t>(std::min<int64_t>(peer->PeriodPayload() / RateMeasureS, INT32_MAX)),
                           static_cast<int32_t>(std::min<int64_t>(peer->PeriodUploaded() / RateMeasureS, INT32_MAX)));
            peer->StartNewPeriod();
            if (peer->Kind() == PeerKindBt && peer->IsActive()) {
                const auto* bt = static_cast<const TBTPeer*>(peer);
                LogFormat(PeerRateLogLevel, "BT peer %s: %d B/s in, %d B/s out, %d of %d requests sent, %d uploads queued",
                          peer->Socket()->PeerText().c_str(), peer->DownloadRate(), peer->UploadRate(),
                          bt->SentCount(), static_cast<int>(peer->RequestQueue().size()),
                          static_cast<int>(peer->UploadQueue().size()));
            }
        }
    }
    for (TPeerObject* peer : m_active) {
        rates.download_bps += peer->DownloadRate();
        rates.upload_bps += peer->UploadRate();
    }
    return rates;
}

void TWorkWithPeers::CheckRequests() {
    for (TPeerObject* peer : m_active) {
        if (peer->IsActive()) peer->CheckRequests();
    }
}

}  // namespace engine
