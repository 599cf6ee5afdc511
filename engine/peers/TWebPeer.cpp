#include "engine/peers/TWebPeer.h"

#include "engine/peers/TPeerTask.h"
#include "engine/peers/TClaims.h"

namespace engine {

TClaims* TWebPeer::Claims() const { return m_task ? m_task->WebClaims() : nullptr; }

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

}  // namespace engine
