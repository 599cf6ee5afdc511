#include "engine/peers/TTrackerPeer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineClock.h"
#include "engine/peers/TPeerTask.h"
#include "engine/net/NameResolver.h"
#include "engine/net/QTcpSocket.h"
#include "engine/peers/EnginePeerId.h"
#include "engine/peers/TPeerId.h"

namespace engine {

namespace {

constexpr int32_t TrackerLogLevel = 13;
// Trackers that send the whole swarm still fit: 200 peers as dictionaries are
// well below this.
constexpr size_t HttpReplyReserve = 4096;
// BEP 15 actions.
constexpr int32_t ActionConnect = 0;
constexpr int32_t ActionAnnounce = 1;

// The peer id announced to HTTP trackers: the engine prefix and an MD5 of
// the announce address, the thread pseudo-handle, the task, the clock and
// the local address.
std::array<uint8_t, 20> AnnouncePeerId(const std::string& announce, const void* task) {
    const std::string seed = EnginePeerIdSeed(announce, static_cast<int64_t>(reinterpret_cast<intptr_t>(task)),
                                              GetClockSeconds(), LocalAddress());
    const std::array<uint8_t, 16> digest = Md5Digest(seed);
    std::array<uint8_t, 20> id{};
    std::copy(EnginePeerIdPrefix.begin(), EnginePeerIdPrefix.end(), id.begin());
    std::copy(digest.begin(), digest.end(), id.begin() + 4);
    return id;
}

}  // namespace

TTrackerPeer::TTrackerPeer() : TPeerObject(8) {}

TTrackerPeer::~TTrackerPeer() { CloseUdp(); }

bool TTrackerPeer::IsHttpTracker() const { return m_candidate && m_candidate->m_extra == 1; }

bool TTrackerPeer::IsConnected() const {
    return (Phase() != PeerPhase::Idle || State() != PeerState::Idle) && m_socket != nullptr;
}

void TTrackerPeer::ResetState() {
    CloseUdp();
    m_reply_text.clear();
    // A pooled object may be taken for another tracker: the text names this
    // tracker's path and the counts of the moment it was built.
    m_request_text.clear();
    m_last_announce = 0;
    m_event = 2;
    m_last_reply = TrackerReply{};
    m_added = 0;
    TPeerObject::ResetState();
}

void TTrackerPeer::CloseUdp() {
    if (m_udp != platform::InvalidSocket) platform::CloseSocket(m_udp);
    m_udp = platform::InvalidSocket;
}

bool TTrackerPeer::ConnectTo(TPeerId* candidate) {
    if (!TPeerObject::ConnectTo(candidate)) return false;
    m_request_text.clear();
    m_last_activity = GetClockSeconds();
    if (IsHttpTracker()) {
        if (!m_socket->Connect(candidate->m_address, candidate->m_port, false, m_task->ListenerAddress())) return false;
        SetPhase(PeerPhase::Established);
        SetState(PeerState::Requesting);
        return true;
    }
    m_connect_transaction = static_cast<uint32_t>(GetClockSeconds());
    const std::string request = BuildUdpConnectRequest(m_connect_transaction);
    CloseUdp();
    m_udp = platform::CreateUdpSocket();
    if (m_udp == platform::InvalidSocket || !platform::SetNonBlocking(m_udp, true)) return false;
    // Announce from the address the listener is on, so the tracker hands that
    // address to the other peers.
    if (m_task->ListenerAddress() != 0) platform::Bind(m_udp, platform::SocketAddress{m_task->ListenerAddress(), 0});
    const platform::SocketAddress to{candidate->m_address, static_cast<uint16_t>(candidate->m_port)};
    if (platform::SendTo(m_udp, request.data(), request.size(), to) < 0) return false;
    SetState(PeerState::Requesting);
    return true;
}

bool TTrackerPeer::RequestBlocks() {
    m_last_activity = GetClockSeconds();
    if ((Phase() == PeerPhase::Idle && State() == PeerState::Idle) || State() == PeerState::Finished) return false;
    if (Phase() != PeerPhase::Established) return true;
    const int64_t now = GetClockSeconds();
    if (m_last_announce != 0 && now - m_last_announce < RepeatAfterS) return true;
    if (IsHttpTracker() && !m_socket->IsEstablished()) return true;
    const bool sent = IsHttpTracker() ? SendHttpAnnounce() : SendUdpAnnounce();
    if (sent) m_last_announce = now;
    return sent;
}

uint64_t TTrackerPeer::BytesLeft() {
    if (!m_task) return 0;
    // The piece layer's own counters: the live status block receives them
    // only at a publication, so at the first announce it may still say 0.
    const PieceCounters counters = m_task->Counters();
    return counters.total_bytes - std::min(counters.downloaded_bytes, counters.total_bytes);
}

bool TTrackerPeer::SendHttpAnnounce() {
    const TSourceInfo& info = m_candidate->Info();
    if (m_request_text.empty()) {
        HttpAnnounceParams p;
        p.path = info.path;
        p.info_hash = m_task->InfoHash();
        p.peer_id = AnnouncePeerId(m_candidate->m_url, m_task);
        p.port = m_task->ListenerPort();
        // Totals of the session: the counters of the current second are
        // all but always 0 when an announce goes out.
        p.uploaded = m_task->SessionSentBytes();
        p.downloaded = m_task->SessionReceivedBytes();
        p.left = BytesLeft();
        p.event = m_event;
        m_request_text = BuildHttpAnnounceText(p);
    }
    m_reply_text.clear();
    m_reply_text.reserve(HttpReplyReserve);
    const std::string request = BuildHttpAnnounceRequest(m_request_text, info.host, m_candidate->m_port);
    return m_socket->Send(request) >= 0;
}

bool TTrackerPeer::SendUdpAnnounce() {
    UdpAnnounceParams p;
    p.connection_id = m_connection_id;
    m_announce_transaction = static_cast<uint32_t>(GetClockSeconds() + 1);
    p.transaction = m_announce_transaction;
    p.info_hash = m_task->InfoHash();
    p.peer_id = m_task->OwnPeerId();
    p.uploaded = m_task->SessionSentBytes();
    p.downloaded = m_task->SessionReceivedBytes();
    p.left = BytesLeft();
    p.event = m_event;
    p.address = m_task->ListenerAddress();
    p.port = m_task->ListenerPort();
    const std::string datagram = BuildUdpAnnounce(p);
    const platform::SocketAddress to{m_candidate->m_address, static_cast<uint16_t>(m_candidate->m_port)};
    // A datagram the kernel cannot take now is simply sent again in 11 s.
    platform::SendTo(m_udp, datagram.data(), datagram.size(), to);
    return true;
}

bool TTrackerPeer::ReadInput() {
    m_last_activity = GetClockSeconds();
    if (Phase() == PeerPhase::Idle && State() == PeerState::Finished) return false;
    return IsHttpTracker() ? ReadHttpReply() : ReadUdpReply();
}

bool TTrackerPeer::ReadHttpReply() {
    if (!m_socket) return false;
    if (!m_socket->IsEstablished()) return m_socket->IsOpen();
    if (m_socket->Receive() < 0) {
        LogFormat(TrackerLogLevel, "Tracker %s closed before its reply", m_candidate->m_url.c_str());
        return false;
    }
    if (m_socket->ReceiveCount() == 0 || Phase() != PeerPhase::Established) return true;
    HttpTrackerResult result = ExamineHttpTrackerReply(m_socket->ReceiveData(), m_socket->ReceiveCount());
    if (result.status != HttpTrackerStatus::Complete) return true;
    m_reply_text.assign(reinterpret_cast<const char*>(m_socket->ReceiveData()), result.consumed);
    m_socket->Consume(static_cast<int64_t>(result.consumed), false);
    TakeReply(result.reply);
    if (result.reply.is_dictionary) {
        m_task->SetTrackerFigures(result.reply.interval_s, result.reply.done_peers, result.reply.num_completed);
    }
    SetState(PeerState::Finished);
    return true;
}

bool TTrackerPeer::ReadUdpReply() {
    if (m_udp == platform::InvalidSocket) return true;
    std::vector<uint8_t> buffer(UdpReceiveSize);
    for (int datagrams = 0; datagrams < 4; ++datagrams) {
        platform::SocketAddress from;
        const int64_t got = platform::RecvFrom(m_udp, buffer.data(), buffer.size(), &from);
        if (got <= 0) break;
        if (from.ip != m_candidate->m_address) continue;
        m_reply_text.assign(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(got));
        UdpTrackerReply reply = ParseUdpTrackerReply(buffer.data(), static_cast<size_t>(got));
        if (!reply.valid) continue;
        if (reply.action == ActionConnect && State() == PeerState::Requesting && Phase() != PeerPhase::Established &&
            reply.transaction == m_connect_transaction) {
            m_connection_id = reply.connection_id;
            SetPhase(PeerPhase::Established);
        } else if (reply.action == ActionAnnounce && Phase() == PeerPhase::Established &&
                   reply.transaction == m_announce_transaction) {
            TrackerReply taken;
            taken.is_dictionary = true;
            taken.peers = std::move(reply.peers);
            TakeReply(taken);
            SetState(PeerState::Finished);
            break;
        }
    }
    return true;
}

bool TTrackerPeer::FlushOutput() {
    if (m_socket && m_socket->SendCount() > 0) m_socket->Flush();
    return true;
}

void TTrackerPeer::TakeReply(const TrackerReply& reply) {
    m_last_reply = reply;
    if (!reply.failure_reason.empty()) {
        LogFormat(TrackerLogLevel, "Tracker %s: %s", m_candidate->m_url.c_str(), reply.failure_reason.c_str());
    }
    const auto added_before = m_added;
    for (const TrackerPeerEntry& entry : reply.peers) {
        TPeerId candidate;
        candidate.m_kind = 1;
        candidate.m_address = entry.address;
        candidate.m_port = entry.port;
        candidate.m_peer_id = entry.peer_id;
        candidate.m_has_address = 1;
        candidate.m_max_connections = 1;
        if (candidate.IsValid() && m_task->AddCandidate(candidate, false, false)) ++m_added;
    }
    if (m_added != added_before) m_task->NoteNewBtCandidates();
    LogFormat(TrackerLogLevel, "Tracker %s: %d peers, %d new", m_candidate->m_url.c_str(),
              static_cast<int>(reply.peers.size()), static_cast<int>(m_added));
}

}  // namespace engine
