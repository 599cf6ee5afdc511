#pragma once
// TPiece: one piece of a task's byte stream, with its place in the files and
// the progress of its data. Owned by the task's piece map (TPieces) and used
// only by the task's work thread (while its write is queued, the piece
// writer thread reads its chunk memory; see m_write_pending).
//
// The block buffer, the incremental SHA-1 state and the delivering source are
// added by the buffer layer; this record keeps what the map and the storage
// need.

#include <cstdint>
#include <vector>

#include "engine/pieces/TPieceBuffer.h"

namespace engine {

class TPieces;
class TBlockSource;

class TPiece {
public:
    TPiece() = default;
    ~TPiece();
    TPiece(const TPiece&) = delete;
    TPiece& operator=(const TPiece&) = delete;

    // Returns the piece to empty: no written prefix, no complete or verified
    // mark, no SHA-1 state, no buffered blocks, no last source, out of the
    // partial-pieces list.
    void Reset() {
        ReleaseProgress(false);
        m_written_prefix = 0;
        m_complete = false;
        m_verified = false;
    }
    // The location cache of MapPieceToFiles is unknown.
    bool HasFilePosition() const { return m_file_index >= 0 && m_file_offset >= 0; }

    bool m_complete = false;  // every byte present (memory or disk) and verified
    bool m_skipped = false;   // lies only in deselected files
    int32_t m_index = 0;
    int32_t m_size = 0;
    int64_t m_file_offset = -1;  // offset inside the first file the piece touches
    int32_t m_file_index = -1;   // that file's index
    int32_t m_written_prefix = 0;
    bool m_verified = false;
    // Its writes are queued on the map's piece writer: the chunk memory must
    // stay as it is until the map collects them (SettleWrite).
    bool m_write_pending = false;
    TPieces* m_owner = nullptr;
    const uint8_t* m_digest = nullptr;  // 20 bytes inside the map's digest buffer
    int64_t m_last_access = 0;

    // --- buffers and verification (TPiece.cpp) ---------------------------
    // Takes a received block. Returns `length` (with `accepted` telling
    // whether the piece took it) or -99 when it completed the piece and the
    // piece failed verification.
    int32_t ReceiveBlock(const uint8_t* data, int32_t length, int32_t offset, TBlockSource* source,
                         bool& accepted);
    // Writes the contiguous buffered bytes after the written prefix when
    // there are at least `minimum`; bytes written (or verified), 0, -1 after
    // a short write, -99 after a failed verification.
    int32_t Flush(int32_t minimum);
    // Writes a piece that is complete in memory, straight from its chunks;
    // its size, 0 when it is not complete in memory, -1 / -99 on failure.
    int32_t WriteComplete();
    // The piece's side of a finished WriteComplete: `written` as the map's
    // write returned it, `buffered` the bytes buffered before the write.
    int32_t AfterWrite(int32_t written, int32_t buffered);
    // Serves an upload read from the cache, filling it from disk with
    // read-ahead; bytes copied, 0, or -1.
    int32_t ReadForUpload(uint8_t* out, int32_t length, int32_t offset, std::vector<uint8_t>& scratch, int64_t now,
                          int32_t read_ahead, bool force);
    // Frees the chunk memory and the present set.
    void DropBuffer();
    // Waits for the piece's queued writes and lets the map finish them, so
    // its memory may change again; nothing to do without queued writes.
    void SettleWrite();
    bool EnsureBuffer();
    bool EnsureHashState();
    // min(piece size, 128 KiB): the unit of memory and of prefix writes.
    int32_t FlushUnit() const;
    bool IsCompleteInMemory() const { return m_complete && m_verified && m_buffer.BufferedBytes() > 0; }
    // Records a finished delivery with result `result` (-100: bad data).
    void ChargeSource(int32_t result);
    // Hashes the buffered bytes from the written prefix to the end (from the
    // piece's SHA-1 state) and compares with the digest.
    bool VerifyBuffered() const;
    // The piece became complete in memory and verified.
    void RecordCompletion();

    TPieceBuffer m_buffer;
    uint8_t* m_sha1 = nullptr;  // 104 bytes from the SHA-1 state pool
    TBlockSource* m_last_source = nullptr;
    int32_t m_bytes_from_source = 0;
    // Bytes of new blocks this piece took, by kind of source, since its
    // progress was last released: a failed check throws them away, and the
    // task's kept-byte counts give them back.
    int32_t m_kept_web = 0;
    int32_t m_kept_peer = 0;

private:
    void ReleaseProgress(bool keep_blocks);
    void SetSource(TBlockSource* source);
    int32_t FailVerification();
    void ReportFailure() const;
};

}  // namespace engine
