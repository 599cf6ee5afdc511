#include "engine/pieces/TPieceCache.h"

#include <algorithm>
#include <cstdio>

#include "engine/pieces/TBlockSource.h"
#include "engine/pieces/TPiece.h"
#include "engine/pieces/TPieceStorage.h"
#include "engine/pieces/TPieces.h"

namespace engine {

namespace {

// Upload reads fetch at least this much, in blocks.
constexpr int32_t MinReadAhead = 65536;
constexpr int32_t ReadAheadUnit = 98304;  // per 16 KiB of requested read-ahead
// Trimming is pointless below one cache unit.
constexpr int32_t CacheUnit = 262144;
// Without pressure the cache is still trimmed every six lifetimes.
constexpr int64_t TrimIntervalLifetimes = 6;
// Checking that every wanted piece is verified is only worth a walk once
// few pieces are left.
constexpr int64_t VerifiedWalkBelow = 256;

}  // namespace

TPieceCache::TPieceCache(TPieces& map, TPieceStorage& storage) : m_map(map), m_storage(storage) {}

TPieceCache::~TPieceCache() = default;

void TPieceCache::ForgetCounters() {
    m_cached_bytes = 0;
    m_complete_in_memory = 0;
}

// --- blocks in -------------------------------------------------------------------

TBlockResult TPieceCache::ReceiveBlock(int64_t block, int32_t length, const uint8_t* data, TBlockSource* source) {
    TBlockResult result;
    if (m_pending_writes > 0) CollectWrites(false);
    const int64_t index = block >= 0 ? m_map.PieceOfBlock(block) : -1;
    if (!m_map.IsPieceValid(index)) return result;
    TPiece& piece = *m_map.Piece(index);
    const auto offset = static_cast<int32_t>(m_map.OffsetOfBlock(block));
    result.piece = static_cast<int32_t>(index);
    result.outcome = BlockOutcome::NotTaken;
    if (!m_map.IsPieceWanted(index)) return result;
    // A block the piece holds already (a web source and a peer, or two peers
    // near the end, delivered it both) is traffic, not new data.
    const bool held = piece.IsVerifiedComplete() || piece.HoldsBlockAt(offset);
    const bool was_complete = piece.IsCompleteInMemory();
    bool was_buffered = false;
    const TPiece::Take take =
        piece.Store(data, length, offset, source, m_map.NowSeconds(), &was_buffered, m_map.HasDigests());
    if (take == TPiece::Take::Failed) return result;
    result.outcome = held ? BlockOutcome::Duplicate : BlockOutcome::Stored;
    if (take == TPiece::Take::Stored) {
        const int32_t stored = std::min(length, piece.Size() - offset);
        if (piece.IsWhole() && !CompletePiece(piece)) {
            // The block that failed the check was never taken, so it is not
            // among the kept bytes handed back.
            result.outcome = BlockOutcome::PieceFailed;
            return result;
        }
        if (!was_buffered) piece.CountKept(source, stored);
    }
    if (piece.IsCompleteInMemory()) {
        const bool just_completed = !was_complete;
        if (just_completed) result.outcome = BlockOutcome::PieceVerified;
        if (!AfterCompleteBlock(piece, just_completed, &result.file)) {
            // Fetched again: its requests stay useful.
            result.outcome = BlockOutcome::DiskError;
            return result;
        }
        result.piece_complete = true;
    } else if (m_map.IsPieceDone(index)) {
        result.piece_complete = true;
    }
    return result;
}

uint8_t* TPieceCache::BlockPlace(int64_t block, int32_t* room) {
    *room = 0;
    if (m_pending_writes > 0) CollectWrites(false);
    const int64_t index = block >= 0 ? m_map.PieceOfBlock(block) : -1;
    if (!m_map.IsPieceValid(index) || !m_map.IsPieceWanted(index) || m_map.IsPieceDone(index)) return nullptr;
    TPiece& piece = *m_map.Piece(index);
    if (piece.IsVerifiedComplete()) return nullptr;
    return piece.PlaceFor(static_cast<int32_t>(m_map.OffsetOfBlock(block)), room);
}

void TPieceCache::ReleasePlace(int64_t block) {
    const int64_t index = block >= 0 ? m_map.PieceOfBlock(block) : -1;
    if (!m_map.IsPieceValid(index)) return;
    m_map.Piece(index)->ReleasePlace(static_cast<int32_t>(m_map.OffsetOfBlock(block)));
}

bool TPieceCache::CompletePiece(TPiece& piece) {
    const bool has_digests = m_map.HasDigests();
    // A piece that goes to disk at once is written behind the work thread
    // while it is hashed (without digests, while the next pieces arrive);
    // it is marked done when the write is collected. Failing the check waits
    // for that write first.
    if (m_policy.GoesToDiskNow(m_complete_in_memory + piece.BufferedBytes(), true)) {
        QueueCompleteWrite(piece, false);
    }
    if (!piece.VerifyBuffered(has_digests)) {
        FailVerification(piece);
        return false;
    }
    if (piece.LastSource()) piece.LastSource()->ClearBadPieces();
    RecordCompletion(piece);
    return true;
}

void TPieceCache::RecordCompletion(TPiece& piece) {
    // Half a lifetime old (and a little more), so a complete piece is among
    // the first evicted once it is written and nobody reads it.
    piece.MarkComplete(m_map.NowSeconds() - TWritePolicy::CacheLifetimeSeconds / 2 - 5);
    m_complete_in_memory += piece.BufferedBytes();
    m_cached_bytes += piece.BufferedBytes();
    m_map.TouchActivity();
}

void TPieceCache::FailVerification(TPiece& piece) {
    ReportFailure(piece);
    TPiecesOwner* owner = m_map.Owner();
    if (owner && (piece.KeptWebBytes() > 0 || piece.KeptPeerBytes() > 0)) {
        owner->OnKeptBytesDiscarded(piece.KeptWebBytes(), piece.KeptPeerBytes());
    }
    // A write queued while the piece was hashed is made first: its bytes on
    // disk are then as unverified as a flushed prefix, and the piece is
    // fetched again.
    Settle(piece);
    piece.ChargeSource(true);
    piece.DiscardAll();
    m_map.RemovePartialPiece(piece.Index());
}

void TPieceCache::ReportFailure(const TPiece& piece) const {
    TPiecesOwner* owner = m_map.Owner();
    const TBlockSource* source = piece.LastSource();
    if (!owner || !source) return;
    TVerifyFailure failure;
    failure.piece = piece.Index();
    const int32_t kind = source->Kind();
    if (kind == BlockSourceKind::BitTorrent) {
        const uint32_t a = source->AddressV4();
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&a);
        char text[64];
        std::snprintf(text, sizeof text, "%d.%d.%d.%d : %d", b[0], b[1], b[2], b[3], source->Port());
        failure.event_code = "11500102";
        failure.source = text;
    } else if (kind & BlockSourceKind::WebMask) {
        failure.event_code = "11500101";
        failure.source = source->Url();
    } else {
        return;
    }
    owner->OnVerifyFailure(failure);
}

bool TPieceCache::AfterCompleteBlock(TPiece& piece, bool just_completed, std::string* failed_file) {
    // Usually a piece that goes to disk now had its write queued while it
    // was hashed; this writes it when it could not be.
    bool written = true;
    if (!piece.IsWritePending() && m_policy.GoesToDiskNow(m_complete_in_memory, just_completed)) {
        written = WriteOut(piece, false, failed_file);
    }
    // Nor may the cached copies of done pieces and the complete pieces
    // together pass the cache between two upkeep passes.
    if (just_completed && m_cached_bytes > m_policy.CacheLimit()) Trim();
    if (!written) return false;
    // Kept in memory for uploads, and served from there: the peers hear of
    // it now rather than when it reaches the disk (up to a save period
    // later), or they fetch it from the web themselves.
    if (piece.IsCompleteInMemory() && m_policy.AnnouncesFromMemory()) {
        SendPiecesEvent(m_map.Owner(), PiecesEventCode::PieceVerifiedInMemory, 1, 4, piece.Index());
    }
    // Pieces kept in memory count as done only once written: when the last
    // one is verified, all go to disk now, not at the next save.
    if (m_policy.WritesAllWhenVerified() && AllWantedVerified()) FlushComplete();
    return true;
}

bool TPieceCache::AllWantedVerified() const {
    const int64_t count = m_map.PieceCount();
    if (count - m_map.DoneOrSkipped() > VerifiedWalkBelow) return false;
    for (int64_t i = 0; i < count; ++i) {
        if (m_map.IsPieceWanted(i) && !m_map.Piece(i)->IsVerifiedComplete()) return false;
    }
    return true;
}

// --- writing complete pieces --------------------------------------------------------

bool TPieceCache::PrepareBufferedWrites(TPiece& piece, std::vector<TPieceWriter::Write>& writes) {
    // Every chunk of the range must have memory before anything is written.
    if (!piece.HasMemoryAfterPrefix()) return false;
    const int32_t from = piece.WrittenPrefix();
    std::vector<TFileEntry*> files;
    if (from >= piece.Size() || !m_storage.MapPieceToFiles(piece, files)) return false;
    m_storage.PrepareWrites(
        piece, from, piece.Size() - from, [&piece](int32_t at, int32_t* run) { return piece.DataAt(at, run); },
        writes);
    return true;
}

bool TPieceCache::WriteOut(TPiece& piece, bool keep_cached, std::string* failed_file) {
    if (piece.IsWritePending()) {
        // Already on its way: its outcome is the queued write's.
        Settle(piece);
        const bool done = m_map.IsPieceDone(piece.Index());
        if (done && !keep_cached) DropWrittenBuffer(piece);
        return done;
    }
    if (!piece.IsCompleteInMemory()) return false;
    const int32_t buffered = piece.BufferedBytes();
    const int32_t from = piece.WrittenPrefix();
    std::vector<TPieceWriter::Write> writes;
    bool ok = false;
    if (PrepareBufferedWrites(piece, writes)) {
        TPieceWriter::Job job = TPieceWriter::MakeJob(piece.Index(), from, std::move(writes));
        TPieceWriter::RunJob(job);
        ok = !job.failed && from + job.written == piece.Size();
        const TFileEntry* file = job.failed_file >= 0 ? m_storage.File(static_cast<size_t>(job.failed_file)) : nullptr;
        if (!ok && failed_file && file) *failed_file = file->m_path;
    }
    return FinishPieceWrite(piece, ok, buffered, keep_cached);
}

bool TPieceCache::FinishPieceWrite(TPiece& piece, bool ok, int32_t buffered, bool keep_cached) {
    m_complete_in_memory = std::max<int64_t>(m_complete_in_memory - buffered, 0);
    if (!ok) {
        piece.FailWrite();
        m_map.SetPieceDone(piece.Index(), false);
        return false;
    }
    m_map.SetPieceDone(piece.Index(), true);
    piece.FinishWrite();
    m_map.RemovePartialPiece(piece.Index());
    if (!keep_cached) DropWrittenBuffer(piece);
    return true;
}

void TPieceCache::DropWrittenBuffer(TPiece& piece) {
    m_cached_bytes = std::max(m_cached_bytes - piece.BufferedBytes(), 0);
    piece.DropBuffer();
}

int64_t TPieceCache::WriteQueueLimit() const { return m_policy.WriteQueueLimit(m_map.PieceLength()); }

bool TPieceCache::QueueCompleteWrite(TPiece& piece, bool keep_cached) {
    if (piece.IsWritePending()) return false;
    // The queue holds piece memory: past its limit the work thread lets the
    // writer catch up, by half, so it waits once for several pieces.
    const int64_t limit = WriteQueueLimit();
    if (m_writer.QueuedBytes() + piece.Size() > limit) m_writer.WaitBelow(limit / 2);
    const int32_t from = piece.WrittenPrefix();
    std::vector<TPieceWriter::Write> writes;
    if (!PrepareBufferedWrites(piece, writes)) return false;
    TPieceWriter::Job job = TPieceWriter::MakeJob(piece.Index(), from, std::move(writes));
    job.keep_cached = keep_cached;
    const bool wake = m_writer.QueuedBytes() + job.bytes >= m_policy.WriteWakeBytes(m_map.PieceLength());
    if (!m_writer.Queue(std::move(job), wake)) return false;
    piece.SetWritePending(true);
    ++m_pending_writes;
    return true;
}

void TPieceCache::CollectWrites(bool wake_writer) {
    if (m_pending_writes <= 0) return;
    if (wake_writer) m_writer.Wake();
    if (!m_writer.HasFinished()) return;
    m_writer.Collect(m_collected, false);
    FinishCollectedWrites();
}

void TPieceCache::DrainWrites() {
    if (m_pending_writes <= 0 && m_collected.empty()) return;
    m_writer.Collect(m_collected, true);
    FinishCollectedWrites();
}

void TPieceCache::Settle(TPiece& piece) {
    if (piece.IsWritePending()) DrainWrites();
}

void TPieceCache::FinishCollectedWrites() {
    // One at a time from the member list: an event handler that drains
    // again goes on where this loop is.
    while (!m_collected.empty()) {
        const TPieceWriter::Job job = std::move(m_collected.front());
        m_collected.erase(m_collected.begin());
        FinishQueuedWrite(job);
    }
}

void TPieceCache::FinishQueuedWrite(const TPieceWriter::Job& job) {
    if (!m_map.IsPieceValid(job.piece)) return;
    TPiece& piece = *m_map.Piece(job.piece);
    if (!piece.IsWritePending()) return;
    piece.SetWritePending(false);
    m_pending_writes = std::max(m_pending_writes - 1, 0);
    // A piece that failed its check meanwhile stays as it is: fetched again.
    if (!piece.IsCompleteInMemory()) return;
    const bool ok = !job.failed && job.from + job.written == piece.Size();
    FinishPieceWrite(piece, ok, piece.BufferedBytes(), job.keep_cached);
}

// --- upkeep ------------------------------------------------------------------------

void TPieceCache::FlushPrefix(TPiece& piece, int32_t minimum) {
    if (piece.IsVerified() || piece.BufferedBytes() <= 0) return;
    const int32_t n = piece.ContiguousAfterPrefix();
    if (n <= 0 || n < minimum) return;
    const int32_t from = piece.WrittenPrefix();
    if (from + n >= piece.Size()) {
        if (!piece.VerifyBuffered(m_map.HasDigests())) {
            FailVerification(piece);
            return;
        }
        if (piece.LastSource()) piece.LastSource()->ClearBadPieces();
        RecordCompletion(piece);
        return;
    }
    // Written straight from the chunk memory: no copy.
    const TPieceWriter::Job job =
        m_storage.WriteRange(piece, from, n, [&piece](int32_t at, int32_t* run) { return piece.DataAt(at, run); });
    if (job.failed || job.written != n) {
        piece.DropBuffer();
        return;
    }
    if (!piece.AdvancePrefix(n, m_map.HasDigests()) && piece.WrittenPrefix() == 0) {
        m_map.RemovePartialPiece(piece.Index());
    }
}

void TPieceCache::Maintain() {
    DrainWrites();
    const int64_t now = m_map.NowSeconds();
    const int64_t budget = m_policy.UpkeepBudget(m_cached_bytes);
    int64_t kept = 0;
    // Queued pieces stay complete in memory (and counted) until collected.
    int64_t queued = 0;
    for (int64_t i = 0; i < m_map.PieceCount(); ++i) {
        TPiece* slot = m_map.Piece(i);
        if (!slot || slot->BufferedBytes() <= 0) continue;
        TPiece& piece = *slot;
        const bool done = m_map.IsPieceDone(i);
        if (!piece.IsCompleteInMemory()) {
            if (piece.IsVerified() || piece.IsSkipped() || done) {
                if (piece.IsSkipped() && !done) piece.DropUnwanted();
            } else if (m_policy.IdleFlushDue(piece.BufferedBytes(), piece.LastAccess(), now)) {
                FlushPrefix(piece, TWritePolicy::IdleFlushMinimum);
            }
            continue;
        }
        if (kept < budget) {
            kept += piece.BufferedBytes();
        } else if (QueueCompleteWrite(piece, true)) {
            queued += piece.BufferedBytes();
        } else {
            WriteOut(piece, true);
        }
    }
    m_complete_in_memory = kept + queued;
    Trim();
}

int32_t TPieceCache::Trim() {
    const int64_t now = m_map.NowSeconds();
    const int64_t limit = m_policy.CacheLimit();
    const int64_t lifetime = TWritePolicy::CacheLifetimeSeconds;
    if (m_cached_bytes < limit && now - m_last_trim <= TrimIntervalLifetimes * lifetime) {
        return m_cached_bytes / CacheUnit;
    }
    if (m_cached_bytes <= CacheUnit) return m_cached_bytes / CacheUnit;
    std::vector<TPiece*> candidates;
    int64_t candidate_bytes = 0;
    for (int64_t i = 0; i < m_map.PieceCount(); ++i) {
        TPiece* slot = m_map.Piece(i);
        if (!slot || slot->BufferedBytes() <= 0 || slot->IsCompleteInMemory()) continue;
        TPiece& piece = *slot;
        if (m_map.IsPieceDone(i)) {
            if (now - piece.LastAccess() > lifetime) {
                piece.DropBuffer();
            } else {
                candidates.push_back(&piece);
                candidate_bytes += piece.BufferedBytes();
            }
        } else if (piece.IsSkipped()) {
            piece.DropBuffer();
        }
        // Pieces still being received are never evicted.
    }
    if (candidate_bytes + m_complete_in_memory >= limit) {
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const TPiece* a, const TPiece* b) { return a->LastAccess() < b->LastAccess(); });
        const int64_t target = limit - std::max<int64_t>(limit / 10, CacheUnit);
        for (TPiece* piece : candidates) {
            if (candidate_bytes + m_complete_in_memory <= target) break;
            candidate_bytes -= piece->BufferedBytes();
            piece->DropBuffer();
        }
    }
    m_cached_bytes = static_cast<int32_t>(std::min<int64_t>(candidate_bytes + m_complete_in_memory, INT32_MAX));
    m_last_trim = now;
    return m_cached_bytes / CacheUnit;
}

void TPieceCache::FlushComplete() {
    DrainWrites();
    if (!m_map.IsAllScanned()) return;
    for (int64_t i = 0; i < m_map.PieceCount(); ++i) {
        TPiece* piece = m_map.Piece(i);
        if (piece && piece->IsCompleteInMemory()) WriteOut(*piece, true);
    }
    m_complete_in_memory = 0;
}

void TPieceCache::ResetPiece(TPiece& piece) {
    Settle(piece);
    piece.Reset();
    m_map.RemovePartialPiece(piece.Index());
}

// --- upload reads ---------------------------------------------------------------------

int32_t TPieceCache::ReadBlock(int64_t block, int32_t length, uint8_t* out, int32_t read_ahead, bool force) {
    const int64_t index = block >= 0 ? m_map.PieceOfBlock(block) : -1;
    if (!m_map.IsPieceValid(index)) return -1;
    TPiece& piece = *m_map.Piece(index);
    const auto offset = static_cast<int32_t>(m_map.OffsetOfBlock(block));
    const int32_t size = piece.Size();
    if (!out || length <= 0 || offset < 0 || offset >= size) return -1;
    const bool done = m_map.IsPieceDone(index);
    // A piece kept whole in memory after its check counts as done only once
    // written, but its bytes are verified and the peers were told it is here
    // (the bitfield counts blocks held): refusing it would make them drop
    // the connection.
    const bool complete_in_memory = piece.IsCompleteInMemory();
    if (!done && !force && !complete_in_memory) return -1;
    ++m_read_requests;
    length = std::min(length, size - offset);
    // Read pieces are dated half a lifetime back: kept a while, but before
    // any piece being received.
    const int64_t dated = m_map.NowSeconds() - TWritePolicy::CacheLifetimeSeconds / 2;
    if (piece.Buffer().HasRange(offset, length)) {
        ++m_cache_hits;
        return piece.ReadCached(out, length, offset, dated);
    }
    const int32_t prefix = piece.WrittenPrefix();
    if (prefix < offset + length && (complete_in_memory || (force && !done))) return 0;

    const int32_t unit = TPieceBuffer::BlockBytes;
    const int32_t start = offset / unit * unit;
    const int32_t extra = read_ahead / unit > 0 ? read_ahead / unit * ReadAheadUnit : MinReadAhead;
    int64_t span = (static_cast<int64_t>(length) + offset % unit + extra) / unit * unit;
    if (span > MinReadAhead &&
        piece.Buffer().HasRange(start + MinReadAhead, static_cast<int32_t>(span - MinReadAhead))) {
        span = MinReadAhead;
    }
    span = std::min<int64_t>(span, size - start);
    if (complete_in_memory) span = std::min<int64_t>(span, (prefix - start) / unit * unit);
    if (span <= 0) return 0;
    // A seeder reads piece after piece: left to the 5-second upkeep, its
    // copies would grow far past the cache limit in between. Trimmed before
    // the read, the piece being read is not what gets evicted.
    if (m_cached_bytes + span > m_policy.CacheLimit()) Trim();

    std::vector<uint8_t>& scratch = m_map.ScratchBuffer();
    if (scratch.size() < static_cast<size_t>(span)) scratch.resize(static_cast<size_t>(span));
    const int32_t got = m_map.ReadPieceRange(index, scratch.data(), static_cast<int32_t>(span), start);
    if (got <= 0) return -1;
    const int32_t added = piece.CacheFromDisk(scratch.data(), got, start, dated);
    if (added < 0) return -1;
    m_cached_bytes += added;
    return piece.ReadCached(out, length, offset, dated);
}

}  // namespace engine
