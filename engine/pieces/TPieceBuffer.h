#pragma once
// TPieceBuffer: the received blocks of one piece that are not on disk yet,
// and the cached copies of a done piece. Memory comes in chunks of one flush
// unit (min(piece size, 128 KiB)) from the process-wide piece buffer pool,
// allocated only for chunks that receive data, so a piece being fetched holds
// only what it has.
//
// The present set records which 16 KiB blocks the piece has: blocks with
// chunk memory, and the blocks of the written prefix (on disk, memory
// released). Buffered bytes count the bytes of present blocks that still have
// chunk memory.
//
// Owner: its TPiece. Thread: the task's work thread. Lock: none of its own;
// the pool takes its lock for each chunk.

#include <cstdint>
#include <string>
#include <vector>

namespace engine {

class TPieceBuffer {
public:
    // Piece offsets are counted in blocks of this size everywhere.
    static constexpr int32_t BlockBytes = 16384;

    TPieceBuffer() = default;
    ~TPieceBuffer();
    TPieceBuffer(const TPieceBuffer&) = delete;
    TPieceBuffer& operator=(const TPieceBuffer&) = delete;

    // Clears, then makes room for `chunk_count` chunks of `chunk_size` bytes
    // (none allocated yet) holding a piece of `piece_size` bytes (0: the whole
    // span). False for sizes below 1 or a piece larger than the span.
    bool Init(int32_t chunk_size, int32_t chunk_count, int32_t piece_size = 0);
    bool IsSet() const { return m_chunk_size > 0; }

    // Copies a block in; it must lie inside one chunk and start on a block
    // boundary. Returns `length`, or -1 for bad arguments or no memory.
    int32_t Store(const uint8_t* data, int32_t length, int32_t offset);
    // Memory where the block at `offset` goes, for a caller that fills it in
    // place and then stores it from there (Store copies nothing when given
    // its own place). `room`: the bytes of absent blocks from `offset` to
    // the first present block, the chunk's end or the piece's end. Null when
    // the block is present, for bad arguments or without memory.
    uint8_t* PlaceFor(int32_t offset, int32_t* room);
    // Frees the chunk holding `offset` when none of its blocks is present (a
    // place that was asked for and never filled).
    void ReleaseUnusedChunk(int32_t offset);
    // Copies out up to `length` bytes at `offset`; stops early at a chunk
    // without memory. With `require_present`, every block the range touches
    // must be present, else -1.
    int32_t Read(uint8_t* out, int32_t length, int32_t offset, bool require_present) const;
    // Every block of the range is present and has chunk memory.
    bool HasRange(int32_t offset, int32_t length) const;
    bool HasBlock(int32_t offset) const;
    // Bytes of consecutive present blocks with memory from the chunk holding
    // `offset`, rounded down to whole chunks; a run that reaches `limit` (the
    // piece size) counts up to `limit`.
    int32_t ContiguousFrom(int32_t offset, int32_t limit) const;
    // Returns the chunks covering [offset, offset + length) to the pool; the
    // blocks stay present (as written prefix). Returns the bytes released.
    int32_t ReleaseChunks(int32_t offset, int32_t length);
    // The present set becomes exactly the blocks below `length`.
    void MarkPrefix(int32_t length);
    // Forgets the present blocks but keeps the chunk memory for reuse.
    void ForgetBlocks();
    // Frees every chunk and unsets the buffer.
    void Clear();

    // Appends the present blocks with memory at or beyond `from_offset`, at
    // most `max_blocks`, in the block-dump record format; returns the count.
    int32_t Serialize(std::string& out, int32_t from_offset, int32_t written_prefix, int32_t max_blocks) const;
    // Restores a blob written by Serialize. Returns its written prefix, or -1
    // when the blob is malformed (nothing is kept then).
    int32_t Deserialize(const uint8_t* data, int64_t size);

    // Memory holding `offset` and how many bytes of its chunk follow it (up
    // to the piece's end); null when the chunk has no memory.
    const uint8_t* DataAt(int32_t offset, int32_t* run) const;

    int32_t ChunkSize() const { return m_chunk_size; }
    int32_t ChunkCount() const { return static_cast<int32_t>(m_chunks.size()); }
    int32_t BufferedBytes() const { return m_buffered; }
    int32_t AllocatedChunks() const;
    int32_t PresentCount() const;

private:
    bool IsPresent(int32_t block) const;
    void SetPresent(int32_t block, bool on);
    bool ChunkHasMemory(int32_t offset) const;

    std::vector<uint8_t*> m_chunks;
    int32_t m_piece_size = 0;
    // One flag per block of the buffer's span, and the length each present
    // block had when stored (the last block of a torrent is shorter).
    std::vector<uint8_t> m_present;
    std::vector<int32_t> m_block_length;
    int32_t m_chunk_size = 0;
    int32_t m_buffered = 0;
};

}  // namespace engine
