// The UDP server's socket over the platform layer's BSD sockets.

#include <atomic>
#include <vector>

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
        m_socket.store(s);
        return QUOpenResult::Ok;
    }

    void Close() override {
        const platform::SocketHandle s = m_socket.exchange(platform::InvalidSocket);
        if (s != platform::InvalidSocket) platform::CloseSocket(s);
    }

    bool IsOpen() const override { return m_socket.load() != platform::InvalidSocket; }

    QUSendStatus SendTo(const uint8_t* data, size_t size, uint32_t address, uint16_t port) override {
        const platform::SocketHandle s = m_socket.load();
        if (s == platform::InvalidSocket) return QUSendStatus::SocketError;
        const int64_t sent = platform::SendTo(s, data, size, platform::SocketAddress{address, port});
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
        const platform::SocketHandle s = m_socket.load();
        if (s == platform::InvalidSocket) {
            result.status = QURecvStatus::Failed;
            return result;
        }
        platform::SocketAddress from;
        const int64_t n = platform::RecvFrom(s, buffer, capacity, &from);
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

    void WaitForDatagram(uint32_t timeout_ms) override {
        // A socket closed (or its number reused) while this waits only ends
        // the wait early or lets it run out: the next pass looks again.
        const platform::SocketHandle s = m_socket.load();
        if (s == platform::InvalidSocket) return platform::SleepMs(timeout_ms);
        std::vector<platform::PollEntry> entries{platform::PollEntry{s, true}};
        platform::PollSockets(entries, static_cast<int>(timeout_ms));
    }

    int LastError() const override { return m_error; }

private:
    // Read without the server lock by WaitForDatagram; everything else runs
    // under it.
    std::atomic<platform::SocketHandle> m_socket{platform::InvalidSocket};
    int m_error = 0;
};

}  // namespace

std::unique_ptr<QUDatagramSocket> MakePlatformDatagramSocket() { return std::make_unique<PlatformDatagramSocket>(); }

}  // namespace engine
