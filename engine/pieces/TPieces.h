#pragma once
// TPieces: a task's piece map and storage. It owns the file list, the pieces,
// the bitfield of verified pieces, the file selection and the counters the
// task reports, and it puts piece bytes into the task's files and gets them
// back (TPiecesStorage.cpp), including the start-up examination of data
// already on disk (TPiecesExamine.cpp).
//
// Owner: the task (TPiecesOwner), which receives the map's events. Thread: the
// task's work thread only; complete pieces are written behind it by the
// map's piece writer thread (TPieceWriter.h), which reads only their chunk
// memory and writes through handles of its own. Lock: file I/O of piece data
// and every file growth take the process-wide disk lock (TDiskLockHolder.h);
// nothing else is shared.
//
// Units: piece length L; block b covers bytes b × 16384 … b × 16384 + 16383
// of the byte stream, i.e. piece ⌊b × 16384 / L⌋ at offset (b × 16384) mod L.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/pieces/TBitfield.h"
#include "engine/pieces/TFileEntry.h"
#include "engine/pieces/TPiece.h"
#include "engine/pieces/TPieceWriter.h"
#include "engine/pieces/TPiecesOwner.h"

namespace engine {

class TDiskLockHolder;
class TPieceStateCodec;
class TBlockSource;
class TTorrentLayout;

// The layout a piece map is built from: what the metainfo says.
struct TPiecesLayout {
    struct File {
        std::string path;          // full path of the final file
        std::string display_name;  // relative path inside the torrent
        int64_t size = 0;
    };
    std::string save_folder;
    std::string name;
    int64_t piece_length = 0;
    std::string digests;  // 20 bytes per piece
    // A source that names no digests (a plain web download): the pieces
    // are cut from the files' total length and accepted unhashed.
    bool without_digests = false;
    std::vector<File> files;
};

class TPieces {
public:
    explicit TPieces(TPiecesOwner* owner);
    ~TPieces();
    TPieces(const TPieces&) = delete;
    TPieces& operator=(const TPieces&) = delete;

    // --- building --------------------------------------------------------
    // Makes the file entries (carrying names over from `previous`, switching
    // new files to their temporary names) and builds the pieces.
    bool BuildFromLayout(const TPiecesLayout& layout, TPieces* previous);
    // The same from a loaded torrent's layout; its folder entries are created.
    bool BuildFromTorrent(const TTorrentLayout& layout, TPieces* previous);
    // Creates pieces and bitfield, then examines and prepares the files.
    bool BuildPieces(TPieces* previous);
    // Closes files (saving state), saves the selection and forgets everything.
    void Empty();

    // --- queries ---------------------------------------------------------
    bool IsLayoutValid() const;
    bool IsPieceValid(int64_t index) const;
    bool IsPieceDone(int64_t index) const;
    bool IsPieceWanted(int64_t index) const;
    bool IsAllScanned() const { return m_scanned_bytes >= m_total_length; }
    bool IsAllDone() const;
    int32_t CountDoneOrSkipped() const;
    // The piece is done (buffered blocks are the buffer layer's to report).
    bool HasBlock(int64_t block) const;
    int64_t PieceOfBlock(int64_t block) const;
    int64_t OffsetOfBlock(int64_t block) const;
    TFileEntry* FindFileByName(const std::string& display_name);

    // --- state changes ---------------------------------------------------
    void SetPieceDone(int64_t index, bool done);
    void SelectFile(int32_t file, bool deselect);
    void SelectAll(bool deselect);
    void ResetPiece(int64_t index);
    // Checks the piece's bytes against its digest (or accepts them when
    // `skip_verify` or without digests) and marks it done or not done.
    bool VerifyAndMark(int64_t index, const uint8_t* data, int64_t length, bool skip_verify);

    // --- storage (TPiecesStorage.cpp) ------------------------------------
    bool MapPieceToFiles(TPiece& piece, std::vector<TFileEntry*>& files);
    bool OpenFileForRange(TFileEntry& file, int64_t required, bool for_writing, TDiskLockHolder& lock,
                          bool no_grow);
    // Bytes written, -1 on failure, -100 when the completed piece failed
    // verification.
    int32_t WritePieceRange(int64_t index, const uint8_t* data, int32_t length, int32_t piece_offset,
                            bool skip_verify);
    // Bytes read, -1 on failure.
    int32_t ReadPieceRange(int64_t index, uint8_t* out, int32_t length, int32_t piece_offset);
    bool PrepareFiles();
    int32_t CloseFiles(bool save_state, bool finish);
    void LimitOpenFiles();
    int32_t OpenFileCount() const;

    // --- start-up examination (TPiecesExamine.cpp) -----------------------
    bool ExamineExistingData(TPieces* previous);

    // --- resume state ----------------------------------------------------
    bool LoadPieceState();
    bool SavePieceState();
    bool SaveSelectionList();
    void ApplySelectionList();

    // --- buffers, cache and block dump (TPiecesCache.cpp, TPiecesBlockDump.cpp)
    // Seconds a cached piece stays useful, and the idle age after which a
    // piece still being received writes what it has.
    static constexpr int64_t CacheLifetimeSeconds = 3600;
    static constexpr int64_t IdleFlushSeconds = CacheLifetimeSeconds / 6 > 15 ? CacheLifetimeSeconds / 6 : 15;
    // Blocks of a received piece; returns as TPiece::ReceiveBlock.
    int32_t WriteBlock(int64_t block, int32_t length, const uint8_t* data, TBlockSource* source, bool& accepted);
    // An upload read through the cache; bytes, 0 or -1.
    int32_t ReadBlock(int64_t block, int32_t length, uint8_t* out, int32_t read_ahead, bool force);
    // Every 5 seconds: idle partial pieces are flushed, complete pieces
    // beyond the cache budget written, then the cache trimmed.
    void MaintainCache();
    // Evicts cached copies of done pieces; returns the cached bytes / 256 KiB.
    int32_t TrimCache();
    // Writes every piece complete in memory.
    void FlushComplete();
    // Whether a piece verified on its last block goes to disk at once (while
    // it is hashed) instead of waiting in memory for upload reads: the task
    // sets this when no BitTorrent peer could read it back.
    void SetWriteOnCompletion(bool on) { m_write_on_completion = on; }
    // Frees the buffer of a piece just written to relieve memory, which
    // then no longer counts as cached.
    void DropWrittenBuffer(TPiece& piece);
    int64_t FlushRange(int64_t first, int64_t last);
    // Pieces written behind the work thread (TPiecesCache.cpp) are marked
    // done, their memory freed, when their writes are collected: Collect
    // takes the finished ones without waiting (every pass of the work loop
    // and every received block), Drain waits for all (before anything
    // closes files, saves state or frees a piece with a queued write).
    // With `wake_writer`, a writer that sleeps over queued pieces is woken.
    void CollectWrites(bool wake_writer);
    void DrainWrites();
    int32_t PendingWrites() const { return m_pending_writes; }
    // Bytes of queued writes beyond which the work thread waits for the
    // writer (until half of them are written).
    int64_t WriteQueueLimit() const;
    bool SaveBlockDump();
    bool LoadBlockDump();
    // Cache limit in bytes: the cache size in 256 KiB units.
    int64_t CacheLimit() const { return static_cast<int64_t>(m_cache_size) * 262144; }
    int64_t CompleteInMemoryBytes() const { return m_complete_in_memory; }
    int32_t ReadRequests() const { return m_read_requests; }
    int32_t CacheHits() const { return m_cache_hits; }
    // The task's info hash (20 bytes; empty without metainfo).
    void SetInfoHash(const std::string& info_hash) { m_info_hash = info_hash; }
    const std::string& InfoHash() const { return m_info_hash; }
    // Clock and stop request as the map sees them.
    int64_t NowSeconds() const { return Now(); }
    bool IsStopRequested() const { return IsStopping(); }
    void RemovePartialPiece(int32_t index);
    void AddPartialPiece(int32_t index);
    std::vector<uint8_t>& ScratchBuffer() { return Scratch(); }

    // --- settings --------------------------------------------------------
    void SetOwner(TPiecesOwner* owner) { m_owner = owner; }
    TPiecesOwner* Owner() const { return m_owner; }
    void SetStateCodec(TPieceStateCodec* codec) { m_codec = codec; }
    // From the task's cache-size option, in units of 256 KiB.
    void SetCacheSize(int32_t option);
    int32_t CacheSize() const { return m_cache_size; }
    void SetQuickVerification(bool on) { m_quick_verification = on; }
    void SetResume(bool on) { m_resume = on; }
    void SetBlockDumpPath(const std::string& path) { m_block_dump_path = path; }
    void SetSelectionBlob(const std::string& blob) { m_selection_blob = blob; }
    void SetPieceStateBlob(const std::string& blob) { m_piece_state_blob = blob; }
    const std::string& SelectionBlob() const { return m_selection_blob; }
    const std::string& PieceStateBlob() const { return m_piece_state_blob; }
    const std::string& BlockDumpPath() const { return m_block_dump_path; }

    // --- layout and counters ---------------------------------------------
    const std::string& Name() const { return m_name; }
    const std::string& SaveFolder() const { return m_save_folder; }
    int64_t TotalLength() const { return m_total_length; }
    int32_t PieceLength() const { return m_piece_length; }
    int64_t PieceCount() const { return m_piece_count; }
    bool HasDigests() const { return m_has_digests; }
    const std::string& Digests() const { return m_digests; }
    size_t FileCount() const { return m_files.size(); }
    TFileEntry* File(size_t i) { return i < m_files.size() ? m_files[i].get() : nullptr; }
    TPiece* Piece(int64_t i) { return IsPieceValid(i) ? m_pieces[static_cast<size_t>(i)].get() : nullptr; }
    const TBitfield& Bitfield() const { return m_bitfield; }
    const std::vector<int32_t>& PartialPieces() const { return m_partial_pieces; }
    int64_t ScannedBytes() const { return m_scanned_bytes; }
    int64_t CompletedBytes() const { return m_completed_bytes; }
    int64_t WantedBytes() const { return m_wanted_bytes; }
    int64_t WantedPieces() const { return m_wanted_pieces; }
    int32_t DoneOrSkipped() const { return m_done_or_skipped; }
    int32_t CachedBytes() const { return m_cached_bytes; }
    int32_t LastCompletedPiece() const { return m_last_completed; }
    int64_t LastActivity() const { return m_last_activity; }
    void TouchActivity();

private:
    friend class TPiece;
    // Storage helpers (TPiecesStorage.cpp).
    // The bytes of a piece at a piece offset, and how many follow them in
    // the same memory.
    using PieceBytes = std::function<const uint8_t*(int32_t piece_offset, int32_t* run)>;
    // Opens and grows the files of a piece range and lists its writes; false
    // at the first file that cannot take its share (the writes before it
    // stay listed).
    bool PrepareWrites(TPiece& piece, const std::vector<TFileEntry*>& files, int32_t piece_offset, int32_t length,
                       const PieceBytes& bytes, std::vector<TPieceWriter::Write>& out);
    // The bookkeeping after a piece range was written; returns as
    // WritePieceRange. `data` (the range's bytes) is needed only to verify.
    int32_t FinishWrite(int64_t index, int32_t piece_offset, int32_t written, bool failed, bool skip_verify,
                        const uint8_t* data);
    // Writes a verified piece's buffered bytes after its written prefix from
    // its chunk memory; returns as WritePieceRange.
    int32_t WriteBufferedPiece(TPiece& piece);
    // The writes of WriteBufferedPiece; false (nothing to write) when a chunk
    // has no memory or the piece has no place in the files. A file failing
    // part-way ends the list with an empty write, which fails.
    bool PrepareBufferedWrites(TPiece& piece, std::vector<TPieceWriter::Write>& writes);
    // Before the hashing of a piece that has just completed (TPiece.cpp): a
    // piece that goes to disk at once (write-on-completion, or the complete
    // pieces in memory would pass half the cache) has its writes queued on
    // the piece writer; returns whether they were. Once collected, a piece
    // that was verified and recorded meanwhile is marked done and its memory
    // freed (FinishQueuedWrite). A piece that failed verification is not
    // finished: its bytes on disk are then as unverified as a flushed
    // prefix, and the piece is fetched again.
    bool QueueHashedWrite(TPiece& hashing);
    // Queues the writes of a piece complete in memory; with `keep_cached`
    // its verified bytes stay as the cached copy once written (else they
    // are freed). False when nothing was queued: the caller writes it.
    bool QueueCompleteWrite(TPiece& piece, bool keep_cached);
    void FinishQueuedWrite(const TPieceWriter::Job& job);
    void FinishCollectedWrites();
    // Queued bytes at which the writer is woken.
    int64_t WriteWakeBytes() const;
    bool WaitForFreeSpace(const TFileEntry& file, int64_t missing, TDiskLockHolder& lock);
    bool TruncateToSize(TFileEntry& file);
    bool OpenClosedFile(TFileEntry& file, bool for_writing);
    bool FileHasWantedPieces(const TFileEntry& file) const;
    bool IsFileComplete(const TFileEntry& file) const;
    void FinishFiles();
    // Examination helpers (TPiecesExamine.cpp).
    bool QuickVerify();
    bool FullRecheck();
    bool Migrate(TPieces& previous);
    void ExamineWithoutDigests();
    // Selection helpers.
    bool PieceHasSelectedFile(int64_t index) const;
    void SetPieceSkipped(int64_t index, bool skipped, int64_t& changed);
    void ClampCounters();
    void Send(int32_t code, int32_t flag, int32_t argument, int32_t value, const uint8_t* data = nullptr);
    bool IsStopping() const { return m_owner && m_owner->IsStopping(); }
    int64_t Now() const { return m_owner ? m_owner->NowSeconds() : 0; }
    void CheckInvariant() const;
    std::vector<uint8_t>& Scratch();

    TPiecesOwner* m_owner;
    TPieceStateCodec* m_codec = nullptr;

    // Layout.
    std::string m_save_folder;
    std::string m_name;
    int64_t m_total_length = 0;
    int32_t m_piece_length = 0;
    int64_t m_piece_count = 0;
    std::string m_digests;
    bool m_has_digests = false;
    std::vector<std::unique_ptr<TFileEntry>> m_files;

    std::string m_block_dump_path;
    std::string m_selection_blob;
    std::string m_piece_state_blob;
    std::vector<uint8_t> m_scratch;
    TBitfield m_bitfield;
    std::vector<std::unique_ptr<TPiece>> m_pieces;
    std::vector<int32_t> m_partial_pieces;

    // Counters.
    int64_t m_scanned_bytes = 0;
    int64_t m_completed_bytes = 0;
    int64_t m_wanted_bytes = 0;
    int64_t m_wanted_pieces = 0;
    int32_t m_done_or_skipped = 0;
    int32_t m_cached_bytes = 0;
    int32_t m_last_completed = -1;
    int64_t m_last_activity = 0;
    int64_t m_last_trim = 0;
    // Buffer layer.
    int64_t m_complete_in_memory = 0;
    TPieceWriter m_writer;
    bool m_write_on_completion = false;
    int32_t m_pending_writes = 0;                 // pieces with m_write_pending
    std::vector<TPieceWriter::Job> m_collected;  // collected, not yet finished
    int32_t m_read_requests = 0;
    int32_t m_cache_hits = 0;
    std::string m_info_hash;

    // Settings.
    int32_t m_cache_size = 32;  // 8 MiB until the task's option arrives
    bool m_full_preallocation = true;
    bool m_quick_verification = false;
    bool m_resume = true;
};

}  // namespace engine
