#include "engine/udp/LanDiscovery.h"

#include <algorithm>
#include <map>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineLocks.h"
#include "platform/Socket.h"

namespace engine {

namespace {

// A message for a task that never looks (its torrent is not served here after
// all) goes after 30 seconds: three announcement periods.
constexpr int64_t PendingAgeS = 30;
// Every sender may park one message; a flood of made-up peer ids would grow
// the list without end, so it holds at most this many and drops the rest.
constexpr size_t PendingLimit = 64;
// A step reads at most this many datagrams, so a flood cannot hold a task's
// thread; the rest wait for the next step (or another task's).
constexpr int ReadsPerStep = 256;
// An announcement goes out twice: multicast is unreliable and the second copy
// is cheap.
constexpr int AnnouncementCopies = 2;
// TTL 1 keeps the datagrams on the local link.
constexpr int MulticastTtl = 1;

using PeerIdBytes = std::array<uint8_t, 20>;

struct PendingMessage {
    LanMessage message;
    int64_t arrived_s = 0;
    std::vector<const void*> seen_by;
};

// All guarded by the WorkListMutex.
struct Endpoint {
    LanEndpointSettings settings;
    platform::SocketHandle socket = platform::InvalidSocket;
    uint32_t group = 0;
    uint32_t interface_address = 0;
    // Counts the memberships made, so an announcement can tell which one it
    // went out on.
    uint64_t generation = 0;
    std::vector<PendingMessage> pending;
    std::map<const void*, PeerIdBytes> own_peer_ids;
};

Endpoint& E() {
    static Endpoint endpoint;
    return endpoint;
}

uint32_t GroupOf(const LanEndpointSettings& settings) {
    return settings.group != 0 ? settings.group : DefaultLanGroup();
}

void CloseEndpoint() {
    Endpoint& e = E();
    if (e.socket == platform::InvalidSocket) return;
    platform::LeaveMulticastGroup(e.socket, e.group, e.interface_address);
    platform::CloseSocket(e.socket);
    e.socket = platform::InvalidSocket;
}

bool OpenEndpoint(uint32_t interface_address) {
    Endpoint& e = E();
    const uint32_t group = GroupOf(e.settings);
    platform::SocketHandle s = platform::CreateUdpSocket();
    if (s == platform::InvalidSocket) return false;
    // Several processes on one machine share the port: each gets its copy of
    // every datagram sent to the group.
    const bool ok = platform::SetReuseAddress(s, true) &&
                    platform::Bind(s, platform::SocketAddress{0, e.settings.port}) &&
                    platform::JoinMulticastGroup(s, group, interface_address) &&
                    platform::SetMulticastLoop(s, true) && platform::SetMulticastTtl(s, MulticastTtl) &&
                    (interface_address == 0 || platform::SetMulticastInterface(s, interface_address)) &&
                    platform::SetNonBlocking(s, true);
    if (!ok) {
        platform::CloseSocket(s);
        return false;
    }
    e.socket = s;
    e.group = group;
    e.interface_address = interface_address;
    ++e.generation;
    return true;
}

bool SendToGroup(const LanMessage& message) {
    Endpoint& e = E();
    const LanDatagram bytes = BuildLanMessage(message);
    const int64_t sent =
        platform::SendTo(e.socket, bytes.data(), bytes.size(), platform::SocketAddress{e.group, e.settings.port});
    return sent == static_cast<int64_t>(bytes.size());
}

LanMessage OwnMessage(const LanTaskIdentity& self, LanMessageKind kind) {
    LanMessage m;
    m.address = self.address;
    m.port = self.port;
    m.kind = kind;
    m.info_hash = self.info_hash;
    m.peer_id = self.peer_id;
    return m;
}

// Our own datagrams come back (the loop is on): a message is ours when it
// carries our listener's address and a peer id of one of our tasks. The
// address alone is not enough: two engines behind one address would ignore
// each other.
bool IsOwnMessage(const LanMessage& m, const LanTaskIdentity& self) {
    if (m.address != self.address) return false;
    const auto& own = E().own_peer_ids;
    return std::any_of(own.begin(), own.end(), [&](const auto& entry) { return entry.second == m.peer_id; });
}

bool SeenBy(const PendingMessage& p, const void* task) {
    return std::find(p.seen_by.begin(), p.seen_by.end(), task) != p.seen_by.end();
}

void ParkForOthers(const LanMessage& m, const void* task) {
    auto& pending = E().pending;
    const bool known = std::any_of(pending.begin(), pending.end(),
                                   [&](const PendingMessage& p) { return p.message.peer_id == m.peer_id; });
    if (known || pending.size() >= PendingLimit) return;
    pending.push_back(PendingMessage{m, GetClockSeconds(), {task}});
}

// The sender becomes a peer; an announcement is answered so that the sender
// learns about us too. False when the answer could not be sent.
bool Handle(const LanMessage& m, const LanTaskIdentity& self, std::vector<LanMessage>& found) {
    found.push_back(m);
    if (m.kind != LanMessageKind::Announcement) return true;
    return SendToGroup(OwnMessage(self, LanMessageKind::Answer));
}

enum class ReadOutcome { Message, Nothing, Ignored, Failed };

ReadOutcome ReadOne(LanMessage* out) {
    Endpoint& e = E();
    std::vector<platform::PollEntry> poll{{e.socket, true, false, false, false, false}};
    if (platform::PollSockets(poll, 0) <= 0 || !(poll[0].readable || poll[0].failed)) return ReadOutcome::Nothing;
    std::array<uint8_t, LanMessageSize> buffer{};
    platform::SocketAddress from;
    const int64_t got = platform::RecvFrom(e.socket, buffer.data(), buffer.size(), &from);
    if (got < 0) {
        return platform::IsWouldBlock(platform::LastSocketError()) ? ReadOutcome::Nothing : ReadOutcome::Failed;
    }
    std::optional<LanMessage> m = ParseLanMessage(buffer.data(), static_cast<size_t>(got));
    // The address in the message is where we would connect: it must be the
    // sender's own, or anyone could point every node at any host.
    if (!m || m->address != from.ip) return ReadOutcome::Ignored;
    *out = *m;
    return ReadOutcome::Message;
}

// Reads what is waiting; false on a socket error.
bool ReadWaiting(const LanTaskIdentity& self, std::vector<LanMessage>& found) {
    for (int i = 0; i < ReadsPerStep; ++i) {
        LanMessage m;
        const ReadOutcome outcome = ReadOne(&m);
        if (outcome == ReadOutcome::Nothing) return true;
        if (outcome == ReadOutcome::Failed) return false;
        if (outcome == ReadOutcome::Ignored || IsOwnMessage(m, self)) continue;
        if (m.info_hash != self.info_hash) {
            ParkForOthers(m, self.task);
        } else if (!Handle(m, self, found)) {
            return false;
        }
    }
    return true;
}

// Takes the pending messages for this task and drops those everybody saw or
// that waited too long; false when an answer could not be sent.
bool WalkPending(const LanTaskIdentity& self, size_t task_count, std::vector<LanMessage>& found) {
    auto& pending = E().pending;
    const int64_t now = GetClockSeconds();
    bool ok = true;
    std::vector<PendingMessage> keep;
    for (PendingMessage& p : pending) {
        if (!SeenBy(p, self.task)) {
            if (p.message.info_hash == self.info_hash) {
                ok = Handle(p.message, self, found) && ok;
                continue;
            }
            p.seen_by.push_back(self.task);
        }
        if (now - p.arrived_s > PendingAgeS || p.seen_by.size() >= task_count) continue;
        keep.push_back(std::move(p));
    }
    pending = std::move(keep);
    return ok;
}

}  // namespace

uint32_t DefaultLanGroup() { return platform::MakeIpv4(239, 192, 88, 31); }

void SetLanEndpointSettings(const LanEndpointSettings& settings) {
    QTMutexLocker lock(WorkListMutex());
    E().settings = settings;
}

LanEndpointSettings CurrentLanEndpointSettings() {
    QTMutexLocker lock(WorkListMutex());
    return E().settings;
}

bool JoinLanGroup(uint32_t interface_address) {
    QTMutexLocker lock(WorkListMutex());
    if (E().socket != platform::InvalidSocket) return true;
    return OpenEndpoint(interface_address);
}

void LeaveLanGroup() {
    QTMutexLocker lock(WorkListMutex());
    CloseEndpoint();
}

bool IsLanJoined() {
    QTMutexLocker lock(WorkListMutex());
    return E().socket != platform::InvalidSocket;
}

void ClearLanPending() {
    QTMutexLocker lock(WorkListMutex());
    E().pending.clear();
}

size_t LanPendingCount() {
    QTMutexLocker lock(WorkListMutex());
    return E().pending.size();
}

void ForgetLanTask(const void* task) {
    QTMutexLocker lock(WorkListMutex());
    E().own_peer_ids.erase(task);
    for (PendingMessage& p : E().pending) std::erase(p.seen_by, task);
}

std::vector<LanMessage> LanDiscoveryStep(const LanTaskIdentity& self, LanTaskState& state, size_t task_count) {
    QTMutexLocker lock(WorkListMutex());
    Endpoint& e = E();
    std::vector<LanMessage> found;
    if (e.socket == platform::InvalidSocket) return found;
    e.own_peer_ids[self.task] = self.peer_id;
    if (state.announced_on != e.generation) {
        for (int i = 0; i < AnnouncementCopies; ++i) {
            if (!SendToGroup(OwnMessage(self, LanMessageKind::Announcement))) {
                CloseEndpoint();
                state.announced_on = 0;
                return found;
            }
        }
        state.announced_on = e.generation;
        return found;
    }
    if (!ReadWaiting(self, found) || !WalkPending(self, std::max<size_t>(task_count, 1), found)) {
        // The senders read so far are still good peers; the endpoint reopens
        // at the next shared-services check and the task announces again.
        CloseEndpoint();
        state.announced_on = 0;
    }
    return found;
}

}  // namespace engine
