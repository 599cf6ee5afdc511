#pragma once
// The UDP server's one datagram socket, behind an interface so that tests
// capture what the server sends and feed it datagrams without a network.
// The production socket (MakePlatformDatagramSocket) is IPv4, bound to any
// local address, non-blocking, broadcast off.
//
// Owner: the UDP server. Thread: whoever holds the server lock, except for
// WaitForDatagram.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Clock.h"

namespace engine {

enum class QUOpenResult {
    Ok,
    CreateFailed,  // no socket could be created (LastError says why)
    BindFailed,    // the port is taken or not ours to bind
};

enum class QUSendStatus {
    Sent,              // every byte was taken
    WouldBlock,        // the send buffer is full: try again later
    DestinationError,  // this destination cannot be reached; the socket is fine
    SocketError,       // the socket itself failed and must be opened again
};

enum class QURecvStatus {
    Datagram,  // one datagram (possibly empty) was read
    Nothing,   // none is waiting
    Failed,    // the socket itself failed and must be opened again
};

struct QURecvResult {
    QURecvStatus status = QURecvStatus::Nothing;
    size_t size = 0;
    uint32_t address = 0;  // network order
    uint16_t port = 0;     // host order
};

class QUDatagramSocket {
public:
    virtual ~QUDatagramSocket() = default;
    // Closes any open socket first; binds `port` on any local address.
    virtual QUOpenResult Open(uint16_t port, int buffer_bytes) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual QUSendStatus SendTo(const uint8_t* data, size_t size, uint32_t address, uint16_t port) = 0;
    // Reads one datagram of at most `capacity` bytes.
    virtual QURecvResult RecvFrom(uint8_t* buffer, size_t capacity) = 0;
    // Waits up to `timeout_ms` for a datagram to arrive. Called by the
    // server's thread without the server lock, so another thread may close
    // or reopen the socket meanwhile: the wait may then end early, never
    // late. A socket that cannot wait just sleeps.
    virtual void WaitForDatagram(uint32_t timeout_ms) { platform::SleepMs(timeout_ms); }
    // The error of the last failed call, for the log.
    virtual int LastError() const = 0;
};

std::unique_ptr<QUDatagramSocket> MakePlatformDatagramSocket();

}  // namespace engine
