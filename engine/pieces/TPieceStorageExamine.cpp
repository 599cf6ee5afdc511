// Start-up examination of TPieceStorage: deciding what of the data already on
// disk is usable, by migration from a previous layout, quick verification,
// the stored piece state or a full recheck. The map hears what is done.

#include <algorithm>
#include <cstring>

#include "engine/pieces/TBlockRequest.h"
#include "engine/pieces/TPiece.h"
#include "engine/pieces/TPieceStorage.h"
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

bool TPieceStorage::Examine(TPieces* previous) {
    Send(PiecesEventCode::Examination);
    bool ok = true;
    if (previous && previous->IsLayoutValid() && previous->FileCount() == FileCount()) {
        ok = Migrate(*previous);
    } else if (m_map.QuickVerification()) {
        ok = QuickVerify();
    } else if (m_map.LoadPieceState()) {
        ok = true;
    } else if (m_map.HasDigests()) {
        FullRecheck();
    } else {
        ExamineWithoutDigests();
    }
    Send(PiecesEventCode::Examination);
    return ok && !m_map.IsStopRequested();
}

void TPieceStorage::ExamineWithoutDigests() {
    m_map.CloseFiles(true, true);
    m_map.MarkNothingDone();
}

bool TPieceStorage::QuickVerify() {
    m_map.StartScan();
    int64_t present = 0;
    for (size_t i = 0; i < m_files.size(); ++i) {
        const TFileEntry& f = *m_files[i];
        if (f.m_size > 0 && platform::FileSize(f.m_path) == f.m_size) present += f.m_size;
        if ((i + 1) % QuickStopPollFiles == 0 && m_map.IsStopRequested()) return false;
    }
    if (present != m_map.TotalLength()) {
        m_map.CloseFiles(true, false);
        return false;
    }
    // Only checks that the pieces can be read: bytes read back from disk are
    // trusted, not hashed.
    const int64_t count = m_map.PieceCount();
    std::vector<int64_t> probes{0};
    if (count - 1 != 0) probes.push_back(count - 1);
    if (count / 2 != 0) probes.push_back(count / 2);
    std::vector<uint8_t>& buffer = m_map.ScratchBuffer();
    for (int64_t p : probes) {
        const int32_t size = m_map.Piece(p)->Size();
        if (m_map.ReadPieceRange(p, buffer.data(), size, 0) != size) {
            m_map.CloseFiles(true, false);
            return false;
        }
    }
    m_map.MarkEverythingDone();
    Send(PiecesEventCode::QuickVerified);
    m_map.CloseFiles(true, false);
    return m_map.IsAllDone() && !m_map.IsStopRequested();
}

bool TPieceStorage::FullRecheck() {
    m_map.StartScan();
    const int64_t L = m_map.PieceLength();
    const int64_t piece_count = m_map.PieceCount();
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
        while (p < piece_count && buffered >= used + static_cast<size_t>(m_map.Piece(p)->Size())) {
            const int32_t size = m_map.Piece(p)->Size();
            if (m_map.VerifyAndMark(p, buffer.data() + used, size, false)) verified += size;
            m_map.SetScannedBytes(std::max(m_map.ScannedBytes(), p * L + size));
            used += static_cast<size_t>(size);
            ++p;
            if (++since_poll >= RecheckStopPollPieces) {
                since_poll = 0;
                if (m_map.IsStopRequested()) return false;
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
        if (m_map.IsStopRequested()) break;
        if (pos < f.m_size) {
            // A short or missing file: what is left cannot complete a piece.
            buffered = 0;
            buffer_start = f.End();
        }
        m_map.SetScannedBytes(std::max(m_map.ScannedBytes(), f.End()));
    }
    buffer = {};
    m_map.CloseFiles(true, false);
    return verified == m_map.CompletedBytes() && m_map.ScannedBytes() == m_map.TotalLength() &&
           !m_map.IsStopRequested();
}

bool TPieceStorage::Migrate(TPieces& previous) {
    const int32_t piece_length = m_map.PieceLength();
    if (previous.TotalLength() != m_map.TotalLength() || piece_length % BlockSize != 0) return false;
    std::vector<uint8_t> piece_data(static_cast<size_t>(piece_length));
    bool all_read = true;
    for (int64_t p = 0; p < m_map.PieceCount(); ++p) {
        if (m_map.IsStopRequested()) return false;
        const int32_t size = m_map.Piece(p)->Size();
        bool have_all = true;
        // Whole 16 KiB units lie inside one piece of either layout, since both
        // piece lengths are multiples of the block size.
        for (int32_t unit = 0; unit < size && have_all; unit += BlockSize) {
            const int64_t at = p * piece_length + unit;
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
        if (have_all) m_map.WritePieceRange(p, piece_data.data(), size, 0, false);
    }
    previous.CloseFiles(false, false);
    m_map.SetScannedBytes(m_map.TotalLength());
    return all_read && m_map.CompletedBytes() <= m_map.TotalLength();
}

}  // namespace engine
