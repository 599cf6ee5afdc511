// TBTPeer, the pieces side: which piece to ask a remote for, the request
// queue's upkeep (complete pieces, snubbing), serving the remote's requests
// and the rate-limited output. Work thread only.

#include <algorithm>
#include <cstring>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineSettings.h"
#include "engine/peers/TPeerTask.h"
#include "engine/net/QTcpSocket.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TClaims.h"
#include "engine/peers/TPeerId.h"
#include "platform/Clock.h"

namespace engine {

namespace {

// A piece choice that found nothing is tried again after this long even
// when no HAVE made the remote interesting again.
constexpr int64_t ChoiceRetryS = 59;
// Pieces added to the queue in one RequestBlocks call at most. A remote on
// a fast link answers a whole queue between two calls: a few pieces per call
// would cap the connection at that much per pass, whatever its window.
constexpr int PiecesPerFill = 16;
// Upload pacing: below this rate output is flushed only every second call
// and sent in smaller chunks.
constexpr int32_t SlowUploadBps = 28672;
constexpr size_t FlushSlack = 1024;
// A connection that moved no payload for this long (and barely any bytes)
// is useless.
constexpr int64_t UselessAfterS = 120;
constexpr int64_t UselessRateBps = 18;
// Whatever the measured rate, one upload call may serve this much: a first
// budget of one block would hold the rate, which the budget follows, at the
// pace of the upload calls for good.
constexpr int32_t MinUploadBudget = 16 * BlockSize;
constexpr int32_t PeerLogLevel = 13;

}  // namespace

bool TBTPeer::IsCandidatePiece(int32_t piece, bool only_free) {
    // The cheap tests first: a scan over the map mostly meets pieces that are
    // done or that the remote lacks, and the queue walk costs as much as the
    // queue is long (thousands of requests at loopback rates).
    if (!RemoteHas(piece)) return false;
    int32_t offset = 0;
    int32_t bytes = 0;
    if (!m_task->MissingPartOfPiece(piece, &offset, &bytes)) return false;
    // A piece whose missing blocks all wait in memory (or in another peer's
    // answer) has nothing left to ask for.
    const int64_t start = int64_t{piece} * m_task->PeerPieceLength();
    bool needs = false;
    for (int64_t at = start + offset / BlockSize * BlockSize; at < start + offset + bytes && !needs; at += BlockSize) {
        needs = !m_task->HasBlock(static_cast<int32_t>(at / BlockSize));
    }
    if (!needs || QueuedInPiece(piece)) return false;
    // What a web connection of the task asked its server for arrives anyway.
    if (TClaims* claims = m_task->WebClaims(); claims && claims->AboutToBeRead(piece)) return false;
    const bool ours = std::find(m_engaged.begin(), m_engaged.end(), piece) != m_engaged.end();
    if (ours) return true;
    if (only_free && m_task->EngagementCount(piece) > 0) return false;
    if (!m_task->EngagePiece(piece)) return false;
    m_engaged.push_back(piece);
    return true;
}

int32_t TBTPeer::ChooseInRange(int32_t first, int32_t last, int32_t start, bool only_free) {
    if (first > last) return -1;
    const int32_t count = last - first + 1;
    start = std::clamp(start, first, last);
    for (int32_t i = 0; i < count; ++i) {
        const int32_t piece = first + (start - first + i) % count;
        if (IsCandidatePiece(piece, only_free)) return piece;
    }
    return -1;
}

int32_t TBTPeer::ChooseByPriority(bool only_free) {
    std::vector<PeerFileSpan> spans = m_task->FileSpans();
    // A map without files (described by its piece count only) is one file.
    if (spans.empty()) spans.push_back(PeerFileSpan{0, PieceCount() - 1, 0});
    // A P2SP task's web sources read from the front; its peers spread out
    // from random places so they meet the web sources' runs late.
    const bool random_order = !m_task->WebSources().empty();
    const uint32_t tick = platform::TickCount() + static_cast<uint32_t>(m_serial) * 7919u;
    for (int32_t level = 2; level >= -2; --level) {
        std::vector<const PeerFileSpan*> files;
        for (const PeerFileSpan& f : spans) {
            if (std::clamp(f.priority, -2, 2) == level && f.last_piece >= f.first_piece) files.push_back(&f);
        }
        if (files.empty()) continue;
        const size_t first_file = tick % files.size();
        for (size_t i = 0; i < files.size(); ++i) {
            const PeerFileSpan& f = *files[(first_file + i) % files.size()];
            if (m_last_have >= f.first_piece && m_last_have <= f.last_piece && IsCandidatePiece(m_last_have, only_free)) {
                const int32_t piece = m_last_have;
                m_last_have = -1;
                return piece;
            }
            const int32_t span = f.last_piece - f.first_piece + 1;
            const int32_t start = random_order ? f.first_piece + static_cast<int32_t>((tick / 3) % span) : f.first_piece;
            const int32_t piece = ChooseInRange(f.first_piece, f.last_piece, start, only_free);
            if (piece >= 0) return piece;
        }
    }
    return -1;
}

int32_t TBTPeer::NextPiece() {
    if (!IsConnected() || !m_task->HasPieceMap() || !IsP2PEnabled()) return -1;
    // Waiting for the web claims is no lack of wanted pieces: the choice
    // is tried again on the next fill, not a minute later.
    if (m_task->ReadPosition() < 0 && m_task->PeersWaitForWebClaims()) return -1;
    const bool was_nothing = m_nothing_wanted != 0;
    m_nothing_wanted = 0;
    const int32_t piece = ChoosePiece();
    if (piece >= 0) return piece;
    if (!was_nothing) m_nothing_wanted_time = GetClockSeconds();
    m_nothing_wanted = 1;
    m_nothing_wanted_missing = m_task->PiecesMissing();
    return -1;
}

int32_t TBTPeer::ChoosePiece() {
    // First a piece nobody fetches; only when every missing piece is taken
    // (the end game) one that another peer fetches too.
    const int32_t read_position = m_task->ReadPosition();
    if (read_position >= 0) {
        for (bool only_free : {true, false}) {
            const int32_t piece = ChooseInRange(read_position, PieceCount() - 1, read_position, only_free);
            if (piece >= 0) return piece;
        }
    }
    // The web connections read runs from their fronts; the peers take the
    // runs' tails first, so the two meet instead of fetching the same pieces,
    // and then any piece that no web connection has asked its server for
    // (the web leaves the pieces the peers have to them).
    if (m_task->PeersWaitForWebClaims()) return -1;
    if (TClaims* claims = m_task->WebClaims(); claims && !claims->List().empty()) {
        const int32_t piece = claims->NextPieceForPeer(this, [this](int32_t p) { return RemoteHas(p); });
        if (piece >= 0) {
            if (std::find(m_engaged.begin(), m_engaged.end(), piece) == m_engaged.end()) m_engaged.push_back(piece);
            return piece;
        }
    }
    for (bool only_free : {true, false}) {
        for (int32_t piece : m_task->PartialPieceList()) {
            if (IsCandidatePiece(piece, only_free)) return piece;
        }
        const int32_t piece = ChooseByPriority(only_free);
        if (piece >= 0) return piece;
    }
    return -1;
}

void TBTPeer::SendCancel(const TBlockRequest& r) {
    const int32_t piece_length = m_task->PeerPieceLength();
    if (piece_length <= 0) return;
    const int64_t start = int64_t{r.block} * BlockSize;
    SendBytes(BuildBtRequest(static_cast<int32_t>(BtMessageId::Cancel), static_cast<uint32_t>(start / piece_length),
                             static_cast<uint32_t>(start % piece_length), static_cast<uint32_t>(r.length)));
}

void TBTPeer::CancelSent() {
    for (int32_t i = 0; i < m_sent && i < static_cast<int32_t>(m_requests.size()); ++i) {
        SendCancel(m_requests[static_cast<size_t>(i)]);
    }
    m_sent = 0;
}

void TBTPeer::ReleaseEngaged() {
    if (m_task) {
        for (int32_t piece : m_engaged) m_task->ReleaseEngagedPiece(piece);
    }
    m_engaged.clear();
}

bool TBTPeer::SendFromHead() {
    const bool end_game = m_task->IsEndGame();
    std::erase_if(m_requests, [&](const TBlockRequest& r) {
        return r.block < 0 || r.length < 1 || (end_game && m_task->HasBlock(r.block));
    });
    m_sent = 0;
    return SendRequests();
}

bool TBTPeer::RequestBlocks() {
    if (!IsConnected()) return Fail(BtCloseReason::NotConnected);
    if (Phase() != PeerPhase::Established || m_peer_choking || !m_task->HasPieceMap()) return true;
    if (m_task->IsDownloadCompleteForPeers()) {
        if (!m_requests.empty()) {
            CancelSent();
            m_task->ReturnBlocks(m_requests);
            m_requests.clear();
            m_no_data_checks = 0;
        }
        ReleaseEngaged();
        return true;
    }
    const int64_t now = GetClockSeconds();
    const int32_t rate_blocks = std::min(PipelineRate() / BlockSize, MaxRequestsAhead);
    const size_t wanted = static_cast<size_t>(std::max(2 * rate_blocks, 2));
    // "Nothing wanted" was a verdict on the task as it stood. Once a piece
    // completes it may be stale: the pieces this peer had queued itself are
    // done, more peers may share a piece as fewer remain, and in the last
    // seconds the blocks still queued at a slow remote are exactly what a
    // fast one should fetch too. A seeder sends no HAVE to clear the verdict,
    // so waiting out the retry time would leave a fast remote idle.
    const bool stale_verdict = m_nothing_wanted && m_task->PiecesMissing() != m_nothing_wanted_missing;
    const bool may_choose = !m_nothing_wanted || stale_verdict || now - m_last_choice_time > ChoiceRetryS;
    // Blocks other peers gave back (choked, snubbed, gone) come first, even
    // when the last choice found nothing: they are what the task lacks.
    if (m_requests.size() < wanted && m_pieces_now > 0) {
        m_task->TakeReturnedBlocksFor(m_requests, m_remote_bits, 2 + 2 * rate_blocks);
    }
    if (may_choose && m_requests.size() < wanted && m_pieces_now > 0) {
        m_last_choice_time = now;
        for (int i = 0; i < PiecesPerFill && m_requests.size() < wanted; ++i) {
            const size_t queued = m_requests.size();
            const size_t engaged = m_engaged.size();
            TPeerObject::RequestBlocks();
            if (m_requests.size() > queued) continue;
            // Chosen but nothing to ask for: the piece is free again.
            while (m_engaged.size() > engaged) {
                m_task->ReleaseEngagedPiece(m_engaged.back());
                m_engaged.pop_back();
            }
            break;
        }
    }
    if (m_sent == 0 && !m_requests.empty()) {
        m_no_data_checks = 0;
        return SendFromHead();
    }
    return true;
}

void TBTPeer::OfferSlowRequests() {
    // Blocks the task's reader waits for (and those just behind) should not
    // hang on one slow peer: an old request there is offered to the others
    // through the returned-block pool, and whoever answers first serves it.
    const int32_t read_position = m_task->ReadPosition();
    const int32_t piece_length = m_task->PeerPieceLength();
    if (read_position < 0 || piece_length <= 0) return;
    constexpr int64_t WindowBytes = 8388608;
    const int32_t window = static_cast<int32_t>(WindowBytes / piece_length);
    const int32_t now = static_cast<int32_t>(GetClockSeconds());
    std::vector<TBlockRequest> offered;
    for (TBlockRequest& r : m_requests) {
        const int32_t piece = static_cast<int32_t>(int64_t{r.block} * BlockSize / piece_length);
        if (piece < read_position || piece > read_position + window || now - r.time <= SlowRequestS) continue;
        if (m_task->IsBlockReturned(r.block)) continue;
        r.time = now;
        offered.push_back(r);
    }
    if (!offered.empty()) m_task->ReturnBlocks(offered);
}

void TBTPeer::CheckRequests() {
    if (!IsActive() || !m_task->HasPieceMap()) return;
    // Requests whose blocks arrived from elsewhere (end game, a web source)
    // are withdrawn.
    for (size_t i = 0; i < m_requests.size();) {
        if (!m_task->HasBlock(m_requests[i].block)) {
            ++i;
            continue;
        }
        if (static_cast<int32_t>(i) < m_sent) {
            SendCancel(m_requests[i]);
            --m_sent;
        }
        m_requests.erase(m_requests.begin() + static_cast<std::ptrdiff_t>(i));
    }
    OfferSlowRequests();
    std::erase_if(m_engaged, [&](int32_t piece) {
        int32_t offset = 0;
        int32_t bytes = 0;
        return !m_task->MissingPartOfPiece(piece, &offset, &bytes);
    });
    // Snubbing: unchoked, asked, and nothing arrives.
    const int64_t received = m_socket->ReceivedTotal();
    if (!m_peer_choking && !m_requests.empty() && received == m_received_at_check) {
        if (++m_no_data_checks >= SnubChecks) {
            m_no_data_checks = 0;
            LogFormat(PeerLogLevel, "BT peer %s snubs us: %d requests go back", m_socket->PeerText().c_str(),
                      static_cast<int>(m_requests.size()));
            if (m_task->PiecesMissing() <= 2) {
                m_close_requested = true;
            } else {
                CancelSent();
                m_task->ReturnBlocks(m_requests);
                m_requests.clear();
                ReleaseEngaged();
            }
        }
    } else if (received != m_received_at_check) {
        m_no_data_checks = 0;
    }
    m_received_at_check = received;
}

bool TBTPeer::ServeUploads() {
    if (!IsConnected()) return Fail(BtCloseReason::NotConnected);
    const int32_t piece_length = m_task->PeerPieceLength();
    if (piece_length < 1 || Phase() != PeerPhase::Established || m_we_choke || m_uploads.empty() ||
        m_socket->SendCount() > 0 || !m_task->HasPieceMap()) {
        return true;
    }
    const int64_t allowance = m_task->RemainingUpload();
    if (allowance == 0) return true;
    const int32_t units = UploadRate() / 65536;
    int64_t budget = std::max(units > 1 ? int64_t{units - 1} * BlockSize : int64_t{BlockSize}, int64_t{MinUploadBudget});
    if (m_task->IsDownloadCompleteForPeers()) budget += BlockSize;
    budget = std::min(budget, allowance);
    std::vector<uint8_t> block(static_cast<size_t>(BlockSize));
    int64_t sum = 0;
    int64_t served = 0;
    while (!m_uploads.empty()) {
        const TBlockRequest r = m_uploads.front();
        if (r.block < 0 || r.length < 1 || r.length > piece_length || r.length > BlockSize) {
            m_uploads.erase(m_uploads.begin());
            continue;
        }
        sum += r.length;
        if (sum > budget && served > 0) break;
        const int64_t start = int64_t{r.block} * BlockSize;
        const uint32_t piece = static_cast<uint32_t>(start / piece_length);
        // A remote asks for a piece block by block: a read from disk brings in
        // the rest it asked for of the piece too, so the piece is read once
        // rather than a few blocks at a time.
        int32_t ahead = 0;
        for (const TBlockRequest& u : m_uploads) {
            if (u.block != r.block && int64_t{u.block} * BlockSize / piece_length == piece) ahead += u.length;
        }
        const int32_t got = m_task->ReadUploadBlock(r.block, r.length, block.data(), ahead);
        if (got == r.length) {
            std::string out = BuildBtPieceHeader(piece, static_cast<uint32_t>(start % piece_length),
                                                 static_cast<uint32_t>(got));
            out.append(reinterpret_cast<const char*>(block.data()), static_cast<size_t>(got));
            if (!SendBytes(out)) return Fail(BtCloseReason::ConnectionLost);
            m_uploads.erase(m_uploads.begin());
            served += got;
            m_uploaded += got;
        } else if (got == 0) {
            break;  // still on its way to the disk: the next call tries again
        } else {
            SendBytes(BuildBtPieceNotAvailable(piece));
            std::erase_if(m_uploads, [&](const TBlockRequest& u) {
                return int64_t{u.block} * BlockSize / piece_length == int64_t{piece};
            });
        }
        if (sum >= budget) break;
    }
    if (m_socket->SendCount() > 0) m_task->NoteOutputPending();
    return true;
}

bool TBTPeer::FlushOutput() {
    if (!IsConnected()) return Fail(BtCloseReason::NotConnected);
    const size_t waiting = m_socket->SendCount();
    if (UploadRate() < SlowUploadBps && waiting > FlushSlack && (++m_flush_calls & 1) != 0) return true;
    if (waiting == 0 || !m_socket->IsEstablished()) return true;
    const int64_t allowance = m_task->RemainingUpload();
    if (allowance / 2 == 0) return true;
    m_socket->SetKeepBuffers(UploadRate() > 262143);
    if (m_socket->Flush() < 0) return Fail(BtCloseReason::ConnectionLost);
    return true;
}

bool TBTPeer::IsUseless() {
    if (!IsP2PEnabled()) return true;
    const int64_t now = GetClockSeconds();
    if (!m_socket || now - m_stats.connect_time <= UselessAfterS) return false;
    if (m_task->IsDownloadCompleteForPeers()) {
        return UploadRate() == 0 && m_socket->AverageSendRate(now) <= UselessRateBps;
    }
    return DownloadRate() == 0 && m_socket->AverageReceiveRate(now) <= UselessRateBps;
}

void TBTPeer::QueueHaves(const std::vector<uint32_t>& pieces) {
    if (!IsActive()) return;
    std::string out;
    for (uint32_t piece : pieces) out += BuildBtHave(piece);
    SendBytes(out);
}

}  // namespace engine
