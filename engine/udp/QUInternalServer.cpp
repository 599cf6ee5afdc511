// The UDP server's life, socket, send path and loop. The dispatch of
// received datagrams and the rendezvous messages are in
// QUInternalServerRendezvous.cpp.

#include "engine/udp/QUInternalServer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineClock.h"
#include "engine/net/NameResolver.h"
#include "engine/net/TSourceInfo.h"
#include "platform/Clock.h"

namespace engine {

namespace {

// The socket's failures go to the log at the level of resource and socket
// set-up problems.
constexpr int32_t UdpLogLevel = 7;
// Keep-alive periods shorter than this would only load the server.
constexpr int32_t MinKeepAliveS = 10;
// The receive buffer has room for the largest datagram plus slack, so the
// NUL written after a datagram always fits.
constexpr size_t ReceiveBufferSize = 9216;
// Until the rendezvous server's name resolves, it is tried again this often.
constexpr int ResolveRetryS = 30;
// Pass timing: the stream timers (ms), the maintenance period (more than
// 2 s), the REGISTER period (more than 299 s, so every 300 s).
constexpr uint32_t RetransmissionPeriodMs = 40;
constexpr uint32_t AcknowledgementPeriodMs = 20;
constexpr int64_t MaintenanceAfterS = 2;
constexpr int64_t RegisterAfterS = 299;
// A burst of datagrams is handled back to back up to this many before the
// timers get their turn; every datagram counts, so a flood of small ones
// cannot starve retransmissions, acknowledgements and keep-alives.
constexpr uint32_t BurstLimit = 19;
constexpr uint32_t BurstPauseAbove = 17;
constexpr uint32_t BurstPauseMs = 2;
// An idle socket is looked at every 10 ms, every 50 ms after more than 3
// empty passes in a row.
constexpr uint32_t EmptyPassSleepMs = 10;
constexpr uint32_t IdlePassesBeforeSlowdown = 3;
constexpr uint32_t IdleSleepMs = 40;
constexpr uint32_t FailedSocketSleepMs = 2;
constexpr uint32_t BindRetrySleepMs = 1000;
constexpr uint32_t PausedStepMs = 100;

class EngineQUClock final : public QUClock {
public:
    uint32_t TickMs() override { return platform::TickCount(); }
    int64_t Seconds() override { return GetUptimeSeconds(); }
};

bool ValidAddress(uint32_t address) { return address != 0 && address != NoAddress; }
bool ValidPort(int64_t port) { return port >= 1 && port <= 65535; }

bool ValidConfig(const QUConfig& config) {
    return strnlen(config.server_host, sizeof config.server_host - 1) > 0 && ValidPort(config.server_port) &&
           ValidPort(config.local_port) && config.timeout_s > 0;
}

}  // namespace

QUInternalServer::QUInternalServer(QUEnvironment environment)
    : m_env(std::move(environment)), m_receive_buffer(ReceiveBufferSize, 0) {
    if (m_env.clock) {
        m_clock = m_env.clock;
    } else {
        m_default_clock = std::make_unique<EngineQUClock>();
        m_clock = m_default_clock.get();
    }
    m_socket = m_env.make_socket ? m_env.make_socket() : MakePlatformDatagramSocket();
}

QUInternalServer::~QUInternalServer() {
    Stop();
    QTMutexLocker lock(m_server_lock);
    m_socket->Close();
}

int32_t QUInternalServer::Configure(const QUConfig& config) {
    if (!ValidConfig(config)) return -1;
    const size_t host_length = strnlen(config.server_host, sizeof config.server_host - 1);
    QTMutexLocker lock(m_server_lock);
    m_server_host.assign(config.server_host, host_length);
    m_server_port = config.server_port;
    m_keep_alive_s = std::max(config.keep_alive_s, MinKeepAliveS);
    m_timeout_s = config.timeout_s;
    m_local_port = config.local_port;
    m_local_address = config.local_address;
    // A real node id never begins with two zero bytes: that would read as a
    // placeholder.
    QUNodeId id = config.node_id;
    if (id[0] == 0) id[0] = 1;
    if (id[1] == 0) id[1] = 2;
    m_identity = MakeIdentity(id);
    return 0;
}

int32_t QUInternalServer::Startup(const QUConfig& config) {
    if (!ValidConfig(config)) return -1;
    if (IsRunning()) return 0;
    if (Configure(config) != 0) return -1;
    return Start("UDPServer") ? 0 : -1;
}

void QUInternalServer::SetLocalAddress(uint32_t address, int32_t port) {
    QTMutexLocker lock(m_server_lock);
    if (ValidAddress(address)) m_local_address = address;
    if (ValidPort(port)) m_local_port = port;
}

bool QUInternalServer::IsBehindNat() {
    QTMutexLocker lock(m_server_lock);
    return IsBehindNatLocked();
}

bool QUInternalServer::IsBehindNatLocked() const { return m_public_address != m_local_address; }

void QUInternalServer::Cleanup() {
    {
        QTMutexLocker lock(m_server_lock);
        if (m_streams) m_streams->DropAll();
        m_punch_list.clear();
        m_pending_lookups.clear();
        m_lookup_batch.clear();
        m_public_address = 0;
    }
    if (m_env.release_packet_pool) m_env.release_packet_pool();
}

void QUInternalServer::SetTransportStopped(bool stopped) {
    QTMutexLocker lock(m_server_lock);
    m_transport_stopped.store(stopped);
}

uint32_t QUInternalServer::LocalAddress() {
    QTMutexLocker lock(m_server_lock);
    return m_local_address;
}

uint32_t QUInternalServer::PublicAddress() {
    QTMutexLocker lock(m_server_lock);
    return m_public_address;
}

uint32_t QUInternalServer::PublicPort() {
    QTMutexLocker lock(m_server_lock);
    return m_public_port;
}

uint32_t QUInternalServer::ServerAddress() {
    QTMutexLocker lock(m_server_lock);
    return m_server_address;
}

uint16_t QUInternalServer::BoundPort() {
    QTMutexLocker lock(m_server_lock);
    return m_usable ? m_bound_port : 0;
}

int32_t QUInternalServer::TimeoutSeconds() {
    QTMutexLocker lock(m_server_lock);
    return m_timeout_s;
}

int32_t QUInternalServer::KeepAliveSeconds() {
    QTMutexLocker lock(m_server_lock);
    return m_keep_alive_s;
}

QUIdentity QUInternalServer::Identity() {
    QTMutexLocker lock(m_server_lock);
    return m_identity;
}

void QUInternalServer::SetStreamHandler(QUStreamHandler* handler) {
    QTMutexLocker lock(m_server_lock);
    m_streams = handler;
}

uint32_t QUInternalServer::TickMs() { return m_clock->TickMs(); }

int64_t QUInternalServer::Seconds() { return m_clock->Seconds(); }

size_t QUInternalServer::PunchListSize() {
    QTMutexLocker lock(m_server_lock);
    return m_punch_list.size();
}

size_t QUInternalServer::PendingLookupCount() {
    QTMutexLocker lock(m_server_lock);
    return m_pending_lookups.size();
}

bool QUInternalServer::OpenSocketLocked() {
    m_usable = false;
    const QUOpenResult result = m_socket->Open(static_cast<uint16_t>(m_local_port), m_buffer_bytes);
    if (result == QUOpenResult::CreateFailed) {
        LogFormat(UdpLogLevel, "socket bind error : Last Error(%lu)", static_cast<unsigned long>(m_socket->LastError()));
        return false;
    }
    if (result != QUOpenResult::Ok) return false;
    m_usable = true;
    m_bound_port = static_cast<uint16_t>(m_local_port);
    if (!ValidAddress(m_local_address)) m_wants_local_address = true;
    return true;
}

void QUInternalServer::ChooseLocalAddressUnlocked() {
    const uint32_t chosen = m_env.choose_local_address ? m_env.choose_local_address() : engine::LocalAddress();
    QTMutexLocker lock(m_server_lock);
    if (!ValidAddress(m_local_address)) m_local_address = chosen;
}

QUSendStatus QUInternalServer::SendOnceLocked(const uint8_t* data, size_t size, uint32_t address, uint16_t port) {
    if (!data || size < 1 || size > MaxDatagramSize || address == 0 || port == 0) {
        return QUSendStatus::DestinationError;
    }
    if (!m_usable && !OpenSocketLocked()) return QUSendStatus::SocketError;
    const QUSendStatus status = m_socket->SendTo(data, size, address, port);
    // Only a failure of the socket itself makes it unusable: on Linux a
    // filtered or unreachable destination fails just that send.
    if (status == QUSendStatus::SocketError) m_usable = false;
    return status;
}

QUSendStatus QUInternalServer::Send(const uint8_t* data, size_t size, uint32_t address, uint16_t port) {
    QTMutexLocker lock(m_server_lock);
    const QUSendStatus status = SendOnceLocked(data, size, address, port);
    if (status != QUSendStatus::SocketError) return status;
    return SendOnceLocked(data, size, address, port);
}

QUSendStatus QUInternalServer::SendToServerLocked(const std::vector<uint8_t>& bytes) {
    if (!ValidAddress(m_server_address)) return QUSendStatus::DestinationError;
    return Send(bytes.data(), bytes.size(), m_server_address, static_cast<uint16_t>(m_server_port));
}

bool QUInternalServer::Prepare() {
    bool wants_address = false;
    std::string host;
    {
        QTMutexLocker lock(m_server_lock);
        OpenSocketLocked();
        wants_address = std::exchange(m_wants_local_address, false);
        host = m_server_host;
    }
    if (wants_address) ChooseLocalAddressUnlocked();
    for (;;) {
        const uint32_t address = m_env.resolve_host ? m_env.resolve_host(host) : ResolveHost(host);
        if (ValidAddress(address)) {
            QTMutexLocker lock(m_server_lock);
            m_server_address = address;
            return true;
        }
        SleepSeconds(ResolveRetryS);
        if (IsStopRequested()) return false;
    }
}

QUInternalServer::PassOutcome QUInternalServer::RunPass() {
    PassWork work;
    {
        QTMutexLocker lock(m_server_lock);
        work = PassLocked();
    }
    FinishPass(work);
    return work.outcome;
}

void QUInternalServer::FinishPass(const PassWork& work) {
    if (work.choose_local_address) ChooseLocalAddressUnlocked();
    if (work.trim_pool && m_env.trim_packet_pool) m_env.trim_packet_pool();
}

void QUInternalServer::ResetTimersLocked() {
    m_last_retransmission_ms = 0;
    m_last_acknowledgement_ms = 0;
    m_last_maintenance_s = 0;
    m_last_register_s = 0;
    m_last_ping_s = 0;
}

QUInternalServer::PassWork QUInternalServer::PassLocked() {
    PassWork work;
    if (m_transport_stopped.load()) {
        if (!m_paused) {
            m_socket->Close();
            m_usable = false;
            m_public_address = 0;
            m_paused = true;
        }
        work.outcome = PassOutcome{PausedStepMs, true};
        return work;
    }
    if (m_paused) {
        m_paused = false;
        ResetTimersLocked();
        m_server_answered = false;
    }
    const bool new_port = m_bound_port != m_local_port;
    if ((!m_usable || new_port) && !OpenSocketLocked()) {
        m_public_address = 0;
        work.outcome.sleep_ms = BindRetrySleepMs;
        return work;
    }
    if (new_port) {
        // The rendezvous server knows this node by the endpoint its last
        // REGISTER came from, and the answers to anything sent from the old
        // port are lost with that socket: register and ask again from the
        // new one now, or nobody can look this node up until the next
        // keep-alive notices the silence.
        m_last_register_s = 0;
        m_last_ping_s = 0;
    }
    // One byte short of the buffer's end stays free for the terminating NUL.
    const QURecvResult received = m_socket->RecvFrom(m_receive_buffer.data(), MaxDatagramSize);
    if (received.status == QURecvStatus::Datagram) {
        m_idle_passes = 0;
        m_receive_buffer[received.size] = 0;
        DispatchLocked(received.size, received.address, received.port);
        if (++m_burst < BurstLimit) return work;
    } else if (received.status == QURecvStatus::Failed) {
        OpenSocketLocked();
        work.outcome.sleep_ms += FailedSocketSleepMs;
    } else {
        work.outcome.sleep_ms += EmptyPassSleepMs;
        work.outcome.until_datagram = true;
        ++m_idle_passes;
    }
    TimerWorkLocked(work);
    if (m_idle_passes > IdlePassesBeforeSlowdown) {
        work.outcome.sleep_ms += IdleSleepMs;
    } else if (work.outcome.until_datagram) {
        // The wait ends in time for the next stream pass: waking on the
        // 10 ms step would stretch the 20 ms acknowledgement period to up
        // to 30 ms, and with it every round of a stream's window.
        work.outcome.sleep_ms = std::min(work.outcome.sleep_ms, MsUntilStreamTimersLocked());
    }
    if (m_burst > BurstPauseAbove) work.outcome.sleep_ms += BurstPauseMs;
    m_burst = 0;
    work.choose_local_address = std::exchange(m_wants_local_address, false);
    return work;
}

void QUInternalServer::TimerWorkLocked(PassWork& work) {
    StreamTimersLocked();
    RendezvousTimersLocked(work);
    FlushLookupBatchLocked();
}

void QUInternalServer::StreamTimersLocked() {
    const uint32_t tick = m_clock->TickMs();
    if (tick - m_last_retransmission_ms >= RetransmissionPeriodMs) {
        if (m_streams) {
            m_streams->RetransmissionPass();
            m_streams->AcknowledgementPass();
        }
        m_last_retransmission_ms = tick;
        m_last_acknowledgement_ms = tick;
    } else if (tick - m_last_acknowledgement_ms >= AcknowledgementPeriodMs) {
        if (m_streams) m_streams->AcknowledgementPass();
        m_last_acknowledgement_ms = tick;
    }
}

uint32_t QUInternalServer::MsUntilStreamTimersLocked() {
    const uint32_t tick = m_clock->TickMs();
    const uint32_t since_ack = tick - m_last_acknowledgement_ms;
    const uint32_t since_retransmission = tick - m_last_retransmission_ms;
    const uint32_t to_ack = since_ack >= AcknowledgementPeriodMs ? 0 : AcknowledgementPeriodMs - since_ack;
    const uint32_t to_retransmission =
        since_retransmission >= RetransmissionPeriodMs ? 0 : RetransmissionPeriodMs - since_retransmission;
    return std::min(to_ack, to_retransmission);
}

void QUInternalServer::RendezvousTimersLocked(PassWork& work) {
    const int64_t now = m_clock->Seconds();
    if (m_last_maintenance_s == 0 || now - m_last_maintenance_s > MaintenanceAfterS) {
        if (m_streams) m_streams->MaintenancePass();
        PunchListPassLocked();
        m_last_maintenance_s = now;
    }
    if (m_last_register_s == 0 || now - m_last_register_s > RegisterAfterS) {
        SendRegisterLocked();
        m_last_register_s = now;
        work.trim_pool = true;
    }
    if (m_last_ping_s == 0 || now - m_last_ping_s >= m_keep_alive_s) {
        if (IsBehindNatLocked()) SendPingLocked();
        m_last_ping_s = now;
        // No PING_REPLY since the last REGISTER: the server may have lost
        // this node, so it registers again on the next pass.
        if (!m_server_answered) m_last_register_s = 0;
    }
}

void QUInternalServer::Run() {
    if (!Prepare()) {
        QTMutexLocker lock(m_server_lock);
        m_socket->Close();
        m_usable = false;
        return;
    }
    while (!IsStopRequested()) {
        const PassOutcome outcome = RunPass();
        if (outcome.sleep_ms == 0) continue;
        // Without the lock: stream calls go on meanwhile.
        if (outcome.until_datagram) {
            m_socket->WaitForDatagram(outcome.sleep_ms);
        } else {
            platform::SleepMs(outcome.sleep_ms);
        }
    }
    QTMutexLocker lock(m_server_lock);
    m_socket->Close();
    m_usable = false;
}

}  // namespace engine
