// TWorkWithPieces, the services the BitTorrent peers use: engagement of
// pieces, the pieces already begun, the files in priority order, the
// returned-block pool, the upload read path, and the torrent's identity.
// Work thread only.

#include <algorithm>

#include "engine/base/EngineClock.h"
#include "engine/frame/SharedServices.h"
#include "engine/frame/TWorkWithPieces.h"
#include "engine/meta/TTorrent.h"
#include "engine/peers/TClaims.h"
#include "engine/peers/TPeerId.h"
#include "engine/pieces/TFileEntry.h"
#include "engine/pieces/TPieceScheduler.h"
#include "engine/pieces/TPieces.h"

namespace engine {

bool TWorkWithPieces::EngagePiece(int32_t piece) {
    // Without a scheduled map (a task described by a metainfo loader) there
    // is nobody to coordinate with.
    if (!m_pieces) return HasPieceMap();
    return HasPieceMap() && m_scheduler->EngagePiece(piece);
}

int32_t TWorkWithPieces::EngagementCount(int32_t piece) { return m_scheduler->EngagementCount(piece); }

void TWorkWithPieces::ReleaseEngagedPiece(int32_t piece) { m_scheduler->ReleasePiece(piece, false); }

std::vector<int32_t> TWorkWithPieces::PartialPieceList() {
    if (!m_pieces || !HasPieceMap()) return {};
    return m_pieces->PartialPieces();
}

std::vector<PeerFileSpan> TWorkWithPieces::FileSpans() {
    std::vector<PeerFileSpan> out;
    if (!m_pieces || !HasPieceMap()) return out;
    const int64_t piece_length = m_pieces->PieceLength();
    for (size_t i = 0; i < m_pieces->FileCount(); ++i) {
        const TFileEntry* f = m_pieces->File(i);
        if (!f || f->m_size <= 0 || !f->IsSelected() || piece_length <= 0) continue;
        PeerFileSpan span;
        span.first_piece = static_cast<int32_t>(f->m_offset / piece_length);
        span.last_piece = static_cast<int32_t>((f->End() - 1) / piece_length);
        span.priority = f->m_priority;
        out.push_back(span);
    }
    return out;
}

bool TWorkWithPieces::TakeReturnedBlocksFor(std::vector<TBlockRequest>& list, const std::vector<uint8_t>& bits,
                                            int32_t max) {
    if (!m_pieces || !HasPieceMap() || m_scheduler->ReturnedPool().empty()) return false;
    TBitfield remote(m_pieces->PieceCount());
    if (!remote.Assign(bits.data(), bits.size())) return false;
    return m_scheduler->TakeReturnedBlocks(list, remote, max, {});
}

bool TWorkWithPieces::IsBlockReturned(int32_t block) {
    const std::vector<TBlockRequest>& pool = m_scheduler->ReturnedPool();
    return std::any_of(pool.begin(), pool.end(), [block](const TBlockRequest& r) { return r.block == block; });
}

int32_t TWorkWithPieces::ReadUploadBlock(int32_t block, int32_t length, uint8_t* out, int32_t read_ahead) {
    if (!m_pieces || !HasPieceMap()) return -1;
    return m_pieces->ReadBlock(block, length, out, read_ahead, false);
}

bool TWorkWithPieces::PeersWaitForWebClaims() {
    // The peers choose within the web sources' claims; for a while the task
    // waits for its web connections to lay them out.
    constexpr uint32_t WebHoldOffS = 60;
    if (GetUptimeSeconds() - StartTime() >= WebHoldOffS) return false;
    if (m_claims && !m_claims->List().empty()) return false;
    const std::vector<TPeerId*>& candidates = Candidates();
    return std::any_of(candidates.begin(), candidates.end(),
                       [](const TPeerId* c) { return c->IsWebSource() && !c->FetchesIntoMemory(); });
}

int32_t TWorkWithPieces::PiecesMissing() {
    if (!m_pieces || !HasPieceMap()) return 0;
    return static_cast<int32_t>(std::max<int64_t>(m_pieces->PieceCount() - m_pieces->DoneOrSkipped(), 0));
}

void TWorkWithPieces::AdoptTorrentIdentity() {
    if (!m_torrent) return;
    std::array<uint8_t, 20> hash{};
    std::copy(m_torrent->InfoHash().begin(), m_torrent->InfoHash().end(), hash.begin());
    if (hash != InfoHash() || OwnPeerId() == std::array<uint8_t, 20>{}) {
        SetInfoHash(hash);
        BuildOwnPeerId(m_torrent->Announce());
    }
    RegisterInfoHash(*this, hash);
    for (const std::string& tracker : m_torrent->Trackers()) {
        if (!tracker.empty()) AddSourceText("tracker://" + tracker);
    }
}

}  // namespace engine
