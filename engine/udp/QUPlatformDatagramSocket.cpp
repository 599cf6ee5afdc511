// The UDP server's socket over the platform layer's BSD sockets.

#include "engine/udp/QUDatagramSocket.h"
#include "platform/Socket.h"

namespace engine {

namespace {

class PlatformDatagramSocket final : public QUDatagramSocket {
public:
    ~PlatformDatagramSocket() override { Close(); }

    QUOpenResult Open(uint16_t port, int buffer_bytes) override {
        Close();
        platform::SocketHandle s = platform::CreateUdpSocket();
        if (s == platform::InvalidSocket) {
            m_error = platform::LastSocketError();
            return QUOpenResult::CreateFailed;
        }
        if (!platform::Bind(s, platform::SocketAddress{0, port})) {
            m_error = platform::LastSocketError();
            platform::CloseSocket(s);
            return QUOpenResult::BindFailed;
        }
        platform::SetBroadcast(s, false);
        platform::SetNonBlocking(s, true);
        platform::SetSendBufferSize(s, buffer_bytes);
        platform::SetReceiveBufferSize(s, buffer_bytes);
        m_socket = s;
        return QUOpenResult::Ok;
    }

    void Close() override {
        if (m_socket == platform::InvalidSocket) return;
        platform::CloseSocket(m_socket);
        m_socket = platform::InvalidSocket;
    }

    bool IsOpen() const override { return m_socket != platform::InvalidSocket; }

    QUSendStatus SendTo(const uint8_t* data, size_t size, uint32_t address, uint16_t port) override {
        if (m_socket == platform::InvalidSocket) return QUSendStatus::SocketError;
        const int64_t sent = platform::SendTo(m_socket, data, size, platform::SocketAddress{address, port});
        if (sent == static_cast<int64_t>(size)) return QUSendStatus::Sent;
        if (sent >= 0) return QUSendStatus::WouldBlock;
        m_error = platform::LastSocketError();
        switch (platform::ClassifyDatagramError(m_error)) {
            case platform::DatagramErrorScope::Transient: return QUSendStatus::WouldBlock;
            case platform::DatagramErrorScope::Destination: return QUSendStatus::DestinationError;
            case platform::DatagramErrorScope::Socket: break;
        }
        return QUSendStatus::SocketError;
    }

    QURecvResult RecvFrom(uint8_t* buffer, size_t capacity) override {
        QURecvResult result;
        if (m_socket == platform::InvalidSocket) {
            result.status = QURecvStatus::Failed;
            return result;
        }
        platform::SocketAddress from;
        const int64_t n = platform::RecvFrom(m_socket, buffer, capacity, &from);
        if (n >= 0) {
            result.status = QURecvStatus::Datagram;
            result.size = static_cast<size_t>(n);
            result.address = from.ip;
            result.port = from.port;
            return result;
        }
        m_error = platform::LastSocketError();
        // An ICMP error queued for an earlier destination surfaces here too;
        // it says nothing about the socket.
        result.status = platform::ClassifyDatagramError(m_error) == platform::DatagramErrorScope::Socket
                            ? QURecvStatus::Failed
                            : QURecvStatus::Nothing;
        return result;
    }

    int LastError() const override { return m_error; }

private:
    platform::SocketHandle m_socket = platform::InvalidSocket;
    int m_error = 0;
};

}  // namespace

std::unique_ptr<QUDatagramSocket> MakePlatformDatagramSocket() { return std::make_unique<PlatformDatagramSocket>(); }

}  // namespace engine
