// Cache half of TPieces: the block services the peers call, and the upkeep
// that writes, keeps or evicts piece buffers within the cache limit.

#include <algorithm>

#include "engine/pieces/TBlockRequest.h"
#include "engine/pieces/TPieces.h"

namespace engine {

namespace {

// Partial pieces idle for IdleFlushSeconds write what they have once it is at
// least one full flush unit.
constexpr int32_t IdleFlushMinimum = 131072;
// Trimming is pointless below one cache unit.
constexpr int32_t CacheUnit = 262144;
// Without pressure the cache is still trimmed every six lifetimes.
constexpr int64_t TrimIntervalLifetimes = 6;

}  // namespace

void TPieces::RemovePartialPiece(int32_t index) { std::erase(m_partial_pieces, index); }

void TPieces::AddPartialPiece(int32_t index) {
    if (std::find(m_partial_pieces.begin(), m_partial_pieces.end(), index) == m_partial_pieces.end()) {
        m_partial_pieces.push_back(index);
    }
}

int32_t TPieces::WriteBlock(int64_t block, int32_t length, const uint8_t* data, TBlockSource* source,
                            bool& accepted) {
    accepted = false;
    if (m_pending_writes > 0) CollectWrites(false);
    const int64_t index = block >= 0 ? PieceOfBlock(block) : -1;
    if (!IsPieceValid(index)) return length;
    TPiece& piece = *m_pieces[static_cast<size_t>(index)];
    const bool was_complete = piece.IsCompleteInMemory();
    const int32_t result =
        piece.ReceiveBlock(data, length, static_cast<int32_t>(OffsetOfBlock(block)), source, accepted);
    if (was_complete || !piece.IsCompleteInMemory()) return result;
    // Complete pieces wait in memory for the 5-second upkeep, but never
    // beyond half the cache: a fast source would otherwise fill memory with
    // pieces between two upkeep passes. (Usually the piece's write was
    // queued while it was hashed; this writes it when it could not be.)
    if (!piece.m_write_pending && m_complete_in_memory > CacheLimit() / 2) {
        if (piece.WriteComplete() != piece.m_size) {
            SetPieceDone(index, false);
        } else {
            DropWrittenBuffer(piece);
        }
    }
    // Nor may the cached copies of done pieces and the complete pieces
    // together pass the cache between two upkeep passes.
    if (m_cached_bytes > CacheLimit()) TrimCache();
    return result;
}

void TPieces::DropWrittenBuffer(TPiece& piece) {
    m_cached_bytes = std::max(m_cached_bytes - piece.m_buffer.BufferedBytes(), 0);
    piece.DropBuffer();
}

int64_t TPieces::WriteQueueLimit() const { return std::max<int64_t>(CacheLimit() / 4, m_piece_length); }

int64_t TPieces::WriteWakeBytes() const { return std::min<int64_t>(1048576, WriteQueueLimit() / 2); }

bool TPieces::QueueHashedWrite(TPiece& hashing) {
    // Without digests there is no hash to overlap with.
    if (!m_has_digests) return false;
    // Only a piece that goes to disk at once anyway: complete pieces are
    // otherwise kept in memory for upload reads until the upkeep.
    const bool write_now = m_write_on_completion ||
                           m_complete_in_memory + hashing.m_buffer.BufferedBytes() > CacheLimit() / 2;
    return write_now && QueueCompleteWrite(hashing, false);
}

bool TPieces::QueueCompleteWrite(TPiece& piece, bool keep_cached) {
    if (piece.m_write_pending) return false;
    // The queue holds piece memory: past its limit the work thread lets the
    // writer catch up, by half, so it waits once for several pieces.
    const int64_t limit = WriteQueueLimit();
    if (m_writer.QueuedBytes() + piece.m_size > limit) m_writer.WaitBelow(limit / 2);
    std::vector<TPieceWriter::Write> writes;
    const int32_t from = piece.m_written_prefix;
    if (!PrepareBufferedWrites(piece, writes)) return false;
    TPieceWriter::Job job = TPieceWriter::MakeJob(piece.m_index, from, writes);
    job.keep_cached = keep_cached;
    const bool wake = m_writer.QueuedBytes() + job.bytes >= WriteWakeBytes();
    if (!m_writer.Queue(std::move(job), wake)) return false;
    piece.m_write_pending = true;
    ++m_pending_writes;
    return true;
}

void TPieces::CollectWrites(bool wake_writer) {
    if (m_pending_writes <= 0) return;
    if (wake_writer) m_writer.Wake();
    if (!m_writer.HasFinished()) return;
    m_writer.Collect(m_collected, false);
    FinishCollectedWrites();
}

void TPieces::DrainWrites() {
    if (m_pending_writes <= 0 && m_collected.empty()) return;
    m_writer.Collect(m_collected, true);
    FinishCollectedWrites();
}

void TPieces::FinishCollectedWrites() {
    // One at a time from the member list: an event handler that drains
    // again goes on where this loop is.
    while (!m_collected.empty()) {
        const TPieceWriter::Job job = std::move(m_collected.front());
        m_collected.erase(m_collected.begin());
        FinishQueuedWrite(job);
    }
}

void TPieces::FinishQueuedWrite(const TPieceWriter::Job& job) {
    if (!IsPieceValid(job.piece)) return;
    TPiece& piece = *m_pieces[static_cast<size_t>(job.piece)];
    if (!piece.m_write_pending) return;
    piece.m_write_pending = false;
    m_pending_writes = std::max(m_pending_writes - 1, 0);
    // A piece that failed its check meanwhile stays as it is: fetched again.
    if (!piece.IsCompleteInMemory()) return;
    const int32_t buffered = piece.m_buffer.BufferedBytes();
    const int32_t result =
        FinishWrite(piece.m_index, job.from, static_cast<int32_t>(job.written), job.failed, true, nullptr);
    if (piece.AfterWrite(result, buffered) != piece.m_size) {
        SetPieceDone(piece.m_index, false);
    } else if (!job.keep_cached) {
        DropWrittenBuffer(piece);
    }
}

int32_t TPieces::ReadBlock(int64_t block, int32_t length, uint8_t* out, int32_t read_ahead, bool force) {
    const int64_t index = block >= 0 ? PieceOfBlock(block) : -1;
    if (!IsPieceValid(index)) return -1;
    return m_pieces[static_cast<size_t>(index)]->ReadForUpload(out, length, static_cast<int32_t>(OffsetOfBlock(block)),
                                                               Scratch(), Now(), read_ahead, force);
}

void TPieces::MaintainCache() {
    DrainWrites();
    const int64_t now = Now();
    const int64_t limit = CacheLimit();
    const int64_t budget = m_cached_bytes >= limit / 2 ? limit / 5 : limit / 2;
    int64_t kept = 0;
    // Queued pieces stay complete in memory (and counted) until collected.
    int64_t queued = 0;
    for (auto& p : m_pieces) {
        TPiece& piece = *p;
        if (piece.m_buffer.BufferedBytes() <= 0) continue;
        const bool done = m_bitfield.Get(piece.m_index);
        if (!piece.IsCompleteInMemory()) {
            if (piece.m_verified || piece.m_skipped || done) {
                if (piece.m_skipped && !done) {
                    piece.m_verified = false;
                    piece.DropBuffer();
                }
            } else if (piece.m_buffer.BufferedBytes() >= IdleFlushMinimum &&
                       now - piece.m_last_access > IdleFlushSeconds) {
                piece.Flush(IdleFlushMinimum);
            }
            continue;
        }
        if (kept < budget) {
            kept += piece.m_buffer.BufferedBytes();
        } else if (QueueCompleteWrite(piece, true)) {
            queued += piece.m_buffer.BufferedBytes();
        } else if (piece.WriteComplete() != piece.m_size) {
            SetPieceDone(piece.m_index, false);
        }
    }
    m_complete_in_memory = kept + queued;
    TrimCache();
}

int32_t TPieces::TrimCache() {
    const int64_t now = Now();
    const int64_t limit = CacheLimit();
    if (m_cached_bytes < limit && now - m_last_trim <= TrimIntervalLifetimes * CacheLifetimeSeconds) {
        return m_cached_bytes / CacheUnit;
    }
    if (m_cached_bytes <= CacheUnit) return m_cached_bytes / CacheUnit;
    std::vector<TPiece*> candidates;
    int64_t candidate_bytes = 0;
    for (auto& p : m_pieces) {
        TPiece& piece = *p;
        if (piece.m_buffer.BufferedBytes() <= 0 || piece.IsCompleteInMemory()) continue;
        const bool done = m_bitfield.Get(piece.m_index);
        if (done) {
            if (now - piece.m_last_access > CacheLifetimeSeconds) {
                piece.DropBuffer();
            } else {
                candidates.push_back(&piece);
                candidate_bytes += piece.m_buffer.BufferedBytes();
            }
        } else if (piece.m_skipped) {
            piece.DropBuffer();
        }
        // Pieces still being received are never evicted.
    }
    if (candidate_bytes + m_complete_in_memory >= limit) {
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const TPiece* a, const TPiece* b) { return a->m_last_access < b->m_last_access; });
        const int64_t target = limit - std::max<int64_t>(limit / 10, CacheUnit);
        for (TPiece* piece : candidates) {
            if (candidate_bytes + m_complete_in_memory <= target) break;
            candidate_bytes -= piece->m_buffer.BufferedBytes();
            piece->DropBuffer();
        }
    }
    m_cached_bytes = static_cast<int32_t>(std::min<int64_t>(candidate_bytes + m_complete_in_memory, INT32_MAX));
    m_last_trim = now;
    return m_cached_bytes / CacheUnit;
}

void TPieces::FlushComplete() {
    DrainWrites();
    if (!IsAllScanned()) return;
    for (auto& p : m_pieces) {
        if (!p->IsCompleteInMemory()) continue;
        if (p->WriteComplete() != p->m_size) SetPieceDone(p->m_index, false);
    }
    m_complete_in_memory = 0;
}

int64_t TPieces::FlushRange(int64_t first, int64_t last) {
    DrainWrites();
    int64_t flushed = 0;
    for (int64_t i = std::max<int64_t>(first, 0); i <= last && IsPieceValid(i); ++i) {
        if (IsStopping()) break;
        TPiece& piece = *m_pieces[static_cast<size_t>(i)];
        const int32_t buffered = piece.m_buffer.BufferedBytes();
        if (piece.m_written_prefix + buffered >= piece.m_size && m_has_digests && piece.IsCompleteInMemory()) {
            piece.WriteComplete();
        } else if (!m_bitfield.Get(i) && buffered > 0) {
            piece.Flush(IdleFlushMinimum);
        }
        if (!m_bitfield.Get(i)) flushed += buffered;
    }
    for (auto& f : m_files) f->m_file.Close();
    return flushed;
}

}  // namespace engine
