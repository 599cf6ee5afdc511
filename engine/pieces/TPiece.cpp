// Buffer half of TPiece: receiving blocks, the incremental SHA-1 state,
// writing flush units and complete pieces, and upload reads through the
// cache.

#include "engine/pieces/TPiece.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/pieces/QBufferPool.h"
#include "engine/pieces/TBlockSource.h"
#include "engine/pieces/TPieces.h"
#include "engine/pieces/TSha1State.h"

namespace engine {

namespace {

// Prefix writes and chunk memory come in units of at most 128 KiB: large
// enough for efficient writes, small enough that a piece being fetched holds
// only what it has.
constexpr int32_t MaxFlushUnit = 131072;
// Upload reads fetch at least this much, in blocks.
constexpr int32_t MinReadAhead = 65536;
constexpr int32_t ReadAheadUnit = 98304;  // per 16 KiB of requested read-ahead
constexpr int32_t ResultBadData = -100;
constexpr int32_t ResultVerifyFailed = -99;

}  // namespace

TPiece::~TPiece() {
    // The map's own lists may be gone already: release only what the piece
    // holds.
    BufferPools::Sha1States().Free(m_sha1);
    if (m_last_source) m_last_source->Release();
    m_buffer.Clear();
}

int32_t TPiece::FlushUnit() const { return std::min(m_size, MaxFlushUnit); }

void TPiece::ReleaseProgress(bool keep_blocks) {
    SettleWrite();
    if (m_owner) m_owner->RemovePartialPiece(m_index);
    if (m_sha1) {
        BufferPools::Sha1States().Free(m_sha1);
        m_sha1 = nullptr;
    }
    // Chunks without present blocks would be memory nobody counts or trims,
    // so a reset frees them.
    if (!keep_blocks) m_buffer.Clear();
    SetSource(nullptr);
    m_kept_web = m_kept_peer = 0;
}

void TPiece::SetSource(TBlockSource* source) {
    if (source == m_last_source) return;
    if (m_last_source) m_last_source->Release();
    m_last_source = source;
    if (m_last_source) m_last_source->AddRef();
    m_bytes_from_source = 0;
}

void TPiece::DropBuffer() {
    SettleWrite();
    m_buffer.Clear();
}

void TPiece::SettleWrite() {
    if (m_write_pending && m_owner) m_owner->DrainWrites();
}

bool TPiece::EnsureBuffer() {
    if (m_buffer.IsSet()) return true;
    if (!m_owner || !m_digest || m_size <= 0) return false;
    const int32_t unit = FlushUnit();
    if (!m_buffer.Init(unit, (m_size + unit - 1) / unit, m_size)) return false;
    if (m_written_prefix > 0) m_buffer.MarkPrefix(m_written_prefix);
    return true;
}

bool TPiece::EnsureHashState() {
    if (m_sha1) return true;
    m_sha1 = BufferPools::Sha1States().Alloc(static_cast<int64_t>(TSha1State::Size));
    if (!m_sha1) return false;
    TSha1State::Reset(m_sha1);
    m_written_prefix = 0;
    return true;
}

bool TPiece::VerifyBuffered() const {
    if (!m_owner || !m_owner->HasDigests() || !m_digest) return true;
    uint8_t state[TSha1State::Size];
    if (m_sha1) {
        std::memcpy(state, m_sha1, sizeof state);
        // A state that does not describe exactly the written prefix cannot
        // give the piece's hash.
        if (TSha1State::LengthBytes(state) != static_cast<uint64_t>(m_written_prefix)) return false;
    } else {
        if (m_written_prefix != 0) return false;
        TSha1State::Reset(state);
    }
    for (int32_t at = m_written_prefix; at < m_size;) {
        int32_t run = 0;
        const uint8_t* p = m_buffer.DataAt(at, &run);
        if (!p || !m_buffer.HasRange(at, run)) return false;
        if (!TSha1State::Update(state, p, static_cast<size_t>(run))) return false;
        at += run;
    }
    TSha1State::Digest digest;
    return TSha1State::Final(state, digest) && std::memcmp(digest.data(), m_digest, digest.size()) == 0;
}

void TPiece::RecordCompletion() {
    const int64_t now = m_owner->Now();
    m_complete = true;
    m_verified = true;
    // Half a lifetime old (and a little more), so a complete piece is among
    // the first evicted once it is written and nobody reads it.
    m_last_access = now - TPieces::CacheLifetimeSeconds / 2 - 5;
    m_owner->m_complete_in_memory += m_buffer.BufferedBytes();
    m_owner->m_cached_bytes += m_buffer.BufferedBytes();
    m_owner->TouchActivity();
}

void TPiece::ReportFailure() const {
    if (!m_owner || !m_owner->Owner() || !m_last_source) return;
    TVerifyFailure failure;
    failure.piece = m_index;
    const int32_t kind = m_last_source->Kind();
    if (kind == BlockSourceKind::BitTorrent) {
        const uint32_t a = m_last_source->AddressV4();
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&a);
        char text[64];
        std::snprintf(text, sizeof text, "%d.%d.%d.%d : %d", b[0], b[1], b[2], b[3], m_last_source->Port());
        failure.event_code = "11500102";
        failure.source = text;
    } else if (kind & BlockSourceKind::WebMask) {
        failure.event_code = "11500101";
        failure.source = m_last_source->Url();
    } else {
        return;
    }
    m_owner->Owner()->OnVerifyFailure(failure);
}

void TPiece::ChargeSource(int32_t result) {
    if (!m_last_source || m_bytes_from_source < m_size) return;
    m_last_source->AddPieceDelivered();
    if (result == ResultBadData && (m_last_source->Kind() & BlockSourceKind::WebMask)) m_last_source->AddBadPiece();
}

int32_t TPiece::FailVerification() {
    ReportFailure();
    if (m_owner && m_owner->Owner() && (m_kept_web > 0 || m_kept_peer > 0)) {
        m_owner->Owner()->OnKeptBytesDiscarded(m_kept_web, m_kept_peer);
    }
    m_complete = false;
    m_verified = false;
    DropBuffer();
    ChargeSource(ResultBadData);
    Reset();
    return ResultVerifyFailed;
}

int32_t TPiece::ReceiveBlock(const uint8_t* data, int32_t length, int32_t offset, TBlockSource* source,
                             bool& accepted) {
    accepted = false;
    if (!m_owner || !m_owner->IsPieceWanted(m_index) || !data || length <= 0 || offset < 0 || offset >= m_size) {
        return length;
    }
    SetSource(source);
    if (offset < m_written_prefix || m_complete) {
        // Already on disk, or the piece is whole in memory: nothing to add.
        accepted = true;
        return length;
    }
    const int32_t n = std::min(length, m_size - offset);
    const bool held = m_buffer.HasBlock(offset);
    if (!EnsureBuffer() || m_buffer.Store(data, n, offset) != n) return length;
    m_last_access = m_owner->Now();
    m_bytes_from_source += n;
    if (m_written_prefix + m_buffer.BufferedBytes() >= m_size) {
        // A piece that goes to disk at once is written behind the work
        // thread while it is hashed; the map marks it done when it collects
        // the write. Failing the check waits for that write first (the
        // buffer is dropped). The block that failed it was never taken, so
        // it is not among the kept bytes handed back.
        m_owner->QueueHashedWrite(*this);
        if (!VerifyBuffered()) return FailVerification();
        if (m_last_source) m_last_source->ClearBadPieces();
        RecordCompletion();
    }
    if (!held && source) {
        const int32_t kind = source->Kind();
        if (kind & BlockSourceKind::WebMask) {
            m_kept_web += n;
        } else if (kind == BlockSourceKind::BitTorrent) {
            m_kept_peer += n;
        }
    }
    accepted = true;
    return length;
}

int32_t TPiece::Flush(int32_t minimum) {
    if (m_verified || m_buffer.BufferedBytes() <= 0 || !m_owner) return 0;
    const int32_t n = m_buffer.ContiguousFrom(m_written_prefix, m_size);
    if (n <= 0 || n < minimum) return 0;
    if (m_written_prefix + n >= m_size) {
        if (!VerifyBuffered()) return FailVerification();
        if (m_last_source) m_last_source->ClearBadPieces();
        RecordCompletion();
        return n;
    }
    // Written chunk by chunk straight from the chunk memory: no copy.
    for (int32_t at = m_written_prefix; at < m_written_prefix + n;) {
        int32_t run = 0;
        const uint8_t* p = m_buffer.DataAt(at, &run);
        run = std::min(run, m_written_prefix + n - at);
        if (!p || m_owner->WritePieceRange(m_index, p, run, at, false) != run) {
            DropBuffer();
            return -1;
        }
        at += run;
    }
    if (!EnsureHashState()) return -1;
    if (m_owner->HasDigests()) {
        for (int32_t at = m_written_prefix; at < m_written_prefix + n;) {
            int32_t run = 0;
            const uint8_t* p = m_buffer.DataAt(at, &run);
            run = std::min(run, m_written_prefix + n - at);
            TSha1State::Update(m_sha1, p, static_cast<size_t>(run));
            at += run;
        }
    }
    if (m_buffer.ReleaseChunks(m_written_prefix, n) != n) {
        Reset();
        return ResultVerifyFailed;
    }
    m_written_prefix += n;
    return n;
}

int32_t TPiece::WriteComplete() {
    if (m_write_pending) {
        // Already on its way: its outcome is the queued write's.
        SettleWrite();
        return m_owner && m_owner->IsPieceDone(m_index) ? m_size : -1;
    }
    if (!IsCompleteInMemory() || !m_owner) return 0;
    const int32_t buffered = m_buffer.BufferedBytes();
    return AfterWrite(m_owner->WriteBufferedPiece(*this), buffered);
}

int32_t TPiece::AfterWrite(int32_t written, int32_t buffered) {
    const int32_t n = m_size - m_written_prefix;
    m_owner->m_complete_in_memory = std::max<int64_t>(m_owner->m_complete_in_memory - buffered, 0);
    if (written != n) {
        m_complete = false;
        m_verified = false;
        DropBuffer();
        return written < 0 ? written : -1;
    }
    ChargeSource(m_size);
    // The piece is done; its verified bytes stay as the cached copy that
    // upload reads are served from until the cache is trimmed.
    ReleaseProgress(true);
    m_written_prefix = 0;
    m_complete = false;
    if (m_buffer.BufferedBytes() < m_size) DropBuffer();
    return m_size;
}

int32_t TPiece::ReadForUpload(uint8_t* out, int32_t length, int32_t offset, std::vector<uint8_t>& scratch,
                              int64_t now, int32_t read_ahead, bool force) {
    if (!m_owner || !out || length <= 0 || offset < 0 || offset >= m_size) return -1;
    const bool done = m_owner->IsPieceDone(m_index);
    // A piece kept whole in memory after its check counts as done only once
    // written, but its bytes are verified and the peers were told it is here
    // (the bitfield counts blocks held): refusing it would make them drop
    // the connection.
    const bool verified_in_memory = IsCompleteInMemory();
    if (!done && !force && !verified_in_memory) return -1;
    ++m_owner->m_read_requests;
    length = std::min(length, m_size - offset);
    if (m_buffer.HasRange(offset, length)) {
        m_last_access = now - TPieces::CacheLifetimeSeconds / 2;
        ++m_owner->m_cache_hits;
        return m_buffer.Read(out, length, offset, true);
    }
    const bool complete_in_memory = IsCompleteInMemory();
    if (m_written_prefix < offset + length && (complete_in_memory || (force && !done))) return 0;

    const int32_t block = TPieceBuffer::BlockBytes;
    const int32_t start = offset / block * block;
    const int32_t extra = read_ahead / block > 0 ? read_ahead / block * ReadAheadUnit : MinReadAhead;
    int64_t span = (static_cast<int64_t>(length) + offset % block + extra) / block * block;
    if (span > MinReadAhead && m_buffer.HasRange(start + MinReadAhead, static_cast<int32_t>(span - MinReadAhead))) {
        span = MinReadAhead;
    }
    span = std::min<int64_t>(span, m_size - start);
    if (complete_in_memory) span = std::min<int64_t>(span, (m_written_prefix - start) / block * block);
    if (span <= 0) return 0;

    if (scratch.size() < static_cast<size_t>(span)) scratch.resize(static_cast<size_t>(span));
    const int32_t got = m_owner->ReadPieceRange(m_index, scratch.data(), static_cast<int32_t>(span), start);
    if (got <= 0 || !EnsureBuffer()) return -1;
    for (int32_t at = 0; at < got; at += block) {
        const int32_t n = std::min(block, got - at);
        // Only whole blocks, or the piece's short last block, are cached.
        if (n < block && start + at + n < m_size) break;
        if (m_buffer.HasBlock(start + at)) continue;
        const int32_t before = m_buffer.BufferedBytes();
        if (m_buffer.Store(scratch.data() + at, n, start + at) == n) {
            m_owner->m_cached_bytes += m_buffer.BufferedBytes() - before;
        }
    }
    m_last_access = now - TPieces::CacheLifetimeSeconds / 2;
    // Bytes read back from disk are trusted: they were verified when written.
    if (!m_verified && m_buffer.BufferedBytes() >= m_size) m_verified = true;
    return m_buffer.Read(out, length, offset, true);
}

}  // namespace engine
