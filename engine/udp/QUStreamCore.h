#pragma once
// QUStreamCore: reliable, ordered byte streams between nodes over one UDP
// endpoint, as a unit with no socket and no clock of its own. It takes the
// stream datagrams the UDP server received and the current time, and hands the
// datagrams it wants sent to its host. The socket-like calls (QUSocket ...
// QUCloseSocket) report failures as -1 (or InvalidQUHandle) with the reason in
// the calling thread's last socket error, and set it to 0 on success, so the
// socket layer treats a stream like a TCP connection.
//
// How the UDP server drives it (the seam):
//   - OnStreamPacket(bytes, n, source, now) for every datagram whose first
//     word, read as a signed integer, is positive and that is at least 64
//     bytes long;
//   - OnPunch(bytes, n, source) for every PUNCH, after the server's own
//     handling of it;
//   - OnLookupEntry(...) for each resolved LOOKUP_REPLY entry (placeholder
//     pairs already joined), then OnLookupDone(request id) once per reply;
//   - RunTimers(now) on every pass of its loop: it runs the retransmission
//     pass every 40 ms, the acknowledgement pass every 20 ms (and after each
//     retransmission pass) and the maintenance pass when more than 2 s passed;
//   - the host (QUStreamHost) sends datagrams, adds LOOKUP entries to the
//     server's batch and drops punch-list entries a CONNECT made needless;
//     it must not call back into the core from these callbacks;
//   - SetTransportStopped/SetServerRunning/SetTimeoutSeconds/SetNodeId/
//     SetLocalAddress mirror the server's process-wide values; QUCleanup
//     drops every record.
// QUSelect looks once; the server's wrapper releases its lock and sleeps
// between looks.
//
// Thread: not thread-safe. The UDP server's lock guards the core and every
// record; the server's thread and the callers of the socket-like calls take
// it before calling in. The host is called with that lock held.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/net/QSocketCalls.h"
#include "engine/udp/QUStream.h"
#include "engine/udp/QUStreamPacket.h"
#include "platform/Socket.h"

namespace engine {

// The time the core is given: the millisecond tick (32 bits, wraps) for
// stream timing and the engine seconds counter for time-outs.
struct QUNow {
    uint32_t tick_ms = 0;
    int64_t seconds = 0;
};

enum class QUSendResult {
    Sent,
    WouldBlock,  // the socket is full; try again later
    Failed,      // any other error
};

class QUStreamHost {
public:
    virtual ~QUStreamHost() = default;
    // Sends one datagram through the server's send wrapper.
    virtual QUSendResult SendDatagram(const uint8_t* data, size_t length, platform::SocketAddress to) = 0;
    // Adds (address, node id) to the LOOKUP batch; returns its request id.
    virtual int32_t RequestLookup(uint32_t ip, const QUNodeId& node_id) = 0;
    // A CONNECT from this endpoint arrived: its punch-list entries are done.
    virtual void ForgetPunch(platform::SocketAddress from) = 0;
};

// A snapshot of one record, for the socket layer (connect progress) and for
// statistics.
struct QUStreamInfo {
    QUState state = QUState::New;
    bool connected = false;
    bool incoming = false;
    int used_send_slots = 0;
    int loss_percent = 50;
    uint32_t segment_size = QUWire::SmallSegment;
    uint32_t bytes_acknowledged = 0;
    uint32_t bytes_received = 0;
    uint64_t packets_sent_total = 0;
    uint64_t packets_retransmitted_total = 0;
};

class QUStreamCore {
public:
    // Stream time-out before the server's start-up sets it (seconds), and the
    // accept backlog before any QUListen.
    static constexpr int32_t DefaultTimeoutSeconds = 18;
    static constexpr int32_t DefaultBacklog = 32;
    static constexpr int32_t MaxBacklog = 4096;
    static constexpr size_t MaxPooledRecords = 256;

    explicit QUStreamCore(QUStreamHost& host);
    ~QUStreamCore();
    QUStreamCore(const QUStreamCore&) = delete;
    QUStreamCore& operator=(const QUStreamCore&) = delete;

    void SetNodeId(const QUNodeId& node_id);
    void SetTimeoutSeconds(int32_t timeout_s);
    void SetLocalAddress(uint32_t ip);
    void SetTransportStopped(bool stopped);
    void SetServerRunning(bool running);
    int32_t Backlog() const { return m_backlog; }

    // The socket-like calls.
    QUHandle QUSocket(const QUNow& now);
    int QUBind(QUHandle h, const QSocketAddress* local);
    int QUListen(QUHandle h, int backlog);
    QUHandle QUAccept(QUHandle h, QSocketAddress* peer, const QUNow& now);
    int QUConnect(QUHandle h, const QSocketAddress* to, const QUNow& now);
    int64_t QUSend(QUHandle h, const uint8_t* data, int64_t length, const QUNow& now);
    int64_t QURecv(QUHandle h, uint8_t* buffer, int64_t size);
    // Keeps in each set the records that qualify (readable, writable, in
    // error) and returns the total; looks once, never waits.
    int QUSelect(std::vector<QUHandle>* read, std::vector<QUHandle>* write, std::vector<QUHandle>* error);
    int QUGetSockName(QUHandle h, QSocketAddress* local);
    int QUCloseSocket(QUHandle h);
    void QUCleanup();
    // False when `h` names no live record.
    bool Inspect(QUHandle h, QUStreamInfo* info) const;

    // Driven by the UDP server.
    void OnStreamPacket(const uint8_t* data, size_t length, platform::SocketAddress from, const QUNow& now);
    void OnPunch(const uint8_t* data, size_t length, platform::SocketAddress from);
    void OnLookupEntry(const QUNodeId& asked, const QUNodeId& node_id, uint32_t ip, uint32_t port);
    void OnLookupDone(int32_t request_id);
    void RunTimers(const QUNow& now);
    void RetransmissionPass(const QUNow& now);
    void AcknowledgementPass(const QUNow& now);
    void MaintenancePass(const QUNow& now);

private:
    // Records and lists.
    QUStream* NewRecord(const QUNow& now);
    QUStream* Find(QUHandle h, QUList list) const;
    QUStream* FindAny(QUHandle h) const;
    void Move(QUStream* s, QUList to);
    void Recycle(QUStream* s);
    std::vector<QUStream*>& ListOf(QUList list);
    void SetState(QUStream* s, QUState state);
    void Kill(QUStream* s);
    void FreeSendSlots(QUStream* s);

    // Sending.
    QUSendResult SendControl(QUStream* s, uint32_t type, const std::array<uint32_t, 8>& body, bool twice);
    QUSendResult SendTo(const uint8_t* data, size_t length, const QUStream* s);
    QUSendResult SendDataSlot(QUStream* s, int index);
    // Sends a queued segment (again), counting it for the loss estimate.
    QUSendResult ResendSlot(QUStream* s, int index, const QUNow& now);
    // A DATA segment's first send from QUSend; false when the socket is full
    // (the segment then stays unsent).
    bool SendFirstTime(QUStream* s, int index, const QUNow& now);
    void SendConnect(QUStream* s);
    void SendConnectAck(QUStream* s);
    void SendRefuse(const uint8_t* connect, platform::SocketAddress to);
    static int LossPercent(const QUStream& s);
    static uint32_t SegmentSizeFor(int loss_percent);
    // A send moment or acknowledgement tick; 0 means "never", so an event at
    // tick 0 is noted one millisecond off rather than forgotten.
    static uint32_t NonZeroTick(uint32_t tick) { return tick == 0 ? 1 : tick; }
    int LossEstimate(QUStream* s, const QUNow& now);
    int Allowance(QUStream* s, const QUNow& now);
    void DropLeadingEmptySlots(QUStream* s);
    int64_t QueueData(QUStream* s, const uint8_t* data, int64_t length, const QUNow& now);

    // Receiving.
    bool ReceiverChecks(const uint8_t* data, size_t length) const;
    void OnConnect(const uint8_t* p, platform::SocketAddress from, const QUNow& now);
    bool OnRepeatedConnect(const std::vector<QUStream*>& list, const uint8_t* p, platform::SocketAddress from,
                           bool established_only);
    void OnConnectAck(const uint8_t* p, platform::SocketAddress from, const QUNow& now);
    void OnConnected(QUStream* s, const uint8_t* p, platform::SocketAddress from, const QUNow& now);
    void OnRefuse(QUStream* s, const uint8_t* p, platform::SocketAddress from);
    void OnData(QUStream* s, const uint8_t* p, size_t length, const QUNow& now);
    void OnAck(QUStream* s, const uint8_t* p, const QUNow& now);
    void OnSegmentAck(QUStream* s, const uint8_t* p, const QUNow& now);
    void OnKeepAlive(QUStream* s, const uint8_t* p, platform::SocketAddress from, const QUNow& now);
    void OnClose(QUStream* s, const uint8_t* p);
    void MoveToReadQueue(QUStream* s);
    int64_t CopyOut(QUStream* s, uint8_t* buffer, int64_t size);

    // Timers.
    bool RetransmitStream(QUStream* s, const QUNow& now);
    bool AcknowledgeStream(QUStream* s, const QUNow& now);
    void MaintainAcceptQueue(const QUNow& now);
    void MaintainStreams(const QUNow& now);

    QUStreamHost& m_host;
    QUNodeId m_node_id{};
    QUIdentity m_identity{};
    int32_t m_timeout_s = DefaultTimeoutSeconds;
    int32_t m_backlog = DefaultBacklog;
    uint32_t m_local_ip = 0;
    bool m_transport_stopped = false;
    bool m_server_running = false;

    // Slot i holds the record whose handle has index i + 1; a null slot's
    // record was released. m_generation survives the record, so a handle is
    // never reused right away.
    std::vector<std::unique_ptr<QUStream>> m_slots;
    std::vector<uint16_t> m_generation;
    std::vector<uint32_t> m_free_slots;
    size_t m_pooled = 0;

    std::vector<QUStream*> m_streams;
    std::vector<QUStream*> m_accept_queue;
    std::vector<QUStream*> m_bound;

    uint32_t m_last_retransmission_tick = 0;
    uint32_t m_last_ack_tick = 0;
    int64_t m_last_maintenance_s = 0;
};

}  // namespace engine
