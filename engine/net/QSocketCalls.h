#pragma once
// The socket-like calls QTcpSocket drives: one set over real TCP sockets
// (platform/Socket.h) and, once the UDP server provides it, one over reliable
// UDP streams. Both report failures as -1 (or false) with the reason in the
// calling thread's last socket error (platform::LastSocketError), so the
// socket object's logic is the same for both; a per-object flag picks the set.
//
// Owner: the TCP set is a process-wide singleton; the UDP-stream set is
// installed by the UDP server (not owned) and removed before it stops.
// Thread: the calls are made by the thread that owns the socket object; an
// implementation guards its own shared state.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace engine {

using QSocketHandle = int64_t;
inline constexpr QSocketHandle InvalidSocketHandle = -1;

// An IPv4 endpoint as the calls exchange it. A UDP stream names its peer
// node in the 8 spare bytes of the address; TCP leaves them zero.
struct QSocketAddress {
    uint32_t address = 0;  // network order
    uint16_t port = 0;     // host order
    std::array<uint8_t, 8> node_id{};
};

class QSocketCalls {
public:
    virtual ~QSocketCalls() = default;

    // A new stream socket, or InvalidSocketHandle.
    virtual QSocketHandle Socket() = 0;
    // 0 when connected at once; -1 otherwise, with a would-block (or
    // in-progress) last error when the connect is under way.
    virtual int Connect(QSocketHandle s, const QSocketAddress& to) = 0;
    // 1 connected, 0 still connecting, -1 failed (last error says why).
    // Never blocks.
    virtual int ConnectState(QSocketHandle s) = 0;
    virtual int Bind(QSocketHandle s, const QSocketAddress& local) = 0;
    virtual int Listen(QSocketHandle s, int backlog) = 0;
    // The accepted socket, or InvalidSocketHandle (would-block when none is
    // waiting).
    virtual QSocketHandle Accept(QSocketHandle s, QSocketAddress* peer) = 0;
    virtual int GetSockName(QSocketHandle s, QSocketAddress* local) = 0;
    virtual int64_t Send(QSocketHandle s, const uint8_t* data, size_t length) = 0;
    // 0 when the peer closed the stream.
    virtual int64_t Recv(QSocketHandle s, uint8_t* buffer, size_t length) = 0;
    // Waits up to `timeout_ms` (negative: no limit) until the socket is
    // readable (or writable) or in error: 1 ready, 0 time-out, -1 failure.
    virtual int Wait(QSocketHandle s, bool for_write, int timeout_ms) = 0;
    virtual int CloseSocket(QSocketHandle s) = 0;

    // Socket options; a UDP stream accepts and ignores them.
    virtual bool SetNonBlocking(QSocketHandle s) = 0;
    virtual bool SetReceiveBufferSize(QSocketHandle s, int bytes) = 0;
    virtual bool SetReuseAddress(QSocketHandle s) = 0;
};

// The calls over real TCP sockets.
QSocketCalls& TcpSocketCalls();

// Which of `handles` (TCP sockets) have input waiting, or an error that the
// next receive reports, without waiting: (*ready)[i] becomes 1 for those and
// 0 for the rest (all 0 when the check itself fails). One system call for
// the whole set.
void PollTcpInput(const std::vector<QSocketHandle>& handles, std::vector<uint8_t>* ready);
// Waits up to `timeout_ms` until one of `handles` (TCP sockets) has input
// or an error, or, for those whose `want_write` entry is set, room to send.
// True when something became ready; at once false when `handles` is empty.
bool WaitTcpActivity(const std::vector<QSocketHandle>& handles, const std::vector<uint8_t>& want_write,
                     int timeout_ms);

// The UDP-stream calls, or nullptr while no UDP server provides them (a
// connect or listen that asks for a UDP stream then fails).
QSocketCalls* UdpStreamCalls();
void SetUdpStreamCalls(QSocketCalls* calls);

}  // namespace engine
