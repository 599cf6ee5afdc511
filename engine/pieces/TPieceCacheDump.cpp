// Block dump of TPieceCache: at stop the blocks of unfinished pieces go to
// the file task-information path + "df", so a restart does not fetch them
// again.
//
// File: a sequence of entries, each a header of four little-endian int32
//
//   +-------------+----------+-------------+---+
//   | blob length | checksum | piece index | 0 |
//   +-------------+----------+-------------+---+
//
// followed by the blob (TPieceBuffer::Serialize). The checksum is Adler-32
// (RFC 1950) of the blob, started from the Adler-32 of the 20-byte info hash,
// which is started from the piece index: an entry of another torrent or
// another piece does not match.

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "engine/pieces/TDiskLockHolder.h"
#include "engine/pieces/TPiece.h"
#include "engine/pieces/TPieceCache.h"
#include "engine/pieces/TPieces.h"
#include "platform/File.h"

namespace engine {

namespace {

constexpr int32_t EntryHeaderBytes = 16;
// At most this many blocks of one piece are dumped.
constexpr int32_t MaxBlocksPerEntry = 512;
// Small entries are collected and written in batches of about 1 MiB.
constexpr size_t BatchCapacity = 1179648;
constexpr size_t BatchFlushAt = 1048575;
constexpr int64_t DirectEntryBytes = 1048576;
constexpr size_t InfoHashBytes = 20;

uint32_t EntryChecksum(int32_t index, const std::string& info_hash, const uint8_t* blob, size_t length) {
    uLong seed = adler32(static_cast<uLong>(static_cast<uint32_t>(index)),
                         reinterpret_cast<const Bytef*>(info_hash.data()), static_cast<uInt>(InfoHashBytes));
    return static_cast<uint32_t>(adler32(seed, blob, static_cast<uInt>(length)));
}

void PutInt(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
}

uint32_t GetInt(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

std::string FolderOf(const std::string& path) {
    auto pos = path.find_last_of('/');
    return pos == std::string::npos ? std::string(".") : path.substr(0, pos + 1);
}

class DumpWriter {
public:
    explicit DumpWriter(QDiskFile& file) : m_file(file) { m_batch.reserve(BatchCapacity); }

    bool Add(const uint8_t header[EntryHeaderBytes], const std::string& blob) {
        if (static_cast<int64_t>(EntryHeaderBytes + blob.size()) >= DirectEntryBytes) {
            return Flush() && Write(header, EntryHeaderBytes) && Write(blob.data(), blob.size());
        }
        m_batch.insert(m_batch.end(), header, header + EntryHeaderBytes);
        m_batch.insert(m_batch.end(), blob.begin(), blob.end());
        return m_batch.size() <= BatchFlushAt || Flush();
    }

    bool Flush() {
        if (m_batch.empty()) return true;
        const bool ok = Write(m_batch.data(), m_batch.size());
        m_batch.clear();
        return ok;
    }

private:
    bool Write(const void* data, size_t length) {
        TDiskLockHolder lock;
        lock.Lock();
        if (m_file.Write(data, static_cast<int32_t>(length), m_position) != static_cast<int32_t>(length)) return false;
        m_position += static_cast<int64_t>(length);
        return true;
    }

    QDiskFile& m_file;
    std::vector<uint8_t> m_batch;
    int64_t m_position = 0;
};

}  // namespace

bool TPieceCache::SaveBlockDump() {
    DrainWrites();
    const std::string& path = m_map.BlockDumpPath();
    const std::string& info_hash = m_map.InfoHash();
    if (path.empty() || info_hash.size() != InfoHashBytes || !m_map.IsAllScanned()) return false;
    if (m_map.IsAllDone()) {
        platform::RemoveFile(path);
        return true;
    }
    platform::CreateDirectories(FolderOf(path));
    QDiskFile file;
    if (!file.Create(path)) return false;
    DumpWriter writer(file);
    for (int64_t i = 0; i < m_map.PieceCount(); ++i) {
        const TPiece* piece = m_map.Piece(i);
        if (!piece || m_map.IsPieceDone(i) || piece->BufferedBytes() <= 0) continue;
        std::string blob;
        if (piece->SerializeBlocks(blob, MaxBlocksPerEntry) <= 0) continue;
        uint8_t header[EntryHeaderBytes] = {};
        PutInt(header, static_cast<uint32_t>(blob.size()));
        PutInt(header + 4, EntryChecksum(piece->Index(), info_hash, reinterpret_cast<const uint8_t*>(blob.data()),
                                         blob.size()));
        PutInt(header + 8, static_cast<uint32_t>(piece->Index()));
        if (!writer.Add(header, blob)) return false;
    }
    return writer.Flush();
}

bool TPieceCache::LoadBlockDump() {
    const std::string& path = m_map.BlockDumpPath();
    const std::string& info_hash = m_map.InfoHash();
    if (path.empty() || !m_map.IsLayoutValid() || info_hash.size() != InfoHashBytes) return false;
    if (m_map.IsAllDone()) {
        platform::RemoveFile(path);
        return false;
    }
    QDiskFile file;
    if (!platform::Exists(path) || !file.Open(path, true)) return false;
    const int64_t file_size = file.GetSize();
    int64_t at = 0;
    bool restored = false;
    std::vector<uint8_t> blob;
    while (at + EntryHeaderBytes <= file_size && !m_map.IsStopRequested()) {
        uint8_t header[EntryHeaderBytes];
        if (file.Read(header, EntryHeaderBytes, at) != EntryHeaderBytes) break;
        const int64_t length = static_cast<int32_t>(GetInt(header));
        const int64_t index = static_cast<int32_t>(GetInt(header + 8));
        if (length < 1 || length >= static_cast<int64_t>(m_map.PieceLength()) + DirectEntryBytes ||
            !m_map.IsPieceValid(index) || at + EntryHeaderBytes + length > file_size) {
            break;
        }
        blob.resize(static_cast<size_t>(length));
        if (file.Read(blob.data(), static_cast<int32_t>(length), at + EntryHeaderBytes) != length) break;
        if (EntryChecksum(static_cast<int32_t>(index), info_hash, blob.data(), blob.size()) != GetInt(header + 4)) {
            break;
        }
        at += EntryHeaderBytes + length;
        TPiece& piece = *m_map.Piece(index);
        if (m_map.IsPieceDone(index) || piece.IsSkipped() || piece.IsVerifiedComplete()) continue;
        const int32_t prefix = piece.RestoreBlocks(blob.data(), length);
        if (prefix < 0) continue;
        if (prefix != piece.WrittenPrefix()) {
            ResetPiece(piece);
            break;
        }
        m_map.RemovePartialPiece(piece.Index());
        restored = true;
        if (piece.IsWhole()) {
            // Bytes from the dump are trusted no more than bytes from a peer.
            if (!piece.VerifyBuffered(m_map.HasDigests())) {
                ResetPiece(piece);
                continue;
            }
            RecordCompletion(piece);
        }
    }
    return restored;
}

}  // namespace engine
