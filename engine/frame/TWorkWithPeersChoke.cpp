// The peer set's BitTorrent duties that span all peers: sources named by the
// torrent, HAVE batches and the choke decisions. Work thread only.

#include <algorithm>

#include "engine/peers/TBTPeer.h"
#include "engine/peers/TPeerId.h"
#include "engine/frame/TWorkWithPeers.h"

namespace engine {

bool TWorkWithPeers::AddSourceText(const std::string& url) {
    TPeerId c;
    if (!ParseNewSource(url, c)) return false;
    return AddParsedSource(c, false);
}

void TWorkWithPeers::SendHavesToPeers(const std::vector<uint32_t>& pieces) {
    if (pieces.empty()) return;
    for (TPeerObject* peer : m_active) {
        if (peer->Kind() != PeerKindBt || !peer->IsActive()) continue;
        static_cast<TBTPeer*>(peer)->QueueHaves(pieces);
    }
}

void TWorkWithPeers::ChokeDecisions(uint32_t slots, bool complete) {
    std::vector<TBTPeer*> peers;
    for (TPeerObject* peer : m_active) {
        if (peer->Kind() == PeerKindBt && peer->IsActive()) peers.push_back(static_cast<TBTPeer*>(peer));
    }
    if (peers.size() <= slots || slots == 0) {
        // Room for everyone: nobody needs to wait.
        for (TBTPeer* peer : peers) {
            if (peer->WeChoke()) peer->Unchoke();
        }
        return;
    }
    // Reciprocity while downloading (who gives us most), throughput when
    // complete (who takes most); the newer peer first on a tie so that fresh
    // connections get a chance to show their rate.
    std::stable_sort(peers.begin(), peers.end(), [complete](TBTPeer* a, TBTPeer* b) {
        const int32_t ra = complete ? a->UploadRate() : a->DownloadRate();
        const int32_t rb = complete ? b->UploadRate() : b->DownloadRate();
        if (ra != rb) return ra > rb;
        return a->Stats().connect_time > b->Stats().connect_time;
    });
    const size_t regular = slots > 1 ? slots - 1 : slots;
    const size_t optimistic = regular + (m_optimistic_turn++ % (peers.size() - regular));
    for (size_t i = 0; i < peers.size(); ++i) {
        const bool keep = i < regular || i == optimistic;
        if (keep && peers[i]->WeChoke()) peers[i]->Unchoke();
        if (!keep && !peers[i]->WeChoke()) peers[i]->Choke();
    }
}

}  // namespace engine
