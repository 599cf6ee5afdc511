#pragma once
// TPiece: one piece of a task's byte stream: its place in the files, the
// blocks received and not yet on disk, the incremental SHA-1 state of the
// written prefix and the source that delivered it. The piece changes only its
// own state; it knows nothing of the map, the files or the cache around it.
// The piece cache (TPieceCache) decides when its bytes are verified, written
// or dropped, and keeps the counters.
//
// Owner: the task's piece map (TPieces). Thread: the task's work thread only.
// While its write is queued (IsWritePending), the piece writer thread reads
// its chunk memory: nothing may then free or refill that memory (DropBuffer
// and Reset refuse to in debug builds); the cache settles the write first.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/pieces/TPieceBuffer.h"

namespace engine {

class TBlockSource;

class TPiece {
public:
    TPiece(int32_t index, int32_t size, const uint8_t* digest);
    ~TPiece();
    TPiece(const TPiece&) = delete;
    TPiece& operator=(const TPiece&) = delete;

    // --- what the piece is and holds ------------------------------------
    int32_t Index() const { return m_index; }
    int32_t Size() const { return m_size; }
    const uint8_t* Digest() const { return m_digest; }  // 20 bytes
    // Bytes from the piece's start that are on disk (hashed into the state).
    int32_t WrittenPrefix() const { return m_written_prefix; }
    // Lies only in deselected files.
    bool IsSkipped() const { return m_skipped; }
    // Its bytes passed the check (in memory, or read back from disk).
    bool IsVerified() const { return m_verified; }
    // Every byte present (memory or disk) and verified.
    bool IsVerifiedComplete() const { return m_complete && m_verified; }
    // Verified and waiting in memory to be written.
    bool IsCompleteInMemory() const { return m_complete && m_verified && m_buffer.BufferedBytes() > 0; }
    bool IsWritePending() const { return m_write_pending; }
    // The block at `offset` is on disk (written prefix) or in memory.
    bool HoldsBlockAt(int32_t offset) const { return offset < m_written_prefix || m_buffer.HasBlock(offset); }
    // The written prefix and the buffered bytes cover the piece.
    bool IsWhole() const { return m_written_prefix + m_buffer.BufferedBytes() >= m_size; }
    int32_t BufferedBytes() const { return m_buffer.BufferedBytes(); }
    const TPieceBuffer& Buffer() const { return m_buffer; }
    // The stored SHA-1 state (TSha1State::Size bytes), or null.
    const uint8_t* HashState() const { return m_sha1; }
    int64_t LastAccess() const { return m_last_access; }
    TBlockSource* LastSource() const { return m_last_source; }
    // Bytes of new blocks taken since the progress was last released, by
    // kind of source.
    int32_t KeptWebBytes() const { return m_kept_web; }
    int32_t KeptPeerBytes() const { return m_kept_peer; }
    // min(piece size, 128 KiB): the unit of memory and of prefix writes.
    int32_t FlushUnit() const;

    // --- where it lies in the files (a cache kept by the storage) --------
    bool HasFilePosition() const { return m_file_index >= 0 && m_file_offset >= 0; }
    int32_t FileIndex() const { return m_file_index; }
    int64_t FileOffset() const { return m_file_offset; }  // inside that file
    void SetFilePosition(int32_t file, int64_t offset) {
        m_file_index = file;
        m_file_offset = offset;
    }

    // --- the map's marks ---------------------------------------------------
    void SetSkipped(bool skipped) { m_skipped = skipped; }

    // --- receiving ---------------------------------------------------------
    enum class Take {
        Stored,  // copied into the buffer
        OnDisk,  // before the written prefix, or the piece is whole already
        Failed,  // outside the piece, or no memory
    };
    // Takes a received block from `source` at `now`. `was_buffered` tells
    // whether the buffer held that block already.
    // With `hash`, a block that continues the bytes hashed so far from the
    // piece's start is hashed at once, while it is in the cache, and so are
    // the present blocks that follow it; the check then hashes only the
    // rest.
    Take Store(const uint8_t* data, int32_t length, int32_t offset, TBlockSource* source, int64_t now,
               bool* was_buffered, bool hash = false);
    // Memory where the block at `offset` goes and the room for absent
    // blocks from there (TPieceBuffer::PlaceFor); null when the block is on
    // disk or present, the piece is whole or its write is queued, or there is
    // no memory. Bytes put there count only once stored from there.
    uint8_t* PlaceFor(int32_t offset, int32_t* room);
    // A place asked for and never stored from: its chunk goes back to the
    // pool unless it holds blocks.
    void ReleasePlace(int32_t offset);
    // Counts a new block's bytes as kept, by the kind of its source.
    void CountKept(const TBlockSource* source, int32_t bytes);
    // Hashes the buffered bytes from the written prefix to the end (from the
    // stored state) and compares with the digest; true without digests.
    bool VerifyBuffered(bool has_digests) const;
    // The piece became complete in memory and verified at `now`; it is
    // dated so that, once written and unread, it is among the first evicted.
    void MarkComplete(int64_t now);
    // A finished delivery: the last source delivered the whole piece, which
    // was written (`bad_data` false) or failed its check.
    void ChargeSource(bool bad_data);
    // After a failed check: everything the piece had is thrown away.
    void DiscardAll();

    // --- writing -----------------------------------------------------------
    // Bytes of whole chunks buffered right after the written prefix (a run
    // reaching the end counts up to it).
    int32_t ContiguousAfterPrefix() const { return m_buffer.ContiguousFrom(m_written_prefix, m_size); }
    // Memory holding `offset` and how many bytes of its chunk follow it; null
    // when that chunk has no memory.
    const uint8_t* DataAt(int32_t offset, int32_t* run) const { return m_buffer.DataAt(offset, run); }
    // Every chunk from the written prefix to the end has memory.
    bool HasMemoryAfterPrefix() const;
    // `bytes` after the written prefix are on disk: they join the hashed
    // prefix and their memory is released. False when the state is lost or
    // the chunks did not match (the caller resets the piece).
    bool AdvancePrefix(int32_t bytes, bool has_digests);
    // The bytes after the written prefix of a piece complete in memory are
    // on disk: the piece's progress is over; its verified bytes stay as the
    // cached copy when the buffer holds the whole piece.
    void FinishWrite();
    // Writing the complete piece failed: its memory is dropped and it is
    // fetched again.
    void FailWrite();
    // A range written straight from outside memory ended: the piece is no
    // longer complete in memory, and verified only when `verified`.
    void EndDirectWrite(bool verified);
    void SetWritePending(bool pending) { m_write_pending = pending; }

    // --- upload reads ------------------------------------------------------
    // Copies a cached range out and dates the piece at `now`; -1 when a
    // block of the range is not present.
    int32_t ReadCached(uint8_t* out, int32_t length, int32_t offset, int64_t now);
    // Keeps bytes read from disk at `start` as cached whole blocks (or the
    // piece's short last block); returns the bytes newly buffered. Once the
    // buffer holds the whole piece it counts as verified: the bytes were
    // checked when written.
    int32_t CacheFromDisk(const uint8_t* data, int32_t length, int32_t start, int64_t now);

    // --- memory --------------------------------------------------------------
    bool EnsureBuffer();
    // Frees the chunk memory and the present set.
    void DropBuffer();
    // Forgets the bytes of a piece nobody wants any more (deselected): its
    // memory goes, and it no longer counts as verified.
    void DropUnwanted();
    // Returns the piece to empty: no written prefix, no complete or verified
    // mark, no SHA-1 state, no buffered blocks, no last source.
    void Reset();

    // --- restoring -----------------------------------------------------------
    // Restores blocks from a block-dump blob; the written prefix the blob was
    // made with, or -1 when it is malformed.
    int32_t RestoreBlocks(const uint8_t* blob, int64_t length);
    // Appends the buffered blocks after the written prefix (at most
    // `max_blocks`) in the block-dump format; the count appended.
    int32_t SerializeBlocks(std::string& out, int32_t max_blocks) const;
    // Takes a stored written prefix and the SHA-1 state of its bytes; false
    // (nothing changed) when the state cannot be held.
    bool RestorePrefix(int32_t prefix, const uint8_t* state);

private:
    bool EnsureHashState();
    // Extends the running hash with the block just stored at `offset` (its
    // bytes at `data`) and the present blocks after it.
    void HashOnward(const uint8_t* data, int32_t length, int32_t offset);
    // Whether a running hash ends at `offset` (starting one where it may),
    // so that a block stored there is hashed at once.
    bool HashReachesAt(int32_t offset);
    // Extends the running hash with the present blocks from its end.
    void HashFollowing();
    // Stores a new block that continues the running hash, copying it into
    // its place and hashing it in one pass; false (nothing done) when it
    // cannot go that way.
    bool StoreHashing(const uint8_t* data, int32_t length, int32_t offset);
    void DropRunningHash();
    void ReleaseProgress(bool keep_blocks);
    void SetSource(TBlockSource* source);

    int32_t m_index;
    int32_t m_size;
    const uint8_t* m_digest;  // 20 bytes inside the map's digest buffer
    bool m_complete = false;  // every byte present (memory or disk) and verified
    bool m_skipped = false;
    bool m_verified = false;
    // Its writes are queued on the piece writer: the chunk memory must stay
    // as it is until they are collected.
    bool m_write_pending = false;
    int32_t m_written_prefix = 0;
    int64_t m_file_offset = -1;  // offset inside the first file the piece touches
    int32_t m_file_index = -1;   // that file's index
    int64_t m_last_access = 0;
    TPieceBuffer m_buffer;
    uint8_t* m_sha1 = nullptr;  // 104 bytes from the SHA-1 state pool
    // The hash of the piece's first m_hashed_end bytes, taken as blocks
    // arrived in order (a buffer from the same pool), or null. It describes
    // bytes still held as they were hashed: storing a block below its end
    // drops it.
    uint8_t* m_running_sha1 = nullptr;
    int32_t m_hashed_end = 0;
    TBlockSource* m_last_source = nullptr;
    int32_t m_bytes_from_source = 0;
    // Bytes of new blocks this piece took, by kind of source, since its
    // progress was last released: a failed check throws them away, and the
    // task's kept-byte counts give them back.
    int32_t m_kept_web = 0;
    int32_t m_kept_peer = 0;
};

}  // namespace engine
