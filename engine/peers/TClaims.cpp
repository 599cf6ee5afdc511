#include "engine/peers/TClaims.h"

#include <algorithm>
#include <limits>

#include "engine/base/CTidewellLog.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TWebPeer.h"

namespace engine {

namespace {

// A claim whose owner got nothing this long after claiming is handed over.
constexpr int64_t StalledClaimSeconds = 10;
// Splitting leaves a claim alone that its owner finishes within this time,
// unless the task is nearly done.
constexpr int64_t QuickFinishSeconds = 10;
constexpr int32_t FewPiecesLeft = 4;
constexpr int64_t YoungClaimSeconds = 3;
constexpr int TakeRetries = 3;
constexpr int32_t ClaimLogLevel = 13;

bool IsWebFileSource(const TPeerId* c) { return c->IsWebSource() && !c->FetchesIntoMemory(); }

}  // namespace

TClaims::~TClaims() { Clear(); }

void TClaims::Clear() {
    for (TPieceRange* claim : m_list) {
        if (claim->owner && claim->owner->Claim() == claim) claim->owner->SetClaim(nullptr);
        TRefObject::Release(claim->source);
        delete claim;
    }
    m_list.clear();
}

TPieceRange* TClaims::Add(int32_t first, int32_t last, TPeerId* source, TPeerObject* owner) {
    auto* claim = new TPieceRange;
    claim->first = first;
    claim->last = last;
    claim->cursor = first;
    claim->source = source;
    if (source) source->AddRef();
    m_list.push_back(claim);
    if (owner) Take(claim, owner);
    return claim;
}

void TClaims::Remove(TPieceRange* claim) {
    auto it = std::find(m_list.begin(), m_list.end(), claim);
    if (it != m_list.end()) m_list.erase(it);
    if (claim->owner && claim->owner->Claim() == claim) claim->owner->SetClaim(nullptr);
    TRefObject::Release(claim->source);
    delete claim;
}

bool TClaims::IsWanted(int32_t piece, TPeerObject* peer) {
    if (piece < 0 || piece >= m_task->ClaimPieceCount() || !m_task->IsPieceOpen(piece)) return false;
    if (!peer) return true;
    const int64_t length = m_task->ClaimPieceLength();
    if (length <= 0) return false;
    for (const TBlockRequest& r : peer->RequestQueue()) {
        if (int64_t{r.block} * BlockSize / length == piece) return false;
    }
    return true;
}

int32_t TClaims::FirstWantedIn(int32_t from, int32_t to, TPeerObject* peer) {
    for (int32_t p = std::max(from, 0); p <= to; ++p) {
        if (IsWanted(p, peer)) return p;
    }
    return -1;
}

bool TClaims::AnyWanted(const TPieceRange& claim, TPeerObject* peer) {
    return FirstWantedIn(claim.first, claim.last, peer) >= 0;
}

bool TClaims::CreateInitialClaims() {
    const int32_t n = m_task->ClaimPieceCount();
    if (n <= 0) return false;
    const std::vector<TPeerId*>& candidates = m_task->ClaimCandidates();
    int32_t w = 0;
    for (const TPeerId* c : candidates) {
        if (c->IsWebSource()) ++w;
    }
    if (w == 0) return false;
    // One turn for all runs: turned by different amounts they would overlap
    // and leave gaps.
    const int32_t rotation = ((m_task->ClaimRotation() % n) + n) % n;
    int32_t k = 0;
    for (TPeerId* c : candidates) {
        if (!c->IsValid() || !IsWebFileSource(c)) continue;
        int32_t first, last;
        if (w < n) {
            first = n / w * k;
            last = k + 1 == w ? n - 1 : n / w * (k + 1) - 1;
        } else {
            first = last = k;
        }
        if (first > n - 1) break;  // more usable sources than counted ones
        const int32_t run = last - first + 1;
        int32_t g = std::min((run + 5) / 5, c->m_max_connections);
        g = std::max(std::min(run, g), 1);
        c->m_max_connections = std::max(c->m_max_connections, 1);
        c->m_max_connections = std::min(c->m_max_connections, std::max(g, 1));
        const int32_t each = run / g;
        for (int32_t i = 0; i < g; ++i) {
            const int32_t a = first + i * each;
            const int32_t b = i + 1 == g ? last : a + each - 1;
            const int32_t ra = (a + rotation) % n;
            const int32_t rb = (b + rotation) % n;
            if (ra <= rb) {
                Add(ra, rb, c, nullptr);
            } else {  // the turned run wraps: its two parts
                Add(ra, n - 1, c, nullptr);
                Add(0, rb, c, nullptr);
            }
        }
        if (w >= n && k + 1 >= n) break;
        ++k;
    }
    return true;
}

void TClaims::Take(TPieceRange* claim, TPeerObject* peer) {
    claim->owner = peer;
    claim->requested_last = -1;
    claim->overtaken = 0;
    peer->SetClaim(claim);
    claim->claim_time = m_task->ClaimNow();
    ++peer->Stats().claim_count;
}

bool TClaims::TakeClaim(TWebPeer* peer) {
    if (m_list.empty()) return false;
    const int32_t current = peer->Stats().current_piece;
    if (current != -1) {
        for (TPieceRange* c : m_list) {
            if (!c->exhausted && !c->backward && !c->owner && c->cursor == current + 1) {
                Take(c, peer);
                return true;
            }
        }
    }
    const size_t size = m_list.size();
    const size_t start = m_task->ClaimTick() % size;
    // A request from offset 0 carries no range, so the server sends the whole
    // file: the claim at the file's start is left to the connection that
    // already reads from there (or taken when no other is free).
    for (bool start_of_file : {false, true}) {
        for (size_t i = 0; i < size; ++i) {
            TPieceRange* c = m_list[(start + i) % size];
            if (!c->exhausted && !c->reopened && !c->backward && !c->owner && (c->cursor == 0) == start_of_file) {
                Take(c, peer);
                return true;
            }
        }
    }
    const int64_t now = m_task->ClaimNow();
    for (TPieceRange* c : m_list) {
        // A backward claim belongs to a BitTorrent peer working down its
        // stretch; a web connection never takes it over.
        if ((c->exhausted && !c->reopened) || c->backward) continue;
        if (c->cursor == c->first && !c->reopened && c->blocks_received == 0 &&
            now - c->claim_time > StalledClaimSeconds && c->owner != peer) {
            if (c->owner) c->owner->ReleaseRange();
            if (c->owner) continue;  // its owner kept it after all
            Take(c, peer);
            return true;
        }
        if (c->reopened && !c->owner) {
            Take(c, peer);
            return true;
        }
    }
    if (peer->DownloadRate() == 0 && peer->Stats().claim_count >= 1) return false;
    return SplitBusyClaim(peer);
}

bool TClaims::TakeFreeClaimAt(TWebPeer* peer, int32_t piece) {
    if (!m_task->ClaimMapReady()) return false;
    if (m_list.empty()) CreateInitialClaims();
    for (TPieceRange* c : m_list) {
        if (!c->owner && !c->exhausted && !c->reopened && !c->backward && c->cursor == piece) {
            Take(c, peer);
            return true;
        }
    }
    return false;
}

TPieceRange* TClaims::ChooseClaimToSplit(TWebPeer* peer) {
    const int64_t length = m_task->ClaimPieceLength();
    const int64_t now = m_task->ClaimNow();
    const int64_t peer_rate = peer->DownloadRate();
    const bool nearly_done = m_task->ClaimPieceCount() - m_task->ClaimDoneOrSkipped() < FewPiecesLeft;
    constexpr double Unbounded = std::numeric_limits<double>::infinity();
    auto estimate = [&](const TPieceRange& c) {
        const int64_t rate = c.owner->DownloadRate();
        if (rate <= 0) return Unbounded;
        return static_cast<double>(c.last - c.cursor + 1) * static_cast<double>(length) / static_cast<double>(rate);
    };
    TPieceRange* best = nullptr;
    double best_time = 0;
    for (TPieceRange* c : m_list) {
        if (!c->owner || c->owner == peer || c->exhausted || c->backward || !Splittable(*c)) continue;
        const int64_t owner_rate = c->owner->DownloadRate();
        if (!(now - c->claim_time > QuickFinishSeconds || owner_rate > 0)) continue;
        if (!(c->last - c->cursor + 1 > 1 || owner_rate == 0 || peer_rate >= 2 * owner_rate)) continue;
        const double t = estimate(*c);
        if (t == Unbounded) return c;
        if (t <= QuickFinishSeconds && !nearly_done) continue;
        if (t <= best_time) continue;
        best = c;
        best_time = t;
    }
    if (best || peer->Stats().claim_count != 0) return best;
    for (TPieceRange* c : m_list) {
        if (!c->owner || c->owner == peer || c->exhausted || c->backward || !Splittable(*c)) continue;
        if (!(now - c->claim_time > YoungClaimSeconds || c->last - c->cursor + 1 > 1)) continue;
        const double t = estimate(*c);
        if (t == Unbounded) return c;
        if (t <= best_time) continue;
        best = c;
        best_time = t;
    }
    return best;
}

bool TClaims::SplitBusyClaim(TWebPeer* peer) {
    TPieceRange* r = ChooseClaimToSplit(peer);
    if (!r) return false;
    while (r->last > r->cursor && !IsWanted(r->last, peer)) --r->last;
    // The pieces the owner's request already asked for stay its own: the
    // server sends them to the owner whoever else would fetch them.
    const int32_t kept = std::max(r->cursor, r->requested_last + 1);
    if (kept > r->last) return false;
    const int64_t c = r->last - kept + 1;
    const int64_t peer_rate = peer->DownloadRate();
    const int64_t owner_rate = r->owner->DownloadRate();
    const bool much_faster = peer_rate > 2 * owner_rate;
    int64_t m = 50;
    if (peer->Stats().claim_count != 0 && owner_rate + peer_rate > 0) m = peer_rate * 100 / (owner_rate + peer_rate);
    if (m < 100 && much_faster) ++m;
    int64_t e = c > 1 ? c * m / 100 : 1;
    if (e < c && much_faster) ++e;
    if (e <= 0) return false;
    TPeerObject* owner = r->owner;
    const int32_t first = static_cast<int32_t>(r->last - e + 1);
    TPieceRange* added = Add(first, r->last, r->source, peer);
    r->last = std::max(added->first - 1, r->cursor);
    r->claim_time = m_task->ClaimNow();
    if (!CloseIfFinished(owner) && r->last == r->cursor && r->cursor == added->first &&
        peer_rate >= 3 * owner_rate) {
        r->exhausted = 1;
        owner->ReleaseRange();
    }
    return true;
}

bool TClaims::Splittable(const TPieceRange& claim) { return claim.last > claim.requested_last; }

bool TClaims::CloseIfFinished(TPeerObject* peer) {
    TPieceRange* claim = peer->Claim();
    if (!claim || claim->cursor < claim->last || IsWanted(claim->last, nullptr)) return false;
    // The end of the claim: the connection gives back what it still queued
    // and the claim leaves the list unless pieces of it are wanted again.
    peer->ReleaseRange();
    if (std::find(m_list.begin(), m_list.end(), claim) == m_list.end()) return true;
    claim->exhausted = 1;
    claim->reopened = AnyWanted(*claim, nullptr) ? 1 : 0;
    if (!claim->reopened) Remove(claim);
    return true;
}

int32_t TClaims::ClaimFreeRun(TWebPeer* peer) {
    for (const TPieceRange* c : m_list) {
        if (!c->exhausted && !c->reopened && !c->backward) return -1;
    }
    const int32_t n = m_task->ClaimPieceCount();
    const int32_t first = FirstWantedIn(0, n - 1, peer);
    if (first < 0) return -1;
    int32_t last = first;
    while (last + 1 < n && IsWanted(last + 1, peer)) ++last;
    TPeerId* source = peer->Candidate();
    TPieceRange* claim = Add(first, last, source, peer);
    peer->Stats().current_piece = claim->first;
    return claim->first;
}

void TClaims::NoteAnnouncedPieces() {
    const int64_t now = m_task->ClaimNow();
    const int32_t n = m_task->ClaimPieceCount();
    if (now == m_seen_scan_time && static_cast<int32_t>(m_seen_at_peer.size()) == n) return;
    m_seen_scan_time = now;
    if (static_cast<int32_t>(m_seen_at_peer.size()) != n) m_seen_at_peer.assign(static_cast<size_t>(std::max(n, 0)), -1);
    for (int32_t p = 0; p < n; ++p) {
        int64_t& seen = m_seen_at_peer[static_cast<size_t>(p)];
        if (seen >= 0 || !m_task->IsPieceAtPeer(p)) continue;
        seen = now;
        if (m_task->IsPieceFinished(p) && !m_task->IsPieceUnannounced(p)) continue;
        // The peers cannot have had it from this task, which did not have it
        // or has not told them yet: another task's run read it too, ahead of
        // this one or alongside, too closely for this one ever to meet what
        // it announces as its next piece.
        for (TPieceRange* c : m_list) {
            if (c->owner && !c->backward && !c->exhausted && p >= c->first && p <= std::max(c->cursor, c->requested_last)) {
                c->overtaken = 1;
            }
        }
    }
}

int32_t TClaims::UnannouncedReach(int32_t end, int32_t batch) const {
    const int64_t now = m_task->ClaimNow();
    const int64_t seen =
        end >= 0 && end < static_cast<int32_t>(m_seen_at_peer.size()) ? m_seen_at_peer[static_cast<size_t>(end)] : -1;
    const int64_t age = seen >= 0 ? std::max<int64_t>(now - seen, 0) : 0;
    // A stretch whose end grows is read by a web run of another task, which
    // announces its pieces batch by batch: its end is renewed at least once
    // a batch. One that has not grown for longer is no run's any more.
    if (age > HaveBatchSeconds + 3) return 0;
    // The batch that carried `end` carried what the run read in one batch's
    // time: the pieces below it that came with it. It tells the run's pace
    // when this task has no measure of its own yet (a first batch may be
    // short, and a first look at a peer shows all it has at once: at most
    // twice this task's own measure counts).
    int64_t per_batch = batch;
    if (seen >= 0) {
        int64_t with_end = 0;
        for (int32_t q = end; q >= 0 && m_seen_at_peer[static_cast<size_t>(q)] >= seen - 1; --q) ++with_end;
        per_batch = batch > 0 ? std::clamp<int64_t>(with_end, batch, 2 * int64_t{batch}) : with_end;
    }
    // That run went on reading since the batch that carried `end`, and goes
    // on until this task's own next batch tells it where this connection
    // starts: one batch more.
    return static_cast<int32_t>(
        std::min<int64_t>(per_batch + age * per_batch / (HaveBatchSeconds + 1), m_task->ClaimPieceCount()));
}

int32_t TClaims::BatchOfReading(TWebPeer* peer) const {
    const int64_t length = m_task->ClaimPieceLength();
    if (length <= 0) return 0;
    // Another task's web run reads about as fast as this task's fastest
    // connection to the same server (a connection that just paused, or
    // started a new request, measures less than the server gives), and
    // what it read since its last HAVE batch (up to a second more than the
    // batch interval) is not known here yet.
    int64_t rate = peer->DownloadRate();
    for (const TPieceRange* c : m_list) {
        if (c->owner && !c->backward && c->source == peer->Candidate()) rate = std::max<int64_t>(rate, c->owner->DownloadRate());
    }
    return static_cast<int32_t>(std::min<int64_t>((HaveBatchSeconds + 1) * rate / length, m_task->ClaimPieceCount()));
}

bool TClaims::BehindLiveRun(int32_t piece, TWebPeer* peer) {
    const int32_t batch = std::max(BatchOfReading(peer), 1);
    const int32_t low = std::max(piece - 2 * batch - 1, 0);
    for (int32_t e = piece - 1; e >= low; --e) {
        if (!m_task->IsPieceAtPeer(e)) continue;
        return piece - e <= UnannouncedReach(e, batch);
    }
    return false;
}

int64_t TClaims::InFlightBytes(const TPeerObject* peer) {
    // Never more than the socket buffers of both ends hold: a fast server
    // is held back by them, not by the second.
    constexpr int64_t MaxInFlight = int64_t{8} << 20;
    return peer ? std::min<int64_t>(peer->DownloadRate(), MaxInFlight) : 0;
}

bool TClaims::FinishesRequest(TWebPeer* peer, int32_t piece) const {
    const TPieceRange* claim = peer->Claim();
    if (!claim || piece > claim->requested_last) return false;
    const int64_t rest = (int64_t{claim->requested_last} - piece + 1) * m_task->ClaimPieceLength();
    return rest <= InFlightBytes(peer);
}

int32_t TClaims::NextPiece(TWebPeer* peer) {
    NoteAnnouncedPieces();
    const TPieceRange* before = peer->Claim();
    const int32_t previous = peer->Stats().current_piece;
    const int32_t piece = NextPieceInClaims(peer);
    if (piece < 0) return piece;
    // A connection that starts afresh (another claim, a free run) just
    // beyond what a peer has announced would read what the web run of
    // another task there is reading now: it chooses as if it had met that
    // run. Going on along its own run it is that run itself, or ahead of it.
    const bool continues = before && peer->Claim() == before && piece > previous;
    // Whatever it meets, a connection whose server has most likely sent the
    // rest of its request already reads it: dropped with the connection,
    // those bytes would be sent for nothing.
    if (continues && FinishesRequest(peer, piece)) {
        // Told once, where the run first meets such a piece.
        if ((m_task->IsPieceAtPeer(piece) && !m_task->IsPieceAtPeer(previous)) ||
            (before->overtaken && piece == previous + 1 && !m_task->IsPieceAtPeer(piece))) {
            LogFormat(ClaimLogLevel, "web connection meets piece %d that a peer has: reads its request to piece %d first",
                      piece, before->requested_last);
        }
        return piece;
    }
    if (m_task->IsPieceAtPeer(piece)) return LeaveToPeers(peer, piece);
    if (!continues && BehindLiveRun(piece, peer)) return LeaveToPeers(peer, piece);
    // Following another task's run, this one reads only what that run
    // read a moment before.
    if (continues && before->overtaken) return LeaveToPeers(peer, piece);
    return piece;
}

int32_t TClaims::LeaveToPeers(TWebPeer* peer, int32_t held) {
    const int64_t length = m_task->ClaimPieceLength();
    const int64_t now = m_task->ClaimNow();
    int32_t start = -1;
    int32_t gap_last = -1;
    const bool outpaced = m_task->PeersOutpaceWeb();
    bool wait = m_no_gap_time == now && m_no_gap_wait;
    if (length > 0 && m_no_gap_time != now) {
        const int32_t lag = BatchOfReading(peer);
        // While the peers bring more than the web, a short stretch is most
        // likely what another task reads now and announces soon: the web
        // waits for it. Peers that bring little leave the web to fetch even
        // there.
        start = GapStart(peer, lag, outpaced ? 2 * lag : 1, &gap_last);
        if (start < 0) {
            // Only short stretches behind pieces a peer has are left: while
            // the peers still deliver, they are most likely another task's
            // read, announced within a batch; this connection waits. Once
            // nothing came from the peers for longer, it reads one of them.
            // A stretch wholly within what a run of another task still reads
            // there is left to that run.
            bool behind_live = false;
            const int32_t any = GapStart(peer, lag, 0, &gap_last, &behind_live);
            const int64_t last_block = m_task->LastPeerBlockTime();
            wait = (any >= 0 && last_block >= 0 && now - last_block <= HaveBatchSeconds + 1) ||
                   (any < 0 && behind_live);
            if (!wait) start = any;
        }
        if (start < 0) {
            m_no_gap_time = now;
            m_no_gap_wait = wait;
        }
    }
    LogFormat(ClaimLogLevel, "web connection meets piece %d that a peer has: %s %d (stretch to %d)", held,
              start >= 0 ? "moves to" : wait ? "waits for the peers' announcements" : outpaced ? "stops, peers outpace the web" : "goes on",
              start, gap_last);
    if (start < 0 && !outpaced && !wait) return held;
    if (start < 0) return StopForPeers(peer, held);
    StopForPeers(peer, held);
    TPieceRange* taken = nullptr;
    for (TPieceRange* c : m_list) {
        if (c->exhausted || c->backward || start < c->cursor || start > c->last) continue;
        if (start == c->cursor && !c->owner) {
            Take(c, peer);
            taken = c;
        } else {
            const int32_t old_last = c->last;
            c->last = start - 1;
            taken = Add(start, old_last, c->source, peer);
        }
        break;
    }
    if (!taken) Add(start, gap_last, peer->Candidate(), peer);
    peer->Stats().current_piece = start;
    return start;
}

int32_t TClaims::StopForPeers(TWebPeer* peer, int32_t held) {
    // The rest of the run, from the piece a peer has on, is left free: the
    // peers take what they have of it, another connection the others.
    if (TPieceRange* claim = peer->Claim()) {
        if (held >= claim->first && held <= claim->last) claim->cursor = held;
        claim->owner = nullptr;
        claim->requested_last = -1;
        claim->overtaken = 0;
        peer->SetClaim(nullptr);
    }
    return -1;
}

int32_t TClaims::GapStart(TWebPeer* peer, int32_t lag, int32_t min_length, int32_t* gap_last, bool* behind_live) {
    const int32_t n = m_task->ClaimPieceCount();
    const int64_t length = m_task->ClaimPieceLength();
    if (n <= 0 || length <= 0) return -1;
    std::vector<uint8_t> queued(static_cast<size_t>(n), 0);
    for (const TBlockRequest& r : peer->RequestQueue()) {
        const int64_t piece = int64_t{r.block} * BlockSize / length;
        if (piece >= 0 && piece < n) queued[static_cast<size_t>(piece)] = 1;
    }
    auto open = [&](int32_t p) {
        return !queued[static_cast<size_t>(p)] && IsWanted(p, nullptr) && !m_task->IsPieceAtPeer(p) &&
               !AboutToBeRead(p, peer);
    };
    // Tasks that meet the same stretch at about the same time start at
    // different places in it: each at its own fraction of the stretch
    // (3/8 to 5/8, in 1024ths), drawn from its turn; a task without one at
    // the middle.
    const int32_t turn = m_task->ClaimRotation();
    const int32_t fraction = turn > 0 ? 384 + turn % 256 : 512;
    int32_t best = -1;
    int32_t best_reads = 0;
    // The last short stretches: every task sees the same ones, so each
    // connection picks one of them by its own draw, from its start.
    std::vector<std::pair<int32_t, int32_t>> stretches;
    for (int32_t a = 0; a < n;) {
        if (!open(a)) {
            ++a;
            continue;
        }
        int32_t b = a;
        while (b + 1 < n && open(b + 1)) ++b;
        // A stretch behind pieces a peer has may be where that peer's task
        // reads from the server now; a stretch behind any web run is shared
        // with it: it reads the lower half while this connection reads the
        // upper one.
        // A stretch a peer has that stopped growing is no run's any more.
        const int32_t reach = a > 0 && m_task->IsPieceAtPeer(a - 1) ? UnannouncedReach(a - 1, lag) : 0;
        const bool run_behind = a > 0 && (reach > 0 || queued[static_cast<size_t>(a - 1)] || AboutToBeRead(a - 1, peer));
        const int32_t from = a + reach;
        if (min_length <= 0) {
            // Past the reach of a run that is still reading there, if any of
            // the stretch is; else the run behind reads all of it.
            if (from <= b) {
                stretches.emplace_back(from, b);
            } else if (behind_live != nullptr) {
                *behind_live = true;
            }
        } else if (b - from + 1 >= min_length) {
            // Behind a run that stopped every task sees the same free start:
            // each starts at its own place in the first 3/8 instead.
            const bool stopped_behind = reach == 0 && a > 0 && m_task->IsPieceAtPeer(a - 1);
            const int32_t share = run_behind ? fraction : stopped_behind && turn > 0 ? turn % 384 : 0;
            const int32_t at = from + static_cast<int32_t>(int64_t{b - from + 1} * share / 1024);
            if (b - at + 1 > best_reads) {
                best = at;
                best_reads = b - at + 1;
                *gap_last = b;
            }
        }
        a = b + 1;
    }
    if (!stretches.empty()) {
        const auto& [a, b] = stretches[(m_task->ClaimTick() / 16 + static_cast<uint32_t>(turn)) % stretches.size()];
        *gap_last = b;
        return a;
    }
    return best;
}

bool TClaims::AboutToBeRead(int32_t piece, const TPeerObject* except) const {
    for (const TPieceRange* c : m_list) {
        if (!c->owner || c->owner == except || c->backward || c->exhausted) continue;
        if (piece >= c->cursor && piece <= std::max(c->cursor, c->requested_last)) return true;
    }
    return false;
}

int32_t TClaims::NextPieceInClaims(TWebPeer* peer) {
    if (!m_task->ClaimMapReady()) return -1;
    if (m_list.empty()) CreateInitialClaims();
    if (TPieceRange* claim = peer->Claim()) {
        const int32_t from = std::max(peer->Stats().current_piece + 1, claim->first);
        const int32_t piece = FirstWantedIn(from, claim->last, peer);
        if (piece >= 0) {
            peer->Stats().current_piece = piece;
            return piece;
        }
        claim->exhausted = 1;
        claim->owner = nullptr;
        claim->requested_last = -1;
        peer->SetClaim(nullptr);
        claim->reopened = AnyWanted(*claim, peer) ? 1 : 0;
        if (!claim->reopened) Remove(claim);
    }
    for (int retry = 0; retry < TakeRetries; ++retry) {
        if (!TakeClaim(peer)) {
            if (m_task->IsTaskComplete()) return -1;
            return ClaimFreeRun(peer);
        }
        TPieceRange* claim = peer->Claim();
        if (!claim) continue;
        if (claim->cursor > claim->first && IsWanted(claim->cursor - 1, peer)) --claim->cursor;
        if (claim->reopened) {
            claim->cursor = claim->first;
            claim->reopened = 0;
            claim->exhausted = 0;
        }
        const int32_t piece = FirstWantedIn(claim->cursor, claim->last, peer);
        if (piece >= 0) {
            peer->Stats().current_piece = piece;
            return piece;
        }
        Remove(claim);
    }
    return -1;
}

void TClaims::ReleaseRange(TPeerObject* peer) {
    TPieceRange* claim = peer->Claim();
    if (!claim) return;
    peer->SetClaim(nullptr);
    if (std::find(m_list.begin(), m_list.end(), claim) == m_list.end()) return;
    if (claim->backward) {
        if (!claim->exhausted) {
            for (int32_t p = claim->first; p < claim->cursor; ++p) m_task->ReleaseEngagedPiece(p);
        }
        Remove(claim);
        return;
    }
    claim->owner = nullptr;
    claim->requested_last = -1;
}

bool TClaims::ClaimRangeAt(TWebPeer* peer, int32_t piece) {
    for (TPieceRange* c : m_list) {
        if (c->exhausted || c->backward || piece < c->first || piece > c->last) continue;
        const int32_t old_last = c->last;
        c->last = std::max(c->first, piece - 1);
        TPieceRange* added = Add(piece, old_last, c->source, peer);
        peer->Stats().current_piece = added->first - 1;
        return true;
    }
    return false;
}

int32_t TClaims::NextPieceForPeer(TPeerObject* peer, const std::function<bool(int32_t)>& remote_has) {
    if (m_list.empty()) return -1;
    if (peer->Claim()) {
        const int32_t piece = StepBackward(peer);
        if (piece >= 0) return piece;
        // The used-up stretch may have been the last claim of the list.
        if (m_list.empty()) return -1;
    }
    if (!peer->Claim()) {
        const int32_t piece = TakeTailStretch(peer, remote_has);
        if (piece >= 0) return piece;
    }
    return TakeTailPiece(peer, remote_has);
}

int32_t TClaims::StepBackward(TPeerObject* peer) {
    TPieceRange* claim = peer->Claim();
    if (!claim || !claim->backward) return -1;
    if (claim->cursor > claim->first) return --claim->cursor;
    // Every piece of the stretch was handed out: the peer's requests hold
    // them from here on.
    claim->exhausted = 1;
    Remove(claim);
    return -1;
}

int32_t TClaims::TakeTailStretch(TPeerObject* peer, const std::function<bool(int32_t)>& remote_has) {
    const int64_t length = m_task->ClaimPieceLength();
    if (length <= 0) return -1;
    const size_t size = m_list.size();
    const size_t start = m_task->ClaimTick() % size;
    for (size_t i = 0; i < size; ++i) {
        TPieceRange* c = m_list[(start + i) % size];
        if (c->exhausted || c->backward) continue;
        // The owner's cursor piece is its own, and so is what its request
        // already asked the server for.
        const int32_t low = c->owner ? std::max(c->cursor, c->requested_last) + 1 : c->cursor;
        int32_t top = -1;
        for (int32_t p = c->last; p >= low; --p) {
            if (!remote_has(p) || !IsWanted(p, peer)) {
                top = -1;
                continue;
            }
            if (top < 0) top = p;
            if ((top - p + 1) * length / BlockSize < MinBackwardBlocks) continue;
            int32_t engaged = top + 1;
            while (engaged > p && m_task->EngageClaimPiece(engaged - 1)) --engaged;
            if (engaged > p) {  // refused: the stretch is not the peer's
                for (int32_t q = engaged; q <= top; ++q) m_task->ReleaseEngagedPiece(q);
                break;
            }
            TPieceRange* claim = Add(p, top, c->source, nullptr);
            claim->backward = 1;
            claim->cursor = top;
            Take(claim, peer);
            c->claim_time = m_task->ClaimNow();
            return top;
        }
    }
    return -1;
}

int32_t TClaims::TakeTailPiece(TPeerObject* peer, const std::function<bool(int32_t)>& remote_has) {
    const size_t size = m_list.size();
    const size_t start = m_task->ClaimTick() % size;
    for (size_t i = 0; i < size; ++i) {
        TPieceRange* c = m_list[(start + i) % size];
        if (c->backward || (c->exhausted && !c->reopened)) continue;
        // A connection that is not much slower than the owner leaves it the
        // piece under its cursor.
        const bool keep_cursor = c->owner && peer->DownloadRate() < 3 * c->owner->DownloadRate();
        int32_t low = keep_cursor ? std::max(c->cursor, c->requested_last) + 1 : c->cursor;
        if (!keep_cursor && c->owner && c->requested_last >= c->cursor) {
            // A much faster one still leaves it what its server has most
            // likely sent already: those bytes arrive whoever else asks.
            const int64_t length = std::max<int64_t>(m_task->ClaimPieceLength(), 1);
            const int64_t on_way = (InFlightBytes(c->owner) + length - 1) / length;
            low = std::max(low, static_cast<int32_t>(std::min<int64_t>(c->cursor + on_way, c->requested_last + 1)));
        }
        int32_t p = c->last;
        for (; p >= low; --p) {
            if (m_task->IsPieceFinished(p)) {
                if (p == c->last && c->last > c->cursor) --c->last;
                continue;
            }
            if (!IsWanted(p, peer)) continue;
            if (remote_has(p) && m_task->EngageClaimPiece(p)) return p;
            break;
        }
        // Below that, only pieces that break no run: both neighbours are
        // not wanted.
        for (--p; p >= low; --p) {
            if (!IsWanted(p, peer) || !remote_has(p) || IsWanted(p + 1, peer) || IsWanted(p - 1, peer)) continue;
            if (m_task->EngageClaimPiece(p)) return p;
        }
    }
    return -1;
}

}  // namespace engine
