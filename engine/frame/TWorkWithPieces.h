#pragma once
// Layer 3 of a download task: the metainfo and the piece map. This is the
// seam the metainfo and piece layers fill. For now it keeps the metainfo
// summary (obtained through the process-wide MetainfoLoader, which turns
// torrent bytes into sizes and names), the piece counters, the bitfield and
// the piece-map events; storage, cache and resume state are virtual hooks
// whose defaults do nothing.
//
// Thread: the work thread writes; engine calls read the counters and the
// bitfield. Everything below is guarded by the task lock.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/peers/TWorkWithPeers.h"

namespace engine {

struct MetainfoSummary {
    uint64_t total_bytes = 0;
    uint32_t piece_length = 0;
    uint32_t piece_count = 0;
    std::string name;
    std::string info_hash_text;  // 40 hexadecimal characters
};
// Parses torrent bytes; false when they are not a usable metainfo.
using MetainfoLoader = std::function<bool(const std::string& bytes, MetainfoSummary* out)>;
// Process-wide; the metainfo layer installs its parser here.
void SetMetainfoLoader(MetainfoLoader loader);

// What the piece map reports that ends or endangers a run.
enum class PieceMapEvent { DiskFull, FileOpenFailed };

struct PieceCounters {
    uint64_t total_bytes = 0;
    uint64_t downloaded_bytes = 0;
    uint32_t piece_count = 0;
    uint32_t pieces_done = 0;
    uint32_t piece_length = 0;
};

class TWorkWithPieces : public TWorkWithPeers {
public:
    // Copies the piece counters into the live block; publishes while the
    // download is incomplete.
    void UpdateProgress() override;
    virtual void PublishStatus(bool force, bool wait) = 0;
    // The copy without the publication; true while the download is incomplete.
    bool CopyProgressToLive();

    bool IsMetadataReady();
    bool HasSize();
    bool HasMetainfoBytes();
    PieceCounters Counters();
    MetainfoSummary Summary();
    // Copies of the bitfield (one bit per piece, high bit first).
    std::vector<uint8_t> Bitfield();
    // The piece map reports a failure: the task shows its code and stops.
    void OnPieceMapEvent(PieceMapEvent event);

protected:
    // Takes `bytes` as the metainfo; false when the loader rejects them.
    bool TakeMetainfo(const std::string& bytes);
    // Builds the piece map for the metainfo; the piece layer extends it.
    virtual void BuildPieceMap(const MetainfoSummary& summary);
    // The piece layer's progress; tests drive it through this too.
    void SetPieceProgress(uint64_t downloaded_bytes, uint32_t pieces_done);
    void ClearPieces();

    // Hooks of the piece, storage and resume layers.
    virtual std::string TargetPath();
    virtual void LoadTaskInfo() {}
    virtual void SaveTaskInfo() {}
    virtual void DeleteTaskInfo();
    virtual void CloseFiles() {}
    virtual void FlushComplete() {}
    virtual void MaintainCache() {}
    virtual void LimitOpenFiles() {}
    virtual void SetCacheSize(int32_t /*units*/, bool /*full_preallocation*/) {}
    virtual bool RebuildRequested() { return false; }
    virtual void RebuildPieceMap() {}
    // Uptime second of the piece map's last activity (0: none recorded).
    virtual uint32_t LastActivityUptime() { return 0; }
    virtual void ServeReadRequests() {}
    virtual void ApplyPiecePriorities() {}
    virtual void ReturnDonePieceBuffers() {}
    // Pieces verified since the last batch, to announce as HAVE.
    virtual std::vector<uint32_t> TakeHaveQueue() { return {}; }
    virtual void SendHaves(const std::vector<uint32_t>& /*pieces*/) {}

private:
    MetainfoSummary m_summary;
    std::string m_metainfo_bytes;
    bool m_metadata_ready = false;
    PieceCounters m_counters;
    std::vector<uint8_t> m_bitfield;
};

}  // namespace engine
