// The UDP server's dispatch of received datagrams and its side of the
// rendezvous protocol: PING / PING_REPLY, REGISTER, the LOOKUP batch and its
// reply, CALL_ME and the punch list. Everything here runs with the server
// lock held.

#include <algorithm>

#include "engine/net/TSourceInfo.h"
#include "engine/udp/QUInternalServer.h"

namespace engine {

namespace {

// At most this many callers are punched towards at once; a CALL_ME beyond
// that still gets its first PUNCH, just no repeats.
constexpr size_t PunchListLimit = 512;
// Each caller gets a PUNCH at once and one in each of the next two
// maintenance passes: an entry is removed once it was sent with a count
// above 1.
constexpr uint32_t PunchRepeatsAbove = 1;
// The pending LOOKUP ids are forgotten wholesale beyond this many (replies
// that never came).
constexpr size_t PendingLookupLimit = 2048;

bool ValidEndpoint(uint32_t address, uint32_t port) {
    return address != 0 && address != NoAddress && port >= 1 && port <= 65535;
}

}  // namespace

void QUInternalServer::DispatchLocked(size_t size, uint32_t address, uint16_t port) {
    const uint8_t* data = m_receive_buffer.data();
    const bool from_server = address == m_server_address;
    switch (ClassifyDatagram(data, size, from_server, IdentityNodeId(m_identity))) {
        case QUDatagramKind::PingReply: OnPingReplyLocked(data, size); break;
        case QUDatagramKind::CallMe:
            if (from_server && IsBehindNatLocked()) OnCallMeLocked(data, size);
            break;
        case QUDatagramKind::Punch: OnPunchLocked(data, size, address, port); break;
        case QUDatagramKind::StreamPacket:
            if (m_streams) m_streams->OnStreamPacket(data, size, address, port);
            break;
        case QUDatagramKind::LookupReply: OnLookupReplyLocked(data, size); break;
        case QUDatagramKind::Bencoded:
        case QUDatagramKind::Dropped: break;
    }
}

void QUInternalServer::OnPingReplyLocked(const uint8_t* data, size_t size) {
    const std::optional<QUPingReply> reply = ParsePingReply(data, size);
    if (!reply) return;
    m_server_answered = true;
    if (reply->address != 0 && reply->address != NoAddress) m_public_address = reply->address;
    m_public_port = reply->port;
}

void QUInternalServer::SendRegisterLocked() {
    QURequestHead head;
    head.identity = m_identity;
    head.request_id = ++m_request_counter;
    head.local_address = m_local_address;
    head.local_port = static_cast<uint32_t>(m_local_port);
    SendToServerLocked(BuildRegister(head));
    m_server_answered = false;
}

void QUInternalServer::SendPingLocked() { SendToServerLocked(BuildPing()); }

uint32_t QUInternalServer::AddLookupEntry(uint32_t address, const QUNodeId& target) {
    QTMutexLocker lock(m_server_lock);
    if (m_lookup_batch.size() >= LookupMaxSize) FlushLookupBatchLocked();
    if (m_lookup_batch.empty()) {
        QURequestHead head;
        head.identity = m_identity;
        head.request_id = ++m_request_counter;
        head.local_address = m_local_address;
        head.local_port = static_cast<uint32_t>(m_local_port);
        if (m_pending_lookups.size() > PendingLookupLimit) m_pending_lookups.clear();
        m_pending_lookups.push_back(head.request_id);
        m_lookup_batch = BuildLookupHead(head);
        m_lookup_batch_id = head.request_id;
    }
    AppendLookupEntry(m_lookup_batch, QULookupEntry{address, target});
    return m_lookup_batch_id;
}

void QUInternalServer::FlushLookupBatchLocked() {
    if (m_lookup_batch.empty()) return;
    SendToServerLocked(m_lookup_batch);
    m_lookup_batch.clear();
}

void QUInternalServer::OnLookupReplyLocked(const uint8_t* data, size_t size) {
    const std::optional<QULookupReply> reply = ParseLookupReply(data, size);
    if (!reply || reply->identity != m_identity) return;
    auto pending = std::find(m_pending_lookups.begin(), m_pending_lookups.end(), reply->request_id);
    if (pending == m_pending_lookups.end()) return;
    m_pending_lookups.erase(pending);
    // A count the datagram cannot hold makes the whole reply suspect; the
    // streams waiting for it ask again from their maintenance pass.
    if (!reply->entries_valid) return;
    ResolveEntriesLocked(reply->entries);
    if (m_streams) m_streams->OnLookupFinished(reply->request_id);
}

void QUInternalServer::ResolveEntriesLocked(const std::vector<QULookupReplyEntry>& entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
        const QULookupReplyEntry& entry = entries[i];
        if (entry.port != NotRegisteredPort || !IsPlaceholderId(entry.node_id)) {
            ResolvedLocked(entry.node_id, entry);
            continue;
        }
        // An unregistered placeholder stands for the entry after it, which
        // names the real node behind that address and port.
        if (i + 1 >= entries.size()) return;
        const QULookupReplyEntry& next = entries[i + 1];
        if (next.port == NotRegisteredPort && IsPlaceholderId(next.node_id)) continue;
        ResolvedLocked(entry.node_id, next);
        ++i;
    }
}

void QUInternalServer::ResolvedLocked(const QUNodeId& target, const QULookupReplyEntry& entry) {
    // A node that is not registered (port 0xFFFFFFFF) or an entry without a
    // usable endpoint resolves nothing: its streams end with the reply
    // instead of sending CONNECT to a port that does not exist.
    if (!ValidEndpoint(entry.address, entry.port) || !m_streams) return;
    m_streams->OnLookupResolved(target, entry.node_id, entry.address, static_cast<uint16_t>(entry.port));
}

void QUInternalServer::OnCallMeLocked(const uint8_t* data, size_t size) {
    const std::optional<QUCallMe> call = ParseCallMe(data, size);
    if (!call || !ValidEndpoint(call->address, call->port)) return;
    const auto port = static_cast<uint16_t>(call->port);
    for (PunchEntry& entry : m_punch_list) {
        if (entry.address == call->address && entry.port == port) {
            entry.caller = call->caller;
            entry.sends = 1;
            return;
        }
    }
    const PunchEntry entry{call->caller, call->address, port, 1};
    SendPunchLocked(entry);
    if (m_punch_list.size() < PunchListLimit) m_punch_list.push_back(entry);
}

QUSendStatus QUInternalServer::SendPunchLocked(const PunchEntry& entry) {
    QUPunch punch;
    punch.receiver = entry.caller;
    punch.sender_local_port = static_cast<uint16_t>(m_local_port);
    punch.sender = m_identity;
    const std::vector<uint8_t> bytes = BuildPunch(punch);
    return Send(bytes.data(), bytes.size(), entry.address, entry.port);
}

void QUInternalServer::PunchListPassLocked() {
    for (size_t i = 0; i < m_punch_list.size();) {
        if (SendPunchLocked(m_punch_list[i]) == QUSendStatus::WouldBlock) return;
        const bool done = m_punch_list[i].sends > PunchRepeatsAbove;
        ++m_punch_list[i].sends;
        if (done) {
            m_punch_list.erase(m_punch_list.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
}

void QUInternalServer::ForgetPunchEntries(uint32_t address, uint16_t port) {
    QTMutexLocker lock(m_server_lock);
    std::erase_if(m_punch_list, [&](const PunchEntry& e) { return e.address == address && e.port == port; });
}

void QUInternalServer::OnPunchLocked(const uint8_t* data, size_t size, uint32_t address, uint16_t port) {
    const std::optional<QUPunch> punch = ParsePunch(data, size);
    if (punch && m_streams) m_streams->OnPunch(*punch, address, port);
}

}  // namespace engine
