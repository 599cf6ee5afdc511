#include "engine/frame/TWorkWithPeers.h"

#include <algorithm>

namespace engine {

void TWorkWithPeers::SetConnectionLimits(int32_t web_limit, int32_t bt_limit) {
    QTMutexLocker lock(ObjectLock());
    m_web_limit = web_limit;
    m_bt_limit = bt_limit;
}

int32_t TWorkWithPeers::WebLimit() {
    QTMutexLocker lock(ObjectLock());
    return m_web_limit;
}

int32_t TWorkWithPeers::BtLimit() {
    QTMutexLocker lock(ObjectLock());
    return m_bt_limit;
}

void TWorkWithPeers::ReturnPeerToPool(std::unique_ptr<TPoolablePeer> peer) {
    if (peer) m_peer_pool.push_back(std::move(peer));
}

std::unique_ptr<TPoolablePeer> TWorkWithPeers::TakePooledPeer(int kind) {
    auto it = std::find_if(m_peer_pool.begin(), m_peer_pool.end(),
                           [&](const std::unique_ptr<TPoolablePeer>& p) { return p->Kind() == kind; });
    if (it == m_peer_pool.end()) return nullptr;
    std::unique_ptr<TPoolablePeer> peer = std::move(*it);
    m_peer_pool.erase(it);
    return peer;
}

std::unique_ptr<TPoolablePeer> TWorkWithPeers::NewPeer(int kind) {
    if (!m_peer_factory) return nullptr;
    return m_peer_factory(kind);
}

}  // namespace engine
