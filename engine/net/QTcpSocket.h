#pragma once
// QTcpSocket: the engine's connection object. One non-blocking stream socket
// (a TCP socket, or a reliable UDP stream when the object is opened as one)
// with a growable send buffer and receive buffer, byte totals and connect
// times. Sends that the kernel cannot take yet are buffered and flushed on
// later calls; receives append to the buffer until the owner consumes them.
// Both buffers have caps (SetBufferCaps); a send that would pass the cap
// fails and closes the connection, a receive at the cap reads nothing more.
//
// Owner: a peer object or the process-wide listener; reused for later
// connections. Thread: the owner's thread only; nothing here locks (the
// UDP-stream calls take the UDP server's lock themselves). The object counts
// itself in the process-wide half-open count while a TCP connect is pending.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/net/QSocketBuffer.h"
#include "engine/net/QSocketCalls.h"

namespace engine {

class QTcpSocket {
public:
    // Buffer growth: a receive makes room for 43008 bytes unless told
    // otherwise, and both buffers grow with slack so steady traffic reuses
    // them.
    static constexpr int32_t DefaultReceiveSize = 43008;
    static constexpr size_t ReceiveSlack = 2048;
    static constexpr size_t SendSlack = 1024;
    // Caps: a few seconds of a fast transfer; nothing the engine speaks needs
    // more buffered at once (a block message is 16 KiB and change).
    static constexpr size_t DefaultSendCap = 4 * 1024 * 1024;
    static constexpr size_t DefaultReceiveCap = 4 * 1024 * 1024;
    // Listen backlogs: TCP, and UDP streams (accepted by the UDP server
    // itself, so they queue far more cheaply).
    static constexpr int TcpBacklog = 32;
    static constexpr int UdpStreamBacklog = 1024;
    // SO_RCVBUF requests outside 1..1 MiB fall back to 8 KiB.
    static constexpr int MaxReceiveBufferOption = 1048576;
    static constexpr int FallbackReceiveBufferOption = 8192;
    // Waits: -1 without limit; -2 without limit in blocking mode, else a poll.
    static constexpr int WaitForever = -1;
    static constexpr int WaitPerMode = -2;
    static constexpr size_t NodeIdentitySize = 13;

    QTcpSocket();
    ~QTcpSocket();
    QTcpSocket(const QTcpSocket&) = delete;
    QTcpSocket& operator=(const QTcpSocket&) = delete;

    bool Open(bool blocking, bool udp_stream);
    // `node_id` (8 bytes) selects a UDP stream to that node.
    bool Connect(uint32_t address, int32_t port, bool blocking, uint32_t local_address = 0,
                 const std::array<uint8_t, 8>* node_id = nullptr);
    bool ConnectHost(const std::string& host, int32_t port, bool blocking, uint32_t local_address = 0,
                     const std::array<uint8_t, 8>* node_id = nullptr);
    bool Listen(int32_t port, uint32_t local_address = 0, bool udp_stream = false);
    std::unique_ptr<QTcpSocket> AcceptNext();
    bool IsEstablished();

    // Bytes sent now, or -1 when the connection failed (and was closed).
    int64_t Send(const uint8_t* data, int64_t length);
    int64_t Send(const std::string& bytes) {
        return Send(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
    }
    int64_t Flush();
    // Bytes held in the receive buffer, 0 when nothing can be read yet, -1
    // when the connection is lost.
    int64_t Receive(int32_t size = DefaultReceiveSize);
    // Reads up to `room` bytes straight into the caller's memory, bypassing
    // the receive buffer (which the caller has emptied first): bytes read,
    // 0 when nothing can be read yet, -1 when the connection is lost.
    int64_t ReceiveInto(uint8_t* place, size_t room);
    // Puts bytes read by ReceiveInto that the caller cannot use yet into the
    // empty receive buffer, as if Receive had read them; false when the
    // buffer is not empty or cannot hold them.
    bool PutBack(const uint8_t* data, size_t length);
    void Consume(int64_t count, bool keep);
    void ConsumeSent(int64_t count, bool keep);

    bool WaitWritable(int seconds);
    bool WaitReadable(int seconds);
    bool SetReceiveBufferSize(int bytes);
    int64_t AverageSendRate(int64_t now) const;
    int64_t AverageReceiveRate(int64_t now) const;
    void Close();

    // State for the owner.
    bool IsOpen() const { return m_socket != InvalidSocketHandle; }
    bool IsListening() const { return m_listening; }
    bool IsConnectedFlag() const { return m_connected; }
    bool IsBlocking() const { return m_blocking; }
    bool IsUdpStream() const { return m_udp_stream; }
    const std::string& PeerText() const { return m_peer_text; }
    uint32_t RemoteAddress() const { return m_remote_address; }
    int32_t RemotePort() const { return m_remote_port; }
    uint32_t LocalAddressValue() const { return m_local_address; }
    int32_t LocalPort() const { return m_local_port; }
    const uint8_t* ReceiveData() const { return m_receive.Data(); }
    size_t ReceiveCount() const { return m_receive.Count(); }
    size_t ReceiveCapacity() const { return m_receive.Capacity(); }
    size_t SendCount() const { return m_send.Count(); }
    size_t SendCapacity() const { return m_send.Capacity(); }
    int64_t SentTotal() const { return m_sent_total; }
    int64_t ReceivedTotal() const { return m_received_total; }
    int32_t LastError() const { return m_last_error; }
    int64_t ConnectTime() const { return m_connect_time; }
    int64_t EstablishedTime() const { return m_established_time; }
    const std::array<uint8_t, NodeIdentitySize>& NodeIdentity() const { return m_node_identity; }
    bool IsHttpWrapped() const { return m_http_wrapped; }
    void SetHttpWrapped(bool wrapped) { m_http_wrapped = wrapped; }
    bool KeepsBuffers() const { return m_keep_buffers; }
    void SetKeepBuffers(bool keep) { m_keep_buffers = keep; }
    void SetReadablePending() { m_readable_pending = true; }
    void SetWritablePending() { m_writable_pending = true; }
    void SetBufferCaps(size_t send_cap, size_t receive_cap);

    // Marks the open TCP connections among `sockets` whose kernel holds input
    // for them (or an error the next receive reports), in one call and
    // without waiting; UDP streams, listeners and closed sockets stay 0.
    static void MarkInputWaiting(const std::vector<QTcpSocket*>& sockets, std::vector<uint8_t>* waiting);
    // Waits up to `timeout_ms` until one of the open TCP connections among
    // `sockets` has input (or an error), or room in its kernel buffer while
    // it holds unsent output. False, without waiting, when none of them can
    // be waited on (UDP streams, listeners, closed sockets): the caller then
    // paces itself. Otherwise 1 when something became ready, 0 on time-out.
    static int WaitForActivity(const std::vector<QTcpSocket*>& sockets, int timeout_ms);

    // TCP connects under way in the whole process.
    static int32_t HalfOpenCount();
    // How many may be under way at once: 64 until the shared services start,
    // then min(32, system limit - 2), or 32 when the system limit is unknown
    // (negative) or not above 2.
    static int32_t HalfOpenLimit();
    static void SetHalfOpenLimitFromSystem(int32_t system_limit);
    static void ResetHalfOpenLimit();

private:
    QSocketCalls* Calls() const;
    bool ReadLocalName();
    void TakeNodeIdentity(const QSocketAddress& address);
    bool Fail();
    bool Wait(bool for_write, int seconds);
    int64_t SendBuffered(int64_t limit);
    // One recv into `place`: bytes read, 0 when it would block, -1 when the
    // connection failed or ended (it is closed then).
    int64_t RecvInto(uint8_t* place, size_t room);
    int64_t SendBlocking();
    void CountHalfOpen(bool pending);
    static int WaitMs(int seconds, bool blocking);

    QSocketBuffer m_send;
    QSocketBuffer m_receive;
    std::string m_peer_text;
    QSocketHandle m_socket = InvalidSocketHandle;
    uint32_t m_remote_address = 0;
    uint32_t m_local_address = 0;
    int32_t m_remote_port = 0;
    int32_t m_local_port = 0;
    int64_t m_sent_total = 0;
    int64_t m_received_total = 0;
    int64_t m_connect_time = 0;
    int64_t m_established_time = 0;
    int32_t m_last_error = 0;
    std::array<uint8_t, NodeIdentitySize> m_node_identity{};
    bool m_readable_pending = false;
    bool m_writable_pending = false;
    bool m_connected = false;
    bool m_listening = false;
    bool m_blocking = false;
    bool m_http_wrapped = false;
    bool m_udp_stream = false;
    bool m_keep_buffers = false;
    bool m_half_open = false;  // counted in the process's half-open count
};

}  // namespace engine
