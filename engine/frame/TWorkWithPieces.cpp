#include "engine/frame/TWorkWithPieces.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "engine/frame/EngineApi.h"
#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineEvents.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineSettings.h"
#include "engine/meta/TTorrent.h"
#include "engine/meta/TTorrentHost.h"
#include "engine/meta/TTorrentLayout.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TClaims.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TPeerObject.h"
#include "engine/pieces/TBlockSource.h"
#include "engine/pieces/TPieceScheduler.h"
#include "engine/pieces/TPieces.h"
#include "engine/pieces/TResumeCodec.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Random.h"

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

// Pieces of a plain web download: at least 256 KiB, and no more than about
// 4096 of them.
constexpr int64_t MinWebPieceLength = 256 * 1024;
constexpr int64_t MaxWebPieces = 4096;
// Lines about piece writes go to the ".written.log" file.
constexpr int32_t WrittenLogLevel = 29;

int64_t WebPieceLength(int64_t total) {
    int64_t length = MinWebPieceLength;
    while (total / length > MaxWebPieces) length *= 2;
    return length;
}

}  // namespace

void SetMetainfoLoader(MetainfoLoader loader) {
    std::lock_guard<std::mutex> lock(g_loader_lock);
    Loader() = std::move(loader);
}

// The record a piece holds for the source that delivered its blocks: it
// keeps the candidate alive as long as a piece refers to it.
class TCandidateSource final : public TBlockSource {
public:
    explicit TCandidateSource(TPeerId* candidate) : m_candidate(candidate) { candidate->AddRef(); }
    ~TCandidateSource() override { TRefObject::Release(m_candidate); }
    TCandidateSource(const TCandidateSource&) = delete;
    TCandidateSource& operator=(const TCandidateSource&) = delete;

    void AddRef() override { ++m_refs; }
    void Release() override {
        if (--m_refs == 0) delete this;
    }
    int32_t Kind() const override { return m_candidate->m_kind; }
    uint32_t AddressV4() const override { return m_candidate->m_address; }
    uint16_t Port() const override { return static_cast<uint16_t>(m_candidate->m_port); }
    std::string Url() const override { return m_candidate->m_url; }
    void AddPieceDelivered() override { ++m_candidate->m_pieces_delivered; }
    void AddBadPiece() override { ++m_candidate->Info().bad_pieces; }
    void ClearBadPieces() override { m_candidate->Info().bad_pieces = 0; }

private:
    TPeerId* m_candidate;
    int32_t m_refs = 1;
};

// The task as its piece map, scheduler, claims and torrent see it.
class TWorkWithPieces::Hooks final : public TPieceTask, public TPiecesOwner, public TClaimTask, public TTorrentHost {
public:
    explicit Hooks(TWorkWithPieces* task) : m_task(task) {}

    // TPieceTask
    void SetErrorCode(int32_t code) override {
        QTMutexLocker lock(m_task->ObjectLock());
        m_task->m_live.code = code;
    }
    void RequestStop() override {
        uint64_t id = 0;
        m_task->QThread::RequestStop(&id);
    }
    bool IsStopping() const override { return m_task->IsStopRequested(); }
    bool IsMetadataReady() const override { return m_task->IsMetadataReady(); }
    int32_t PeerObjectCount() const override { return static_cast<int32_t>(m_task->ActivePeers().size()); }
    void PublishStatus(bool force) override { m_task->PublishStatus(force, true); }
    int64_t NowSeconds() const override { return GetClockSeconds(); }
    uint32_t TickCount() const override { return platform::TickCount(); }
    void PauseForDiskSpace(uint32_t ms) override { platform::SleepMs(ms); }

    // TPiecesOwner: events go to the scheduler, failures to the statistics.
    void OnPiecesEvent(const TPiecesEvent& event) override { m_task->m_scheduler->OnPiecesEvent(event); }
    void OnVerifyFailure(const TVerifyFailure& failure) override {
        std::string text = failure.source + " piece " + std::to_string(failure.piece) + " " + m_task->TargetPath();
        ReportEngineEvent(static_cast<int32_t>(std::strtol(failure.event_code, nullptr, 10)), text, 0);
    }
    void OnKeptBytesDiscarded(int64_t web, int64_t peer) override { m_task->ForgetKeptBytes(web, peer); }

    // TClaimTask
    bool ClaimMapReady() override { return m_task->HasPieceMap(); }
    int32_t ClaimPieceCount() override {
        return m_task->m_pieces ? static_cast<int32_t>(m_task->m_pieces->PieceCount()) : 0;
    }
    int64_t ClaimPieceLength() override { return m_task->PeerPieceLength(); }
    int32_t ClaimDoneOrSkipped() override { return m_task->m_pieces ? m_task->m_pieces->DoneOrSkipped() : 0; }
    bool IsPieceOpen(int32_t piece) override {
        TPieces* pieces = m_task->m_pieces.get();
        if (!pieces || !pieces->IsPieceWanted(piece)) return false;
        if (m_task->IsPieceComplete(piece)) return false;
        return m_task->m_scheduler->IsEndGame() || m_task->m_scheduler->EngagementCount(piece) == 0;
    }
    bool IsTaskComplete() override { return m_task->m_pieces && m_task->m_pieces->IsAllDone(); }
    void ReleaseEngagedPiece(int32_t piece) override { m_task->m_scheduler->ReleasePiece(piece, false); }
    const std::vector<TPeerId*>& ClaimCandidates() override { return m_task->Candidates(); }
    int64_t ClaimNow() override { return GetClockSeconds(); }
    bool IsPieceUnannounced(int32_t piece) override { return m_task->m_scheduler->AwaitsHave(piece); }
    uint32_t ClaimTick() override { return platform::TickCount(); }
    int32_t ClaimRotation() override {
        if (!IsP2PEnabled() || !m_task->m_torrent || m_task->BtLimit() <= 0) return 0;
        // Drawn once: claims created again later (after the piece length
        // changed, or once the list ran empty) keep the task's turn.
        if (m_rotation < 0) {
            uint32_t r = 0;
            platform::RandomBytes(&r, sizeof r);
            m_rotation = static_cast<int32_t>(r & 0x7fffffff);
        }
        return m_rotation;
    }
    bool EngageClaimPiece(int32_t piece) override { return m_task->EngagePiece(piece); }
    bool IsPieceFinished(int32_t piece) override {
        TPieces* pieces = m_task->m_pieces.get();
        return !pieces || !pieces->IsPieceWanted(piece) || m_task->IsPieceComplete(piece);
    }
    bool IsPieceAtPeer(int32_t piece) override {
        for (TPeerObject* peer : m_task->ActivePeers()) {
            if (peer->Kind() != PeerKindBt || !peer->IsActive()) continue;
            const auto* bt = static_cast<const TBTPeer*>(peer);
            if (!bt->PeerChoking() && bt->RemoteHas(piece)) return true;
        }
        return false;
    }
    int64_t LastPeerBlockTime() override {
        int64_t last = -1;
        for (TPeerObject* peer : m_task->ActivePeers()) {
            if (peer->Kind() == PeerKindBt && peer->Stats().last_data_time > 0) {
                last = std::max(last, peer->Stats().last_data_time);
            }
        }
        return last;
    }
    bool PeersOutpaceWeb() override {
        int64_t peers = 0;
        int64_t web = 0;
        for (TPeerObject* peer : m_task->ActivePeers()) {
            if (peer->Kind() == PeerKindBt) {
                peers += peer->DownloadRate();
            } else if ((peer->Kind() & PeerKindsWeb) != 0) {
                web += peer->DownloadRate();
            }
        }
        return peers > web;
    }

    // TTorrentHost
    void SetMetainfoPhase(int phase) override {
        QTMutexLocker lock(m_task->ObjectLock());
        m_task->m_live.phase = static_cast<TaskPhase>(phase);
    }
    void SetTaskError(int code) override { SetErrorCode(code); }

private:
    TWorkWithPieces* m_task;
    int32_t m_rotation = -1;
};

TWorkWithPieces::TWorkWithPieces()
    : m_hooks(std::make_unique<Hooks>(this)),
      m_scheduler(std::make_unique<TPieceScheduler>(m_hooks.get())),
      m_codec(std::make_unique<TResumeCodec>()),
      m_task_info(&ObjectLock()) {
    SetPerSourceConnections(WebConnectionsPerSource);
}

TWorkWithPieces::~TWorkWithPieces() {
    m_claims.reset();
    if (m_pieces) m_pieces->CloseFiles(false, false);
    m_pieces.reset();
    ReleaseSources();
}

void TWorkWithPieces::ReleaseSources() {
    for (auto& [candidate, source] : m_sources) source->Release();
    m_sources.clear();
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
    MetainfoSummary summary;
    if (MetainfoLoader loader = CurrentLoader()) {
        if (!loader(bytes, &summary)) return false;
    } else {
        if (m_torrent && m_pieces && m_pieces->IsLayoutValid() && m_torrent->TorrentBytes() == bytes) {
            AdoptTorrentIdentity();
            return true;  // the same metainfo: the map stays
        }
        auto torrent = std::make_unique<TTorrent>(m_hooks.get());
        torrent->SetSaveFolder(SaveFolder());
        if (HasExactTarget()) torrent->SetTargetPath(TargetFile());
        if (!torrent->LoadFromBytes(bytes)) return false;
        torrent->SetTorrentBytes(bytes);
        const TTorrentLayout& layout = torrent->Layout();
        summary.total_bytes = static_cast<uint64_t>(layout.TotalLength());
        summary.piece_length = static_cast<uint32_t>(layout.PieceLength());
        summary.piece_count =
            layout.PieceLength() > 0
                ? static_cast<uint32_t>((layout.TotalLength() + layout.PieceLength() - 1) / layout.PieceLength())
                : 0;
        summary.name = layout.TaskName();
        summary.info_hash_text = torrent->InfoHashHex();
        m_torrent = std::move(torrent);
    }
    {
        QTMutexLocker lock(ObjectLock());
        m_metainfo_bytes = bytes;
        m_summary = summary;
        m_metadata_ready = true;
        m_live.name = summary.name;
        m_live.info_hash_text = summary.info_hash_text;
    }
    BuildPieceMap(summary);
    AdoptTorrentIdentity();
    return true;
}

bool TWorkWithPieces::TakeStoredMetainfo() {
    const std::string bytes = m_task_info.Get(TTaskInfo::Blob::Torrent);
    if (bytes.size() <= 2 || (bytes[0] != 'd' && bytes[0] != 'D')) return false;
    return TakeMetainfo(bytes);
}

void TWorkWithPieces::NewPieceMap() {
    auto pieces = std::make_unique<TPieces>(m_hooks.get());
    pieces->SetStateCodec(m_codec.get());
    pieces->SetResume(true);
    pieces->SetBlockDumpPath(InfoPathDf());
    pieces->SetSelectionBlob(m_task_info.Get(TTaskInfo::Blob::Part));
    pieces->SetPieceStateBlob(m_task_info.Get(TTaskInfo::Blob::Bits));
    TaskOptions options = Options();
    pieces->SetCacheSize(options.cache_units);
    pieces->SetQuickVerification(options.flags_b[5] != 0);
    m_claims.reset();
    m_scheduler->ResetScheduling();
    m_scheduler->SetPieces(pieces.get());
    std::unique_ptr<TPieces> previous = std::move(m_pieces);
    m_pieces = std::move(pieces);
    m_claims = std::make_unique<TClaims>(m_hooks.get());
    // The previous map lends its files' names; it goes once the new one is
    // built.
    m_previous_holder = std::move(previous);
}

bool TWorkWithPieces::BuildFromTorrent() {
    NewPieceMap();
    if (m_torrent) m_pieces->SetInfoHash(std::string(m_torrent->InfoHash().begin(), m_torrent->InfoHash().end()));
    const bool ok = m_torrent && m_pieces->BuildFromTorrent(m_torrent->Layout(), m_previous_holder.get());
    m_previous_holder.reset();
    if (ok) m_pieces->LoadBlockDump();
    SyncCounters();
    return ok;
}

bool TWorkWithPieces::BuildPlainHttpMap(int64_t length, const std::string& file_name) {
    TPiecesLayout layout;
    std::string folder = SaveFolder();
    std::string path = HasExactTarget() ? TargetFile() : std::string();
    if (path.empty()) {
        if (!folder.empty() && folder.back() != '/') folder += '/';
        // The name comes from the server (Content-Disposition) or the URL:
        // made harmless like a torrent's names, it stays inside the folder.
        path = folder + (file_name.empty() ? std::string("index.htm")
                                           : TTorrentLayout::SanitizePath(TTorrentLayout::SanitizeElement(file_name)));
    }
    size_t slash = path.rfind('/');
    layout.save_folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    layout.name = slash == std::string::npos ? path : path.substr(slash + 1);
    layout.piece_length = WebPieceLength(length);
    layout.without_digests = true;
    layout.files.push_back({path, layout.name, length});
    NewPieceMap();
    const bool ok = m_pieces->BuildFromLayout(layout, m_previous_holder.get());
    m_previous_holder.reset();
    {
        QTMutexLocker lock(ObjectLock());
        m_summary.total_bytes = static_cast<uint64_t>(length);
        m_summary.piece_length = static_cast<uint32_t>(layout.piece_length);
        m_summary.piece_count = static_cast<uint32_t>(m_pieces->PieceCount());
        m_summary.name = layout.name;
        m_live.name = layout.name;
        m_options.Normalise();
    }
    SyncCounters();
    return ok;
}

void TWorkWithPieces::BuildPieceMap(const MetainfoSummary& summary) {
    {
        QTMutexLocker lock(ObjectLock());
        m_options.Normalise();
        m_counters = PieceCounters{summary.total_bytes, 0, summary.piece_count, 0, summary.piece_length};
        m_bitfield.assign((summary.piece_count + 7) / 8, 0);
    }
    if (m_torrent && !CurrentLoader()) BuildFromTorrent();
}

void TWorkWithPieces::SyncCounters() {
    if (!m_pieces || !m_pieces->IsLayoutValid()) return;
    m_scheduler->PublishPieceStatus();
    const TBitfield& bits = m_pieces->Bitfield();
    QTMutexLocker lock(ObjectLock());
    m_counters.total_bytes = static_cast<uint64_t>(m_pieces->TotalLength());
    m_counters.downloaded_bytes = static_cast<uint64_t>(std::max<int64_t>(m_pieces->CompletedBytes(), 0));
    m_counters.piece_count = static_cast<uint32_t>(m_pieces->PieceCount());
    m_counters.pieces_done = static_cast<uint32_t>(std::max(m_pieces->DoneOrSkipped(), 0));
    m_counters.piece_length = static_cast<uint32_t>(m_pieces->PieceLength());
    m_bitfield.assign((m_counters.piece_count + 7) / 8, 0);
    for (uint32_t i = 0; i < m_counters.piece_count; ++i) {
        if (bits.Get(i)) m_bitfield[i / 8] |= static_cast<uint8_t>(0x80u >> (i % 8));
    }
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
    m_claims.reset();
    m_scheduler->SetPieces(nullptr);
    m_scheduler->ResetScheduling();
    if (m_pieces) m_pieces->CloseFiles(false, false);
    m_pieces.reset();
    m_torrent.reset();
    m_task_info = TTaskInfo(&ObjectLock());
    QTMutexLocker lock(ObjectLock());
    m_summary = MetainfoSummary{};
    m_metainfo_bytes.clear();
    m_metadata_ready = false;
    m_counters = PieceCounters{};
    m_bitfield.clear();
}

void TWorkWithPieces::ResetPieceRun() {
    if (m_claims) m_claims->Clear();
    m_scheduler->ResetScheduling();
    ReleaseSources();
}

void TWorkWithPieces::PieceLayerStep() {
    // Pieces written behind this thread are marked done here, within a pass
    // of being written, and a writer left asleep over a few queued pieces
    // (fewer than wake it at once) starts on them.
    if (m_pieces) m_pieces->CollectWrites(true);
    if (!m_pieces && IsPlainHttp() && !CurrentLoader()) {
        for (TPeerId* c : Candidates()) {
            if (!c->IsWebSource() || c->FetchesIntoMemory() || c->ContentLength() <= 0) continue;
            BuildPlainHttpMap(c->ContentLength(), c->Info().file_name);
            break;
        }
    }
    if (m_pieces && m_claims && m_claims->List().empty()) {
        // Before the claims cut the runs, every web source may take as many
        // connections as the task opens at once, within the task's limit.
        const int32_t per_source = std::max(std::min(WebConnectionsPerSource, WebLimit()), 1);
        SetPerSourceConnections(per_source);
        for (TPeerId* c : Candidates()) {
            if (c->IsWebSource() && !c->FetchesIntoMemory()) c->m_max_connections = per_source;
        }
    }
    SyncCounters();
}

void TWorkWithPieces::AdoptFetchedBody(TPeerId& source) {
    if (source.m_origin != 1) return;
    const std::string body = source.Info().body;
    source.Info().body.clear();
    source.Info().body.shrink_to_fit();
    PenalizeSource(source, false, 0);
    if (HasMetainfoBytes() || body.size() <= 2 || (body[0] != 'd' && body[0] != 'D')) return;
    if (TakeMetainfo(body)) {
        QTMutexLocker lock(ObjectLock());
        m_live.phase = TaskPhase::Running;
    }
}

// --- services for the peers ------------------------------------------------------

bool TWorkWithPieces::HasPieceMap() { return m_pieces && m_pieces->IsLayoutValid() && m_pieces->IsAllScanned(); }

int32_t TWorkWithPieces::PeerPieceLength() { return m_pieces ? m_pieces->PieceLength() : 0; }

int64_t TWorkWithPieces::TaskTotalBytes() { return m_pieces && m_pieces->IsLayoutValid() ? m_pieces->TotalLength() : 0; }

void TWorkWithPieces::ReturnBlocks(std::vector<TBlockRequest>& list) { m_scheduler->ReturnBlocks(list); }

bool TWorkWithPieces::TakeReturnedRequest(int32_t block, int32_t length) {
    return m_scheduler->TakeReturnedBlock(block, length);
}

bool TWorkWithPieces::IsEndGame() { return m_scheduler->IsEndGame(); }

bool TWorkWithPieces::IsPieceComplete(int32_t piece) {
    if (!m_pieces || !m_pieces->IsPieceValid(piece)) return false;
    return m_pieces->IsPieceDone(piece) || m_pieces->Piece(piece)->IsVerifiedComplete();
}

bool TWorkWithPieces::MissingPartOfPiece(int32_t piece, int32_t* offset, int32_t* bytes) {
    if (!HasPieceMap() || !m_pieces->IsPieceWanted(piece) || IsPieceComplete(piece)) return false;
    const TPiece* p = m_pieces->Piece(piece);
    if (!p || p->WrittenPrefix() >= p->Size()) return false;
    *offset = p->WrittenPrefix();
    *bytes = p->Size() - p->WrittenPrefix();
    return true;
}

bool TWorkWithPieces::HasBlock(int32_t block) {
    if (!m_pieces || !m_pieces->IsLayoutValid()) return false;
    const int64_t index = m_pieces->PieceOfBlock(block);
    if (!m_pieces->IsPieceValid(index)) return false;
    return IsPieceComplete(static_cast<int32_t>(index)) || m_pieces->HasBlock(block);
}

TCandidateSource* TWorkWithPieces::SourceFor(TPeerObject* peer) {
    TPeerId* candidate = peer ? peer->Candidate() : nullptr;
    if (!candidate) return nullptr;
    auto it = m_sources.find(candidate);
    if (it != m_sources.end()) return it->second;
    auto* source = new TCandidateSource(candidate);
    m_sources.emplace(candidate, source);
    return source;
}

bool TWorkWithPieces::HasBitTorrentPeers() {
    for (TPeerObject* p : ActivePeers()) {
        if (p->Kind() == PeerKindBt) return true;
    }
    return false;
}

uint8_t* TWorkWithPieces::BlockPlace(int32_t block, int32_t* room) {
    *room = 0;
    if (!HasPieceMap() || !m_pieces->IsLayoutValid()) return nullptr;
    return m_pieces->BlockPlace(block, room);
}

void TWorkWithPieces::ReleasePlace(int32_t block) {
    if (HasPieceMap()) m_pieces->ReleasePlace(block);
}

BlockWriteResult TWorkWithPieces::WriteBlock(TPeerObject* from, int32_t block, int32_t length, const uint8_t* data) {
    BlockWriteResult result;
    if (!HasPieceMap()) return result;
    // Without BitTorrent peers nobody reads a complete piece back from
    // memory: it goes to disk at once (written while it is hashed), so a
    // crash loses no verified data.
    m_pieces->SetWriteOnCompletion(!HasBitTorrentPeers());
    const TBlockResult outcome = m_pieces->WriteBlock(block, length, data, SourceFor(from));
    switch (outcome.outcome) {
        case BlockOutcome::Rejected: return result;
        case BlockOutcome::NotTaken:
        case BlockOutcome::Duplicate: break;
        case BlockOutcome::Stored:
        case BlockOutcome::PieceVerified: result.is_new = true; break;
        case BlockOutcome::PieceFailed:
            result.piece_failed = true;
            result.failed_piece = outcome.piece;
            break;
        case BlockOutcome::DiskError:
            // The piece is fetched again; the task hears of the disk fault
            // through the piece map's events.
            result.is_new = true;
            LogFormat(WrittenLogLevel, "Piece %d could not be written to %s", outcome.piece, outcome.file.c_str());
            break;
    }
    result.written = true;
    if (outcome.piece_complete) result.completed_piece = outcome.piece;
    return result;
}

// --- storage and resume hooks ------------------------------------------------------

std::string TWorkWithPieces::TargetPath() {
    if (!TargetFile().empty()) return TargetFile();
    QTMutexLocker lock(ObjectLock());
    if (m_summary.name.empty()) return {};
    std::string folder = SaveFolder();
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + m_summary.name;
}

void TWorkWithPieces::LoadTaskInfo() {
    if (InfoPath().empty()) return;
    m_task_info.Load(InfoPath());
}

void TWorkWithPieces::SaveTaskInfo() {
    if (InfoPath().empty() || !m_pieces || !m_pieces->IsLayoutValid() || !m_pieces->IsAllScanned()) return;
    m_pieces->FlushComplete();
    m_pieces->SavePieceState();
    m_pieces->SaveSelectionList();
    if (m_scheduler->IsBitsDirty()) m_task_info.Set(TTaskInfo::Blob::Bits, m_scheduler->BitsBlob());
    if (m_scheduler->IsPartDirty()) m_task_info.Set(TTaskInfo::Blob::Part, m_scheduler->PartBlob());
    m_scheduler->ClearBlobsDirty();
    // Kept whatever the metainfo came from: a fetched torrent is not fetched
    // again after a restart, and a damaged torrent file is stood in for.
    const std::string bytes = HasMetainfoBytes() ? m_metainfo_bytes : std::string();
    if (!bytes.empty() && m_task_info.Get(TTaskInfo::Blob::Torrent) != bytes) {
        m_task_info.Set(TTaskInfo::Blob::Torrent, bytes);
    }
    m_task_info.Save(InfoPath());
}

void TWorkWithPieces::DeleteTaskInfo() {
    if (!InfoPath().empty()) platform::RemoveFile(InfoPath());
    if (!InfoPathDf().empty()) platform::RemoveFile(InfoPathDf());
}

void TWorkWithPieces::CloseFiles() {
    if (m_pieces && m_pieces->IsLayoutValid()) {
        m_pieces->FlushComplete();
        m_pieces->CloseFiles(true, true);
        SyncCounters();
    }
}

void TWorkWithPieces::FlushComplete() {
    if (m_pieces && m_pieces->IsLayoutValid()) {
        m_pieces->FlushComplete();
        SyncCounters();
    }
}

void TWorkWithPieces::MaintainCache() {
    if (m_pieces && m_pieces->IsLayoutValid()) m_pieces->MaintainCache();
}

void TWorkWithPieces::LimitOpenFiles() {
    if (m_pieces && m_pieces->IsLayoutValid()) m_pieces->LimitOpenFiles();
}

void TWorkWithPieces::SetCacheSize(int32_t units, bool /*full_preallocation*/) {
    if (m_pieces) m_pieces->SetCacheSize(units);
}

std::vector<uint32_t> TWorkWithPieces::TakeHaveQueue() {
    std::vector<uint32_t> out;
    for (int32_t i : m_scheduler->TakeHaveQueue()) out.push_back(static_cast<uint32_t>(i));
    return out;
}

void TWorkWithPieces::ReturnedBlockUpkeep() { m_scheduler->MaintainReturnedPool(); }

void TWorkWithPieces::MarkRunActive() {
    if (m_pieces) m_pieces->TouchActivity();
}

void TWorkWithPieces::SaveBlockDump() {
    if (m_pieces && m_pieces->IsLayoutValid()) m_pieces->SaveBlockDump();
}

}  // namespace engine
