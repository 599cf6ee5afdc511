#include "engine/frame/SharedServices.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineLocks.h"
#include "engine/base/EngineSettings.h"
#include "engine/frame/TWorkThread.h"
#include "engine/net/NameResolver.h"
#include "engine/net/QTcpSocket.h"
#include "engine/net/TSourceInfo.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TBTPeer.h"
#include "engine/frame/TWorkWithPeers.h"
#include "platform/Socket.h"

namespace engine {

namespace {

// One dispatch accepts at most this many connections, so a flood cannot
// keep a task's thread in the accept loop.
constexpr int AcceptsPerDispatch = 11;
// A pending connection reads at most 1024 bytes per dispatch until it holds
// enough for an HTTP preamble (up to 1024 bytes) plus the handshake.
constexpr size_t PendingReadLimit = 1092;
constexpr int32_t PendingReadSize = 1024;
// A connection that sent nothing recognisable is dropped after 3 seconds; one
// that sent more than a handshake's worth (68 bytes) gets 5.
constexpr int64_t PendingAgeS = 3;
constexpr int64_t PendingAgeLongS = 5;
constexpr size_t LongWaitBytes = 67;
// With more than 32 waiting, the list is trimmed harder: a second without a
// whole handshake is enough.
constexpr size_t PendingCrowd = 32;
constexpr int64_t CrowdedAgeS = 1;
// The listener's address is compared with the machine's every 3 minutes so a
// changed address reopens it.
constexpr int64_t AddressCheckS = 180;
constexpr int32_t DefaultListenPort = 8080;
constexpr char DisabledText[] = "Service Disabled!";
// The peer layer logs at this level.
constexpr int32_t PeerLogLevel = 13;

struct PendingConnection {
    std::unique_ptr<QTcpSocket> socket;
    int64_t created_s = 0;
};

struct TaskRecord {
    uint32_t address = 0;
    int32_t port = 0;
    std::string text;
};

// All guarded by the WorkListMutex.
struct Services {
    SharedServiceSeams seams;
    std::unique_ptr<QTcpSocket> listener;
    uint32_t listen_address = 0;
    int32_t listen_port = 0;
    std::string listen_text;
    int64_t last_address_check = 0;
    uint32_t address_override = 0;
    bool stream_listener_open = false;
    bool lan_joined = false;
    bool reachable = false;
    bool transport_stopped = true;
    std::vector<PendingConnection> pending;
    std::map<const TBaseWork*, TaskRecord> tasks;
    std::map<const TBaseWork*, std::array<uint8_t, 20>> info_hashes;
};

Services& S() {
    static Services services;
    return services;
}

bool SameSlash24(uint32_t a, uint32_t b) {
    // Network order: the first three octets are the first three bytes.
    const auto* x = reinterpret_cast<const uint8_t*>(&a);
    const auto* y = reinterpret_cast<const uint8_t*>(&b);
    return x[0] == y[0] && x[1] == y[1] && x[2] == y[2];
}

void SetTransportStoppedLocked(bool stopped) {
    Services& s = S();
    s.transport_stopped = stopped;
    if (s.seams.set_transport_stopped) s.seams.set_transport_stopped(stopped);
}

void NoteRemote(const QTcpSocket& socket) {
    Services& s = S();
    if (s.reachable || socket.IsUdpStream()) return;
    if (SameSlash24(socket.RemoteAddress(), s.listen_address)) return;
    s.reachable = true;
    // Peers reach this node over TCP: the UDP transport, there for nodes
    // behind NAT, is no longer needed unless the option keeps it.
    SetTransportStoppedLocked(IsUdpStopWhenReachable());
    TWorkWithPeers::MarkIncomingSeen();
}

void AcceptNew() {
    Services& s = S();
    const int64_t now = GetClockSeconds();
    for (int i = 0; i < AcceptsPerDispatch; ++i) {
        std::unique_ptr<QTcpSocket> accepted;
        if (s.listener && s.listener->IsListening()) accepted = s.listener->AcceptNext();
        if (!accepted && s.seams.accept_stream) accepted = s.seams.accept_stream();
        if (!accepted) break;
        NoteRemote(*accepted);
        s.pending.push_back(PendingConnection{std::move(accepted), now});
    }
}

bool KnownInfoHash(const uint8_t* hash) {
    for (const auto& [task, known] : S().info_hashes) {
        if (std::equal(known.begin(), known.end(), hash)) return true;
    }
    return false;
}

// A whole handshake (first byte 19, info hash present) of a torrent no task
// of this process has: nobody will ever claim it.
bool IsForeignHandshake(const QTcpSocket& socket) {
    const uint8_t* data = socket.ReceiveData();
    if (!data || socket.ReceiveCount() < BtPeerIdOffset || data[0] != 19) return false;
    return !KnownInfoHash(data + BtInfoHashOffset);
}

bool IsStale(const PendingConnection& p, int64_t now) {
    const int64_t age = now - p.created_s;
    const size_t buffered = p.socket->ReceiveCount();
    if (age < 0) return true;
    return buffered > LongWaitBytes ? age >= PendingAgeLongS : age >= PendingAgeS;
}

void OfferPending(TWorkWithPeers& task) {
    Services& s = S();
    const int64_t now = GetClockSeconds();
    std::vector<PendingConnection> keep;
    for (PendingConnection& p : s.pending) {
        QTcpSocket& socket = *p.socket;
        if (socket.ReceiveCount() < PendingReadLimit && socket.Receive(PendingReadSize) < 0) continue;
        if (task.IsOwnHandshake(socket)) {
            std::unique_ptr<QTcpSocket> taken = std::move(p.socket);
            if (!task.OfferIncoming(taken) && taken) taken->Close();
            continue;
        }
        // Bytes that cannot begin a handshake (an encrypted handshake, say)
        // never become one: closed now, the remote may retry in plain at
        // once instead of waiting out the pending time for nothing.
        if (!MayBeginBtHandshake(socket.ReceiveData(), socket.ReceiveCount())) continue;
        if (IsForeignHandshake(socket) || IsStale(p, now)) continue;
        keep.push_back(std::move(p));
    }
    if (keep.size() > PendingCrowd) {
        std::erase_if(keep, [now](const PendingConnection& p) {
            const int64_t age = now - p.created_s;
            return age < 0 || age > PendingAgeS || (age > CrowdedAgeS && p.socket->ReceiveCount() < BtHandshakeSize);
        });
    }
    s.pending = std::move(keep);
}

void RecordTaskEndpoint(TWorkWithPeers& task, uint32_t address, int32_t port, const std::string& text) {
    TaskRecord& record = S().tasks[static_cast<const TBaseWork*>(&task)];
    if (record.address == address && record.port == port && !record.text.empty()) return;
    record.address = address;
    record.port = port;
    record.text = text;
    task.SetOwnEndpoint(address, port);
}

bool OpenListener() {
    Services& s = S();
    const int32_t port = ListenPort() != 0 ? ListenPort() : DefaultListenPort;
    const uint32_t address = s.address_override != 0 ? s.address_override : LocalAddress();
    auto listener = std::make_unique<QTcpSocket>();
    if (!listener->Listen(port, address == NoAddress ? 0 : address)) {
        LogFormat(PeerLogLevel, "Listen on port %d failed (error %d)", port, listener->LastError());
        return false;
    }
    s.listen_address = listener->LocalAddressValue();
    s.listen_port = listener->LocalPort();
    s.listen_text = platform::FormatIpv4(s.listen_address);
    s.last_address_check = GetClockSeconds();
    s.listener = std::move(listener);
    return true;
}

bool CheckWhileEnabled(TWorkWithPeers& task) {
    Services& s = S();
    const int64_t now = GetClockSeconds();
    if (s.listener && now - s.last_address_check >= AddressCheckS) {
        s.last_address_check = now;
        const uint32_t current = s.seams.udp_local_address ? s.seams.udp_local_address() : 0;
        if (s.address_override == 0 && current != 0 && current != s.listen_address) StopSharedServices(false);
    }
    if (!s.listener && !OpenListener()) return false;
    if (s.listen_address != 0 && s.listen_port != 0 && s.seams.set_local_address) {
        s.seams.set_local_address(s.listen_address, s.listen_port);
    }
    if (!s.transport_stopped && !s.stream_listener_open && s.seams.open_stream_listener) {
        s.stream_listener_open = s.seams.open_stream_listener(s.listen_address, s.listen_port);
    }
    RecordTaskEndpoint(task, s.listen_address, s.listen_port, s.listen_text + " : " + std::to_string(s.listen_port));
    if (s.seams.join_lan_group) {
        if (!s.seams.join_lan_group()) return false;
        s.lan_joined = true;
    }
    return true;
}

}  // namespace

void SetSharedServiceSeams(SharedServiceSeams seams) {
    QTMutexLocker lock(WorkListMutex());
    S().seams = std::move(seams);
}

void EditSharedServiceSeams(const std::function<void(SharedServiceSeams&)>& edit) {
    QTMutexLocker lock(WorkListMutex());
    edit(S().seams);
}

void SetListenAddressOverride(uint32_t address) {
    QTMutexLocker lock(WorkListMutex());
    S().address_override = address;
}

void StartSharedServicesForFirstTask() {
    QTMutexLocker lock(WorkListMutex());
    Services& s = S();
    SetTransportStoppedLocked(false);
    s.reachable = false;
    // The operating system's limit of half-open connections is not readable
    // here; the socket layer then uses 32.
    QTcpSocket::SetHalfOpenLimitFromSystem(-1);
}

void StopSharedServicesForLastTask() {
    QTMutexLocker lock(WorkListMutex());
    StopSharedServices(true);
    SetTransportStoppedLocked(true);
    S().reachable = false;
    S().tasks.clear();
}

void ForgetSharedTask(const TBaseWork* task) {
    QTMutexLocker lock(WorkListMutex());
    S().tasks.erase(task);
    S().info_hashes.erase(task);
    if (S().seams.forget_task) S().seams.forget_task(task);
}

void StopSharedServices(bool close_pending) {
    QTMutexLocker lock(WorkListMutex());
    Services& s = S();
    if (s.listener) {
        s.listener->Close();
        s.listener.reset();
    }
    s.listen_address = 0;
    s.listen_port = 0;
    s.listen_text.clear();
    if (s.stream_listener_open && s.seams.close_stream_listener) s.seams.close_stream_listener();
    s.stream_listener_open = false;
    if (s.lan_joined && s.seams.leave_lan_group) s.seams.leave_lan_group();
    s.lan_joined = false;
    if (close_pending) {
        for (PendingConnection& p : s.pending) p.socket->Close();
        s.pending.clear();
    }
}

void DispatchIncoming(TWorkWithPeers& task) {
    QTMutexLocker lock(WorkListMutex());
    AcceptNew();
    OfferPending(task);
    CheckSharedServices(task);
}

void TWorkThread::DispatchIncoming() { engine::DispatchIncoming(*this); }

bool CheckSharedServices(TWorkWithPeers& task) {
    QTMutexLocker lock(WorkListMutex());
    if (IsP2PEnabled()) return CheckWhileEnabled(task);
    if (S().listener) StopSharedServices(true);
    RecordTaskEndpoint(task, 0, 0, DisabledText);
    return true;
}

void RegisterInfoHash(const TWorkWithPeers& task, const std::array<uint8_t, 20>& info_hash) {
    static const std::array<uint8_t, 20> none{};
    if (info_hash == none) return;
    QTMutexLocker lock(WorkListMutex());
    S().info_hashes[static_cast<const TBaseWork*>(&task)] = info_hash;
}

void UnregisterInfoHash(const TWorkWithPeers& task) {
    QTMutexLocker lock(WorkListMutex());
    S().info_hashes.erase(static_cast<const TBaseWork*>(&task));
}

std::string TaskListenText(const TWorkWithPeers& task) {
    QTMutexLocker lock(WorkListMutex());
    auto it = S().tasks.find(static_cast<const TBaseWork*>(&task));
    return it == S().tasks.end() ? std::string() : it->second.text;
}

uint32_t ListenerAddress() {
    QTMutexLocker lock(WorkListMutex());
    return S().listener ? S().listen_address : 0;
}

int32_t ListenerPort() {
    QTMutexLocker lock(WorkListMutex());
    return S().listener ? S().listen_port : 0;
}

size_t PendingConnectionCount() {
    QTMutexLocker lock(WorkListMutex());
    return S().pending.size();
}

bool IsReachableFromOutside() {
    QTMutexLocker lock(WorkListMutex());
    return S().reachable;
}

bool IsTransportStopped() {
    QTMutexLocker lock(WorkListMutex());
    return S().transport_stopped;
}

}  // namespace engine
