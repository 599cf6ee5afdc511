#include "engine/net/QSocketCalls.h"

#include <atomic>
#include <limits>
#include <vector>

#include "platform/Socket.h"

namespace engine {
namespace {

platform::SocketHandle Fd(QSocketHandle s) {
    if (s < 0 || s > std::numeric_limits<platform::SocketHandle>::max()) return platform::InvalidSocket;
    return static_cast<platform::SocketHandle>(s);
}

platform::SocketAddress ToPlatform(const QSocketAddress& a) { return {a.address, a.port}; }

QSocketAddress FromPlatform(const platform::SocketAddress& a) {
    QSocketAddress out;
    out.address = a.ip;
    out.port = a.port;
    return out;
}

class TcpCalls final : public QSocketCalls {
public:
    QSocketHandle Socket() override { return platform::CreateTcpSocket(); }

    int Connect(QSocketHandle s, const QSocketAddress& to) override {
        switch (platform::Connect(Fd(s), ToPlatform(to))) {
            case platform::ConnectResult::Connected:
                return 0;
            case platform::ConnectResult::Pending:
                platform::SetLastSocketError(platform::SocketError::InProgress);
                return -1;
            case platform::ConnectResult::Failed:
                break;
        }
        return -1;
    }

    int ConnectState(QSocketHandle s) override {
        const int ready = Wait(s, true, 0);
        if (ready <= 0) return ready;
        // A failed connect polls writable (and in error) too: ask the socket.
        return platform::PendingConnectError(Fd(s)) == 0 ? 1 : -1;
    }

    int Bind(QSocketHandle s, const QSocketAddress& local) override {
        return platform::Bind(Fd(s), ToPlatform(local)) ? 0 : -1;
    }

    int Listen(QSocketHandle s, int backlog) override { return platform::Listen(Fd(s), backlog) ? 0 : -1; }

    QSocketHandle Accept(QSocketHandle s, QSocketAddress* peer) override {
        platform::SocketAddress from;
        const platform::SocketHandle accepted = platform::Accept(Fd(s), &from);
        if (accepted == platform::InvalidSocket) return InvalidSocketHandle;
        if (peer) *peer = FromPlatform(from);
        return accepted;
    }

    int GetSockName(QSocketHandle s, QSocketAddress* local) override {
        platform::SocketAddress name;
        if (!platform::LocalAddressOf(Fd(s), &name)) return -1;
        if (local) *local = FromPlatform(name);
        return 0;
    }

    int64_t Send(QSocketHandle s, const uint8_t* data, size_t length) override {
        return platform::Send(Fd(s), data, length);
    }

    int64_t Recv(QSocketHandle s, uint8_t* buffer, size_t length) override {
        return platform::Recv(Fd(s), buffer, length);
    }

    int Wait(QSocketHandle s, bool for_write, int timeout_ms) override {
        std::vector<platform::PollEntry> entries(1);
        entries[0].socket = Fd(s);
        entries[0].want_read = !for_write;
        entries[0].want_write = for_write;
        const int ready = platform::PollSockets(entries, timeout_ms);
        if (ready < 0) return -1;
        const platform::PollEntry& e = entries[0];
        return (e.readable || e.writable || e.failed) ? 1 : 0;
    }

    int CloseSocket(QSocketHandle s) override { return platform::CloseSocket(Fd(s)) ? 0 : -1; }

    bool SetNonBlocking(QSocketHandle s) override { return platform::SetNonBlocking(Fd(s), true); }

    bool SetReceiveBufferSize(QSocketHandle s, int bytes) override {
        return platform::SetReceiveBufferSize(Fd(s), bytes);
    }

    bool SetReuseAddress(QSocketHandle s) override { return platform::SetReuseAddress(Fd(s), true); }
};

std::atomic<QSocketCalls*> g_udp_calls{nullptr};

}  // namespace

QSocketCalls& TcpSocketCalls() {
    static TcpCalls calls;
    return calls;
}

QSocketCalls* UdpStreamCalls() { return g_udp_calls.load(); }

void SetUdpStreamCalls(QSocketCalls* calls) { g_udp_calls.store(calls); }

void PollTcpInput(const std::vector<QSocketHandle>& handles, std::vector<uint8_t>* ready) {
    ready->assign(handles.size(), 0);
    if (handles.empty()) return;
    std::vector<platform::PollEntry> entries(handles.size());
    for (size_t i = 0; i < handles.size(); ++i) {
        entries[i].socket = Fd(handles[i]);
        entries[i].want_read = true;
    }
    if (platform::PollSockets(entries, 0) <= 0) return;
    for (size_t i = 0; i < entries.size(); ++i) (*ready)[i] = (entries[i].readable || entries[i].failed) ? 1 : 0;
}

bool WaitTcpActivity(const std::vector<QSocketHandle>& handles, const std::vector<uint8_t>& want_write,
                     int timeout_ms) {
    if (handles.empty()) return false;
    std::vector<platform::PollEntry> entries(handles.size());
    for (size_t i = 0; i < handles.size(); ++i) {
        entries[i].socket = Fd(handles[i]);
        entries[i].want_read = true;
        entries[i].want_write = i < want_write.size() && want_write[i] != 0;
    }
    return platform::PollSockets(entries, timeout_ms) > 0;
}

}  // namespace engine
