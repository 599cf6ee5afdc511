// Storage half of TPieces: mapping pieces to file ranges, opening and growing
// files, reading and writing piece bytes under the disk lock, closing and
// finishing files.

#include <algorithm>
#include <limits>

#include "engine/pieces/TDiskLockHolder.h"
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

// The share of one file in a piece: `length` bytes at `file_pos` of `file`,
// holding the piece's bytes from `piece_pos`.
struct Segment {
    TFileEntry* file;
    int64_t file_pos;
    int32_t piece_pos;
    int32_t length;
};

std::vector<Segment> SegmentsOf(const TPiece& piece, const std::vector<TFileEntry*>& files) {
    std::vector<Segment> out;
    int64_t piece_pos = 0;
    for (size_t k = 0; k < files.size() && piece_pos < piece.m_size; ++k) {
        const int64_t file_pos = k == 0 ? piece.m_file_offset : 0;
        const int64_t share = std::min<int64_t>(files[k]->m_size - file_pos, piece.m_size - piece_pos);
        if (share <= 0) continue;
        out.push_back({files[k], file_pos, static_cast<int32_t>(piece_pos), static_cast<int32_t>(share)});
        piece_pos += share;
    }
    return out;
}

std::string FolderOf(const std::string& path) {
    auto pos = path.find_last_of('/');
    return pos == std::string::npos ? std::string(".") : path.substr(0, pos + 1);
}

}  // namespace

bool TPieces::MapPieceToFiles(TPiece& piece, std::vector<TFileEntry*>& files) {
    files.clear();
    if (m_files.empty() || m_piece_length <= 0) return false;
    const bool cached = piece.HasFilePosition() && static_cast<size_t>(piece.m_file_index) < m_files.size() &&
                        piece.m_file_offset < m_files[static_cast<size_t>(piece.m_file_index)]->m_size;
    if (!cached) {
        const int64_t start = static_cast<int64_t>(piece.m_index) * m_piece_length;
        int64_t running = 0;
        bool found = false;
        for (size_t j = 0; j < m_files.size() && !found; ++j) {
            const int64_t size = m_files[j]->m_size;
            if (size < 0) return false;
            if (size == 0) continue;
            if (running + size > start) {
                piece.m_file_index = static_cast<int32_t>(j);
                piece.m_file_offset = start - running;
                found = true;
            }
            running += size;
        }
        if (!found) return false;
    }
    size_t k = static_cast<size_t>(piece.m_file_index);
    files.push_back(m_files[k].get());
    int64_t collected = m_files[k]->m_size - piece.m_file_offset;
    while (collected < piece.m_size) {
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

bool TPieces::FileHasWantedPieces(const TFileEntry& file) const {
    if (file.m_size <= 0 || m_piece_length <= 0) return false;
    const int64_t last = (file.End() - 1) / m_piece_length;
    for (int64_t p = file.m_offset / m_piece_length; p <= last; ++p) {
        if (IsPieceWanted(p)) return true;
    }
    return false;
}

bool TPieces::IsFileComplete(const TFileEntry& file) const {
    if (file.m_size <= 0) return true;
    const int64_t last = (file.End() - 1) / m_piece_length;
    for (int64_t p = file.m_offset / m_piece_length; p <= last; ++p) {
        if (!IsPieceDone(p)) return false;
    }
    return true;
}

bool TPieces::OpenClosedFile(TFileEntry& file, bool for_writing) {
    if (for_writing) {
        if (platform::IsReadOnly(file.m_path)) TFileEntry::SetReadOnlyAttribute(file.m_path, false);
        if (file.m_file.Open(file.m_path, false)) return true;
        platform::CreateDirectories(FolderOf(file.m_path));
        return file.m_file.Open(file.m_path, false);
    }
    // A file that will still be written is opened for both, so the next write
    // does not reopen it.
    if (IsAllScanned() && !IsAllDone() && FileHasWantedPieces(file)) return OpenClosedFile(file, true);
    return platform::Exists(file.m_path) && file.m_file.Open(file.m_path, true);
}

bool TPieces::TruncateToSize(TFileEntry& file) {
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

bool TPieces::WaitForFreeSpace(const TFileEntry& file, int64_t missing, TDiskLockHolder& lock) {
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
            Send(PiecesEventCode::DiskFull, 1, 0, 0);
            reported = true;
        }
        if (!m_owner) return false;
        m_owner->PauseForDiskSpace(DiskSpacePauseMs);
        if (IsStopping()) return false;
    }
    if (reported) Send(PiecesEventCode::DiskSpaceBack, 1, 0, 0);
    return true;
}

bool TPieces::OpenFileForRange(TFileEntry& file, int64_t required, bool for_writing, TDiskLockHolder& lock,
                               bool no_grow) {
    if (file.m_size < 0 || required < 0 || required > file.m_size) return false;
    file.m_file.SetExtraFlags(0);
    if (for_writing && file.m_file.IsOpen() && file.m_file.IsReadOnly()) file.m_file.Close();
    if (!file.m_file.IsOpen() && !OpenClosedFile(file, for_writing)) {
        // A missing file that is only read is not a disk fault.
        if (for_writing || platform::Exists(file.m_path)) Send(PiecesEventCode::FileUnusable, 1, 0, 0);
        return false;
    }
    int64_t current = file.m_file.GetSize();
    if (current > file.m_size) return TruncateToSize(file);
    if (!for_writing) return current >= required && IsLayoutValid();

    const int64_t target = (file.IsSelected() && m_full_preallocation) ? file.m_size : required;
    if (target > current) {
        if (!WaitForFreeSpace(file, target - current, lock)) return false;
        if (!no_grow) {
            lock.Lock();
            file.m_file.SetLength(target);
            if (file.m_file.GetSize() < target) file.m_file.Close();
        }
        // Only a growth changes the size just read (every block write passes
        // here: one size query less per write).
        current = file.m_file.GetSize();
    }
    return current >= required && IsLayoutValid() && platform::FileSize(file.m_path) >= required;
}

bool TPieces::PrepareWrites(TPiece& piece, const std::vector<TFileEntry*>& files, int32_t piece_offset,
                            int32_t length, const PieceBytes& bytes, std::vector<TPieceWriter::Write>& out) {
    TDiskLockHolder lock;
    const int32_t range_end = piece_offset + length;
    for (const Segment& seg : SegmentsOf(piece, files)) {
        const int32_t begin = std::max(piece_offset, seg.piece_pos);
        const int32_t end = std::min(range_end, seg.piece_pos + seg.length);
        if (end <= begin) {
            if (seg.piece_pos >= range_end) break;
            continue;
        }
        const int64_t file_pos = seg.file_pos + (begin - seg.piece_pos);
        // Deselected files are not preallocated: they grow only to hold the
        // boundary bytes written into them, at their exact positions.
        const int64_t required = seg.file->IsSelected() ? file_pos : file_pos + (end - begin);
        if (!OpenFileForRange(*seg.file, required, true, lock, false)) return false;
        // One write per run of contiguous memory, straight from where the
        // bytes are: no gathering copy.
        for (int32_t at = begin; at < end;) {
            int32_t run = 0;
            const uint8_t* p = bytes(at, &run);
            if (!p || run <= 0) return false;
            run = std::min(run, end - at);
            out.push_back({&seg.file->m_file, p, run, file_pos + (at - begin)});
            at += run;
        }
    }
    return true;
}

int32_t TPieces::WritePieceRange(int64_t index, const uint8_t* data, int32_t length, int32_t piece_offset,
                                 bool skip_verify) {
    if (!data || length <= 0 || piece_offset < 0 || !IsPieceValid(index)) return -1;
    TPiece& piece = *m_pieces[static_cast<size_t>(index)];
    if (piece.m_owner != this || piece_offset >= piece.m_size) return -1;
    length = std::min(length, piece.m_size - piece_offset);
    std::vector<TFileEntry*> files;
    if (!MapPieceToFiles(piece, files)) return -1;
    const int32_t range_end = piece_offset + length;
    const PieceBytes bytes = [data, piece_offset, range_end](int32_t at, int32_t* run) {
        *run = range_end - at;
        return data + (at - piece_offset);
    };
    std::vector<TPieceWriter::Write> writes;
    const bool prepared = PrepareWrites(piece, files, piece_offset, length, bytes, writes);
    bool failed = false;
    const int64_t written = TPieceWriter::WriteAll(writes, failed);
    return FinishWrite(index, piece_offset, static_cast<int32_t>(written), !prepared || failed, skip_verify, data);
}

int32_t TPieces::FinishWrite(int64_t index, int32_t piece_offset, int32_t written, bool failed, bool skip_verify,
                             const uint8_t* data) {
    TPiece& piece = *m_pieces[static_cast<size_t>(index)];
    const bool all_written = !failed && piece_offset + written == piece.m_size;
    int32_t result = (failed && written == 0) ? -1 : written;
    if (all_written) {
        bool ok;
        if (skip_verify || !data) {
            // The caller verified the whole piece already (it may write only
            // the part after its written prefix).
            SetPieceDone(index, true);
            ok = true;
        } else if (piece_offset == 0) {
            ok = VerifyAndMark(index, data, written, false);
        } else {
            std::vector<uint8_t>& whole = Scratch();
            ok = ReadPieceRange(index, whole.data(), piece.m_size, 0) == piece.m_size &&
                 VerifyAndMark(index, whole.data(), piece.m_size, false);
            if (!ok) SetPieceDone(index, false);
        }
        if (!ok) result = -100;
    }
    const bool was_complete = piece.m_complete;
    piece.m_verified = all_written && result != -100;
    piece.m_complete = false;
    if (was_complete && !all_written) SetPieceDone(index, false);
    return result;
}

int32_t TPieces::WriteBufferedPiece(TPiece& piece) {
    std::vector<TPieceWriter::Write> writes;
    const int32_t from = piece.m_written_prefix;
    if (!PrepareBufferedWrites(piece, writes)) return -1;
    bool failed = writes.empty();
    const int64_t written = failed ? 0 : TPieceWriter::WriteAll(writes, failed);
    return FinishWrite(piece.m_index, from, static_cast<int32_t>(written), failed, true, nullptr);
}

bool TPieces::PrepareBufferedWrites(TPiece& piece, std::vector<TPieceWriter::Write>& writes) {
    const int32_t from = piece.m_written_prefix;
    const int32_t length = piece.m_size - from;
    // Every chunk of the range must have memory before anything is written.
    for (int32_t at = from; at < piece.m_size;) {
        int32_t run = 0;
        if (!piece.m_buffer.DataAt(at, &run) || run <= 0) return false;
        at += run;
    }
    std::vector<TFileEntry*> files;
    if (length <= 0 || !MapPieceToFiles(piece, files)) return false;
    const PieceBytes bytes = [&piece](int32_t at, int32_t* run) { return piece.m_buffer.DataAt(at, run); };
    // A failure part-way leaves the writes before it; the finish reports it.
    if (!PrepareWrites(piece, files, from, length, bytes, writes)) writes.push_back({});
    return true;
}

int32_t TPieces::ReadPieceRange(int64_t index, uint8_t* out, int32_t length, int32_t piece_offset) {
    if (!out || length <= 0 || piece_offset < 0 || !IsPieceValid(index)) return -1;
    TPiece& piece = *m_pieces[static_cast<size_t>(index)];
    if (piece_offset >= piece.m_size) return -1;
    length = std::min(length, piece.m_size - piece_offset);
    std::vector<TFileEntry*> files;
    if (!MapPieceToFiles(piece, files)) return -1;

    TDiskLockHolder lock;
    int32_t done = 0;
    const int32_t range_end = piece_offset + length;
    for (const Segment& seg : SegmentsOf(piece, files)) {
        const int32_t begin = std::max(piece_offset, seg.piece_pos);
        const int32_t end = std::min(range_end, seg.piece_pos + seg.length);
        if (end <= begin) {
            if (seg.piece_pos >= range_end) break;
            continue;
        }
        const int64_t file_pos = seg.file_pos + (begin - seg.piece_pos);
        const int32_t n = end - begin;
        if (!OpenFileForRange(*seg.file, file_pos + n, false, lock, false)) break;
        lock.Lock();
        if (seg.file->m_file.Read(out + (begin - piece_offset), n, file_pos) != n) break;
        done += n;
    }
    return done > 0 ? done : -1;
}

bool TPieces::PrepareFiles() {
    for (auto& entry : m_files) {
        TFileEntry& f = *entry;
        if (f.m_size > 0 && f.IsSelected()) {
            TDiskLockHolder lock;
            if (!OpenFileForRange(f, 0, true, lock, true)) return false;
        } else if (f.m_size == 0 && !platform::Exists(f.m_path)) {
            platform::CreateDirectories(FolderOf(f.m_path));
            if (!f.m_file.Open(f.m_path, false)) {
                Send(PiecesEventCode::FileUnusable, 1, 0, 0);
                return false;
            }
        }
        f.m_file.Close();
        if (IsStopping()) return false;
    }
    m_done_or_skipped = CountDoneOrSkipped();
    m_scanned_bytes = m_total_length;
    TouchActivity();
    return true;
}

int32_t TPieces::OpenFileCount() const {
    int32_t n = 0;
    for (const auto& f : m_files) n += f->m_file.IsOpen() ? 1 : 0;
    return n;
}

int32_t TPieces::CloseFiles(bool save_state, bool finish) {
    // Queued writes reach the files before they are synced.
    DrainWrites();
    const bool examined = IsAllScanned();
    int32_t closed = 0;
    for (auto& f : m_files) {
        if (!f->m_file.IsOpen()) continue;
        if (!f->m_file.IsReadOnly()) {
            // The saved piece state may call these bytes done: they must be on
            // the device before it is written.
            f->m_file.Sync();
            save_state = true;
        }
        f->m_file.Close();
        ++closed;
    }
    if (finish && examined) FinishFiles();
    if (save_state && examined) SavePieceState();
    return closed;
}

void TPieces::FinishFiles() {
    const bool all_done = IsAllDone();
    for (auto& f : m_files) {
        if (f->IsSelected() && f->m_temp_name && (all_done || IsFileComplete(*f))) f->FinishTempName();
    }
    if (!all_done) return;
    for (auto& p : m_pieces) {
        if (p->m_written_prefix > 0) p->Reset();
    }
    m_partial_pieces.clear();
    if (!m_block_dump_path.empty()) {
        platform::RemoveFile(m_block_dump_path);
        m_block_dump_path.clear();
    }
}

void TPieces::LimitOpenFiles() {
    if (m_piece_length <= 0) return;
    const int64_t units = (m_piece_length + OpenFileUnit - 1) / OpenFileUnit;
    if (OpenFileCount() >= OpenFileBudget / units + 1) CloseFiles(false, false);
}

}  // namespace engine
