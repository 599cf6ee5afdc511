#include "engine/pieces/TPieces.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "engine/meta/QSha1.h"
#include "engine/meta/TTorrentLayout.h"
#include "engine/pieces/TBlockRequest.h"
#include "engine/pieces/TPieceStateCodec.h"
#include "platform/File.h"

namespace engine {

namespace {

constexpr size_t DigestSize = 20;

}  // namespace

void SendPiecesEvent(TPiecesOwner* owner, int32_t code, int32_t flag, int32_t argument, int32_t value) {
    if (!owner) return;
    TPiecesEvent event;
    event.code = code;
    event.flag = flag;
    event.argument = argument;
    event.value = value;
    owner->OnPiecesEvent(event);
}

TPieces::TPieces(TPiecesOwner* owner) : m_owner(owner), m_storage(*this), m_cache(*this, m_storage) {
    m_last_activity = NowSeconds();
}

TPieces::~TPieces() = default;

void TPieces::TouchActivity() { m_last_activity = NowSeconds(); }

std::vector<uint8_t>& TPieces::ScratchBuffer() {
    if (m_scratch.size() < static_cast<size_t>(m_piece_length)) m_scratch.resize(static_cast<size_t>(m_piece_length));
    return m_scratch;
}

void TPieces::CheckInvariant() const {
#ifndef NDEBUG
    assert(m_done_or_skipped >= 0 && m_done_or_skipped <= std::max<int64_t>(m_piece_count, 0));
    assert(m_completed_bytes >= 0);
    assert(m_wanted_bytes >= 0 && m_wanted_bytes <= std::max<int64_t>(m_total_length, 0));
    assert(m_last_completed == -1 || m_bitfield.Get(m_last_completed));
#endif
}

// --- building ----------------------------------------------------------------

bool TPieces::BuildFromLayout(const TPiecesLayout& layout, TPieces* previous) {
    if (previous && previous->IsLayoutValid()) {
        previous->CloseFiles(false, false);
    } else {
        previous = nullptr;
    }
    Empty();
    m_has_digests = !layout.without_digests;
    m_name = layout.name;
    if (layout.piece_length <= 0 || layout.piece_length > std::numeric_limits<int32_t>::max()) return false;
    m_piece_length = static_cast<int32_t>(layout.piece_length);
    if (layout.without_digests) {
        int64_t total = 0;
        for (const auto& f : layout.files) total += std::max<int64_t>(f.size, 0);
        if (total <= 0) return false;
        m_digests.assign(static_cast<size_t>((total + m_piece_length - 1) / m_piece_length) * DigestSize, '\0');
    } else {
        if (layout.digests.size() < DigestSize || layout.digests.size() % DigestSize != 0) return false;
        m_digests = layout.digests;
    }
    m_piece_count = static_cast<int64_t>(m_digests.size() / DigestSize);
    m_save_folder = layout.save_folder;
    if (m_save_folder.empty() || m_save_folder.back() != '/') m_save_folder += '/';

    int64_t offset = 0;
    for (const auto& spec : layout.files) {
        if (spec.size < 0) break;
        auto entry = std::make_unique<TFileEntry>();
        entry->m_index = static_cast<int32_t>(m_storage.FileCount());
        entry->m_path = spec.path;
        entry->m_display_name = spec.display_name;
        entry->m_size = spec.size;
        entry->m_offset = offset;
        entry->m_first_piece = static_cast<int32_t>(offset / m_piece_length);
        entry->m_piece_span = static_cast<int32_t>(TTorrentLayout::ComputeSpan(m_piece_length, offset, spec.size));
        // A file already renamed, or still under its temporary name, keeps
        // that name across a rebuild.
        if (previous) {
            TFileEntry* old = previous->File(m_storage.FileCount());
            if (old && old->m_size >= 0 && !old->m_path.empty() && platform::Exists(old->m_path)) {
                entry->m_path = old->m_path;
                entry->m_final_path = old->m_final_path;
                entry->m_temp_name = old->m_temp_name;
            }
        }
        entry->ApplyTempName();
        offset += spec.size;
        m_storage.AddFile(std::move(entry));
    }
    m_total_length = offset;

    bool ok = BuildPieces(previous);
    m_has_digests = ok && !layout.without_digests;
    if (ok && previous) {
        previous->m_total_length = 0;
        previous->m_piece_length = 0;
        previous->m_scanned_bytes = 0;
        previous->m_block_dump_path.clear();
    }
    return ok;
}

bool TPieces::BuildFromTorrent(const TTorrentLayout& layout, TPieces* previous) {
    if (!layout.IsValid()) return false;
    TPiecesLayout plain;
    plain.save_folder = layout.SaveFolder();
    plain.name = layout.TaskName();
    plain.piece_length = layout.PieceLength();
    plain.digests = layout.PieceDigests();
    for (const TTorrentFile& f : layout.Files()) plain.files.push_back({f.path, f.display_name, f.size_bytes});
    layout.CreateFolders();
    return BuildFromLayout(plain, previous);
}

bool TPieces::BuildPieces(TPieces* previous) {
    if (m_total_length <= 0 || m_piece_count <= 0 || m_piece_length <= 0 || m_storage.FileCount() == 0) return false;
    const int64_t slack = m_piece_count * m_piece_length - m_total_length;
    if (slack < 0) return false;
    m_cache.DrainWrites();
    m_pieces.clear();
    if (slack < m_piece_length) {
        m_pieces.reserve(static_cast<size_t>(m_piece_count));
        for (int64_t i = 0; i < m_piece_count; ++i) {
            const int64_t size = std::min<int64_t>(m_piece_length, m_total_length - i * m_piece_length);
            const size_t digest_at = static_cast<size_t>(i) * DigestSize;
            if (size <= 0 || digest_at + DigestSize > m_digests.size()) {
                m_pieces.clear();
                break;
            }
            const auto* digest = reinterpret_cast<const uint8_t*>(m_digests.data()) + digest_at;
            m_pieces.push_back(std::make_unique<TPiece>(static_cast<int32_t>(i), static_cast<int32_t>(size), digest));
        }
    }
    m_bitfield.Resize(m_piece_count);
    m_completed_bytes = 0;
    m_scanned_bytes = 0;
    m_done_or_skipped = 0;
    m_last_completed = -1;
    m_wanted_bytes = m_total_length;
    m_wanted_pieces = m_piece_count;
    Send(PiecesEventCode::PiecesCreated, 1, 4, static_cast<int32_t>(m_piece_count));

    int64_t sum = 0;
    for (const auto& p : m_pieces) sum += p->Size();
    if (m_pieces.empty() || sum != m_total_length) return false;

    ApplySelectionList();
    if (!m_storage.Examine(previous)) return false;
    if (IsStopRequested()) return false;
    return PrepareFiles() && !IsStopRequested();
}

void TPieces::Empty() {
    CloseFiles(true, false);  // settles queued writes first
    SaveSelectionList();
    m_pieces.clear();
    m_storage.ClearFiles();
    m_scanned_bytes = m_completed_bytes = m_wanted_bytes = m_wanted_pieces = 0;
    m_done_or_skipped = 0;
    m_cache.ForgetCounters();
    m_last_completed = -1;
    m_total_length = 0;
    m_piece_length = 0;
    m_piece_count = 0;
    m_name.clear();
    m_partial_pieces.clear();
    m_bitfield.Clear();
    m_digests.clear();
    m_scratch = {};
}

void TPieces::StartScan() {
    m_completed_bytes = 0;
    m_scanned_bytes = 0;
}

void TPieces::MarkEverythingDone() {
    m_bitfield.FillBytes(0xFF);
    m_completed_bytes = m_total_length;
    m_scanned_bytes = m_total_length;
    m_done_or_skipped = static_cast<int32_t>(m_piece_count);
}

void TPieces::MarkNothingDone() {
    m_completed_bytes = 0;
    m_done_or_skipped = 0;
    m_wanted_bytes = m_total_length;
    m_scanned_bytes = m_total_length;
    m_wanted_pieces = m_piece_count;
}

// --- queries -----------------------------------------------------------------

bool TPieces::IsLayoutValid() const {
    if (m_pieces.empty() || m_piece_count <= 0 || m_storage.FileCount() == 0 || m_total_length <= 0 ||
        m_piece_length <= 0) {
        return false;
    }
    if (m_owner && m_owner->IsMetadataReady() && m_digests.size() < DigestSize) return false;
    return true;
}

bool TPieces::IsPieceValid(int64_t index) const {
    return index >= 0 && index < m_piece_count && index < static_cast<int64_t>(m_pieces.size()) &&
           m_pieces[static_cast<size_t>(index)] && m_pieces[static_cast<size_t>(index)]->Size() > 0;
}

bool TPieces::IsPieceDone(int64_t index) const { return IsPieceValid(index) && m_bitfield.Get(index); }

bool TPieces::IsPieceWanted(int64_t index) const {
    return IsPieceValid(index) && !m_pieces[static_cast<size_t>(index)]->IsSkipped() && !m_bitfield.Get(index);
}

bool TPieces::IsAllDone() const {
    return m_piece_count > 0 && m_done_or_skipped == m_piece_count && m_completed_bytes >= m_total_length;
}

int32_t TPieces::CountDoneOrSkipped() const {
    int32_t n = 0;
    for (const auto& p : m_pieces) n += (m_bitfield.Get(p->Index()) || p->IsSkipped()) ? 1 : 0;
    return n;
}

int64_t TPieces::PieceOfBlock(int64_t block) const {
    return m_piece_length > 0 ? block * BlockSize / m_piece_length : -1;
}

int64_t TPieces::OffsetOfBlock(int64_t block) const {
    return m_piece_length > 0 ? block * BlockSize % m_piece_length : -1;
}

bool TPieces::HasBlock(int64_t block) const {
    if (block < 0) return false;
    const int64_t index = PieceOfBlock(block);
    if (IsPieceDone(index)) return true;
    if (!IsPieceValid(index)) return false;
    // Blocks of the written prefix are on disk.
    return m_pieces[static_cast<size_t>(index)]->HoldsBlockAt(static_cast<int32_t>(OffsetOfBlock(block)));
}

// --- state changes -------------------------------------------------------------

void TPieces::SetPieceDone(int64_t index, bool done) {
    if (!IsPieceValid(index)) return;
    CheckInvariant();
    const int32_t size = m_pieces[static_cast<size_t>(index)]->Size();
    const bool was_done = m_bitfield.Get(index);
    if (done && !was_done) {
        m_done_or_skipped += 1;
        m_completed_bytes += size;
        m_last_completed = static_cast<int32_t>(index);
        m_bitfield.Set(index, true);
    } else if (!done && was_done) {
        m_done_or_skipped = std::max(m_done_or_skipped - 1, 0);
        m_completed_bytes = std::max<int64_t>(m_completed_bytes - size, 0);
        m_bitfield.Set(index, false);
        if (m_last_completed == index) m_last_completed = -1;
    } else {
        return;
    }
    CheckInvariant();
    Send(PiecesEventCode::PieceChanged, done ? 1 : 0, 4, static_cast<int32_t>(index));
}

void TPieces::ResetPiece(int64_t index) {
    if (!IsPieceValid(index)) return;
    TPiece& piece = *m_pieces[static_cast<size_t>(index)];
    // A queued write decides first: once written, the piece is done and
    // stays so.
    m_cache.Settle(piece);
    if (m_bitfield.Get(index)) return;
    m_cache.ResetPiece(piece);
}

bool TPieces::VerifyAndMark(int64_t index, const uint8_t* data, int64_t length, bool skip_verify) {
    if (!IsPieceValid(index) || !data) return false;
    const TPiece& piece = *m_pieces[static_cast<size_t>(index)];
    if (length < piece.Size()) return false;
    bool ok = skip_verify || !m_has_digests || !piece.Digest();
    if (!ok) {
        const Sha1Digest digest = QSha1::Digest(data, static_cast<size_t>(piece.Size()));
        ok = std::memcmp(digest.data(), piece.Digest(), digest.size()) == 0;
    }
    SetPieceDone(index, ok);
    return ok;
}

// --- selection -------------------------------------------------------------------

bool TPieces::PieceHasSelectedFile(int64_t index) const {
    const int64_t start = index * m_piece_length;
    const int64_t end = start + m_pieces[static_cast<size_t>(index)]->Size();
    for (size_t i = 0; i < m_storage.FileCount(); ++i) {
        const TFileEntry* f = m_storage.File(i);
        if (f->m_size > 0 && f->IsSelected() && f->m_offset < end && f->End() > start) return true;
    }
    return false;
}

void TPieces::SetPieceSkipped(int64_t index, bool skipped, int64_t& changed) {
    TPiece& piece = *m_pieces[static_cast<size_t>(index)];
    if (piece.IsSkipped() == skipped) return;
    piece.SetSkipped(skipped);
    ++changed;
    if (IsAllScanned() && !m_bitfield.Get(index)) m_done_or_skipped += skipped ? 1 : -1;
}

void TPieces::ClampCounters() {
    m_wanted_bytes = std::clamp<int64_t>(m_wanted_bytes, 0, std::max<int64_t>(m_total_length, 0));
    m_wanted_pieces = std::clamp<int64_t>(m_wanted_pieces, 0, std::max<int64_t>(m_piece_count, 0));
    m_done_or_skipped = static_cast<int32_t>(
        std::clamp<int64_t>(m_done_or_skipped, 0, std::max<int64_t>(m_piece_count, 0)));
}

void TPieces::SelectFile(int32_t file, bool deselect) {
    if (file < 0 || static_cast<size_t>(file) >= m_storage.FileCount()) return;
    TFileEntry& f = *m_storage.File(static_cast<size_t>(file));
    const bool was_selected = f.IsSelected();
    if (deselect) {
        f.m_priority = TFileEntry::PriorityDeselected;
        f.m_file.Close();
    } else if (!was_selected) {
        f.m_priority = 0;
    }
    // Counters move only when the selection really changes, so repeating a
    // call cannot count a file twice.
    if (f.m_size <= 0 || m_pieces.empty() || was_selected != deselect) return;
    CheckInvariant();
    // A piece is skipped exactly when no selected file has bytes in it, so a
    // boundary piece shared with a selected neighbour stays wanted.
    const int64_t first = f.m_offset / m_piece_length;
    const int64_t last = std::min<int64_t>((f.End() - 1) / m_piece_length, m_piece_count - 1);
    int64_t changed = 0;
    for (int64_t p = first; p <= last; ++p) {
        if (!IsPieceValid(p)) continue;
        SetPieceSkipped(p, deselect ? !PieceHasSelectedFile(p) : false, changed);
    }
    if (deselect) {
        if (m_wanted_bytes >= f.m_size) m_wanted_bytes -= f.m_size;
        m_wanted_pieces -= changed;
    } else {
        if (m_wanted_bytes < m_total_length) m_wanted_bytes += f.m_size;
        m_wanted_pieces += changed;
    }
    ClampCounters();
    CheckInvariant();
}

void TPieces::SelectAll(bool deselect) {
    if (deselect) CloseFiles(true, false);
    for (size_t i = 0; i < m_storage.FileCount(); ++i) {
        m_storage.File(i)->m_priority = deselect ? TFileEntry::PriorityDeselected : 0;
    }
    for (auto& p : m_pieces) p->SetSkipped(deselect);
    if (deselect) {
        m_wanted_bytes = 0;
        m_wanted_pieces = 0;
    } else {
        m_wanted_bytes = m_total_length;
        m_wanted_pieces = m_piece_count;
    }
    // During the start-up examination the counter holds the pieces marked
    // done so far (skips count once it is over, as in SetPieceSkipped);
    // counting every piece here would let the examination's SetPieceDone
    // push it past the piece count.
    if (IsAllScanned()) {
        m_done_or_skipped = deselect ? static_cast<int32_t>(m_piece_count) : CountDoneOrSkipped();
    }
}

// --- storage ---------------------------------------------------------------------

TBlockResult TPieces::WritePieceRange(int64_t index, const uint8_t* data, int32_t length, int32_t piece_offset,
                                      bool skip_verify) {
    TBlockResult result;
    if (!data || length <= 0 || piece_offset < 0 || !IsPieceValid(index)) return result;
    TPiece& piece = *m_pieces[static_cast<size_t>(index)];
    if (piece_offset >= piece.Size()) return result;
    result.piece = static_cast<int32_t>(index);
    length = std::min(length, piece.Size() - piece_offset);
    const TPieceWriter::Job job =
        m_storage.WriteRange(piece, piece_offset, length, [data, piece_offset, length](int32_t at, int32_t* run) {
            *run = piece_offset + length - at;
            return data + (at - piece_offset);
        });
    const bool all_written = !job.failed && piece_offset + job.written == piece.Size();
    bool ok = true;
    if (all_written) {
        if (skip_verify) {
            SetPieceDone(index, true);
        } else if (piece_offset == 0) {
            ok = VerifyAndMark(index, data, length, false);
        } else {
            // Only the range is at hand: the whole piece is read back to be
            // checked.
            std::vector<uint8_t>& whole = ScratchBuffer();
            ok = ReadPieceRange(index, whole.data(), piece.Size(), 0) == piece.Size() &&
                 VerifyAndMark(index, whole.data(), piece.Size(), false);
            if (!ok) SetPieceDone(index, false);
        }
    }
    const bool was_complete = piece.IsVerifiedComplete();
    piece.EndDirectWrite(all_written && ok);
    if (was_complete && !all_written) SetPieceDone(index, false);
    if (job.failed) {
        result.outcome = BlockOutcome::DiskError;
        const TFileEntry* f = job.failed_file >= 0 ? m_storage.File(static_cast<size_t>(job.failed_file)) : nullptr;
        if (f) result.file = f->m_path;
    } else if (!all_written) {
        result.outcome = BlockOutcome::Stored;
    } else {
        result.outcome = ok ? BlockOutcome::PieceVerified : BlockOutcome::PieceFailed;
        result.piece_complete = ok;
    }
    return result;
}

int32_t TPieces::ReadPieceRange(int64_t index, uint8_t* out, int32_t length, int32_t piece_offset) {
    if (!out || length <= 0 || piece_offset < 0 || !IsPieceValid(index)) return -1;
    TPiece& piece = *m_pieces[static_cast<size_t>(index)];
    if (piece_offset >= piece.Size()) return -1;
    length = std::min(length, piece.Size() - piece_offset);
    return m_storage.ReadRange(piece, out, length, piece_offset);
}

bool TPieces::PrepareFiles() {
    if (!m_storage.PrepareFiles()) return false;
    m_done_or_skipped = CountDoneOrSkipped();
    m_scanned_bytes = m_total_length;
    TouchActivity();
    return true;
}

int32_t TPieces::CloseFiles(bool save_state, bool finish) {
    // Queued writes reach the files before they are synced.
    m_cache.DrainWrites();
    const bool examined = IsAllScanned();
    bool had_writable = false;
    const int32_t closed = m_storage.SyncAndCloseFiles(&had_writable);
    // The saved piece state may call the bytes just synced done.
    if (had_writable) save_state = true;
    if (finish && examined) FinishFiles();
    if (save_state && examined) SavePieceState();
    return closed;
}

void TPieces::FinishFiles() {
    const bool all_done = IsAllDone();
    m_storage.FinishTempNames(all_done);
    if (!all_done) return;
    for (auto& p : m_pieces) {
        if (p->WrittenPrefix() > 0) p->Reset();
    }
    m_partial_pieces.clear();
    if (!m_block_dump_path.empty()) {
        platform::RemoveFile(m_block_dump_path);
        m_block_dump_path.clear();
    }
}

void TPieces::LimitOpenFiles() {
    if (m_storage.OverOpenFileBudget()) CloseFiles(false, false);
}

void TPieces::FlushPiece(int64_t index, int32_t minimum) {
    if (IsPieceValid(index)) m_cache.FlushPrefix(*m_pieces[static_cast<size_t>(index)], minimum);
}

void TPieces::RemovePartialPiece(int32_t index) { std::erase(m_partial_pieces, index); }

void TPieces::AddPartialPiece(int32_t index) {
    if (std::find(m_partial_pieces.begin(), m_partial_pieces.end(), index) == m_partial_pieces.end()) {
        m_partial_pieces.push_back(index);
    }
}

// --- resume state ------------------------------------------------------------------

bool TPieces::LoadPieceState() {
    if (!m_resume || !m_codec || m_storage.FileCount() == 0 || m_piece_state_blob.empty()) return false;
    if (!m_codec->LoadPieceState(*this)) return false;
    m_scanned_bytes = m_total_length;
    if (m_completed_bytes > m_total_length) return false;
    m_cache.LoadBlockDump();
    Send(PiecesEventCode::Examination, 1, 0, 0);
    return true;
}

bool TPieces::SavePieceState() {
    // The state may call the queued pieces done only once they are written
    // (it syncs the files before it is saved).
    m_cache.DrainWrites();
    return m_codec && m_codec->SavePieceState(*this);
}

bool TPieces::SaveSelectionList() { return m_codec && IsAllScanned() && m_codec->SaveSelectionList(*this); }

void TPieces::ApplySelectionList() {
    if (m_codec && !m_selection_blob.empty()) m_codec->ApplySelectionList(*this);
}

}  // namespace engine
