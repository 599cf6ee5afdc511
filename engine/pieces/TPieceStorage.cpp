#include "engine/pieces/TPieceStorage.h"

#include <algorithm>

#include "engine/pieces/TDiskLockHolder.h"
#include "engine/pieces/TPiece.h"
#include "engine/pieces/TPieces.h"
#include "platform/File.h"

namespace engine {

namespace {

// A free-space query that cannot be answered counts as this much room.
constexpr int64_t UnknownFreeSpace = 2147483647;
// One pause of the wait for free disk space.
constexpr uint32_t DiskSpacePauseMs = 2000;
// Open files are closed in bulk when their number reaches
// 128 / ⌈L / 256 KiB⌉ + 1: fewer handles for tasks with big pieces.
constexpr int64_t OpenFileBudget = 128;
constexpr int64_t OpenFileUnit = 262144;

std::string FolderOf(const std::string& path) {
    auto pos = path.find_last_of('/');
    return pos == std::string::npos ? std::string(".") : path.substr(0, pos + 1);
}

}  // namespace

TPieceStorage::TPieceStorage(TPieces& map) : m_map(map) {}

TPieceStorage::~TPieceStorage() { CloseAll(); }

void TPieceStorage::Send(int32_t code) { SendPiecesEvent(m_map.Owner(), code, 1, 0, 0); }

// --- the file list -------------------------------------------------------------

void TPieceStorage::AddFile(std::unique_ptr<TFileEntry> file) { m_files.push_back(std::move(file)); }

void TPieceStorage::ClearFiles() {
    CloseAll();
    m_files.clear();
}

TFileEntry* TPieceStorage::FindFileByName(const std::string& display_name) {
    for (auto& f : m_files) {
        if (f->m_display_name == display_name) return f.get();
    }
    return nullptr;
}

// --- mapping -------------------------------------------------------------------

bool TPieceStorage::MapPieceToFiles(TPiece& piece, std::vector<TFileEntry*>& files) {
    files.clear();
    const int32_t piece_length = m_map.PieceLength();
    if (m_files.empty() || piece_length <= 0) return false;
    const bool cached = piece.HasFilePosition() && static_cast<size_t>(piece.FileIndex()) < m_files.size() &&
                        piece.FileOffset() < m_files[static_cast<size_t>(piece.FileIndex())]->m_size;
    if (!cached) {
        const int64_t start = static_cast<int64_t>(piece.Index()) * piece_length;
        int64_t running = 0;
        bool found = false;
        for (size_t j = 0; j < m_files.size() && !found; ++j) {
            const int64_t size = m_files[j]->m_size;
            if (size < 0) return false;
            if (size == 0) continue;
            if (running + size > start) {
                piece.SetFilePosition(static_cast<int32_t>(j), start - running);
                found = true;
            }
            running += size;
        }
        if (!found) return false;
    }
    size_t k = static_cast<size_t>(piece.FileIndex());
    files.push_back(m_files[k].get());
    int64_t collected = m_files[k]->m_size - piece.FileOffset();
    while (collected < piece.Size()) {
        if (++k >= m_files.size() || m_files[k]->m_size < 0) {
            files.clear();
            return false;
        }
        TFileEntry* next = m_files[k].get();
        if (next->m_size == 0) {
            next->m_file.Close();
            continue;
        }
        files.push_back(next);
        collected += next->m_size;
    }
    return true;
}

bool TPieceStorage::WalkRange(TPiece& piece, int32_t offset, int32_t length, const SegmentVisitor& visit) {
    std::vector<TFileEntry*> files;
    if (!MapPieceToFiles(piece, files)) return false;
    const int32_t range_end = offset + length;
    int64_t piece_pos = 0;
    for (size_t k = 0; k < files.size() && piece_pos < piece.Size() && piece_pos < range_end; ++k) {
        // The piece starts inside its first file; it fills the others from
        // their start.
        const int64_t share_pos = k == 0 ? piece.FileOffset() : 0;
        const int64_t share = std::min<int64_t>(files[k]->m_size - share_pos, piece.Size() - piece_pos);
        if (share <= 0) continue;
        const int64_t begin = std::max<int64_t>(offset, piece_pos);
        const int64_t end = std::min<int64_t>(range_end, piece_pos + share);
        if (end > begin) {
            const TSegment segment{files[k], share_pos + (begin - piece_pos), static_cast<int32_t>(begin),
                                   static_cast<int32_t>(end - begin)};
            if (!visit(segment)) return false;
        }
        piece_pos += share;
    }
    return true;
}

// --- reads and writes ------------------------------------------------------------

void TPieceStorage::PrepareWrites(TPiece& piece, int32_t offset, int32_t length, const PieceBytes& bytes,
                                  std::vector<TPieceWriter::Write>& out) {
    TDiskLockHolder lock;
    int32_t failed_file = -1;
    const bool walked = WalkRange(piece, offset, length, [&](const TSegment& seg) {
        failed_file = seg.file->m_index;
        // Deselected files are not preallocated: they grow only to hold the
        // boundary bytes written into them, at their exact positions.
        const int64_t required = seg.file->IsSelected() ? seg.file_pos : seg.file_pos + seg.length;
        if (!OpenFileForRange(*seg.file, required, true, lock, false)) return false;
        TPieceWriter::Write write;
        write.handle = seg.file->m_file.SharedHandle();
        write.file = seg.file->m_index;
        write.offset = seg.file_pos;
        // One buffer per run of contiguous memory, straight from where the
        // bytes are: no gathering copy.
        const int32_t end = seg.piece_pos + seg.length;
        for (int32_t at = seg.piece_pos; at < end;) {
            int32_t run = 0;
            const uint8_t* p = bytes(at, &run);
            if (!p || run <= 0) return false;
            run = std::min(run, end - at);
            write.buffers.push_back({p, static_cast<size_t>(run)});
            at += run;
        }
        out.push_back(std::move(write));
        failed_file = -1;
        return true;
    });
    if (!walked) {
        // The writes before the failure are still made; this one fails.
        TPieceWriter::Write failure;
        failure.file = failed_file;
        out.push_back(std::move(failure));
    }
}

TPieceWriter::Job TPieceStorage::WriteRange(TPiece& piece, int32_t offset, int32_t length, const PieceBytes& bytes) {
    std::vector<TPieceWriter::Write> writes;
    PrepareWrites(piece, offset, length, bytes, writes);
    TPieceWriter::Job job = TPieceWriter::MakeJob(piece.Index(), offset, std::move(writes));
    TPieceWriter::RunJob(job);
    return job;
}

int32_t TPieceStorage::ReadRange(TPiece& piece, uint8_t* out, int32_t length, int32_t offset) {
    TDiskLockHolder lock;
    int32_t done = 0;
    WalkRange(piece, offset, length, [&](const TSegment& seg) {
        if (!OpenFileForRange(*seg.file, seg.file_pos + seg.length, false, lock, false)) return false;
        lock.Lock();
        if (seg.file->m_file.Read(out + (seg.piece_pos - offset), seg.length, seg.file_pos) != seg.length) {
            return false;
        }
        done += seg.length;
        return true;
    });
    return done > 0 ? done : -1;
}

// --- opening and growing -------------------------------------------------------

bool TPieceStorage::FileHasWantedPieces(const TFileEntry& file) const {
    const int32_t piece_length = m_map.PieceLength();
    if (file.m_size <= 0 || piece_length <= 0) return false;
    const int64_t last = (file.End() - 1) / piece_length;
    for (int64_t p = file.m_offset / piece_length; p <= last; ++p) {
        if (m_map.IsPieceWanted(p)) return true;
    }
    return false;
}

bool TPieceStorage::IsFileComplete(const TFileEntry& file) const {
    if (file.m_size <= 0) return true;
    const int32_t piece_length = m_map.PieceLength();
    const int64_t last = (file.End() - 1) / piece_length;
    for (int64_t p = file.m_offset / piece_length; p <= last; ++p) {
        if (!m_map.IsPieceDone(p)) return false;
    }
    return true;
}

bool TPieceStorage::OpenClosedFile(TFileEntry& file, bool for_writing) {
    if (for_writing) {
        if (platform::IsReadOnly(file.m_path)) TFileEntry::SetReadOnlyAttribute(file.m_path, false);
        if (file.m_file.Open(file.m_path, false)) return true;
        platform::CreateDirectories(FolderOf(file.m_path));
        return file.m_file.Open(file.m_path, false);
    }
    // A file that will still be written is opened for both, so the next write
    // does not reopen it.
    if (m_map.IsAllScanned() && !m_map.IsAllDone() && FileHasWantedPieces(file)) return OpenClosedFile(file, true);
    return platform::Exists(file.m_path) && file.m_file.Open(file.m_path, true);
}

bool TPieceStorage::TruncateToSize(TFileEntry& file) {
    const bool read_only = file.m_file.IsReadOnly();
    file.m_file.Close();
    {
        QDiskFile writer;
        TDiskLockHolder lock;
        if (writer.Open(file.m_path, false)) {
            lock.Lock();
            writer.SetLength(file.m_size);
        }
    }
    if (!file.m_file.Open(file.m_path, read_only)) return false;
    return file.m_file.GetSize() == file.m_size;
}

bool TPieceStorage::WaitForFreeSpace(const TFileEntry& file, int64_t missing, TDiskLockHolder& lock) {
    const std::string folder = FolderOf(file.m_path);
    auto query = [&folder] {
        int64_t free_bytes = platform::FreeSpace(folder);
        return free_bytes < 0 ? UnknownFreeSpace : free_bytes;
    };
    bool reported = false;
    while (query() < missing) {
        if (!reported) {
            // Other tasks may still write while this one waits.
            lock.Unlock();
            Send(PiecesEventCode::DiskFull);
            reported = true;
        }
        TPiecesOwner* owner = m_map.Owner();
        if (!owner) return false;
        owner->PauseForDiskSpace(DiskSpacePauseMs);
        if (m_map.IsStopRequested()) return false;
    }
    if (reported) Send(PiecesEventCode::DiskSpaceBack);
    return true;
}

bool TPieceStorage::OpenFileForRange(TFileEntry& file, int64_t required, bool for_writing, TDiskLockHolder& lock,
                                     bool no_grow) {
    if (file.m_size < 0 || required < 0 || required > file.m_size) return false;
    file.m_file.SetExtraFlags(0);
    if (for_writing && file.m_file.IsOpen() && file.m_file.IsReadOnly()) file.m_file.Close();
    if (!file.m_file.IsOpen() && !OpenClosedFile(file, for_writing)) {
        // A missing file that is only read is not a disk fault.
        if (for_writing || platform::Exists(file.m_path)) Send(PiecesEventCode::FileUnusable);
        return false;
    }
    // Whether the open file still has a name on disk comes with its size:
    // a file removed or replaced under a running download must fail its
    // writes rather than take bytes nobody will find.
    bool linked = false;
    int64_t current = file.m_file.GetSize(&linked);
    if (current > file.m_size) return TruncateToSize(file);
    if (!for_writing) return current >= required && m_map.IsLayoutValid();

    const int64_t target = (file.IsSelected() && m_full_preallocation) ? file.m_size : required;
    if (target > current) {
        if (!WaitForFreeSpace(file, target - current, lock)) return false;
        if (!no_grow) {
            lock.Lock();
            file.m_file.SetLength(target);
            if (file.m_file.GetSize() < target) file.m_file.Close();
        }
        // Only a growth changes the size just read (every piece write passes
        // here, on the receiving thread: one query per write, not two).
        current = file.m_file.GetSize(&linked);
    }
    return current >= required && linked && m_map.IsLayoutValid();
}

// --- preparing, closing, finishing ---------------------------------------------

bool TPieceStorage::PrepareFiles() {
    for (auto& entry : m_files) {
        TFileEntry& f = *entry;
        if (f.m_size > 0 && f.IsSelected()) {
            TDiskLockHolder lock;
            if (!OpenFileForRange(f, 0, true, lock, true)) return false;
        } else if (f.m_size == 0 && !platform::Exists(f.m_path)) {
            platform::CreateDirectories(FolderOf(f.m_path));
            if (!f.m_file.Open(f.m_path, false)) {
                Send(PiecesEventCode::FileUnusable);
                return false;
            }
        }
        f.m_file.Close();
        if (m_map.IsStopRequested()) return false;
    }
    return true;
}

int32_t TPieceStorage::SyncAndCloseFiles(bool* had_writable) {
    int32_t closed = 0;
    for (auto& f : m_files) {
        if (!f->m_file.IsOpen()) continue;
        if (!f->m_file.IsReadOnly()) {
            // The saved piece state may call these bytes done: they must be on
            // the device before it is written.
            f->m_file.Sync();
            *had_writable = true;
        }
        f->m_file.Close();
        ++closed;
    }
    return closed;
}

void TPieceStorage::CloseAll() {
    for (auto& f : m_files) f->m_file.Close();
}

int32_t TPieceStorage::OpenFileCount() const {
    int32_t n = 0;
    for (const auto& f : m_files) n += f->m_file.IsOpen() ? 1 : 0;
    return n;
}

bool TPieceStorage::OverOpenFileBudget() const {
    const int32_t piece_length = m_map.PieceLength();
    if (piece_length <= 0) return false;
    const int64_t units = (piece_length + OpenFileUnit - 1) / OpenFileUnit;
    return OpenFileCount() >= OpenFileBudget / units + 1;
}

void TPieceStorage::FinishTempNames(bool all_done) {
    for (auto& f : m_files) {
        if (f->IsSelected() && f->m_temp_name && (all_done || IsFileComplete(*f))) f->FinishTempName();
    }
}

}  // namespace engine
