#pragma once
// TPieceCache: the piece bytes a map holds in memory: blocks of pieces being
// received, pieces verified and waiting to be written, and cached copies of
// done pieces for upload reads. It is the one way in for received blocks
// (ReceiveBlock, which answers with a TBlockResult), asks its TWritePolicy
// whether a piece goes to disk now, writes pieces through the storage (on the
// work thread, or queued on its piece writer thread while they are hashed),
// serves upload reads with read-ahead, trims itself within the cache limit
// and saves and restores the block dump (TPieceCacheDump.cpp).
//
// Its counters (bytes cached, bytes complete in memory, read requests, cache
// hits) are changed only here; the map's counters only by the map.
//
// Owner: its TPieces. Thread: the task's work thread; the piece writer
// thread reads the chunk memory of pieces with queued writes and nothing
// else. Lock: none of its own (the writer has its private one; file I/O takes
// the disk lock in the storage).

#include <cstdint>
#include <string>
#include <vector>

#include "engine/pieces/TPieceWriter.h"
#include "engine/pieces/TWritePolicy.h"

namespace engine {

class TBlockSource;
class TPiece;
class TPieceStorage;
class TPieces;

// What became of a received block.
enum class BlockOutcome {
    Rejected,       // no such block in the map: nothing was done
    NotTaken,       // the piece is not wanted (done or deselected), or no memory for it
    Duplicate,      // held already (on disk or in memory): traffic, not new data
    Stored,         // a new block, kept until its piece is complete
    PieceVerified,  // the block completed its piece, which passed its check
    PieceFailed,    // the block completed its piece, which failed its check
    DiskError,      // the piece passed its check, but writing it failed
};

struct TBlockResult {
    BlockOutcome outcome = BlockOutcome::Rejected;
    int32_t piece = -1;
    // The block's piece is verified (written, or whole in memory) after this
    // block; a duplicate of a piece waiting in memory says so too.
    bool piece_complete = false;
    // With DiskError: the path of the file that could not be written (empty
    // when the piece had no place in the files).
    std::string file;
};

class TPieceCache {
public:
    TPieceCache(TPieces& map, TPieceStorage& storage);
    ~TPieceCache();
    TPieceCache(const TPieceCache&) = delete;
    TPieceCache& operator=(const TPieceCache&) = delete;

    TWritePolicy& Policy() { return m_policy; }
    const TWritePolicy& Policy() const { return m_policy; }

    // --- blocks in and out ---------------------------------------------------
    TBlockResult ReceiveBlock(int64_t block, int32_t length, const uint8_t* data, TBlockSource* source);
    // Memory in its piece's buffer where a wanted block that is not held yet
    // goes, and the room for absent blocks from there up to its chunk's end
    // (TPiece::PlaceFor): a receiver fills it in place and hands it to
    // ReceiveBlock from there, which then copies nothing. Null when the block
    // is not wanted or held already.
    uint8_t* BlockPlace(int64_t block, int32_t* room);
    // A place that was not filled after all.
    void ReleasePlace(int64_t block);
    // An upload read through the cache; bytes, 0 (not available now) or -1.
    int32_t ReadBlock(int64_t block, int32_t length, uint8_t* out, int32_t read_ahead, bool force);

    // --- upkeep ------------------------------------------------------------------
    // Every 5 seconds: idle partial pieces write their prefix, complete
    // pieces beyond the policy's budget are written, then the cache trimmed.
    void Maintain();
    // Evicts cached copies of done pieces; returns the cached bytes / 256 KiB.
    int32_t Trim();
    // Writes every piece complete in memory.
    void FlushComplete();
    // Writes a piece's contiguous buffered bytes after its written prefix
    // when there are at least `minimum`, verifying it when they complete it.
    void FlushPrefix(TPiece& piece, int32_t minimum);

    // --- the piece writer ----------------------------------------------------------
    // Pieces written behind the work thread are marked done, their memory
    // freed, when their writes are collected: Collect takes the finished ones
    // without waiting (every pass of the work loop and every received
    // block), Drain waits for all (before anything closes files, saves state
    // or frees a piece with a queued write). With `wake_writer`, a writer
    // that sleeps over queued pieces is woken.
    void CollectWrites(bool wake_writer);
    void DrainWrites();
    // Waits for the piece's queued write, if any, and finishes it.
    void Settle(TPiece& piece);
    int32_t PendingWrites() const { return m_pending_writes; }
    int64_t WriteQueueLimit() const;

    // --- piece state changes the map asks for -----------------------------------------
    // Empties a piece (settling its write first) and drops it from the
    // partial-piece list.
    void ResetPiece(TPiece& piece);
    // The map was rebuilt or emptied: nothing is cached any more.
    void ForgetCounters();

    // --- block dump (TPieceCacheDump.cpp) ------------------------------------------
    bool SaveBlockDump();
    bool LoadBlockDump();

    // --- counters ----------------------------------------------------------------------
    int32_t CachedBytes() const { return m_cached_bytes; }
    int64_t CompleteInMemoryBytes() const { return m_complete_in_memory; }
    int32_t ReadRequests() const { return m_read_requests; }
    int32_t CacheHits() const { return m_cache_hits; }

private:
    // A block made the piece whole: the check (with the write queued
    // meanwhile when the policy sends it to disk now); false when it failed.
    bool CompletePiece(TPiece& piece);
    void FailVerification(TPiece& piece);
    void ReportFailure(const TPiece& piece) const;
    void RecordCompletion(TPiece& piece);
    // What follows a block taken into a piece complete in memory: the write
    // the policy asks for, the trim, the early announcement, the writing of
    // all once all are verified. False when the write failed (`failed_file`
    // names the file).
    bool AfterCompleteBlock(TPiece& piece, bool just_completed, std::string* failed_file);
    // Writes a piece complete in memory now. On success it is done and, with
    // `keep_cached`, its bytes stay as the cached copy; on failure it is
    // marked not done and fetched again, and `failed_file` (when given)
    // names the file that could not be written.
    bool WriteOut(TPiece& piece, bool keep_cached, std::string* failed_file = nullptr);
    // The bookkeeping after a complete piece's write (made now or collected).
    bool FinishPieceWrite(TPiece& piece, bool ok, int32_t buffered, bool keep_cached);
    // The writes of a complete piece from its chunk memory; false when a
    // chunk has no memory.
    bool PrepareBufferedWrites(TPiece& piece, std::vector<TPieceWriter::Write>& writes);
    // Queues a complete piece's writes; false when nothing was queued (the
    // caller writes it itself).
    bool QueueCompleteWrite(TPiece& piece, bool keep_cached);
    void FinishQueuedWrite(const TPieceWriter::Job& job);
    void FinishCollectedWrites();
    void DropWrittenBuffer(TPiece& piece);
    // Every wanted piece is done or verified in memory.
    bool AllWantedVerified() const;

    TPieces& m_map;
    TPieceStorage& m_storage;
    TWritePolicy m_policy;
    int32_t m_cached_bytes = 0;
    int64_t m_complete_in_memory = 0;
    int32_t m_read_requests = 0;
    int32_t m_cache_hits = 0;
    int64_t m_last_trim = 0;
    int32_t m_pending_writes = 0;                // pieces with a queued write
    std::vector<TPieceWriter::Job> m_collected;  // collected, not yet finished
    // Last: joined (after the queue ran dry) before anything above goes.
    TPieceWriter m_writer;
};

}  // namespace engine
