#include "engine/pieces/TPieceBuffer.h"

#include <algorithm>
#include <cstring>

#include "engine/pieces/QBufferPool.h"
#include "platform/Memory.h"

namespace engine {

namespace {

// Block-dump blob: a header of four int32 (buffered bytes, written prefix,
// block count, 0), then per block a record of 16400 bytes:
//
//   +--------+--------+------------------------+---------+
//   | offset | 16384  | 16384 data bytes       | 8 zeros |
//   +--------+--------+------------------------+---------+
//   all integers little-endian int32
constexpr int32_t HeaderBytes = 16;
constexpr int32_t RecordBytes = 8 + TPieceBuffer::BlockBytes + 8;

void PutInt(std::string& out, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    const char bytes[4] = {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16),
                           static_cast<char>(u >> 24)};
    out.append(bytes, 4);
}

int32_t GetInt(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

TPieceBuffer::~TPieceBuffer() { Clear(); }

bool TPieceBuffer::Init(int32_t chunk_size, int32_t chunk_count, int32_t piece_size) {
    Clear();
    if (chunk_size < 1 || chunk_count < 1) return false;
    const int64_t span = static_cast<int64_t>(chunk_size) * chunk_count;
    if (span > INT32_MAX || piece_size < 0 || piece_size > span) return false;
    m_chunk_size = chunk_size;
    m_piece_size = piece_size > 0 ? piece_size : static_cast<int32_t>(span);
    m_chunks.assign(static_cast<size_t>(chunk_count), nullptr);
    const size_t blocks = static_cast<size_t>((m_piece_size + BlockBytes - 1) / BlockBytes);
    m_present.assign(blocks, 0);
    m_block_length.assign(blocks, 0);
    return true;
}

bool TPieceBuffer::IsPresent(int32_t block) const {
    return block >= 0 && static_cast<size_t>(block) < m_present.size() && m_present[static_cast<size_t>(block)];
}

void TPieceBuffer::SetPresent(int32_t block, bool on) {
    if (block >= 0 && static_cast<size_t>(block) < m_present.size()) m_present[static_cast<size_t>(block)] = on;
}

bool TPieceBuffer::ChunkHasMemory(int32_t offset) const {
    if (m_chunk_size <= 0 || offset < 0) return false;
    const size_t j = static_cast<size_t>(offset / m_chunk_size);
    return j < m_chunks.size() && m_chunks[j] != nullptr;
}

int32_t TPieceBuffer::Store(const uint8_t* data, int32_t length, int32_t offset) {
    if (!data || length <= 0 || length > m_chunk_size || offset < 0 || offset % BlockBytes != 0) return -1;
    if (offset >= m_piece_size) return -1;
    length = std::min(length, m_piece_size - offset);
    const size_t j = static_cast<size_t>(offset / m_chunk_size);
    const int32_t in_chunk = offset % m_chunk_size;
    if (j >= m_chunks.size() || in_chunk + length > m_chunk_size) return -1;
    if (!m_chunks[j]) {
        m_chunks[j] = BufferPools::PieceBuffers().Alloc(m_chunk_size);
        if (!m_chunks[j]) return -1;
    }
    const int32_t block = offset / BlockBytes;
    if (!IsPresent(block) || m_block_length[static_cast<size_t>(block)] == 0) {
        SetPresent(block, true);
        m_block_length[static_cast<size_t>(block)] = length;
        m_buffered += length;
    }
    // Filled in place: nothing to copy.
    if (data == m_chunks[j] + in_chunk) return length;
    // Chunks cycle through more memory than the caches hold, so an ordinary
    // copy would first fetch each line's stale bytes from memory; the block
    // is read back once, by the hash and the writer thread.
    platform::CopyAroundCache(m_chunks[j] + in_chunk, data, static_cast<size_t>(length));
    return length;
}

uint8_t* TPieceBuffer::PlaceFor(int32_t offset, int32_t* room) {
    *room = 0;
    if (m_chunk_size <= 0 || offset < 0 || offset % BlockBytes != 0 || offset >= m_piece_size) return nullptr;
    const size_t j = static_cast<size_t>(offset / m_chunk_size);
    if (j >= m_chunks.size() || IsPresent(offset / BlockBytes)) return nullptr;
    if (!m_chunks[j]) {
        m_chunks[j] = BufferPools::PieceBuffers().Alloc(m_chunk_size);
        if (!m_chunks[j]) return nullptr;
    }
    const int32_t end = std::min(static_cast<int32_t>(j + 1) * m_chunk_size, m_piece_size);
    int32_t at = offset;
    while (at < end && !IsPresent(at / BlockBytes)) at += BlockBytes;
    *room = std::min(at, end) - offset;
    return m_chunks[j] + offset % m_chunk_size;
}

void TPieceBuffer::ReleaseUnusedChunk(int32_t offset) {
    if (!ChunkHasMemory(offset)) return;
    const size_t j = static_cast<size_t>(offset / m_chunk_size);
    const int32_t start = static_cast<int32_t>(j) * m_chunk_size;
    const int32_t end = std::min(start + m_chunk_size, m_piece_size);
    for (int32_t at = start; at < end; at += BlockBytes) {
        if (IsPresent(at / BlockBytes)) return;
    }
    BufferPools::PieceBuffers().Free(m_chunks[j]);
    m_chunks[j] = nullptr;
}

int32_t TPieceBuffer::Read(uint8_t* out, int32_t length, int32_t offset, bool require_present) const {
    if (!out || length <= 0 || offset < 0 || m_chunk_size <= 0 || offset >= m_piece_size) return -1;
    length = std::min(length, m_piece_size - offset);
    if (require_present) {
        for (int32_t b = offset / BlockBytes; b * BlockBytes < offset + length; ++b) {
            if (!IsPresent(b)) return -1;
        }
    }
    int32_t copied = 0;
    while (copied < length) {
        const int32_t at = offset + copied;
        const size_t j = static_cast<size_t>(at / m_chunk_size);
        if (j >= m_chunks.size() || !m_chunks[j]) break;
        const int32_t in_chunk = at % m_chunk_size;
        const int32_t n = std::min(length - copied, m_chunk_size - in_chunk);
        std::memcpy(out + copied, m_chunks[j] + in_chunk, static_cast<size_t>(n));
        copied += n;
    }
    return copied;
}

bool TPieceBuffer::HasBlock(int32_t offset) const {
    return offset >= 0 && offset % BlockBytes == 0 && IsPresent(offset / BlockBytes) && ChunkHasMemory(offset) &&
           m_block_length[static_cast<size_t>(offset / BlockBytes)] > 0;
}

bool TPieceBuffer::HasRange(int32_t offset, int32_t length) const {
    if (offset < 0 || length <= 0 || m_chunk_size <= 0 || offset >= m_piece_size) return false;
    const int32_t end = std::min(offset + length, m_piece_size);
    for (int32_t b = offset / BlockBytes; b * BlockBytes < end; ++b) {
        if (!HasBlock(b * BlockBytes)) return false;
    }
    return true;
}

int32_t TPieceBuffer::ContiguousFrom(int32_t offset, int32_t limit) const {
    if (m_chunk_size <= 0 || offset < 0) return 0;
    limit = std::min(limit, m_piece_size);
    const int32_t start = offset / m_chunk_size * m_chunk_size;
    int32_t end = start;
    while (end < limit && HasBlock(end)) end += m_block_length[static_cast<size_t>(end / BlockBytes)];
    if (end >= limit) return limit - start;
    return (end - start) / m_chunk_size * m_chunk_size;
}

int32_t TPieceBuffer::ReleaseChunks(int32_t offset, int32_t length) {
    if (m_chunk_size <= 0 || offset < 0 || length <= 0) return 0;
    int32_t released = 0;
    const int64_t last = (static_cast<int64_t>(offset) + length + m_chunk_size - 1) / m_chunk_size;
    for (int64_t j = offset / m_chunk_size; j < last && j < static_cast<int64_t>(m_chunks.size()); ++j) {
        if (!m_chunks[static_cast<size_t>(j)]) continue;
        BufferPools::PieceBuffers().Free(m_chunks[static_cast<size_t>(j)]);
        m_chunks[static_cast<size_t>(j)] = nullptr;
        // The blocks stay present, now as part of the written prefix.
        const int32_t chunk_start = static_cast<int32_t>(j) * m_chunk_size;
        const int32_t chunk_end = std::min(chunk_start + m_chunk_size, m_piece_size);
        for (int32_t at = chunk_start; at < chunk_end; at += BlockBytes) {
            int32_t& n = m_block_length[static_cast<size_t>(at / BlockBytes)];
            released += n;
            n = 0;
        }
    }
    m_buffered = std::max(m_buffered - released, 0);
    return released;
}

void TPieceBuffer::MarkPrefix(int32_t length) {
    ForgetBlocks();
    for (int32_t at = 0; at < length && at < m_piece_size; at += BlockBytes) SetPresent(at / BlockBytes, true);
}

void TPieceBuffer::ForgetBlocks() {
    std::fill(m_present.begin(), m_present.end(), 0);
    std::fill(m_block_length.begin(), m_block_length.end(), 0);
    m_buffered = 0;
}

void TPieceBuffer::Clear() {
    for (uint8_t*& chunk : m_chunks) {
        BufferPools::PieceBuffers().Free(chunk);
        chunk = nullptr;
    }
    m_chunks.clear();
    m_present.clear();
    m_block_length.clear();
    m_chunk_size = 0;
    m_piece_size = 0;
    m_buffered = 0;
}

const uint8_t* TPieceBuffer::DataAt(int32_t offset, int32_t* run) const {
    if (!ChunkHasMemory(offset) || offset >= m_piece_size) return nullptr;
    const int32_t in_chunk = offset % m_chunk_size;
    if (run) *run = std::min(m_chunk_size - in_chunk, m_piece_size - offset);
    return m_chunks[static_cast<size_t>(offset / m_chunk_size)] + in_chunk;
}

int32_t TPieceBuffer::AllocatedChunks() const {
    return static_cast<int32_t>(std::count_if(m_chunks.begin(), m_chunks.end(), [](auto* c) { return c != nullptr; }));
}

int32_t TPieceBuffer::PresentCount() const {
    return static_cast<int32_t>(std::count(m_present.begin(), m_present.end(), 1));
}

int32_t TPieceBuffer::Serialize(std::string& out, int32_t from_offset, int32_t written_prefix,
                                int32_t max_blocks) const {
    std::vector<int32_t> blocks;
    for (int32_t at = std::max(from_offset, 0) / BlockBytes * BlockBytes;
         at < m_piece_size && static_cast<int32_t>(blocks.size()) < max_blocks; at += BlockBytes) {
        if (HasBlock(at)) blocks.push_back(at);
    }
    if (blocks.empty()) return 0;
    out.reserve(out.size() + HeaderBytes + blocks.size() * RecordBytes);
    PutInt(out, m_buffered);
    PutInt(out, written_prefix);
    PutInt(out, static_cast<int32_t>(blocks.size()));
    PutInt(out, 0);
    for (int32_t at : blocks) {
        PutInt(out, at);
        PutInt(out, BlockBytes);
        const size_t data_at = out.size();
        out.append(BlockBytes + 8, '\0');
        // A short last block is padded with zeros.
        Read(reinterpret_cast<uint8_t*>(out.data()) + data_at, m_block_length[static_cast<size_t>(at / BlockBytes)],
             at, false);
    }
    return static_cast<int32_t>(blocks.size());
}

int32_t TPieceBuffer::Deserialize(const uint8_t* data, int64_t size) {
    if (!data || m_chunk_size < BlockBytes || size <= HeaderBytes) return -1;
    const int32_t buffered = GetInt(data);
    const int32_t prefix = GetInt(data + 4);
    const int32_t count = GetInt(data + 8);
    if (buffered <= 0 || prefix < 0 || prefix > m_piece_size || count <= 0) return -1;
    if (static_cast<int64_t>(count) * RecordBytes > size - HeaderBytes) return -1;
    ForgetBlocks();
    const uint8_t* record = data + HeaderBytes;
    for (int32_t k = 0; k < count; ++k, record += RecordBytes) {
        const int32_t at = GetInt(record);
        const int32_t length = GetInt(record + 4);
        if (at < prefix || length != BlockBytes || Store(record + 8, length, at) < 0) {
            Clear();
            return -1;
        }
    }
    if (m_buffered < buffered) {
        Clear();
        return -1;
    }
    for (int32_t at = 0; at < prefix; at += BlockBytes) SetPresent(at / BlockBytes, true);
    return prefix;
}

}  // namespace engine
