#pragma once
// TPieceStorage: the files of a piece map and the piece bytes in them. It owns
// the file entries, maps a piece range onto the files' shares (one walker for
// reads and writes), opens and grows files, makes the writes (one gathering
// system call per file share) and syncs, closes and finishes files. The
// start-up examination of data already on disk lives here too
// (TPieceStorageExamine.cpp): it reads the files and tells the map what is
// done.
//
// Owner: its TPieces, whose layout and piece states it reads and whose owner
// hears its file events. Thread: the task's work thread only. Lock: every
// read, write and growth of piece data takes the process-wide disk lock
// (TDiskLockHolder.h), which is let go while the task waits for free space.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/pieces/TFileEntry.h"
#include "engine/pieces/TPieceWriter.h"

namespace engine {

class TDiskLockHolder;
class TPiece;
class TPieces;

// One file's share of a piece range: `length` bytes at `file_pos` of `file`,
// holding the piece's bytes from `piece_pos`.
struct TSegment {
    TFileEntry* file = nullptr;
    int64_t file_pos = 0;
    int32_t piece_pos = 0;
    int32_t length = 0;
};

class TPieceStorage {
public:
    explicit TPieceStorage(TPieces& map);
    ~TPieceStorage();
    TPieceStorage(const TPieceStorage&) = delete;
    TPieceStorage& operator=(const TPieceStorage&) = delete;

    // --- the file list -----------------------------------------------------
    void AddFile(std::unique_ptr<TFileEntry> file);
    // Closes and forgets every file.
    void ClearFiles();
    size_t FileCount() const { return m_files.size(); }
    TFileEntry* File(size_t i) { return i < m_files.size() ? m_files[i].get() : nullptr; }
    const TFileEntry* File(size_t i) const { return i < m_files.size() ? m_files[i].get() : nullptr; }
    TFileEntry* FindFileByName(const std::string& display_name);

    // --- mapping -------------------------------------------------------------
    // The files a piece touches, in order (empty ones skipped); false when
    // the piece has no complete place in the files.
    bool MapPieceToFiles(TPiece& piece, std::vector<TFileEntry*>& files);
    // Calls `visit` for the share of each file in [offset, offset + length)
    // of the piece, in stream order. False when the piece has no place in the
    // files or `visit` returned false (the walk ends there).
    using SegmentVisitor = std::function<bool(const TSegment&)>;
    bool WalkRange(TPiece& piece, int32_t offset, int32_t length, const SegmentVisitor& visit);

    // --- reads and writes ------------------------------------------------------
    // The bytes of a piece at a piece offset, and how many follow them in the
    // same memory.
    using PieceBytes = std::function<const uint8_t*(int32_t piece_offset, int32_t* run)>;
    // Opens and grows the files of a piece range and lists its writes, one
    // per file share with a buffer per run of memory. A file that cannot take
    // its share ends the list with a write that fails, naming that file.
    void PrepareWrites(TPiece& piece, int32_t offset, int32_t length, const PieceBytes& bytes,
                       std::vector<TPieceWriter::Write>& out);
    // Writes a piece range now; the outcome is left in the returned job.
    TPieceWriter::Job WriteRange(TPiece& piece, int32_t offset, int32_t length, const PieceBytes& bytes);
    // Reads a piece range; bytes read (those of the files before the first
    // that cannot be read), -1 when none.
    int32_t ReadRange(TPiece& piece, uint8_t* out, int32_t length, int32_t offset);

    // --- opening and closing -------------------------------------------------
    // Creates the selected files and the empty ones (without growing them),
    // then closes them again; false at the first that cannot be made.
    bool PrepareFiles();
    // Syncs the files open for writing and closes every file; the count
    // closed, and whether any was open for writing.
    int32_t SyncAndCloseFiles(bool* had_writable);
    void CloseAll();
    int32_t OpenFileCount() const;
    // The open files reached the budget: 128 / ⌈L / 256 KiB⌉ + 1 (fewer
    // handles for tasks with big pieces).
    bool OverOpenFileBudget() const;
    // Moves the selected temporary files whose pieces are all done (or all
    // of them when `all_done`) to their final names.
    void FinishTempNames(bool all_done);

    // --- start-up examination (TPieceStorageExamine.cpp) ---------------------
    // Decides what of the data on disk is usable: migrated from `previous`,
    // quickly verified, the stored piece state, or a full recheck.
    bool Examine(TPieces* previous);

private:
    bool OpenFileForRange(TFileEntry& file, int64_t required, bool for_writing, TDiskLockHolder& lock,
                          bool no_grow);
    bool OpenClosedFile(TFileEntry& file, bool for_writing);
    bool TruncateToSize(TFileEntry& file);
    bool WaitForFreeSpace(const TFileEntry& file, int64_t missing, TDiskLockHolder& lock);
    bool FileHasWantedPieces(const TFileEntry& file) const;
    bool IsFileComplete(const TFileEntry& file) const;
    void Send(int32_t code);
    // Examination steps.
    bool QuickVerify();
    bool FullRecheck();
    bool Migrate(TPieces& previous);
    void ExamineWithoutDigests();

    TPieces& m_map;
    std::vector<std::unique_ptr<TFileEntry>> m_files;
    // Selected files grow to their full size at their first write.
    bool m_full_preallocation = true;
};

}  // namespace engine
