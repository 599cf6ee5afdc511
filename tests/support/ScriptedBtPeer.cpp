#include "tests/support/ScriptedBtPeer.h"

namespace testing_support {

ScriptedBtPeer::ScriptedBtPeer(uint8_t last_octet) : m_address(platform::MakeIpv4(127, 0, 0, last_octet)) {
    platform::SocketHandle s = platform::CreateTcpSocket();
    platform::SocketAddress local{m_address, 0};
    if (s == platform::InvalidSocket || !platform::Bind(s, local) || !platform::Listen(s, 4) ||
        !platform::LocalAddressOf(s, &local) || !platform::SetNonBlocking(s, true)) {
        if (s != platform::InvalidSocket) platform::CloseSocket(s);
        return;
    }
    m_listener = s;
    m_port = local.port;
}

ScriptedBtPeer::~ScriptedBtPeer() {
    if (m_connection != platform::InvalidSocket) platform::CloseSocket(m_connection);
    if (m_listener != platform::InvalidSocket) platform::CloseSocket(m_listener);
}

bool ScriptedBtPeer::Accept() {
    if (m_connection != platform::InvalidSocket) return true;
    platform::SocketAddress from;
    m_connection = platform::Accept(m_listener, &from);
    if (m_connection == platform::InvalidSocket) return false;
    platform::SetNonBlocking(m_connection, true);
    return true;
}

bool ScriptedBtPeer::Send(const std::string& bytes) {
    size_t at = 0;
    // Loopback takes a few hundred KiB at once; a full buffer waits briefly.
    for (int guard = 0; guard < 100000 && at < bytes.size(); ++guard) {
        int64_t n = platform::Send(m_connection, bytes.data() + at, bytes.size() - at);
        if (n > 0) {
            at += static_cast<size_t>(n);
        } else if (n < 0 && !platform::IsWouldBlock(platform::LastSocketError())) {
            return false;
        }
    }
    return at == bytes.size();
}

bool ScriptedBtPeer::Pump() {
    char buffer[65536];
    for (int guard = 0; guard < 64; ++guard) {
        int64_t n = platform::Recv(m_connection, buffer, sizeof buffer);
        if (n > 0) {
            m_received.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || !platform::IsWouldBlock(platform::LastSocketError())) m_closed = true;
        break;
    }
    return !m_closed;
}

}  // namespace testing_support
