#include "engine/pieces/TPieceScheduler.h"

#include <algorithm>

#include "engine/pieces/TPieces.h"

namespace engine {

namespace {

// Every piece may be engaged at least this often beyond its remaining count
// before end game: with up to 194 peer objects a piece can be fetched by
// max(65 − remaining, 2) peers at once.
constexpr int32_t EngageBase = 64;
// Released pieces keep their partial data in end game, unless only this many
// pieces remain (then a stalled piece is better fetched afresh).
constexpr int64_t EndGameDropRemaining = 3;
// Requests handed to a peer from the pool when it names no maximum.
constexpr int32_t DefaultTakeMax = 16;
// The pool is kept sorted once it holds more than 64 pieces' worth of
// blocks (plus 64).
constexpr int64_t PoolSortPieces = 64;

}  // namespace

TPieceScheduler::TPieceScheduler(TPieceTask* task) : m_task(task) {}

void TPieceScheduler::OnPiecesEvent(const TPiecesEvent& event) {
    using namespace PiecesEventCode;
    switch (event.code) {
        case PieceChanged: OnPieceChanged(event); break;
        case PieceVerifiedInMemory: QueueVerifiedHave(event.value); break;
        case QuickVerified:
            if (event.argument == 0 && event.value == 0 && m_pieces) {
                m_bitfield_copy.FillBytes(0xFF);
                m_status.done_or_skipped = m_pieces->DoneOrSkipped();
                m_status.completed_bytes = m_pieces->CompletedBytes();
                m_status.scanned_bytes = m_pieces->ScannedBytes();
            }
            break;
        case Examination:
            if (event.argument == 0 && event.value == 0) m_task->PublishStatus(true);
            break;
        case PiecesCreated:
            m_bitfield_copy.Resize(event.value);
            if (m_pieces) m_status.name = m_pieces->Name();
            break;
        case SelectionSaved:
            m_part_blob.assign(reinterpret_cast<const char*>(event.data), event.data ? event.argument : 0);
            m_part_dirty = true;
            break;
        case PieceStateSaved:
            m_bits_blob.assign(reinterpret_cast<const char*>(event.data), event.data ? event.argument : 0);
            m_bits_dirty = true;
            break;
        case DiskFull: OnDiskFault(StateDiskFull); break;
        case DiskSpaceBack: m_disk_error = false; break;
        case FileUnusable: OnDiskFault(StateFileUnusable); break;
        default: break;
    }
}

void TPieceScheduler::OnPieceChanged(const TPiecesEvent& event) {
    m_bitfield_copy.Set(event.value, event.flag != 0);
    if (!m_pieces) return;
    m_status.done_or_skipped = m_pieces->DoneOrSkipped();
    m_status.cached_bytes = m_pieces->CachedBytes();
    const auto index = static_cast<size_t>(event.value);
    const bool early = event.value >= 0 && index < m_announced_early.size() && m_announced_early[index];
    if (early) m_announced_early[index] = false;
    if (event.flag != 0 && m_pieces->IsAllScanned()) {
        std::erase(m_engaged, event.value);
        if (!early) QueueHave(event.value);
    }
}

void TPieceScheduler::QueueVerifiedHave(int32_t index) {
    if (!m_pieces || !m_pieces->IsAllScanned() || index < 0 || index >= m_pieces->PieceCount()) return;
    if (m_pieces->IsPieceDone(index)) return;  // announced when it was done
    const auto at = static_cast<size_t>(index);
    if (m_announced_early.size() <= at) m_announced_early.resize(static_cast<size_t>(m_pieces->PieceCount()), false);
    if (m_announced_early[at]) return;
    m_announced_early[at] = true;
    QueueHave(index);
}

void TPieceScheduler::OnDiskFault(int32_t state_code) {
    m_task->SetErrorCode(state_code);
    m_disk_error = true;
    m_task->RequestStop();
}

// --- engagement -----------------------------------------------------------------

int32_t TPieceScheduler::EngagementCount(int32_t index) const {
    return static_cast<int32_t>(std::count(m_engaged.begin(), m_engaged.end(), index));
}

bool TPieceScheduler::EngagePiece(int32_t index) {
    if (!m_pieces) return false;
    const int64_t n = m_pieces->PieceCount();
    const int64_t d = m_pieces->DoneOrSkipped();
    const int64_t peers = m_task->PeerObjectCount();
    const int64_t allowed = std::max<int64_t>(std::max<int64_t>(peers / 3, EngageBase) + d - n, 1);
    if (EngagementCount(index) > allowed) return false;
    m_engaged.push_back(index);
    return true;
}

bool TPieceScheduler::ReleasePiece(int32_t index, bool drop_data) {
    if (!drop_data) {
        auto it = std::find(m_engaged.begin(), m_engaged.end(), index);
        if (it == m_engaged.end()) return false;
        m_engaged.erase(it);
        return true;
    }
    if (m_pieces) {
        const int64_t remaining = m_pieces->PieceCount() - m_pieces->DoneOrSkipped();
        if ((!m_end_game || remaining <= EndGameDropRemaining) && !m_task->IsStopping()) m_pieces->ResetPiece(index);
    }
    return std::erase(m_engaged, index) > 0;
}

bool TPieceScheduler::UpdateEndGame() {
    if (!m_pieces) return false;
    const int64_t remaining = m_pieces->PieceCount() - m_pieces->DoneOrSkipped();
    m_end_game = static_cast<int64_t>(m_engaged.size()) >= remaining;
    if (m_end_game) m_end_game_reached = true;
    return m_end_game;
}

// --- returned blocks --------------------------------------------------------------

void TPieceScheduler::ReturnBlocks(std::vector<TBlockRequest>& list) {
    if (!m_task->IsStopping()) m_returned.insert(m_returned.begin(), list.begin(), list.end());
    list.clear();
}

bool TPieceScheduler::TakeReturnedBlock(int32_t block, int32_t length) {
    auto it = std::find_if(m_returned.begin(), m_returned.end(),
                           [&](const TBlockRequest& r) { return r.block == block && r.length == length; });
    if (it == m_returned.end()) return false;
    m_returned.erase(it);
    return true;
}

bool TPieceScheduler::TakeReturnedBlocks(std::vector<TBlockRequest>& list, const TBitfield& peer_bitfield,
                                         int32_t max, const std::vector<int32_t>& excluded) {
    if (!m_pieces || m_pieces->PieceLength() <= 0) return false;
    int64_t chosen = -1;
    int64_t previous = -1;
    for (const TBlockRequest& r : m_returned) {
        const int64_t piece = m_pieces->PieceOfBlock(r.block);
        if (piece == previous) continue;
        previous = piece;
        const bool is_excluded = std::find(excluded.begin(), excluded.end(), piece) != excluded.end();
        if (peer_bitfield.Get(piece) && !is_excluded && m_pieces->IsPieceWanted(piece)) {
            chosen = piece;
            break;
        }
    }
    if (chosen < 0) return false;
    const size_t limit = static_cast<size_t>(max <= 0 ? DefaultTakeMax : max);
    const int32_t now = static_cast<int32_t>(m_task->NowSeconds());
    for (auto it = m_returned.begin(); it != m_returned.end() && list.size() < limit;) {
        const bool same_piece = m_pieces->PieceOfBlock(it->block) == chosen;
        const bool held = std::any_of(list.begin(), list.end(), [&](const TBlockRequest& r) {
            return r.block == it->block && r.length == it->length;
        });
        if (same_piece && !held) {
            TBlockRequest moved = *it;
            moved.time = now;
            list.push_back(moved);
            it = m_returned.erase(it);
        } else {
            ++it;
        }
    }
    return !list.empty();
}

void TPieceScheduler::MaintainReturnedPool() {
    if (!m_pieces) return;
    const int64_t sort_above = (m_pieces->PieceLength() / BlockSize) * PoolSortPieces + PoolSortPieces;
    if (!m_end_game && static_cast<int64_t>(m_returned.size()) > sort_above) {
        std::stable_sort(m_returned.begin(), m_returned.end(),
                         [](const TBlockRequest& a, const TBlockRequest& b) { return a.block < b.block; });
    } else if (m_pieces->IsAllDone() && !m_returned.empty()) {
        m_returned.clear();
    }
}

// --- start piece, have queue, status ------------------------------------------------

int64_t TPieceScheduler::RandomStartPiece() const {
    if (!m_pieces || m_pieces->PieceCount() <= 0) return 0;
    const int64_t n = m_pieces->PieceCount();
    const int64_t d = m_pieces->DoneOrSkipped();
    const int64_t m = 20 * d + 6;
    int64_t r = static_cast<int64_t>(m_task->TickCount()) % m;
    r %= n;  // the repeated subtraction of n, in one step
    return d > 1 ? r + d : r;
}

void TPieceScheduler::QueueHave(int32_t index) {
    if (std::find(m_have_queue.begin(), m_have_queue.end(), index) == m_have_queue.end()) {
        m_have_queue.push_back(index);
    }
}

bool TPieceScheduler::AwaitsHave(int32_t index) const {
    return std::find(m_have_queue.begin(), m_have_queue.end(), index) != m_have_queue.end();
}

std::vector<int32_t> TPieceScheduler::TakeHaveQueue() {
    std::vector<int32_t> out;
    out.swap(m_have_queue);
    return out;
}

void TPieceScheduler::PublishPieceStatus() {
    if (!m_pieces || !m_pieces->IsLayoutValid()) return;
    m_status.total_length = m_pieces->TotalLength();
    m_status.completed_bytes = m_pieces->CompletedBytes();
    m_status.wanted_bytes = m_pieces->WantedBytes();
    m_status.piece_count = m_pieces->PieceCount();
    m_status.done_or_skipped = m_pieces->DoneOrSkipped();
    m_status.wanted_pieces = m_pieces->WantedPieces();
    m_status.cached_bytes = m_pieces->CachedBytes();
    m_status.piece_length = m_pieces->PieceLength();
    m_status.scanned_bytes = m_pieces->ScannedBytes();
    if (m_status.scanned_bytes != m_status.total_length) m_task->PublishStatus(false);
}

void TPieceScheduler::ResetScheduling() {
    m_end_game = false;
    m_end_game_reached = false;
    m_engaged.clear();
    m_have_queue.clear();
    m_announced_early.clear();
    m_returned.clear();
}

}  // namespace engine
