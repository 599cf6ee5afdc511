// The peer set's candidates: adding and matching them, their order, their
// punishment, and the limits and reset of the layer. Work thread unless a
// function says otherwise.

#include "engine/frame/TWorkWithPeers.h"

#include <algorithm>
#include <strings.h>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineSettings.h"
#include "engine/net/NameResolver.h"
#include "engine/net/SourceUrl.h"
#include "engine/peers/EnginePeerId.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TPeerObject.h"
#include "engine/udp/QUInternalServer.h"
#include "engine/udp/QUService.h"
#include "platform/Clock.h"

namespace engine {

namespace {

// Web connections a task keeps after a reset.
constexpr int32_t DefaultWebLimit = 49;
// Scores: a new BitTorrent candidate, a peer found on the LAN (which may
// push out other peers when no connection budget is left).
constexpr int32_t BtScore = 19;
constexpr int32_t UrgentScore = 34;
// The punishment of a BitTorrent candidate grows faster once the list is
// long: failures × penalty up to this is the cheap rate.
constexpr int32_t CheapPunishmentLimit = 400;
constexpr int32_t BtFailureBackoff = 5;
constexpr int32_t CompleteTaskBackoff = 20;
constexpr int32_t MinimumBtBackoff = 10;
constexpr int32_t PenaltyCeiling = 4095;

bool SameUrl(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool CandidateBefore(const TPeerId* a, const TPeerId* b) {
    if (a->m_score != b->m_score) return a->m_score > b->m_score;
    if (a->m_pieces_delivered != b->m_pieces_delivered) return a->m_pieces_delivered > b->m_pieces_delivered;
    if (a->m_failures != b->m_failures) return a->m_failures < b->m_failures;
    if (a->m_attempts != b->m_attempts) return a->m_attempts < b->m_attempts;
    return a->m_backoff < b->m_backoff;
}

// What a web source asks its server for: the HTTP request path, or the FTP
// path (two files on one FTP server are two sources).
std::string RequestPath(const TPeerId& c) {
    const TSourceInfo* info = c.InfoIfAny();
    if (!info) return std::string();
    return c.m_kind == PeerKindFtp ? info->path : info->request_path;
}

}  // namespace

TWorkWithPeers::TWorkWithPeers() = default;

TWorkWithPeers::~TWorkWithPeers() {
    // Peers that outlive the task (held by a piece) must not call into it.
    for (TPeerObject* peer : m_active) {
        peer->Initialize(nullptr);
        TRefObject::Release(peer);
    }
    for (TPeerObject* peer : m_pool) {
        peer->Initialize(nullptr);
        TRefObject::Release(peer);
    }
    for (TPeerId* c : m_candidates) TRefObject::Release(c);
}

void TWorkWithPeers::SetConnectionLimits(int32_t web_limit, int32_t bt_limit) {
    QTMutexLocker lock(ObjectLock());
    m_web_limit = web_limit;
    m_bt_limit = bt_limit;
}

int32_t TWorkWithPeers::WebLimit() {
    QTMutexLocker lock(ObjectLock());
    return m_web_limit;
}

int32_t TWorkWithPeers::BtLimit() {
    QTMutexLocker lock(ObjectLock());
    return m_bt_limit;
}

int32_t TWorkWithPeers::PeerCeiling() {
    QTMutexLocker lock(ObjectLock());
    return m_options.peer_ceiling;
}

bool TWorkWithPeers::IsDownloadCompleteForPeers() {
    QTMutexLocker lock(ObjectLock());
    return m_live.piece_count > 0 && m_live.pieces_done >= m_live.piece_count;
}

bool TWorkWithPeers::IsOwnPeerId(const std::array<uint8_t, 20>& id) const {
    static const std::array<uint8_t, 20> none{};
    return m_own_peer_id != none && id == m_own_peer_id;
}

bool TWorkWithPeers::IsOwnEndpoint(uint32_t address, int32_t port) {
    if (port != (m_own_port != 0 ? m_own_port : ListenPort())) return false;
    if (m_own_address != 0 && address == m_own_address) return true;
    // Behind NAT the router's address with the listening port is this node
    // too (the router forwards nothing to it): connecting there only loops
    // back, over TCP or as a stream through the rendezvous server.
    QUInternalServer* server = QUServer();
    if (!server) return false;
    const uint32_t public_address = server->PublicAddress();
    return public_address != 0 && address == public_address;
}

void TWorkWithPeers::BuildOwnPeerId(const std::string& announce) {
    std::string seed = EnginePeerIdSeed(announce, static_cast<int64_t>(reinterpret_cast<intptr_t>(this)),
                                        platform::TickCount(), LocalAddress());
    m_own_peer_id = BuildEnginePeerId(seed, ProcessUuidHead());
}

void TWorkWithPeers::SortCandidates() { std::stable_sort(m_candidates.begin(), m_candidates.end(), CandidateBefore); }

bool TWorkWithPeers::AddCandidate(const TPeerId& candidate, bool spread, bool take_peer_id) {
    const bool bt = candidate.m_kind == PeerKindBt;
    if (bt && candidate.m_address == HostToNetwork32(0x7F000001u)) return false;
    if (bt && (IsP2sp() || IsBt()) && IsOwnPeerId(candidate.m_peer_id)) return false;
    if (candidate.m_has_address && IsOwnEndpoint(candidate.m_address, candidate.m_port)) return false;
    int first = -1;
    int last = -1;
    for (size_t i = 0; i < m_candidates.size(); ++i) {
        TPeerId* c = m_candidates[i];
        if (c->m_score == candidate.m_score) {
            if (first < 0) first = static_cast<int>(i);
            last = static_cast<int>(i);
        }
        if (!candidate.m_url.empty() && SameUrl(c->m_url, candidate.m_url) &&
            (!c->m_has_address || !candidate.m_has_address || c->m_address == candidate.m_address)) {
            return true;
        }
        if (c->m_address != candidate.m_address || c->m_port != candidate.m_port || c->m_kind != candidate.m_kind) {
            continue;
        }
        if (c->IsWebSource()) {
            if (c->m_has_address && candidate.m_has_address && SameUrl(RequestPath(*c), RequestPath(candidate))) {
                return true;
            }
            continue;
        }
        if (take_peer_id || (spread && !c->HasUdpMarker())) c->m_peer_id = candidate.m_peer_id;
        return true;
    }
    auto* copy = new TPeerId(candidate);
    if (bt) copy->m_score = BtScore;
    if (copy->HasUdpMarker()) std::copy(EnginePeerIdPrefix.begin(), EnginePeerIdPrefix.end(), copy->m_peer_id.begin());
    size_t at = 0;
    if ((spread || copy->IsWebSource()) && first >= 0) {
        at = static_cast<size_t>(first);
        if (last > first) at += platform::TickCount() % static_cast<uint32_t>(last - first);
    }
    m_candidates.insert(m_candidates.begin() + static_cast<std::ptrdiff_t>(at), copy);
    SortCandidates();
    return true;
}

TPeerId* TWorkWithPeers::FindOrAddAddress(uint32_t address, int32_t port, int32_t kind, bool at_front,
                                          int32_t score) {
    for (TPeerId* c : m_candidates) {
        if (c->IsValid() && c->m_address == address && c->m_port == port && c->m_kind == kind) {
            if (kind != PeerKindBt) c->m_peer_id = {};
            c->m_score = score;
            return c;
        }
    }
    auto* c = new TPeerId;
    c->m_address = address;
    c->m_port = port;
    c->m_kind = kind;
    c->m_score = score;
    if (kind == PeerKindBt) {
        c->SetSyntheticPeerId();
        c->m_max_connections = 1;
        c->m_has_address = 1;
        c->m_score = std::max(BtScore, score);
    }
    if (at_front || c->IsWebSource()) {
        m_candidates.insert(m_candidates.begin(), c);
    } else {
        m_candidates.push_back(c);
    }
    if (c->m_score > UrgentScore && NewConnectionBudget() < 1) {
        // An urgent peer makes room: the last two BitTorrent peers go.
        int dropped = 0;
        for (size_t i = m_active.size(); i-- > 0 && dropped < 2;) {
            if (m_active[i]->Kind() != PeerKindBt) continue;
            EndPeer(m_active[i], -1);
            ++dropped;
        }
    }
    return c;
}

void TWorkWithPeers::RemoveCandidate(TPeerId* candidate) {
    auto it = std::find(m_candidates.begin(), m_candidates.end(), candidate);
    if (it == m_candidates.end()) return;
    m_candidates.erase(it);
    TRefObject::Release(candidate);
}

void TWorkWithPeers::MoveCandidateToEnd(TPeerId* candidate) {
    auto it = std::find(m_candidates.begin(), m_candidates.end(), candidate);
    if (it == m_candidates.end()) return;
    m_candidates.erase(it);
    m_candidates.push_back(candidate);
}

bool TWorkWithPeers::PenalizeSource(const TPeerId& source, bool delay, int32_t cycles) {
    bool any = false;
    std::vector<TPeerId*> matched;
    for (TPeerId* c : m_candidates) {
        bool equal = c == &source ||
                     (c->m_kind == PeerKindBt && source.m_kind == PeerKindBt && c->m_port == source.m_port) ||
                     (!source.m_url.empty() && SameUrl(c->m_url, source.m_url));
        if (equal && c->m_address == source.m_address) matched.push_back(c);
    }
    for (TPeerId* c : matched) {
        any = true;
        if (delay) {
            c->m_backoff += std::max(1, cycles);
        } else {
            RemoveCandidate(c);
        }
    }
    return any;
}

void TWorkWithPeers::PenalizeCandidate(TPeerId* source, TPeerObject* peer, int32_t penalty) {
    if (!source || (peer && peer->IsIncoming())) return;
    TPeerId* found = nullptr;
    for (TPeerId* c : m_candidates) {
        bool equal = false;
        if (source->m_kind == PeerKindBt) {
            equal = c->m_kind == PeerKindBt &&
                    ((c->m_address == source->m_address && c->m_port == source->m_port) ||
                     c->m_peer_id == source->m_peer_id);
        } else if (source->m_kind == PeerKindTracker) {
            equal = c->m_kind == PeerKindTracker && c->m_address == source->m_address &&
                    c->m_port == source->m_port && c->m_extra == source->m_extra;
        } else {
            equal = c->IsWebSource() && SameUrl(c->m_url, source->m_url);
        }
        if (equal) {
            found = c;
            break;
        }
    }
    if (!found) return;
    if (found->IsWebSource() && found->m_in_use > 1) {
        if (found->m_backoff <= 0) found->m_backoff += 2;
        return;
    }
    auto handshaken = m_handshaken.find(found->m_address);
    if (handshaken != m_handshaken.end()) {
        m_handshaken.erase(handshaken);
    } else {
        found->m_backoff += 3 * std::max(found->m_failures - 1, 0);
    }
    found->m_backoff += penalty;
    ++found->m_failures;
    bool never_active = !peer || !peer->WasEverActive() || peer->WasDroppedUninteresting();
    if (found->m_kind != PeerKindBt || !never_active) return;
    const int32_t p = (penalty < 0 || penalty > PenaltyCeiling) ? 1 : penalty;
    const int64_t weight = int64_t{std::max(found->m_failures - 1, p)} * static_cast<int64_t>(m_candidates.size());
    found->m_backoff += (weight <= CheapPunishmentLimit ? 1 : 2) * p + BtFailureBackoff;
    if (IsDownloadCompleteForPeers()) found->m_backoff += CompleteTaskBackoff;
    if (found->m_backoff <= 0) found->m_backoff = MinimumBtBackoff;
    MoveCandidateToEnd(found);
}

PeerCountSummary TWorkWithPeers::PeerCounts() {
    PeerCountSummary s;
    for (TPeerObject* peer : m_active) {
        if (!peer->IsConnected()) continue;
        if (peer->IsActive()) ++s.active;
        if (peer->Phase() == PeerPhase::Idle) ++s.idle_connected;
        if (peer->State() == 2) ++s.state_two;
        if (peer->IsSeed()) ++s.seeds;
    }
    return s;
}

void TWorkWithPeers::AppendStatusLine(const std::string& text) {
    if (text.empty()) return;
    QTMutexLocker lock(ObjectLock());
    if (!m_status_text.empty()) m_status_text += "\r\n";
    m_status_text += text;
}

std::string TWorkWithPeers::StatusText() {
    QTMutexLocker lock(ObjectLock());
    return m_status_text;
}

void TWorkWithPeers::ResetPeers() {
    {
        QTMutexLocker lock(ObjectLock());
        m_status_text.clear();
        m_web_limit = DefaultWebLimit;
    }
    m_idle_cycles = 0;
    m_last_web_cycle = m_last_bt_cycle = 0;
    m_new_bt_candidates = false;
    m_output_pending = false;
    std::vector<TPeerObject*> active;
    active.swap(m_active);
    for (TPeerObject* peer : active) ReleasePeer(peer);
    for (TPeerObject* peer : m_pool) TRefObject::Release(peer);
    m_pool.clear();
    for (TPeerId* c : m_candidates) {
        try {
            TRefObject::Release(c);
        } catch (...) {
            LogLine("ClearPeerId Failed..", 2);
        }
    }
    m_candidates.clear();
    m_handshaken.clear();
    m_live_peers = 0;
}

}  // namespace engine
