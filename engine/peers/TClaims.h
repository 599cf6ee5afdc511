#pragma once
// TClaims: the claim list of a task's web sources. Web connections read the
// task's bytes sequentially, so each works on a run of consecutive pieces,
// its claim (TPieceRange). The list creates the initial claims (runs spread
// over the web sources, each cut for the source's connections), hands a
// connection a claim (continuation, a free one, a stalled one, a reopened
// one, or a share split off a busy claim for a faster connection), moves a
// connection through its claim and takes claims back.
//
// BitTorrent peers choose their pieces within the same list while it exists:
// they take stretches from the tails of the web runs as backward claims
// (worked from the top down), or single pieces from the tails, so that the
// web connections and the peers meet instead of fetching the same pieces.
//
// A web connection leaves the pieces a BitTorrent peer of the task already
// has to the peers: when its run reaches one, it moves to the middle of the
// largest stretch that no peer has and no web run reads (so that tasks
// sharing one server and each other fetch each part from the server once),
// or, when there is none and the peers bring more than the web, it stops.
// What another task's web run read since its last HAVE batch is not known:
// the list notes when each piece was first seen at a peer and takes a
// stretch whose end grew lately as read beyond that end for as long as that
// run goes on before it can learn of this task's choice; a run that another
// task's run reads just ahead of or alongside leaves it to that run.
// The peers in turn may take any piece outside the stretch a web run has
// asked its server for.
//
// Owner: the task (TWorkWithPieces); claims are freed by the list. A claim
// holds a reference to its source candidate; its owner is a plain pointer
// that the owning connection clears (ReleaseRange) before it goes idle.
// Thread: the task's work thread only.

#include <cstdint>
#include <functional>
#include <vector>

namespace engine {

// Seconds between two batches of HAVE announcements: what other tasks
// fetched in the last batch's time is not known yet.
inline constexpr int64_t HaveBatchSeconds = 7;

class TPeerId;
class TPeerObject;
class TWebPeer;

struct TPieceRange {
    int32_t first = 0;
    int32_t last = 0;  // inclusive
    int32_t cursor = 0;
    int32_t blocks_received = 0;
    uint8_t exhausted = 0;
    uint8_t reopened = 0;
    uint8_t backward = 0;
    // A peer announced a piece of the owner's request before the owner had
    // it: a web run of another task reads ahead of this one.
    uint8_t overtaken = 0;
    int64_t claim_time = 0;
    // The last piece the owner's outstanding request reaches (-1: none): a
    // peer taking the claim's tail stays above it.
    int32_t requested_last = -1;
    TPeerId* source = nullptr;      // one reference
    TPeerObject* owner = nullptr;  // none: free for another connection
};

// What the claims need from their task.
class TClaimTask {
public:
    virtual ~TClaimTask() = default;
    virtual bool ClaimMapReady() = 0;
    virtual int32_t ClaimPieceCount() = 0;
    virtual int64_t ClaimPieceLength() = 0;
    virtual int32_t ClaimDoneOrSkipped() = 0;
    // Not complete and, outside end game, not engaged by a BitTorrent peer.
    virtual bool IsPieceOpen(int32_t piece) = 0;
    virtual bool IsTaskComplete() = 0;
    virtual void ReleaseEngagedPiece(int32_t piece) = 0;
    virtual const std::vector<TPeerId*>& ClaimCandidates() = 0;
    virtual int64_t ClaimNow() = 0;
    virtual uint32_t ClaimTick() = 0;
    // Pieces by which the initial runs are turned around the file (0: runs
    // start at piece 0). A task that shares with BitTorrent peers gets a
    // random one, so that tasks starting together read different parts from
    // the web source and exchange the rest.
    virtual int32_t ClaimRotation() { return 0; }
    // Engages a piece for a BitTorrent peer (false: refused).
    virtual bool EngageClaimPiece(int32_t /*piece*/) { return true; }
    // Verified or not selected: nobody fetches it any more.
    virtual bool IsPieceFinished(int32_t /*piece*/) { return false; }
    // A connected BitTorrent peer that lets this task ask has the piece.
    virtual bool IsPieceAtPeer(int32_t /*piece*/) { return false; }
    // The task has the piece but has not announced it to its peers yet.
    virtual bool IsPieceUnannounced(int32_t /*piece*/) { return false; }
    // The task's BitTorrent peers bring it more than its web connections.
    virtual bool PeersOutpaceWeb() { return false; }
    // Engine seconds when a BitTorrent peer of the task last delivered a
    // block (-1: never, or none connected).
    virtual int64_t LastPeerBlockTime() { return -1; }
};

class TClaims {
public:
    explicit TClaims(TClaimTask* task) : m_task(task) {}
    ~TClaims();
    TClaims(const TClaims&) = delete;
    TClaims& operator=(const TClaims&) = delete;

    bool CreateInitialClaims();
    // On success the peer owns a claim.
    bool TakeClaim(TWebPeer* peer);
    TPieceRange* ChooseClaimToSplit(TWebPeer* peer);
    // A connection whose reply already runs at `piece` takes the free claim
    // whose cursor is there, rather than one elsewhere that would make it
    // give up what the server is sending.
    bool TakeFreeClaimAt(TWebPeer* peer, int32_t piece);

    // The default range-claim behaviour of web connections, with the
    // hold-off for pieces the task's peers have.
    int32_t NextPiece(TWebPeer* peer);
    void ReleaseRange(TPeerObject* peer);

    // A BitTorrent peer's choice within the claims: the next piece of its
    // backward claim, a new backward claim over a stretch of at least
    // `MinBackwardBlocks` blocks at a web run's tail, or a single piece at a
    // tail; -1 when none. `remote_has` tells the pieces the remote has and
    // the peer may ask for. Every piece returned is engaged for the peer.
    static constexpr int64_t MinBackwardBlocks = 24;
    int32_t NextPieceForPeer(TPeerObject* peer, const std::function<bool(int32_t)>& remote_has);
    // A new claim from `piece` to the end of the live claim that holds it
    // (the connection moves to where the task's reader waits).
    bool ClaimRangeAt(TWebPeer* peer, int32_t piece);
    // Closes the peer's claim when its cursor reached its last piece and
    // that piece is no longer wanted; true when closed.
    bool CloseIfFinished(TPeerObject* peer);

    // Notes, once per engine second, the pieces a peer has that were not
    // seen at a peer before: how long ago a stretch a peer has last grew
    // tells whether a web run of another task still reads beyond it.
    void NoteAnnouncedPieces();
    // A web connection other than `except` has asked its server for the
    // piece (from its claim's cursor to the end of its request).
    bool AboutToBeRead(int32_t piece, const TPeerObject* except = nullptr) const;
    // A connected BitTorrent peer that lets the task ask has the piece.
    bool IsPieceAtPeer(int32_t piece) const { return m_task->IsPieceAtPeer(piece); }
    // Bytes a web server has most likely sent to `peer` beyond what it read:
    // a server sends up to a second ahead of a reader that keeps up (and a
    // rate-limited one sends its second's worth at once), so that much of
    // an outstanding request costs the server nothing more when it is read
    // rather than dropped with the connection (at most what the socket
    // buffers hold).
    static int64_t InFlightBytes(const TPeerObject* peer);
    // The piece is wanted by `peer`: open, and no request of the peer is
    // queued in it.
    bool IsWanted(int32_t piece, TPeerObject* peer);
    // Forgets every claim (owners lose theirs).
    void Clear();
    const std::vector<TPieceRange*>& List() const { return m_list; }
    // Appends a claim (tests build lists this way); the list takes it.
    TPieceRange* Add(int32_t first, int32_t last, TPeerId* source, TPeerObject* owner);

private:
    void Take(TPieceRange* claim, TPeerObject* peer);
    int32_t StepBackward(TPeerObject* peer);
    int32_t TakeTailStretch(TPeerObject* peer, const std::function<bool(int32_t)>& remote_has);
    int32_t TakeTailPiece(TPeerObject* peer, const std::function<bool(int32_t)>& remote_has);
    bool SplitBusyClaim(TWebPeer* peer);
    // Some of the claim lies beyond what its owner's request asked for.
    static bool Splittable(const TPieceRange& claim);
    bool AnyWanted(const TPieceRange& claim, TPeerObject* peer);
    void Remove(TPieceRange* claim);
    int32_t FirstWantedIn(int32_t from, int32_t to, TPeerObject* peer);
    int32_t ClaimFreeRun(TWebPeer* peer);
    int32_t NextPieceInClaims(TWebPeer* peer);
    // Where a web connection whose next piece a peer has goes instead: the
    // first piece of its new claim, -1 when it stops, `held` when it goes on.
    int32_t LeaveToPeers(TWebPeer* peer, int32_t held);
    // The pieces of the peer's outstanding request from `piece` on are
    // probably on their way already: the connection reads them before it
    // leaves.
    bool FinishesRequest(TWebPeer* peer, int32_t piece) const;
    // Leaves the peer's claim free from `held` on; -1.
    int32_t StopForPeers(TWebPeer* peer, int32_t held);
    // The piece to start at in the largest stretch that no peer has and no
    // other web run reads, or -1; behind a stretch a peer has, what the web
    // run reading there covers before it learns of this connection's start
    // (`UnannouncedReach` with `lag`, one batch of reading) is taken as its
    // own, and what is left must be at least `min_length` pieces; 0 picks
    // any stretch, from there, by a draw, and tells in `behind_live` when
    // only stretches wholly within such a run's reach were found.
    int32_t GapStart(TWebPeer* peer, int32_t lag, int32_t min_length, int32_t* gap_last,
                     bool* behind_live = nullptr);

    // Pieces past the end of a stretch a peer has (its last piece `end`)
    // that the web run reading there, if any, has read by the time this
    // task's own announcement of a piece could reach it; `batch` is one
    // HAVE batch of reading.
    int32_t UnannouncedReach(int32_t end, int32_t batch) const;
    // Pieces the connection reads in one HAVE batch (and a second).
    int32_t BatchOfReading(TWebPeer* peer) const;
    // The piece lies within the unannounced reach of the nearest stretch
    // below it that a peer has.
    bool BehindLiveRun(int32_t piece, TWebPeer* peer);

    TClaimTask* m_task;
    std::vector<TPieceRange*> m_list;
    // The engine second each piece was first seen at a peer (-1: not yet).
    std::vector<int64_t> m_seen_at_peer;
    int64_t m_seen_scan_time = -1;
    // The engine second of the last search that found no stretch: the
    // search is not repeated within it.
    int64_t m_no_gap_time = -1;
    bool m_no_gap_wait = false;  // and the connections wait for announcements
};

}  // namespace engine
