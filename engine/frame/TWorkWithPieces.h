#pragma once
// Layer 3 of a download task: the metainfo (TTorrent) and the piece map
// (TPieces) with its scheduler (TPieceScheduler), the resume state
// (TTaskInfo + TResumeCodec) and the claim list of the web sources
// (TClaims). It answers the peers' questions about pieces (what to fetch,
// where received blocks go) and keeps the copies of the counters and the
// bitfield that status calls read.
//
// A torrent task's map is built from its metainfo; a plain HTTP task's map is
// built, without digests, once a web source reports the content length.
// A process-wide MetainfoLoader, when installed, replaces the metainfo layer
// (tests use it to describe a task without a real torrent).
//
// Thread: the work thread owns the map, the torrent and the claims. Engine
// calls read the counters and the bitfield copies; those are guarded by the
// task lock.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/meta/TTaskInfo.h"
#include "engine/frame/TWorkWithPeers.h"

namespace engine {

class TClaims;
class TPieces;
class TPieceScheduler;
class TResumeCodec;
class TTorrent;
class TCandidateSource;

struct MetainfoSummary {
    uint64_t total_bytes = 0;
    uint32_t piece_length = 0;
    uint32_t piece_count = 0;
    std::string name;
    std::string info_hash_text;  // 40 hexadecimal characters
};
// Parses torrent bytes; false when they are not a usable metainfo.
using MetainfoLoader = std::function<bool(const std::string& bytes, MetainfoSummary* out)>;
// Process-wide; installed only by tests (the engine uses TTorrent).
void SetMetainfoLoader(MetainfoLoader loader);

// What the piece map reports that ends or endangers a run.
enum class PieceMapEvent { DiskFull, FileOpenFailed };


class TWorkWithPieces : public TWorkWithPeers {
public:
    // Connections a task opens at once to a web source that writes into its
    // files (the claims then cut each source's run for them).
    static constexpr int32_t WebConnectionsPerSource = 16;

    TWorkWithPieces();
    ~TWorkWithPieces() override;

    // Copies the piece counters into the live block; publishes while the
    // download is incomplete.
    void UpdateProgress() override;
    virtual void PublishStatus(bool force, bool wait) = 0;
    // The copy without the publication; true while the download is incomplete.
    bool CopyProgressToLive();

    bool IsMetadataReady();
    bool HasSize();
    bool HasMetainfoBytes();
    PieceCounters Counters() override;
    MetainfoSummary Summary();
    // Copies of the bitfield (one bit per piece, high bit first).
    std::vector<uint8_t> Bitfield();
    // The piece map reports a failure: the task shows its code and stops.
    void OnPieceMapEvent(PieceMapEvent event);

    // --- services for the peers (work thread) -------------------------------
    bool HasPieceMap() override;
    int32_t PeerPieceLength() override;
    void ReturnBlocks(std::vector<TBlockRequest>& list) override;
    bool TakeReturnedRequest(int32_t block, int32_t length) override;
    BlockWriteResult WriteBlock(TPeerObject* from, int32_t block, int32_t length, const uint8_t* data) override;
    uint8_t* BlockPlace(int32_t block, int32_t* room) override;
    void ReleasePlace(int32_t block) override;
    bool MissingPartOfPiece(int32_t piece, int32_t* offset, int32_t* bytes) override;
    bool HasBlock(int32_t block) override;
    bool IsEndGame() override;
    bool EngagePiece(int32_t piece) override;
    int32_t EngagementCount(int32_t piece) override;
    void ReleaseEngagedPiece(int32_t piece) override;
    std::vector<int32_t> PartialPieceList() override;
    std::vector<PeerFileSpan> FileSpans() override;
    bool TakeReturnedBlocksFor(std::vector<TBlockRequest>& list, const std::vector<uint8_t>& bits,
                               int32_t max) override;
    bool IsBlockReturned(int32_t block) override;
    int32_t ReadUploadBlock(int32_t block, int32_t length, uint8_t* out, int32_t read_ahead) override;
    int32_t PiecesMissing() override;
    bool HoldsPiece(int32_t piece) override { return IsPieceComplete(piece); }
    bool PeersWaitForWebClaims() override;
    // The web sources' claim list (created with the piece map).
    TClaims* WebClaims() override { return m_claims.get(); }
    // The task's total size; 0 while unknown.
    int64_t TaskTotalBytes() override;
    // Done, or verified and waiting in memory to be written.
    bool IsPieceComplete(int32_t piece) override;
    // A redirection named a host that does not resolve: code 20216.
    void ReportRedirectUnresolved() override { ReportUnresolvedSource(); }
    TPieces* PieceMap() { return m_pieces.get(); }
    // A source fetched whole into memory has its body: the metainfo source
    // of a task without metainfo gives the task its torrent, and the source
    // leaves the candidates.
    void AdoptFetchedBody(TPeerId& source) override;

protected:
    // Takes `bytes` as the metainfo; false when they do not load.
    bool TakeMetainfo(const std::string& bytes);
    // Takes the metainfo kept in the task-information file, when there is
    // one and it loads.
    bool TakeStoredMetainfo();
    // Builds the piece map for the metainfo.
    virtual void BuildPieceMap(const MetainfoSummary& summary);
    // The piece layer's progress; tests drive it through this too.
    void SetPieceProgress(uint64_t downloaded_bytes, uint32_t pieces_done);
    void ClearPieces();
    // Once per pass of the work loop: a plain HTTP task builds its map when
    // its size is known; the counters follow the map.
    void PieceLayerStep();
    // The per-run state of this layer: claims, scheduling, source records.
    void ResetPieceRun();

    // Hooks of the piece, storage and resume layers.
    virtual std::string TargetPath();
    virtual void LoadTaskInfo();
    virtual void SaveTaskInfo();
    virtual void DeleteTaskInfo();
    virtual void CloseFiles();
    virtual void FlushComplete();
    virtual void MaintainCache();
    virtual void LimitOpenFiles();
    virtual void SetCacheSize(int32_t units, bool full_preallocation);
    // Keeps the pool of returned block requests ordered (or empties it once
    // every piece is done); every fourth pool duty.
    void ReturnedBlockUpkeep();
    // The piece map's activity starts again with a run.
    void MarkRunActive();
    // Writes the buffered blocks of unfinished pieces next to the
    // task-information file (end of a run that did not complete).
    void SaveBlockDump();
    // Pieces verified since the last batch, to announce as HAVE.
    virtual std::vector<uint32_t> TakeHaveQueue();
    virtual void SendHaves(const std::vector<uint32_t>& /*pieces*/) {}
    // A piece failed its check: bytes counted as kept from web sources and
    // from peers were thrown away (the transfer layer takes them back).
    virtual void ForgetKeptBytes(int64_t /*web*/, int64_t /*peer*/) {}

private:
    class Hooks;
    friend class Hooks;
    bool BuildFromTorrent();
    bool BuildPlainHttpMap(int64_t length, const std::string& file_name);
    void NewPieceMap();
    void SyncCounters();
    TCandidateSource* SourceFor(TPeerObject* peer);
    bool HasBitTorrentPeers();
    // The torrent's identity for the peers: info hash (registered with the
    // listener's dispatch), own peer id and its trackers as candidates.
    void AdoptTorrentIdentity();
    void ReleaseSources();

    MetainfoSummary m_summary;
    std::string m_metainfo_bytes;
    bool m_metadata_ready = false;
    PieceCounters m_counters;
    std::vector<uint8_t> m_bitfield;

    // Work thread only.
    std::unique_ptr<Hooks> m_hooks;
    std::unique_ptr<TPieceScheduler> m_scheduler;
    std::unique_ptr<TResumeCodec> m_codec;
    std::unique_ptr<TTorrent> m_torrent;
    std::unique_ptr<TPieces> m_pieces;
    std::unique_ptr<TPieces> m_previous_holder;  // only while a map is built
    std::unique_ptr<TClaims> m_claims;
    std::map<TPeerId*, TCandidateSource*> m_sources;
    TTaskInfo m_task_info;
};

}  // namespace engine
