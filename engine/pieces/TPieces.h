#pragma once
// TPieces: a task's piece map. It owns the pieces, the bitfield of verified
// pieces, the file selection and the counters the task reports (these are
// changed only here), and it is what the task and the peers talk to. Two
// parts do the rest, each with one job:
//
//   TPieceStorage  the files: mapping piece ranges onto them (one walker for
//                  reads and writes), opening, growing, writing, syncing,
//                  finishing, and the start-up examination of data on disk;
//   TPieceCache    the bytes in memory: received blocks (the one way in,
//                  answering with a TBlockResult), the write policy, the
//                  piece writer, upload reads, trimming and the block dump.
//
// Owner: the task (TPiecesOwner), which receives the map's events. Thread: the
// task's work thread only; complete pieces are written behind it by the
// cache's piece writer thread (TPieceWriter.h), which reads only their chunk
// memory and writes through references on the files' handles. Lock: file I/O
// of piece data and every file growth take the process-wide disk lock
// (TDiskLockHolder.h); nothing else is shared.
//
// Units: piece length L; block b covers bytes b × 16384 … b × 16384 + 16383
// of the byte stream, i.e. piece ⌊b × 16384 / L⌋ at offset (b × 16384) mod L.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/pieces/TBitfield.h"
#include "engine/pieces/TFileEntry.h"
#include "engine/pieces/TPiece.h"
#include "engine/pieces/TPieceCache.h"
#include "engine/pieces/TPieceStorage.h"
#include "engine/pieces/TPiecesOwner.h"

namespace engine {

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
    // The piece is done, or the block is on disk or in memory.
    bool HasBlock(int64_t block) const;
    int64_t PieceOfBlock(int64_t block) const;
    int64_t OffsetOfBlock(int64_t block) const;
    TFileEntry* FindFileByName(const std::string& display_name) { return m_storage.FindFileByName(display_name); }

    // --- state changes ---------------------------------------------------
    void SetPieceDone(int64_t index, bool done);
    void SelectFile(int32_t file, bool deselect);
    void SelectAll(bool deselect);
    // Empties a piece that is not done (a queued write decides first).
    void ResetPiece(int64_t index);
    // Checks the piece's bytes against its digest (or accepts them when
    // `skip_verify` or without digests) and marks it done or not done.
    bool VerifyAndMark(int64_t index, const uint8_t* data, int64_t length, bool skip_verify);
    // For the storage's examination: counting starts from nothing; the
    // scanned part grows; everything is done; or nothing is done and
    // everything is wanted (a source without digests).
    void StartScan();
    void SetScannedBytes(int64_t bytes) { m_scanned_bytes = bytes; }
    void MarkEverythingDone();
    void MarkNothingDone();

    // --- blocks ------------------------------------------------------------
    // The one way in for received data; see TBlockResult.
    TBlockResult WriteBlock(int64_t block, int32_t length, const uint8_t* data, TBlockSource* source) {
        return m_cache.ReceiveBlock(block, length, data, source);
    }
    // Where a block goes in memory, to be filled in place (TPieceCache).
    uint8_t* BlockPlace(int64_t block, int32_t* room) { return m_cache.BlockPlace(block, room); }
    void ReleasePlace(int64_t block) { m_cache.ReleasePlace(block); }
    // An upload read through the cache; bytes, 0 or -1.
    int32_t ReadBlock(int64_t block, int32_t length, uint8_t* out, int32_t read_ahead, bool force) {
        return m_cache.ReadBlock(block, length, out, read_ahead, force);
    }
    // Writes a piece range straight from `data` (migration from an older
    // layout). A range that completes the piece is verified (unless
    // `skip_verify`) and the piece marked done or not done: the outcome is
    // Stored (range written), PieceVerified, PieceFailed, DiskError (with
    // the file) or Rejected (bad arguments).
    TBlockResult WritePieceRange(int64_t index, const uint8_t* data, int32_t length, int32_t piece_offset,
                                 bool skip_verify);
    // Bytes read, -1 on failure.
    int32_t ReadPieceRange(int64_t index, uint8_t* out, int32_t length, int32_t piece_offset);

    // --- storage -----------------------------------------------------------
    bool MapPieceToFiles(TPiece& piece, std::vector<TFileEntry*>& files) {
        return m_storage.MapPieceToFiles(piece, files);
    }
    bool PrepareFiles();
    // Settles queued writes, syncs and closes the files; with `finish`, moves
    // complete files to their final names; saves the piece state when asked
    // or when a file was open for writing. Returns the files closed.
    int32_t CloseFiles(bool save_state, bool finish);
    void LimitOpenFiles();
    int32_t OpenFileCount() const { return m_storage.OpenFileCount(); }

    // --- resume state ----------------------------------------------------
    bool LoadPieceState();
    bool SavePieceState();
    bool SaveSelectionList();
    void ApplySelectionList();

    // --- cache -------------------------------------------------------------
    // Seconds a cached piece stays useful, and the idle age after which a
    // piece still being received writes what it has.
    static constexpr int64_t CacheLifetimeSeconds = TWritePolicy::CacheLifetimeSeconds;
    static constexpr int64_t IdleFlushSeconds = TWritePolicy::IdleFlushSeconds;
    // Every 5 seconds: idle partial pieces are flushed, complete pieces
    // beyond the cache budget written, then the cache trimmed.
    void MaintainCache() { m_cache.Maintain(); }
    // Evicts cached copies of done pieces; returns the cached bytes / 256 KiB.
    int32_t TrimCache() { return m_cache.Trim(); }
    // Writes every piece complete in memory.
    void FlushComplete() { m_cache.FlushComplete(); }
    // Writes a piece's contiguous buffered bytes after its written prefix
    // when there are at least `minimum`.
    void FlushPiece(int64_t index, int32_t minimum);
    // Whether a piece verified on its last block goes to disk at once (while
    // it is hashed) instead of waiting in memory for upload reads: the task
    // sets this when no BitTorrent peer could read it back.
    void SetWriteOnCompletion(bool on) { m_cache.Policy().SetWriteOnCompletion(on); }
    void CollectWrites(bool wake_writer) { m_cache.CollectWrites(wake_writer); }
    void DrainWrites() { m_cache.DrainWrites(); }
    int32_t PendingWrites() const { return m_cache.PendingWrites(); }
    // Bytes of queued writes beyond which the work thread waits for the
    // writer (until half of them are written).
    int64_t WriteQueueLimit() const { return m_cache.WriteQueueLimit(); }
    bool SaveBlockDump() { return m_cache.SaveBlockDump(); }
    bool LoadBlockDump() { return m_cache.LoadBlockDump(); }
    // Cache limit in bytes: the cache size in 256 KiB units.
    int64_t CacheLimit() const { return m_cache.Policy().CacheLimit(); }
    int64_t CompleteInMemoryBytes() const { return m_cache.CompleteInMemoryBytes(); }
    int32_t ReadRequests() const { return m_cache.ReadRequests(); }
    int32_t CacheHits() const { return m_cache.CacheHits(); }
    int32_t CachedBytes() const { return m_cache.CachedBytes(); }
    // The task's info hash (20 bytes; empty without metainfo).
    void SetInfoHash(const std::string& info_hash) { m_info_hash = info_hash; }
    const std::string& InfoHash() const { return m_info_hash; }
    // Clock and stop request as the map sees them.
    int64_t NowSeconds() const { return m_owner ? m_owner->NowSeconds() : 0; }
    bool IsStopRequested() const { return m_owner && m_owner->IsStopping(); }
    void RemovePartialPiece(int32_t index);
    void AddPartialPiece(int32_t index);
    // A buffer of at least one piece, reused by reads of the work thread.
    std::vector<uint8_t>& ScratchBuffer();

    // --- settings --------------------------------------------------------
    void SetOwner(TPiecesOwner* owner) { m_owner = owner; }
    TPiecesOwner* Owner() const { return m_owner; }
    void SetStateCodec(TPieceStateCodec* codec) { m_codec = codec; }
    // From the task's cache-size option, in units of 256 KiB.
    void SetCacheSize(int32_t option) { m_cache.Policy().SetCacheSize(option); }
    int32_t CacheSize() const { return m_cache.Policy().CacheSize(); }
    void SetQuickVerification(bool on) { m_quick_verification = on; }
    bool QuickVerification() const { return m_quick_verification; }
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
    size_t FileCount() const { return m_storage.FileCount(); }
    TFileEntry* File(size_t i) { return m_storage.File(i); }
    TPiece* Piece(int64_t i) { return IsPieceValid(i) ? m_pieces[static_cast<size_t>(i)].get() : nullptr; }
    const TPiece* Piece(int64_t i) const {
        return IsPieceValid(i) ? m_pieces[static_cast<size_t>(i)].get() : nullptr;
    }
    const TBitfield& Bitfield() const { return m_bitfield; }
    const std::vector<int32_t>& PartialPieces() const { return m_partial_pieces; }
    int64_t ScannedBytes() const { return m_scanned_bytes; }
    int64_t CompletedBytes() const { return m_completed_bytes; }
    int64_t WantedBytes() const { return m_wanted_bytes; }
    int64_t WantedPieces() const { return m_wanted_pieces; }
    int32_t DoneOrSkipped() const { return m_done_or_skipped; }
    int32_t LastCompletedPiece() const { return m_last_completed; }
    int64_t LastActivity() const { return m_last_activity; }
    void TouchActivity();

private:
    bool PieceHasSelectedFile(int64_t index) const;
    void SetPieceSkipped(int64_t index, bool skipped, int64_t& changed);
    void ClampCounters();
    // After every file is complete: partial progress and the dump go.
    void FinishFiles();
    void Send(int32_t code, int32_t flag, int32_t argument, int32_t value) {
        SendPiecesEvent(m_owner, code, flag, argument, value);
    }
    void CheckInvariant() const;

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

    std::string m_block_dump_path;
    std::string m_selection_blob;
    std::string m_piece_state_blob;
    std::string m_info_hash;
    std::vector<uint8_t> m_scratch;
    TBitfield m_bitfield;
    std::vector<int32_t> m_partial_pieces;

    // Counters.
    int64_t m_scanned_bytes = 0;
    int64_t m_completed_bytes = 0;
    int64_t m_wanted_bytes = 0;
    int64_t m_wanted_pieces = 0;
    int32_t m_done_or_skipped = 0;
    int32_t m_last_completed = -1;
    int64_t m_last_activity = 0;

    // Settings.
    bool m_quick_verification = false;
    bool m_resume = true;

    // The pieces first: the cache's writer (destroyed before them) reads
    // their memory until its queue ran dry.
    std::vector<std::unique_ptr<TPiece>> m_pieces;
    TPieceStorage m_storage;
    TPieceCache m_cache;
};

}  // namespace engine
