// The task's part in LAN discovery: its identity for the process-wide
// multicast endpoint, and the senders it hears of becoming candidates.

#include "engine/base/EngineSettings.h"
#include "engine/frame/TWorkThread.h"
#include "engine/frame/WorkList.h"
#include "engine/peers/TPeerId.h"

namespace engine {

namespace {

// A peer on the LAN outranks every other candidate (web sources and tracker
// peers score below 35): it is close and fast.
constexpr int32_t LanPeerScore = 35;

}  // namespace

void TWorkThread::AnnounceOnLan() {
    if (!IsP2PEnabled() || !IsMetadataReady()) return;
    LanTaskIdentity self;
    self.task = static_cast<const TBaseWork*>(this);
    self.info_hash = InfoHash();
    self.peer_id = OwnPeerId();
    self.address = ListenerAddress();
    self.port = static_cast<uint16_t>(ListenerPort());
    if (self.address == 0 || self.port == 0) return;
    const std::vector<LanMessage> found = LanDiscoveryStep(self, m_lan, WorkListSnapshot().size());
    for (const LanMessage& m : found) {
        TPeerId* candidate = FindOrAddAddress(m.address, m.port, PeerKindBt, true, LanPeerScore);
        if (candidate) candidate->m_peer_id = m.peer_id;
    }
    if (!found.empty()) NoteNewBtCandidates();
}

}  // namespace engine
