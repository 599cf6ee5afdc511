#pragma once
// QUInternalServer: the engine's one UDP endpoint. A thread ("UDPServer")
// receives datagrams on one non-blocking socket, dispatches them (rendezvous
// replies here, stream packets to the stream layer), and runs the timers:
// the stream passes, the punch list, REGISTER every 300 s, PING every
// keep-alive interval while behind NAT, and the pending LOOKUP batch.
//
// Owner: the process (engine/udp/QUService.h keeps the one instance); tests
// make their own and drive passes on an injected clock without the thread.
// Threads: the "UDPServer" thread runs Run; task threads and the socket
// layer call the operations. Lock: m_server_lock (innermost in the engine's
// lock order) guards every member below it; the loop releases it between
// passes and around its sleeps. Name resolution, the choice of the local
// address and the packet-pool trims run without it, so a stream call never
// waits for the resolver.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/QTMutex.h"
#include "engine/base/QThread.h"
#include "engine/udp/QUConfig.h"
#include "engine/udp/QUStreamHandler.h"
#include "engine/udp/RendezvousCodec.h"

namespace engine {

class QUInternalServer final : public QThread {
public:
    // What one pass of the loop asks its caller to do next.
    struct PassOutcome {
        uint32_t sleep_ms = 0;  // 0: the next pass at once
        bool paused = false;    // the transport is stopped
        // The pause is for want of datagrams: one that arrives ends it.
        bool until_datagram = false;
    };

    explicit QUInternalServer(QUEnvironment environment = {});
    ~QUInternalServer() override;

    // -1 for an empty host, a port outside 1-65535 or a time-out that is
    // not positive; 0 and nothing changes while the thread runs; otherwise
    // takes the values and starts the thread (-1 when it cannot).
    int32_t Startup(const QUConfig& config);
    // Takes the values without starting the thread (tests drive passes).
    int32_t Configure(const QUConfig& config);
    // The TCP listener's address and port: the socket is bound to the same
    // port on the next pass. 0 / 0xFFFFFFFF and ports outside 1-65535 are
    // ignored.
    void SetLocalAddress(uint32_t address, int32_t port);
    // True while the public address differs from the local one (so also
    // while it is unknown).
    bool IsBehindNat();
    // Drops every stream and the punch list, forgets the public address and
    // releases the idle packet buffers.
    void Cleanup();
    // While set, incoming datagrams are dropped, the socket stays closed and
    // the stream layer refuses work.
    void SetTransportStopped(bool stopped);
    bool IsTransportStopped() const { return m_transport_stopped.load(); }

    uint32_t LocalAddress();
    uint32_t PublicAddress();
    uint32_t PublicPort();
    uint32_t ServerAddress();
    uint16_t BoundPort();
    int32_t TimeoutSeconds();
    int32_t KeepAliveSeconds();
    QUIdentity Identity();

    // The stream layer's side. The lock is the one the stream calls take;
    // the calls below take it themselves (it is recursive).
    QTMutex& ServerLock() { return m_server_lock; }
    void SetStreamHandler(QUStreamHandler* handler);
    // The send path everybody uses: a socket failure reopens the socket and
    // sends once more; would-block and destination errors are reported.
    QUSendStatus Send(const uint8_t* data, size_t size, uint32_t address, uint16_t port);
    // Adds a target to the LOOKUP batch; returns the batch's request id.
    uint32_t AddLookupEntry(uint32_t address, const QUNodeId& target);
    // A CONNECT from this endpoint arrived: its punch entry is done.
    void ForgetPunchEntries(uint32_t address, uint16_t port);
    uint32_t TickMs();
    int64_t Seconds();

    // The loop, in two steps so tests can drive it. Prepare opens the socket
    // and resolves the rendezvous server (retrying every 30 s); false when a
    // stop was requested first. RunPass runs one pass.
    bool Prepare();
    PassOutcome RunPass();

    void Run() override;
    void UpdateProgress() override {}

    size_t PunchListSize();
    size_t PendingLookupCount();

private:
    struct PunchEntry {
        QUIdentity caller{};
        uint32_t address = 0;
        uint16_t port = 0;
        uint32_t sends = 0;
    };
    // Work a pass leaves for after the lock is released.
    struct PassWork {
        PassOutcome outcome;
        bool choose_local_address = false;
        bool trim_pool = false;
    };

    PassWork PassLocked();
    void TimerWorkLocked(PassWork& work);
    void StreamTimersLocked();
    uint32_t MsUntilStreamTimersLocked();
    void RendezvousTimersLocked(PassWork& work);
    void FinishPass(const PassWork& work);
    void ResetTimersLocked();
    bool OpenSocketLocked();
    void ChooseLocalAddressUnlocked();
    QUSendStatus SendOnceLocked(const uint8_t* data, size_t size, uint32_t address, uint16_t port);
    QUSendStatus SendToServerLocked(const std::vector<uint8_t>& bytes);

    void DispatchLocked(size_t size, uint32_t address, uint16_t port);
    void OnPingReplyLocked(const uint8_t* data, size_t size);
    void OnCallMeLocked(const uint8_t* data, size_t size);
    void OnPunchLocked(const uint8_t* data, size_t size, uint32_t address, uint16_t port);
    void OnLookupReplyLocked(const uint8_t* data, size_t size);
    void ResolveEntriesLocked(const std::vector<QULookupReplyEntry>& entries);
    void ResolvedLocked(const QUNodeId& target, const QULookupReplyEntry& entry);

    void SendRegisterLocked();
    void SendPingLocked();
    void FlushLookupBatchLocked();
    QUSendStatus SendPunchLocked(const PunchEntry& entry);
    void PunchListPassLocked();
    bool IsBehindNatLocked() const;

    QUEnvironment m_env;
    std::unique_ptr<QUClock> m_default_clock;
    QUClock* m_clock = nullptr;
    std::atomic<bool> m_transport_stopped{false};

    QTMutex m_server_lock;
    // Process-wide values (start-up values in brackets in the comments).
    std::string m_server_host;
    int32_t m_server_port = 0;
    int32_t m_keep_alive_s = 45;
    int32_t m_timeout_s = 18;
    int m_buffer_bytes = 131072;
    uint32_t m_server_address = 0;
    uint32_t m_public_address = 0;
    uint32_t m_public_port = 0;

    std::unique_ptr<QUDatagramSocket> m_socket;
    bool m_usable = false;
    uint16_t m_bound_port = 0;
    int32_t m_local_port = 0;
    uint32_t m_local_address = 0;
    bool m_wants_local_address = false;
    QUIdentity m_identity{};
    uint32_t m_request_counter = 0;
    std::vector<uint8_t> m_lookup_batch;
    uint32_t m_lookup_batch_id = 0;
    std::vector<uint32_t> m_pending_lookups;
    bool m_server_answered = false;
    std::vector<PunchEntry> m_punch_list;
    QUStreamHandler* m_streams = nullptr;
    // 9216 zeroed bytes; a datagram of up to 8192 is read into it and
    // followed by a NUL byte.
    std::vector<uint8_t> m_receive_buffer;

    // Loop state. Seconds timers use 0 for "never", so they are due at once.
    uint32_t m_last_retransmission_ms = 0;
    uint32_t m_last_acknowledgement_ms = 0;
    int64_t m_last_maintenance_s = 0;
    int64_t m_last_register_s = 0;
    int64_t m_last_ping_s = 0;
    uint32_t m_idle_passes = 0;
    uint32_t m_burst = 0;
    bool m_paused = false;
};

}  // namespace engine
