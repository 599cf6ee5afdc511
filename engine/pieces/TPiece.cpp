#include "engine/pieces/TPiece.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "engine/pieces/QBufferPool.h"
#include "engine/pieces/TBlockSource.h"
#include "engine/pieces/TSha1State.h"

namespace engine {

namespace {

// Prefix writes and chunk memory come in units of at most 128 KiB: large
// enough for efficient writes, small enough that a piece being fetched holds
// only what it has.
constexpr int32_t MaxFlushUnit = 131072;

}  // namespace

TPiece::TPiece(int32_t index, int32_t size, const uint8_t* digest) : m_index(index), m_size(size), m_digest(digest) {}

TPiece::~TPiece() {
    BufferPools::Sha1States().Free(m_sha1);
    BufferPools::Sha1States().Free(m_running_sha1);
    if (m_last_source) m_last_source->Release();
    m_buffer.Clear();
}

int32_t TPiece::FlushUnit() const { return std::min(m_size, MaxFlushUnit); }

void TPiece::DropRunningHash() {
    if (m_running_sha1) {
        BufferPools::Sha1States().Free(m_running_sha1);
        m_running_sha1 = nullptr;
    }
    m_hashed_end = 0;
}

void TPiece::ReleaseProgress(bool keep_blocks) {
    assert(!m_write_pending);
    DropRunningHash();
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

void TPiece::Reset() {
    ReleaseProgress(false);
    m_written_prefix = 0;
    m_complete = false;
    m_verified = false;
}

void TPiece::SetSource(TBlockSource* source) {
    if (source == m_last_source) return;
    if (m_last_source) m_last_source->Release();
    m_last_source = source;
    if (m_last_source) m_last_source->AddRef();
    m_bytes_from_source = 0;
}

void TPiece::DropBuffer() {
    assert(!m_write_pending);
    DropRunningHash();
    m_buffer.Clear();
}

void TPiece::DropUnwanted() {
    m_verified = false;
    DropBuffer();
}

bool TPiece::EnsureBuffer() {
    if (m_buffer.IsSet()) return true;
    if (!m_digest || m_size <= 0) return false;
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

TPiece::Take TPiece::Store(const uint8_t* data, int32_t length, int32_t offset, TBlockSource* source, int64_t now,
                           bool* was_buffered, bool hash) {
    *was_buffered = false;
    if (!data || length <= 0 || offset < 0 || offset >= m_size) return Take::Failed;
    SetSource(source);
    // Already on disk, or the piece is whole in memory: nothing to add.
    if (offset < m_written_prefix || m_complete) return Take::OnDisk;
    const int32_t n = std::min(length, m_size - offset);
    *was_buffered = m_buffer.HasBlock(offset);
    // Bytes already hashed are replaced: the running hash no longer
    // describes what the piece holds.
    if (offset < m_hashed_end) DropRunningHash();
    if (!EnsureBuffer()) return Take::Failed;
    if (!hash || !StoreHashing(data, n, offset)) {
        if (m_buffer.Store(data, n, offset) != n) return Take::Failed;
        if (hash) HashOnward(data, n, offset);
    }
    m_last_access = now;
    m_bytes_from_source += n;
    return Take::Stored;
}

bool TPiece::StoreHashing(const uint8_t* data, int32_t length, int32_t offset) {
    if (!HashReachesAt(offset)) return false;
    // Blocks read into their place have nothing to copy, and a block held
    // already is replaced the ordinary way.
    int32_t room = 0;
    uint8_t* place = m_buffer.PlaceFor(offset, &room);
    if (!place || place == data) return false;
    if (room < length) {
        m_buffer.ReleaseUnusedChunk(offset);
        return false;
    }
    if (!TSha1State::UpdateCopying(m_running_sha1, data, place, static_cast<size_t>(length))) return false;
    // Filled in place now: recorded without a copy.
    if (m_buffer.Store(place, length, offset) != length) {
        // Cannot happen for a place the buffer gave; the hash no longer
        // matches what the piece holds.
        DropRunningHash();
        return false;
    }
    m_hashed_end += length;
    HashFollowing();
    return true;
}

bool TPiece::HashReachesAt(int32_t offset) {
    // The written prefix has passed the running hash: it starts again there.
    if (m_running_sha1 && m_hashed_end < m_written_prefix) DropRunningHash();
    if (!m_running_sha1) {
        // A running hash starts where the hashed written prefix ends.
        if (offset != m_written_prefix) return false;
        const bool prefix_hashed =
            m_written_prefix == 0 ||
            (m_sha1 && TSha1State::LengthBytes(m_sha1) == static_cast<uint64_t>(m_written_prefix));
        if (!prefix_hashed) return false;
        m_running_sha1 = BufferPools::Sha1States().Alloc(static_cast<int64_t>(TSha1State::Size));
        if (!m_running_sha1) return false;
        if (m_written_prefix > 0) {
            std::memcpy(m_running_sha1, m_sha1, TSha1State::Size);
        } else {
            TSha1State::Reset(m_running_sha1);
        }
        m_hashed_end = m_written_prefix;
    }
    return offset == m_hashed_end;
}

void TPiece::HashOnward(const uint8_t* data, int32_t length, int32_t offset) {
    if (!HashReachesAt(offset)) return;
    if (!TSha1State::Update(m_running_sha1, data, static_cast<size_t>(length))) {
        DropRunningHash();
        return;
    }
    m_hashed_end += length;
    HashFollowing();
}

void TPiece::HashFollowing() {
    // Blocks that arrived ahead of the hash's end follow on now.
    while (m_running_sha1 && m_hashed_end < m_size && m_buffer.HasRange(m_hashed_end, 1)) {
        int32_t run = 0;
        const uint8_t* p = m_buffer.DataAt(m_hashed_end, &run);
        if (!p) return;
        int32_t take = 0;
        while (take < run && m_buffer.HasRange(m_hashed_end + take, 1)) {
            take += std::min(TPieceBuffer::BlockBytes, run - take);
        }
        if (!TSha1State::Update(m_running_sha1, p, static_cast<size_t>(take))) {
            DropRunningHash();
            return;
        }
        m_hashed_end += take;
    }
}

uint8_t* TPiece::PlaceFor(int32_t offset, int32_t* room) {
    *room = 0;
    if (offset < m_written_prefix || offset >= m_size || m_complete || m_write_pending) return nullptr;
    if (!EnsureBuffer()) return nullptr;
    return m_buffer.PlaceFor(offset, room);
}

void TPiece::ReleasePlace(int32_t offset) {
    if (!m_write_pending) m_buffer.ReleaseUnusedChunk(offset);
}

void TPiece::CountKept(const TBlockSource* source, int32_t bytes) {
    if (!source) return;
    const int32_t kind = source->Kind();
    if (kind & BlockSourceKind::WebMask) {
        m_kept_web += bytes;
    } else if (kind == BlockSourceKind::BitTorrent) {
        m_kept_peer += bytes;
    }
}

bool TPiece::VerifyBuffered(bool has_digests) const {
    if (!has_digests || !m_digest) return true;
    uint8_t state[TSha1State::Size];
    int32_t from = m_written_prefix;
    if (m_running_sha1 && m_hashed_end >= m_written_prefix &&
        TSha1State::LengthBytes(m_running_sha1) == static_cast<uint64_t>(m_hashed_end) &&
        (m_hashed_end == m_written_prefix || m_buffer.HasRange(m_written_prefix, m_hashed_end - m_written_prefix))) {
        // Hashed as the blocks arrived: only the rest is left.
        std::memcpy(state, m_running_sha1, sizeof state);
        from = m_hashed_end;
    } else if (m_sha1) {
        std::memcpy(state, m_sha1, sizeof state);
        // A state that does not describe exactly the written prefix cannot
        // give the piece's hash.
        if (TSha1State::LengthBytes(state) != static_cast<uint64_t>(m_written_prefix)) return false;
    } else {
        if (m_written_prefix != 0) return false;
        TSha1State::Reset(state);
    }
    for (int32_t at = from; at < m_size;) {
        int32_t run = 0;
        const uint8_t* p = m_buffer.DataAt(at, &run);
        if (!p || !m_buffer.HasRange(at, run)) return false;
        if (!TSha1State::Update(state, p, static_cast<size_t>(run))) return false;
        at += run;
    }
    TSha1State::Digest digest;
    return TSha1State::Final(state, digest) && std::memcmp(digest.data(), m_digest, digest.size()) == 0;
}

void TPiece::MarkComplete(int64_t now) {
    m_complete = true;
    m_verified = true;
    m_last_access = now;
}

void TPiece::ChargeSource(bool bad_data) {
    if (!m_last_source || m_bytes_from_source < m_size) return;
    m_last_source->AddPieceDelivered();
    if (bad_data && (m_last_source->Kind() & BlockSourceKind::WebMask)) m_last_source->AddBadPiece();
}

void TPiece::DiscardAll() {
    m_complete = false;
    m_verified = false;
    DropBuffer();
    Reset();
}

bool TPiece::HasMemoryAfterPrefix() const {
    for (int32_t at = m_written_prefix; at < m_size;) {
        int32_t run = 0;
        if (!m_buffer.DataAt(at, &run) || run <= 0) return false;
        at += run;
    }
    return true;
}

bool TPiece::AdvancePrefix(int32_t bytes, bool has_digests) {
    if (!EnsureHashState()) return false;
    const int32_t end = m_written_prefix + bytes;
    if (has_digests) {
        for (int32_t at = m_written_prefix; at < end;) {
            int32_t run = 0;
            const uint8_t* p = m_buffer.DataAt(at, &run);
            run = std::min(run, end - at);
            TSha1State::Update(m_sha1, p, static_cast<size_t>(run));
            at += run;
        }
    }
    if (m_buffer.ReleaseChunks(m_written_prefix, bytes) != bytes) {
        Reset();
        return false;
    }
    m_written_prefix = end;
    return true;
}

void TPiece::FinishWrite() {
    m_verified = true;
    m_complete = false;
    ChargeSource(false);
    // The verified bytes stay as the cached copy that upload reads are served
    // from until the cache is trimmed.
    ReleaseProgress(true);
    m_written_prefix = 0;
    if (m_buffer.BufferedBytes() < m_size) DropBuffer();
}

void TPiece::FailWrite() {
    m_complete = false;
    m_verified = false;
    DropBuffer();
}

void TPiece::EndDirectWrite(bool verified) {
    m_verified = verified;
    m_complete = false;
}

int32_t TPiece::ReadCached(uint8_t* out, int32_t length, int32_t offset, int64_t now) {
    m_last_access = now;
    return m_buffer.Read(out, length, offset, true);
}

int32_t TPiece::CacheFromDisk(const uint8_t* data, int32_t length, int32_t start, int64_t now) {
    if (!EnsureBuffer()) return -1;
    DropRunningHash();
    const int32_t block = TPieceBuffer::BlockBytes;
    const int32_t before = m_buffer.BufferedBytes();
    for (int32_t at = 0; at < length; at += block) {
        const int32_t n = std::min(block, length - at);
        // Only whole blocks, or the piece's short last block, are cached.
        if (n < block && start + at + n < m_size) break;
        if (m_buffer.HasBlock(start + at)) continue;
        m_buffer.Store(data + at, n, start + at);
    }
    m_last_access = now;
    // Bytes read back from disk are trusted: they were verified when written.
    if (!m_verified && m_buffer.BufferedBytes() >= m_size) m_verified = true;
    return m_buffer.BufferedBytes() - before;
}

int32_t TPiece::RestoreBlocks(const uint8_t* blob, int64_t length) {
    if (!EnsureBuffer()) return -1;
    DropRunningHash();
    const int32_t prefix = m_buffer.Deserialize(blob, length);
    if (prefix >= 0) m_last_access = 0;
    return prefix;
}

int32_t TPiece::SerializeBlocks(std::string& out, int32_t max_blocks) const {
    return m_buffer.Serialize(out, m_written_prefix, m_written_prefix, max_blocks);
}

bool TPiece::RestorePrefix(int32_t prefix, const uint8_t* state) {
    if (!EnsureHashState()) return false;
    std::memcpy(m_sha1, state, TSha1State::Size);
    m_written_prefix = prefix;
    DropBuffer();
    EnsureBuffer();
    return true;
}

}  // namespace engine
