#pragma once
// A BitTorrent peer of our own for hostile-input tests: it listens on one
// 127.0.0.x address, accepts the engine's connection and sends exactly the
// bytes a test scripts (lying handshakes, oversized lengths, unrequested
// blocks), and collects what the engine sends. Driven by the test thread;
// every wait is bounded.

#include <cstdint>
#include <string>

#include "platform/Socket.h"

namespace testing_support {

class ScriptedBtPeer {
public:
    explicit ScriptedBtPeer(uint8_t last_octet);
    ~ScriptedBtPeer();
    ScriptedBtPeer(const ScriptedBtPeer&) = delete;
    ScriptedBtPeer& operator=(const ScriptedBtPeer&) = delete;

    bool Ok() const { return m_listener != platform::InvalidSocket; }
    uint32_t Address() const { return m_address; }
    uint16_t Port() const { return m_port; }
    // Accepts the engine's connection if it is waiting; true once connected.
    bool Accept();
    bool Send(const std::string& bytes);
    // Reads what arrived; false once the engine closed the connection.
    bool Pump();
    const std::string& Received() const { return m_received; }
    bool Closed() const { return m_closed; }

private:
    uint32_t m_address = 0;
    uint16_t m_port = 0;
    platform::SocketHandle m_listener = platform::InvalidSocket;
    platform::SocketHandle m_connection = platform::InvalidSocket;
    std::string m_received;
    bool m_closed = false;
};

}  // namespace testing_support
