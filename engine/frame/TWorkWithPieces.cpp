#include "engine/frame/TWorkWithPieces.h"

#include "engine/frame/EngineApi.h"
#include "platform/File.h"

#include <mutex>

namespace engine {

namespace {
std::mutex g_loader_lock;
MetainfoLoader& Loader() {
    static MetainfoLoader loader;
    return loader;
}
MetainfoLoader CurrentLoader() {
    std::lock_guard<std::mutex> lock(g_loader_lock);
    return Loader();
}
}  // namespace

void SetMetainfoLoader(MetainfoLoader loader) {
    std::lock_guard<std::mutex> lock(g_loader_lock);
    Loader() = std::move(loader);
}

void TWorkWithPieces::UpdateProgress() {
    if (CopyProgressToLive()) PublishStatus(false, true);
}

bool TWorkWithPieces::CopyProgressToLive() {
    QTMutexLocker lock(ObjectLock());
    m_live.total_bytes = m_counters.total_bytes;
    m_live.downloaded_bytes = m_counters.downloaded_bytes;
    m_live.piece_count = m_counters.piece_count;
    m_live.pieces_done = m_counters.pieces_done;
    m_live.piece_length = m_counters.piece_length;
    return m_counters.downloaded_bytes != m_counters.total_bytes;
}

bool TWorkWithPieces::IsMetadataReady() {
    QTMutexLocker lock(ObjectLock());
    return m_metadata_ready;
}

bool TWorkWithPieces::HasSize() {
    QTMutexLocker lock(ObjectLock());
    return m_counters.total_bytes > 0;
}

bool TWorkWithPieces::HasMetainfoBytes() {
    QTMutexLocker lock(ObjectLock());
    return !m_metainfo_bytes.empty();
}

PieceCounters TWorkWithPieces::Counters() {
    QTMutexLocker lock(ObjectLock());
    return m_counters;
}

MetainfoSummary TWorkWithPieces::Summary() {
    QTMutexLocker lock(ObjectLock());
    return m_summary;
}

std::vector<uint8_t> TWorkWithPieces::Bitfield() {
    QTMutexLocker lock(ObjectLock());
    return m_bitfield;
}

void TWorkWithPieces::OnPieceMapEvent(PieceMapEvent event) {
    {
        QTMutexLocker lock(ObjectLock());
        m_live.code = event == PieceMapEvent::DiskFull ? TW_STATE_DISK_FULL : TW_STATE_FILE_OPEN_FAILED;
    }
    uint64_t id = 0;
    RequestStop(&id);
}

bool TWorkWithPieces::TakeMetainfo(const std::string& bytes) {
    MetainfoLoader loader = CurrentLoader();
    MetainfoSummary summary;
    if (!loader || !loader(bytes, &summary)) return false;
    {
        QTMutexLocker lock(ObjectLock());
        m_metainfo_bytes = bytes;
        m_summary = summary;
        m_metadata_ready = true;
        m_live.name = summary.name;
        m_live.info_hash_text = summary.info_hash_text;
    }
    BuildPieceMap(summary);
    return true;
}

void TWorkWithPieces::BuildPieceMap(const MetainfoSummary& summary) {
    QTMutexLocker lock(ObjectLock());
    m_options.Normalise();
    m_counters = PieceCounters{summary.total_bytes, 0, summary.piece_count, 0, summary.piece_length};
    m_bitfield.assign((summary.piece_count + 7) / 8, 0);
}

void TWorkWithPieces::SetPieceProgress(uint64_t downloaded_bytes, uint32_t pieces_done) {
    QTMutexLocker lock(ObjectLock());
    m_counters.downloaded_bytes = downloaded_bytes;
    m_counters.pieces_done = pieces_done;
    for (uint32_t piece = 0; piece < m_counters.piece_count; ++piece) {
        uint8_t bit = static_cast<uint8_t>(0x80u >> (piece % 8));
        if (piece < pieces_done) {
            m_bitfield[piece / 8] |= bit;
        } else {
            m_bitfield[piece / 8] &= static_cast<uint8_t>(~bit);
        }
    }
}

void TWorkWithPieces::ClearPieces() {
    QTMutexLocker lock(ObjectLock());
    m_summary = MetainfoSummary{};
    m_metainfo_bytes.clear();
    m_metadata_ready = false;
    m_counters = PieceCounters{};
    m_bitfield.clear();
}

std::string TWorkWithPieces::TargetPath() {
    if (!TargetFile().empty()) return TargetFile();
    QTMutexLocker lock(ObjectLock());
    if (m_summary.name.empty()) return {};
    std::string folder = SaveFolder();
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + m_summary.name;
}

void TWorkWithPieces::DeleteTaskInfo() {
    if (!InfoPath().empty()) platform::RemoveFile(InfoPath());
}

}  // namespace engine
