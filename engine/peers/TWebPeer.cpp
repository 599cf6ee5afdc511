#include "engine/peers/TWebPeer.h"

#include <algorithm>

#include "engine/base/EngineClock.h"
#include "engine/net/QTcpSocket.h"
#include "engine/peers/TClaims.h"
#include "engine/peers/TPeerTask.h"

namespace engine {

namespace {

// Below this rate a connection gets twice the time before it counts as
// stalled: a slow server is still a server.
constexpr int32_t SlowRateBps = 2048;

}  // namespace

TClaims* TWebPeer::Claims() const { return m_task ? m_task->WebClaims() : nullptr; }

TSourceInfo& TWebPeer::Info() { return m_candidate->Info(); }

int32_t TWebPeer::NextPiece() {
    TClaims* claims = Claims();
    return claims ? claims->NextPiece(this) : -1;
}

void TWebPeer::ReleaseRange() {
    if (!m_claim) return;
    TClaims* claims = Claims();
    const bool backward = m_claim->backward != 0;
    if (!backward && m_task && !m_requests.empty()) m_task->ReturnBlocks(m_requests);
    m_requests.clear();
    if (claims) {
        claims->ReleaseRange(this);
    } else {
        if (m_claim->owner == this) m_claim->owner = nullptr;
        m_claim = nullptr;
    }
}

bool TWebPeer::ClaimRangeAt(int32_t piece) {
    TClaims* claims = Claims();
    return claims && claims->ClaimRangeAt(this, piece);
}

void TWebPeer::SetClaimCursor(int32_t piece) {
    if (m_claim && piece >= m_claim->first && piece <= m_claim->last) m_claim->cursor = piece;
    m_stats.current_piece = piece;
}

void TWebPeer::CountClaimBlock() {
    if (m_claim) ++m_claim->blocks_received;
}

bool TWebPeer::Punish(bool delay, int32_t cycles) {
    if (m_socket) m_socket->Close();
    if (m_task && m_candidate) m_task->PenalizeSource(*m_candidate, delay, cycles);
    return false;
}

bool TWebPeer::SourceLengthMatches() {
    if (!m_task || !m_candidate) return true;
    const int64_t total = m_task->TaskTotalBytes();
    const int64_t length = Info().content_length;
    if (total > 0 && length > 0 && total != length) return Punish(true, ErrorPenalty);
    return true;
}

bool TWebPeer::FillRangedRequests(int64_t* skip) {
    if (!m_task) return true;
    if (m_requests.empty()) {
        *skip = 0;
        TPeerObject::RequestBlocks();
        if (m_requests.empty() && m_task->HasPieceMap()) {
            SetState(PeerState::Finished);
            return false;
        }
    }
    TPieceRange* claim = Claim();
    if (claim && claim->cursor >= claim->last && m_task->IsPieceComplete(claim->last)) {
        if (TClaims* claims = Claims()) claims->CloseIfFinished(this);
        *skip = 0;
    }
    return true;
}

bool TWebPeer::StalledSince(int64_t since, int64_t limit_s) {
    const int32_t rate = DownloadRate();
    if (rate >= 1 && rate < SlowRateBps) limit_s *= 2;
    if (GetClockSeconds() - since <= limit_s) return false;
    SetState(PeerState::Stalled);
    ReleaseRange();
    return true;
}

bool TWebPeer::AppendToBody(const uint8_t* data, size_t size) {
    std::string& body = Info().body;
    if (static_cast<int64_t>(body.size() + size) > MaxWholeBody) return false;
    if (body.capacity() - body.size() < 4096) body.reserve(body.size() + size + 4096);
    body.append(reinterpret_cast<const char*>(data), size);
    return true;
}

int32_t TWebPeer::ReadBudget() const {
    const int64_t left = m_task ? m_task->RemainingDownload() : ReadSize;
    if (left <= 0) return 0;
    return static_cast<int32_t>(std::min<int64_t>(ReadSize, std::max<int64_t>(left, BlockSize)));
}

}  // namespace engine
