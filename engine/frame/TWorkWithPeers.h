#pragma once
// Layer 2 of a download task: peers and connections. This is the seam the
// peer layer fills: the connection limits and the peer pool live here; the
// candidate list, the connection duties and the per-peer steps are virtual
// hooks whose defaults do nothing (no peers, no candidates) until the peer
// layer overrides them.
//
// Thread: the work thread, except SetConnectionLimits (engine calls, task
// lock) and the pool (work thread only).

#include <functional>
#include <memory>
#include <vector>

#include "engine/frame/TBaseWork.h"

namespace engine {

// Peer kinds; web sources are HTTP and FTP (mask 6).
enum PeerKind : int { PeerKindBt = 1, PeerKindHttp = 2, PeerKindFtp = 4, PeerKindTracker = 8 };
constexpr int PeerKindsWeb = PeerKindHttp | PeerKindFtp;

// What the task's peer pool needs of a peer object.
class TPoolablePeer {
public:
    virtual ~TPoolablePeer() = default;
    virtual int Kind() const = 0;
    // Makes a new or reused peer ready for a fresh connection.
    virtual void Initialize() = 0;
};
// Creates a peer of one kind (kind 8 in tracker mode 2); null for other kinds.
using PeerFactory = std::function<std::unique_ptr<TPoolablePeer>(int kind)>;

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

class TWorkWithPeers : public TBaseWork {
public:
    void SetConnectionLimits(int32_t web_limit, int32_t bt_limit);
    int32_t WebLimit();
    int32_t BtLimit();

    // Installs the factory CreatePeer uses for new peers.
    void SetPeerFactory(PeerFactory factory) { m_peer_factory = std::move(factory); }
    void ReturnPeerToPool(std::unique_ptr<TPoolablePeer> peer);
    size_t PooledPeers() const { return m_peer_pool.size(); }

protected:
    std::unique_ptr<TPoolablePeer> TakePooledPeer(int kind);
    std::unique_ptr<TPoolablePeer> NewPeer(int kind);

    // Hooks of the peer layer (defaults: nothing to do).
    virtual void AddSourceUrls() {}
    virtual void ResolvePending() {}
    virtual void ConnectWebSources() {}
    virtual void ConnectBtPeers() {}
    virtual void DropPeers(int /*kinds*/, int /*count*/, bool /*only_unproductive*/) {}
    virtual size_t CandidateCount() { return 0; }
    virtual void ServicePeers(const PeerPumpPass& /*pass*/) {}
    // Rate measurement, surplus and idle connections, bad candidates.
    virtual void PeerUpkeep(bool /*complete*/) {}
    virtual PeerRates MeasuredPeerRates() { return {}; }
    virtual void CheckRequests() {}
    virtual int ConnectedWebPeers() { return 0; }
    virtual int ConnectableWebCandidates() { return 0; }
    virtual void ReAddSavedSources() {}
    virtual void AddRandomSources(int /*room*/) {}
    virtual bool SpreadsWebSources() { return false; }
    virtual void DropSlowWebPeer() {}
    // Incoming connections and the shared-services check, every 400 ms.
    virtual void DispatchIncoming() {}
    virtual bool OnlyTrackerPeersForAMinute() { return false; }
    virtual void ApplyPendingPeerChanges() {}
    virtual void ResetPeers() {}

private:
    int32_t m_web_limit = 0;  // task lock
    int32_t m_bt_limit = 0;   // task lock
    PeerFactory m_peer_factory;
    std::vector<std::unique_ptr<TPoolablePeer>> m_peer_pool;
};

}  // namespace engine
