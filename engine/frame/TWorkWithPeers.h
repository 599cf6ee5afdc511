#pragma once
// Layer 2 of a download task: its peer set. It owns the task's candidates
// (TPeerId, kept sorted), the live peer objects (ActivePeers) and the pool of
// idle ones, collects candidates from every source (web-source list, saved
// and address-source lists, tracker replies, LAN discovery, incoming
// connections), runs the once-a-second connection cycles within the task's
// limits and the process's half-open budget, punishes failing sources with
// back-off, drops poor connections and decides which incoming connections
// belong to the task.
//
// The piece layers above answer the peers' questions about pieces through the
// virtual services below (defaults: no piece map yet).
//
// Thread: the work thread, except SetConnectionLimits, PeerCounts and
// AppendStatusLine (any thread, task lock). Candidates and peer objects hold
// plain reference counts and are never touched by another thread.

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/frame/TBaseWork.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TPeerTask.h"
#include "engine/pieces/TBlockRequest.h"

namespace engine {

class QTcpSocket;
class TPeerId;
class TPeerObject;
class TWorkThread;

// Creates a new peer object of one kind (kind 8 in tracker mode 2), or null.
// The BitTorrent, HTTP, FTP and tracker peers install theirs; tests install
// scripted ones.
using PeerFactory = std::function<TPeerObject*(int kind)>;

// The sums of the peers' measured rates, bytes per second.
struct PeerRates {
    int64_t download_bps = 0;
    int64_t upload_bps = 0;
};

// One pass of the peer pump, as the per-peer steps need it.
struct PeerPumpPass {
    uint32_t pass = 0;
    uint32_t service_divisor = 6;
    uint32_t request_divisor = 18;
    bool every_peer_due = false;
    uint32_t extra_request_slots = 0;
    uint32_t upload_slots = 8;
    bool complete = false;
};



// The status record's connection counts.
struct PeerCountSummary {
    int32_t active = 0;
    int32_t idle_connected = 0;  // connected peers still in phase 0
    int32_t state_two = 0;
    int32_t seeds = 0;
};

// Process-wide: how many half-open connections the process allows.
int32_t ProcessHalfOpenLimit();

class TWorkWithPeers : public TBaseWork, public TPeerTask {
public:
    TWorkWithPeers();
    ~TWorkWithPeers() override;

    void SetConnectionLimits(int32_t web_limit, int32_t bt_limit);
    int32_t WebLimit();
    int32_t BtLimit();
    void SetPeerFactory(PeerFactory factory) { m_peer_factory = std::move(factory); }
    size_t PooledPeers() const { return m_pool.size(); }
    // Connections opened at once to a web source that writes into the files.
    void SetPerSourceConnections(int32_t count) { m_per_source_connections = count; }
    void SetSpreadsWebSources(bool spread) { m_spread_web_sources = spread; }

    // Candidates.
    bool AddCandidate(const TPeerId& candidate, bool spread, bool take_peer_id) override;
    // A tracker named new BitTorrent peers: the next pass connects them
    // instead of the next cycle (up to a second later).
    void NoteNewBtCandidates() override { m_new_bt_candidates = true; }
    // True once after NoteNewBtCandidates; the BitTorrent cycle restarts.
    bool TakeNewBtCandidates() {
        if (!m_new_bt_candidates) return false;
        m_new_bt_candidates = false;
        m_last_bt_cycle = 0;
        return true;
    }
    TPeerId* FindOrAddAddress(uint32_t address, int32_t port, int32_t kind, bool at_front, int32_t score) override;
    bool PenalizeSource(const TPeerId& source, bool delay, int32_t cycles) override;
    void PenalizeCandidate(TPeerId* source, TPeerObject* peer, int32_t penalty);
    const std::vector<TPeerId*>& Candidates() const { return m_candidates; }
    const std::vector<TPeerObject*>& ActivePeers() const override { return m_active; }
    const std::set<uint32_t>& HandshakenAddresses() const { return m_handshaken; }
    void NoteHandshaken(uint32_t address) override { m_handshaken.insert(address); }
    int32_t LivePeerCount() const { return m_live_peers; }

    // A peer object of `kind`, pooled or new, bound to the task (the task
    // class supplies it).
    virtual TPeerObject* CreatePeer(int kind) = 0;

    // Connections.
    bool OpenConnections(TPeerId* candidate, int32_t opened, int32_t room, int32_t* count);
    bool ConnectNow(TPeerId* candidate);
    void ReleasePeer(TPeerObject* peer);
    int32_t NewConnectionBudget();
    bool CanConnect(TPeerId& candidate, bool fast);
    bool IsConnectable(TPeerId& candidate);
    int32_t PeerCeiling();

    // Incoming connections: the first decides whether the buffered bytes are
    // a handshake for this task, the second adopts the socket.
    virtual bool IsOwnHandshake(QTcpSocket& socket);
    virtual bool OfferIncoming(std::unique_ptr<QTcpSocket>& socket);
    bool AcceptIncoming(std::unique_ptr<QTcpSocket>& socket);

    PeerCountSummary PeerCounts();
    void AppendStatusLine(const std::string& text);
    std::string StatusText();

    // The task's own BitTorrent identity (set when its handshake is built).
    void SetInfoHash(const std::array<uint8_t, 20>& info_hash) { m_info_hash = info_hash; }
    const std::array<uint8_t, 20>& InfoHash() const override { return m_info_hash; }
    const std::array<uint8_t, 20>& OwnPeerId() const override { return m_own_peer_id; }
    void SetOwnPeerId(const std::array<uint8_t, 20>& id) { m_own_peer_id = id; }
    // Builds the peer id from the torrent's announce address.
    void BuildOwnPeerId(const std::string& announce);
    // The address and port incoming peers reach this task at.
    void SetOwnEndpoint(uint32_t address, int32_t port) {
        m_own_address = address;
        m_own_port = port;
    }

    // The task's own records, as the peers see them.
    bool IsPlainHttp() const override { return TBaseWork::IsPlainHttp(); }
    const std::vector<WebSource>& WebSources() const override { return TBaseWork::WebSources(); }
    TaskStatusBlock LiveStatus() override { return TBaseWork::LiveStatus(); }
    void SetTrackerFigures(int32_t interval_s, int64_t done_peers, int64_t completed) override {
        TBaseWork::SetTrackerFigures(interval_s, done_peers, completed);
    }
    uint32_t ListenerAddress() override;
    int32_t ListenerPort() override;
    bool UsesUdpStreams() override;

    // Services the piece layers give the peers (defaults: no piece map).
    bool HasPieceMap() override { return false; }
    int32_t PeerPieceLength() override { return 0; }
    void ReturnBlocks(std::vector<TBlockRequest>& list) override { list.clear(); }
    // Takes a matching entry out of the returned-block pool.
    bool TakeReturnedRequest(int32_t /*block*/, int32_t /*length*/) override { return false; }
    BlockWriteResult WriteBlock(TPeerObject* /*from*/, int32_t /*block*/, int32_t /*length*/,
                                        const uint8_t* /*data*/) override {
        return {};
    }
    // The part of `piece` still to fetch: offset inside the piece and bytes.
    bool MissingPartOfPiece(int32_t /*piece*/, int32_t* /*offset*/, int32_t* /*bytes*/) override { return false; }
    bool HasBlock(int32_t /*block*/) override { return false; }
    // The piece a pending read of the task's files waits for, or -1.
    int32_t ReadPosition() override { return -1; }
    bool IsEndGame() override { return false; }
    // Piece choice of the BitTorrent peers: engagement through the task's
    // scheduler (so two peers are not sent after the same piece before every
    // piece is taken), the pieces already begun, the files in their priority
    // order and the returned-block pool filtered by a remote's bitfield.
    bool EngagePiece(int32_t /*piece*/) override { return false; }
    int32_t EngagementCount(int32_t /*piece*/) override { return 0; }
    void ReleaseEngagedPiece(int32_t /*piece*/) override {}
    std::vector<int32_t> PartialPieceList() override { return {}; }
    std::vector<PeerFileSpan> FileSpans() override { return {}; }
    bool TakeReturnedBlocksFor(std::vector<TBlockRequest>& /*list*/, const std::vector<uint8_t>& /*bits*/,
                                       int32_t /*max*/) override {
        return false;
    }
    bool IsBlockReturned(int32_t /*block*/) override { return false; }
    // Reads a verified block for an upload: bytes read, 0 when not
    // available now, -1 when it cannot be read.
    int32_t ReadUploadBlock(int32_t /*block*/, int32_t /*length*/, uint8_t* /*out*/, int32_t /*read_ahead*/) override {
        return -1;
    }
    // Pieces still missing (0 when complete or without a map).
    int32_t PiecesMissing() override { return 0; }
    // The piece is verified: it may be announced and served.
    bool HoldsPiece(int32_t /*piece*/) override { return false; }
    // The BitTorrent peers wait before choosing pieces (the web sources'
    // claims are not laid out yet).
    bool PeersWaitForWebClaims() override { return false; }
    // Adds a source by its URL text ("tracker://...", "btnode://..." or a
    // web address) to the candidates.
    bool AddSourceText(const std::string& url);
    // HAVE messages for newly verified pieces, appended to every active
    // BitTorrent peer's output.
    void SendHavesToPeers(const std::vector<uint32_t>& pieces);
    // The work thread's choke decisions (every 10 seconds): at most `slots`
    // BitTorrent peers stay unchoked, the best by their rate towards us
    // (while downloading) or from us (when complete), plus one rotating
    // optimistic unchoke.
    void ChokeDecisions(uint32_t slots, bool complete);
    // Whether every piece is verified (from the live status block).
    bool IsDownloadCompleteForPeers() override;
    void NoteOutputPending() override { m_output_pending = true; }
    // The task's average since its start is trusted to decide how quickly
    // back-offs of web sources shrink (fast: no extra shrinking).
    void SetFastBackoff(bool fast) { m_fast_backoff = fast; }
    // Whether an incoming connection has reached any task of the process.
    static bool IncomingSeen();
    static void ResetIncomingSeen();
    static void MarkIncomingSeen();

protected:
    // Peer objects: a pooled one of `kind`, or a new one from the factory.
    TPeerObject* TakePooledPeer(int kind);
    TPeerObject* NewPeer(int kind);

    // The work thread's calls into the peer set.
    virtual void AddSourceUrls();
    virtual void ResolvePending();
    virtual void ConnectWebSources();
    // The next ConnectWebSources call runs even if this second's cycle ran.
    void RestartWebCycle() { m_last_web_cycle = 0; }
    virtual void ConnectBtPeers();
    virtual void DropPeers(int kinds, int count, bool only_unproductive);
    virtual size_t CandidateCount() { return m_candidates.size(); }
    virtual void ServicePeers(const PeerPumpPass& pass);
    // The pause between two passes of a seeding task: up to `ms`, ended
    // early by a peer's input (its REQUESTs) or by room to send what a peer
    // still holds, so that a leecher's requests are answered when they
    // arrive rather than after a fixed sleep.
    void PauseForPeers(uint32_t ms);
    virtual void PeerUpkeep(bool complete);
    virtual PeerRates MeasuredPeerRates();
    virtual void CheckRequests();
    virtual int ConnectedWebPeers();
    virtual int ConnectableWebCandidates();
    virtual void ReAddSavedSources(bool now);
    virtual void AddRandomSources(int count, bool now = false);
    virtual bool SpreadsWebSources() { return m_spread_web_sources; }
    virtual void DropSlowWebPeer();
    // Incoming connections and the shared-services check, every 400 ms (the
    // process-wide dispatcher calls IsOwnHandshake/OfferIncoming).
    virtual void DispatchIncoming() {}
    virtual bool OnlyTrackerPeersForAMinute() { return false; }
    virtual void ApplyPendingPeerChanges() {}
    virtual void ResetPeers();

    void ExpandAddresses();
    bool DropSlowPeer(int kinds, int count);
    void SortCandidates();
    void SortActivePeers(bool complete);
    // A source whose host did not resolve: code 20216, published at once.
    void ReportUnresolvedSource();
    // Removes web candidates that keep delivering bad pieces.
    void RemoveBadWebSources();

private:
    bool AddParsedSource(TPeerId& candidate, bool now);
    bool ParseNewSource(const std::string& url, TPeerId& candidate);
    void RemoveCandidate(TPeerId* candidate);
    void MoveCandidateToEnd(TPeerId* candidate);
    void RemovePeerFromActive(TPeerObject* peer);
    void EndPeer(TPeerObject* peer, int32_t penalty);
    int ConnectedPeersOf(int kinds, bool skip_redirected_web);
    bool IsOwnPeerId(const std::array<uint8_t, 20>& id) const;
    // This node's listening endpoint, or the one the rendezvous server sees
    // it at behind NAT (a tracker lists a node there, itself included).
    bool IsOwnEndpoint(uint32_t address, int32_t port);
    bool IsCycleDue(int64_t& last_cycle);
    int32_t OpenCount(const TPeerId& candidate) const;

    int32_t m_web_limit = 49;  // task lock
    int32_t m_bt_limit = 0;    // task lock
    std::string m_status_text;  // task lock
    PeerFactory m_peer_factory;
    std::vector<TPeerObject*> m_active;
    std::vector<TPeerObject*> m_pool;
    std::vector<TPeerId*> m_candidates;
    std::set<uint32_t> m_handshaken;
    std::vector<std::string> m_saved_sources;
    int32_t m_live_peers = 0;
    int32_t m_per_source_connections = 1;
    bool m_spread_web_sources = false;
    int32_t m_idle_cycles = 0;
    int64_t m_last_web_cycle = 0;
    int64_t m_last_bt_cycle = 0;
    bool m_new_bt_candidates = false;
    bool m_output_pending = false;
    std::array<uint8_t, 20> m_info_hash{};
    std::array<uint8_t, 20> m_own_peer_id{};
    uint32_t m_own_address = 0;
    int32_t m_own_port = 0;
    bool m_fast_backoff = true;
    uint32_t m_optimistic_turn = 0;
    int64_t m_last_rate_measure = 0;
    // PauseForPeers: the peers' traffic when the last pause began, and
    // whether it ended early.
    int64_t m_traffic_at_pause = 0;
    bool m_pause_cut_short = false;
};

}  // namespace engine
