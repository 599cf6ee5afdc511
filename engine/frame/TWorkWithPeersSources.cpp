// The peer set's sources from lists (the task's web-source list, the saved
// list, the address-source lists), pending name resolution, address
// expansion, and the incoming connections offered to the task. Work thread.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "engine/base/CTidewellLog.h"
#include "engine/frame/EngineApi.h"
#include "engine/net/QSocketCalls.h"
#include "engine/net/QTcpSocket.h"
#include "engine/net/SourceUrl.h"
#include "engine/frame/SharedServices.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TPeerObject.h"
#include "engine/frame/TWorkWithPeers.h"
#include "engine/udp/QUInternalServer.h"
#include "engine/udp/QUService.h"

namespace engine {

namespace {

// Scores of sources from lists: web sources above BitTorrent peers (19), an
// FTP copy of a host's further address just below an HTTP one.
constexpr int32_t ListedSourceScore = 29;
constexpr int32_t FtpExpansionScore = 28;
// A BitTorrent handshake: length byte, protocol name, 8 reserved bytes, the
// info hash (bytes 28..47) and the peer id (bytes 48..67).
constexpr char ProtocolName[] = "BitTorrent protocol";
constexpr size_t ProtocolLength = 19;
constexpr size_t InfoHashOffset = 28;
constexpr size_t PeerIdOffset = 48;
constexpr size_t HandshakeLength = 68;
// Incoming connections beyond the ceiling a task still takes.
constexpr int32_t IncomingSlack = 4;

}  // namespace

void TWorkWithPeers::ReportUnresolvedSource() {
    {
        QTMutexLocker lock(ObjectLock());
        // Once per run: the status already says so.
        if (m_live.code == TW_STATE_HOST_UNRESOLVED) return;
        m_live.code = TW_STATE_HOST_UNRESOLVED;
        m_published = m_live;
    }
}

bool TWorkWithPeers::ParseNewSource(const std::string& url, TPeerId& c) {
    c.m_url = url;
    if (c.ParseUrl()) return true;
    if (c.m_resolve_failed) ReportUnresolvedSource();
    return false;
}

bool TWorkWithPeers::AddParsedSource(TPeerId& c, bool now) {
    c.m_score = ListedSourceScore;
    if (!AddCandidate(c, false, false)) return false;
    if (!now) return true;
    for (TPeerId* stored : m_candidates) {
        if (stored->IsWebSource() && strcasecmp(stored->m_url.c_str(), c.m_url.c_str()) == 0 &&
            stored->m_address == c.m_address && stored->m_in_use < stored->m_max_connections) {
            return ConnectNow(stored);
        }
    }
    return true;
}

void TWorkWithPeers::AddSourceUrls() {
    const std::vector<WebSource>& sources = WebSources();
    const bool fill_saved = m_saved_sources.empty();
    for (size_t i = sources.size(); i-- > 0;) {
        const WebSource& entry = sources[i];
        if (entry.mark == SourceMark::InUse || entry.mark == SourceMark::MetainfoInUse) continue;
        if (fill_saved) m_saved_sources.push_back(entry.url);
        TPeerId c;
        const bool metainfo = entry.mark == SourceMark::Metainfo;
        if (!ParseNewSource(entry.url, c)) {
            // A dead name is not looked up again every 15 seconds of this
            // run (each lookup can hold the work thread for 3 seconds).
            if (c.m_resolve_failed) SetWebSourceMark(i, metainfo ? SourceMark::MetainfoInUse : SourceMark::InUse);
            continue;
        }
        if (metainfo) {
            c.Info().whole_body = 1;
            c.m_origin = 1;
            SetWebSourceMark(i, SourceMark::MetainfoInUse);
        } else {
            SetWebSourceMark(i, SourceMark::InUse);
        }
        AddParsedSource(c, false);
    }
    ExpandAddresses();
}

void TWorkWithPeers::ReAddSavedSources(bool now) {
    for (const std::string& url : m_saved_sources) {
        TPeerId c;
        if (ParseNewSource(url, c)) AddParsedSource(c, now);
    }
    ExpandAddresses();
}

void TWorkWithPeers::AddRandomSources(int count, bool now) {
    std::vector<std::string> urls = IpSourceUrls();
    std::vector<std::string> hosts = IpSourceHosts();
    if (urls.empty() || count <= 0) return;
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    int added = 0;
    for (int tries = 0; tries < 2 * count && added < count; ++tries) {
        const size_t pick = static_cast<size_t>(std::rand()) % urls.size();
        TPeerId c;
        if (!ParseNewSource(urls[pick], c)) continue;
        if (!hosts.empty()) {
            const std::string& host = hosts[std::min(pick, hosts.size() - 1)];
            if (host != "null") c.Info().host = host;
        }
        if (AddParsedSource(c, now)) ++added;
    }
    ExpandAddresses();
}

void TWorkWithPeers::ResolvePending() {
    std::vector<TPeerId*> pending;
    for (TPeerId* c : m_candidates) {
        if (!c->m_has_address) pending.push_back(c);
    }
    for (TPeerId* c : pending) {
        if (c->ParseUrl()) continue;
        if (c->m_resolve_failed) ReportUnresolvedSource();
        RemoveCandidate(c);
    }
    ExpandAddresses();
}

void TWorkWithPeers::ExpandAddresses() {
    std::vector<TPeerId> copies;
    for (TPeerId* c : m_candidates) {
        const TSourceInfo* info = c->InfoIfAny();
        if (!c->IsWebSource() || !c->m_has_address || !info || info->addresses.empty()) continue;
        for (uint32_t address : info->addresses) {
            if (address == c->m_address) continue;
            TPeerId copy(*c);
            copy.m_address = address;
            copy.m_score = c->m_kind == PeerKindFtp ? FtpExpansionScore : ListedSourceScore;
            // The copy stands for one address; it is not expanded again.
            copy.Info().addresses.clear();
            copies.push_back(std::move(copy));
        }
    }
    for (const TPeerId& copy : copies) AddCandidate(copy, false, false);
}

bool TWorkWithPeers::IsOwnHandshake(QTcpSocket& socket) {
    static const std::array<uint8_t, 20> none{};
    if (m_info_hash == none) return false;
    SkipHttpPreamble(socket);
    const uint8_t* data = socket.ReceiveData();
    const size_t size = socket.ReceiveCount();
    if (!data || size <= InfoHashOffset + 20 - 1) return false;
    if (data[0] != ProtocolLength || std::memcmp(data + 1, ProtocolName, ProtocolLength) != 0) return false;
    return std::memcmp(data + InfoHashOffset, m_info_hash.data(), 20) == 0;
}

bool TWorkWithPeers::OfferIncoming(std::unique_ptr<QTcpSocket>& socket) {
    if (!socket) return false;
    const int32_t ceiling = PeerCeiling();
    int32_t incoming = 0;
    for (TPeerObject* peer : m_active) {
        if (peer->IsActive() && peer->IsIncoming()) ++incoming;
    }
    if (static_cast<int32_t>(m_active.size()) >= ceiling + IncomingSlack && incoming >= ceiling) return false;
    return AcceptIncoming(socket);
}

bool TWorkWithPeers::AcceptIncoming(std::unique_ptr<QTcpSocket>& socket) {
    if (!socket) return false;
    if (socket->ReceiveCount() >= HandshakeLength) {
        const uint8_t* data = socket->ReceiveData();
        std::array<uint8_t, 20> remote{};
        std::memcpy(remote.data(), data + PeerIdOffset, 20);
        // A plain HTTP task takes no BitTorrent peers at all.
        if (IsPlainHttp() || IsOwnPeerId(remote)) return false;
        // Streams are for nodes that TCP does not reach; once it does, or
        // while the UDP server knows no public address, none is taken.
        if (socket->IsUdpStream() && !UsesUdpStreams()) return false;
        for (TPeerObject* peer : m_active) {
            if (!peer->IsActive() || !peer->IsIncoming()) continue;
            TPeerId* c = peer->Candidate();
            if (c && peer->Socket()->RemoteAddress() == socket->RemoteAddress() && c->m_peer_id == remote) {
                return false;
            }
        }
    }
    // Only a peer reaching us over TCP shows that TCP is reachable; an
    // incoming stream must not switch the streams off.
    if (!socket->IsUdpStream()) MarkIncomingSeen();
    TPeerObject* peer = CreatePeer(PeerKindBt);
    if (!peer) return false;
    if (!peer->AcceptSocket(std::move(socket)) || !peer->BeginExchange()) {
        ReleasePeer(peer);
        return false;
    }
    peer->SetSerial(m_live_peers + 1);
    m_active.push_back(peer);
    return true;
}

uint32_t TWorkWithPeers::ListenerAddress() { return engine::ListenerAddress(); }

int32_t TWorkWithPeers::ListenerPort() { return engine::ListenerPort(); }

bool TWorkWithPeers::UsesUdpStreams() {
    if (IncomingSeen() || UdpStreamCalls() == nullptr) return false;
    QUInternalServer* server = QUServer();
    return server != nullptr && server->PublicAddress() != 0;
}

}  // namespace engine
