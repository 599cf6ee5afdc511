#pragma once
// A one-connection TCP server on 127.0.0.1 (ephemeral port) that misbehaves
// on demand, for socket tests: it accepts one connection and then never
// reads, resets the connection once the client has sent something, trickles
// a payload one byte at a time, or echoes. It runs on its own thread; every
// wait in it is bounded and the destructor stops and joins it.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/Socket.h"

namespace testing_support {

class LoopbackPeer {
public:
    enum class Mode {
        NeverRead,     // accept, hold the connection, read nothing
        ResetOnData,   // accept, wait for bytes, close unread: the kernel sends RST
        Trickle,       // send the payload one byte per write, then close
        Echo,          // send back whatever arrives, until the client closes
    };

    // `receive_buffer_bytes` > 0 shrinks the accepted socket's receive window
    // (set on the listener, so it applies from the handshake on).
    explicit LoopbackPeer(Mode mode, std::string payload = {}, int receive_buffer_bytes = 0);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool Ok() const { return m_listener != platform::InvalidSocket; }
    uint16_t Port() const { return m_port; }
    // Network-order 127.0.0.1.
    static uint32_t Address() { return platform::LoopbackIpv4(); }
    bool Accepted() const { return m_accepted.load(); }
    // Writes the Trickle mode made (one byte each).
    int TrickleWrites() const { return m_trickle_writes.load(); }

private:
    void Run();
    bool WaitReady(platform::SocketHandle s, bool for_write);
    void Trickle(platform::SocketHandle s);
    void Echo(platform::SocketHandle s);

    Mode m_mode;
    std::string m_payload;
    platform::SocketHandle m_listener = platform::InvalidSocket;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_accepted{false};
    std::atomic<int> m_trickle_writes{0};
    std::thread m_thread;
};

}  // namespace testing_support
