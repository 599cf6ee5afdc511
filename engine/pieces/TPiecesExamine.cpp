// Start-up examination half of TPieces: deciding what of the data already on
// disk is usable, by migration from a previous layout, quick verification,
// the stored piece state or a full recheck.

#include <algorithm>
#include <cstring>

#include "engine/pieces/TBlockRequest.h"
#include "engine/pieces/TPieces.h"
#include "platform/File.h"

namespace engine {

namespace {

// The recheck reads up to eight pieces at a time, but never holds more than
// 4 MiB plus one piece for it.
constexpr int64_t RecheckPiecesPerRead = 8;
constexpr int64_t RecheckBufferLimit = 4 * 1024 * 1024;
// How often long walks look at the stop request.
constexpr int32_t RecheckStopPollPieces = 10;
constexpr size_t QuickStopPollFiles = 100;

}  // namespace

bool TPieces::ExamineExistingData(TPieces* previous) {
    Send(PiecesEventCode::Examination, 1, 0, 0);
    bool ok = true;
    if (previous && previous->IsLayoutValid() && previous->FileCount() == FileCount()) {
        ok = Migrate(*previous);
    } else if (m_quick_verification) {
        ok = QuickVerify();
    } else if (LoadPieceState()) {
        ok = true;
    } else if (m_has_digests) {
        FullRecheck();
    } else {
        ExamineWithoutDigests();
    }
    Send(PiecesEventCode::Examination, 1, 0, 0);
    return ok && !IsStopping();
}

void TPieces::ExamineWithoutDigests() {
    CloseFiles(true, true);
    m_completed_bytes = 0;
    m_done_or_skipped = 0;
    m_wanted_bytes = m_total_length;
    m_scanned_bytes = m_total_length;
    m_wanted_pieces = m_piece_count;
}

bool TPieces::QuickVerify() {
    m_completed_bytes = 0;
    m_scanned_bytes = 0;
    for (size_t i = 0; i < m_files.size(); ++i) {
        const TFileEntry& f = *m_files[i];
        if (f.m_size > 0 && platform::FileSize(f.m_path) == f.m_size) {
            m_completed_bytes += f.m_size;
            m_scanned_bytes += f.m_size;
        }
        if ((i + 1) % QuickStopPollFiles == 0 && IsStopping()) return false;
    }
    if (m_completed_bytes != m_total_length) {
        // Nothing is marked, so nothing may be counted either.
        m_completed_bytes = 0;
        m_scanned_bytes = 0;
        CloseFiles(true, false);
        return false;
    }
    m_scanned_bytes = 0;
    m_bitfield.FillBytes(0xFF);
    // Only checks that the pieces can be read: bytes read back from disk are
    // trusted, not hashed.
    std::vector<int64_t> probes{0};
    if (m_piece_count - 1 != 0) probes.push_back(m_piece_count - 1);
    if (m_piece_count / 2 != 0) probes.push_back(m_piece_count / 2);
    std::vector<uint8_t>& buffer = Scratch();
    for (int64_t p : probes) {
        const int32_t size = m_pieces[static_cast<size_t>(p)]->m_size;
        if (ReadPieceRange(p, buffer.data(), size, 0) != size) {
            m_bitfield.FillBytes(0);
            m_completed_bytes = 0;
            CloseFiles(true, false);
            return false;
        }
    }
    m_completed_bytes = m_total_length;
    m_scanned_bytes = m_total_length;
    m_done_or_skipped = static_cast<int32_t>(m_piece_count);
    Send(PiecesEventCode::QuickVerified, 1, 0, 0);
    CloseFiles(true, false);
    return IsAllDone() && !IsStopping();
}

bool TPieces::FullRecheck() {
    m_completed_bytes = 0;
    m_scanned_bytes = 0;
    const int64_t L = m_piece_length;
    const int64_t read_size = RecheckPiecesPerRead * L > RecheckBufferLimit ? L : RecheckPiecesPerRead * L;
    std::vector<uint8_t> buffer(static_cast<size_t>(read_size + L));
    int64_t verified = 0;
    int64_t buffer_start = 0;  // stream offset of buffer[0]
    size_t buffered = 0;
    int32_t since_poll = 0;

    // Verifies every piece that lies complete in the buffer and keeps the
    // remainder at its front. Bytes before the first piece boundary belong to
    // a piece whose start was lost (a missing or short file) and are dropped.
    auto drain = [&]() -> bool {
        int64_t p = (buffer_start + L - 1) / L;
        size_t skip = static_cast<size_t>(p * L - buffer_start);
        size_t used = std::min(skip, buffered);
        while (p < m_piece_count && buffered >= used + static_cast<size_t>(m_pieces[static_cast<size_t>(p)]->m_size)) {
            const int32_t size = m_pieces[static_cast<size_t>(p)]->m_size;
            if (VerifyAndMark(p, buffer.data() + used, size, false)) verified += size;
            m_scanned_bytes = std::max(m_scanned_bytes, p * L + size);
            used += static_cast<size_t>(size);
            ++p;
            if (++since_poll >= RecheckStopPollPieces) {
                since_poll = 0;
                if (IsStopping()) return false;
            }
        }
        std::memmove(buffer.data(), buffer.data() + used, buffered - used);
        buffered -= used;
        buffer_start += static_cast<int64_t>(used);
        return true;
    };

    for (auto& entry : m_files) {
        TFileEntry& f = *entry;
        if (f.m_size <= 0) continue;
        if (buffer_start + static_cast<int64_t>(buffered) != f.m_offset) {
            buffered = 0;
            buffer_start = f.m_offset;
        }
        f.m_file.Close();
        f.m_file.SetExtraFlags(QDiskFile::SequentialScan);
        int64_t pos = 0;
        if (platform::Exists(f.m_path) && f.m_file.Open(f.m_path, true)) {
            while (pos < f.m_size) {
                const int64_t want = std::min<int64_t>(static_cast<int64_t>(buffer.size() - buffered), f.m_size - pos);
                const int32_t n = f.m_file.Read(buffer.data() + buffered, static_cast<int32_t>(want), pos);
                if (n <= 0) break;
                buffered += static_cast<size_t>(n);
                pos += n;
                if (!drain()) break;
            }
        }
        f.m_file.Close();
        f.m_file.SetExtraFlags(0);
        if (IsStopping()) break;
        if (pos < f.m_size) {
            // A short or missing file: what is left cannot complete a piece.
            buffered = 0;
            buffer_start = f.End();
        }
        m_scanned_bytes = std::max(m_scanned_bytes, f.End());
    }
    buffer = {};
    CloseFiles(true, false);
    return verified == m_completed_bytes && m_scanned_bytes == m_total_length && !IsStopping();
}

bool TPieces::Migrate(TPieces& previous) {
    if (previous.TotalLength() != m_total_length || m_piece_length % BlockSize != 0) return false;
    std::vector<uint8_t> piece_data(static_cast<size_t>(m_piece_length));
    bool all_read = true;
    for (int64_t p = 0; p < m_piece_count; ++p) {
        if (IsStopping()) return false;
        const int32_t size = m_pieces[static_cast<size_t>(p)]->m_size;
        bool have_all = true;
        // Whole 16 KiB units lie inside one piece of either layout, since both
        // piece lengths are multiples of the block size.
        for (int32_t unit = 0; unit < size && have_all; unit += BlockSize) {
            const int64_t at = p * m_piece_length + unit;
            const int64_t old_piece = at / previous.PieceLength();
            const int32_t n = std::min(BlockSize, size - unit);
            if (!previous.IsPieceDone(old_piece)) {
                have_all = false;
                break;
            }
            const int32_t old_offset = static_cast<int32_t>(at - old_piece * previous.PieceLength());
            if (previous.ReadPieceRange(old_piece, piece_data.data() + unit, n, old_offset) != n) {
                all_read = false;
                have_all = false;
            }
        }
        // A piece the old layout did not hold in full is fetched again; one
        // whose bytes fail the new digest is marked not done by the write.
        if (have_all) WritePieceRange(p, piece_data.data(), size, 0, false);
    }
    previous.CloseFiles(false, false);
    m_scanned_bytes = m_total_length;
    return all_read && m_completed_bytes <= m_total_length;
}

}  // namespace engine
