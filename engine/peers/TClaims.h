#pragma once
// TClaims: the claim list of a task's web sources. Web connections read the
// task's bytes sequentially, so each works on a run of consecutive pieces,
// its claim (TPieceRange). The list creates the initial claims (runs spread
// over the web sources, each cut for the source's connections), hands a
// connection a claim (continuation, a free one, a stalled one, a reopened
// one, or a share split off a busy claim for a faster connection), moves a
// connection through its claim and takes claims back.
//
// Owner: the task (TWorkWithPieces); claims are freed by the list. A claim
// holds a reference to its source candidate; its owner is a plain pointer
// that the owning connection clears (ReleaseRange) before it goes idle.
// Thread: the task's work thread only.

#include <cstdint>
#include <vector>

namespace engine {

class TPeerId;
class TWebPeer;

struct TPieceRange {
    int32_t first = 0;
    int32_t last = 0;  // inclusive
    int32_t cursor = 0;
    int32_t blocks_received = 0;
    uint8_t exhausted = 0;
    uint8_t reopened = 0;
    uint8_t backward = 0;
    int64_t claim_time = 0;
    TPeerId* source = nullptr;  // one reference
    TWebPeer* owner = nullptr;  // none: free for another connection
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

    // The default range-claim behaviour of web connections.
    int32_t NextPiece(TWebPeer* peer);
    void ReleaseRange(TWebPeer* peer);
    // A new claim from `piece` to the end of the live claim that holds it
    // (the connection moves to where the task's reader waits).
    bool ClaimRangeAt(TWebPeer* peer, int32_t piece);
    // Closes the peer's claim when its cursor reached its last piece and
    // that piece is no longer wanted; true when closed.
    bool CloseIfFinished(TWebPeer* peer);

    // The piece is wanted by `peer`: open, and no request of the peer is
    // queued in it.
    bool IsWanted(int32_t piece, TWebPeer* peer);
    // Forgets every claim (owners lose theirs).
    void Clear();
    const std::vector<TPieceRange*>& List() const { return m_list; }
    // Appends a claim (tests build lists this way); the list takes it.
    TPieceRange* Add(int32_t first, int32_t last, TPeerId* source, TWebPeer* owner);

private:
    void Take(TPieceRange* claim, TWebPeer* peer);
    bool SplitBusyClaim(TWebPeer* peer);
    bool AnyWanted(const TPieceRange& claim, TWebPeer* peer);
    void Remove(TPieceRange* claim);
    int32_t FirstWantedIn(int32_t from, int32_t to, TWebPeer* peer);
    int32_t ClaimFreeRun(TWebPeer* peer);

    TClaimTask* m_task;
    std::vector<TPieceRange*> m_list;
};

}  // namespace engine
