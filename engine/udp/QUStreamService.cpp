#include "engine/udp/QUStreamService.h"

#include <algorithm>
#include <chrono>

#include "engine/udp/QUInternalServer.h"
#include "engine/udp/RendezvousCodec.h"
#include "platform/Socket.h"

namespace engine {

namespace {

// A waiting caller looks at the core again whenever the server's thread has
// handed it something (a datagram, a pass), and at least this often, for
// changes other callers make.
constexpr auto WaitStep = std::chrono::milliseconds(50);

QSocketHandle ToSocket(QUHandle h) { return h == InvalidQUHandle ? InvalidSocketHandle : QSocketHandle{h}; }

QUHandle ToStream(QSocketHandle s) {
    return s <= 0 || s > QSocketHandle{UINT32_MAX} ? InvalidQUHandle : static_cast<QUHandle>(s);
}

// The QSocketCalls set over one core. Every call runs with the server lock
// held; Wait releases it between looks.
class StreamCalls final : public QSocketCalls {
public:
    explicit StreamCalls(QUStreamService& service) : m_service(service) {}

    QSocketHandle Socket() override {
        return ToSocket(m_service.WithCore([](QUStreamCore& core, const QUNow& now) { return core.QUSocket(now); }));
    }
    int Connect(QSocketHandle s, const QSocketAddress& to) override {
        return m_service.WithCore(
            [&](QUStreamCore& core, const QUNow& now) { return core.QUConnect(ToStream(s), &to, now); });
    }
    int ConnectState(QSocketHandle s) override {
        return m_service.WithCore([&](QUStreamCore& core, const QUNow&) {
            QUStreamInfo info;
            if (!core.Inspect(ToStream(s), &info)) {
                platform::SetLastSocketError(platform::SocketError::NotSocket);
                return -1;
            }
            if (info.state == QUState::Dead) {
                // A stream that never connected was refused or timed out
                // while resolving or connecting; one that did was reset.
                platform::SetLastSocketError(info.connected ? platform::SocketError::ConnectionReset
                                                            : platform::SocketError::ConnectionRefused);
                return -1;
            }
            platform::SetLastSocketError(0);
            return info.connected && info.state == QUState::Established ? 1 : 0;
        });
    }
    int Bind(QSocketHandle s, const QSocketAddress& local) override {
        return m_service.WithCore([&](QUStreamCore& core, const QUNow&) { return core.QUBind(ToStream(s), &local); });
    }
    int Listen(QSocketHandle s, int backlog) override {
        return m_service.WithCore(
            [&](QUStreamCore& core, const QUNow&) { return core.QUListen(ToStream(s), backlog); });
    }
    QSocketHandle Accept(QSocketHandle s, QSocketAddress* peer) override {
        return ToSocket(m_service.WithCore(
            [&](QUStreamCore& core, const QUNow& now) { return core.QUAccept(ToStream(s), peer, now); }));
    }
    int GetSockName(QSocketHandle s, QSocketAddress* local) override {
        return m_service.WithCore(
            [&](QUStreamCore& core, const QUNow&) { return core.QUGetSockName(ToStream(s), local); });
    }
    int64_t Send(QSocketHandle s, const uint8_t* data, size_t length) override {
        return m_service.WithCore([&](QUStreamCore& core, const QUNow& now) {
            return core.QUSend(ToStream(s), data, static_cast<int64_t>(length), now);
        });
    }
    int64_t Recv(QSocketHandle s, uint8_t* buffer, size_t length) override {
        return m_service.WithCore([&](QUStreamCore& core, const QUNow&) -> int64_t {
            const int64_t got = core.QURecv(ToStream(s), buffer, static_cast<int64_t>(length));
            if (got >= 0) return got;
            const int error = platform::LastSocketError();
            QUStreamInfo info;
            // Everything the peer sent before it closed has been read: the
            // end of the stream, as a TCP receive reports it.
            if (core.Inspect(ToStream(s), &info) && info.state == QUState::Dead && info.connected) {
                platform::SetLastSocketError(0);
                return 0;
            }
            platform::SetLastSocketError(error);
            return -1;
        });
    }
    int Wait(QSocketHandle s, bool for_write, int timeout_ms) override {
        const QUHandle h = ToStream(s);
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            // Taken before the look, so a change made right after it still
            // ends the wait that follows.
            const uint64_t seen = m_service.Changes();
            const int ready = m_service.WithCore([&](QUStreamCore& core, const QUNow&) {
                std::vector<QUHandle> wanted{h};
                std::vector<QUHandle> failed{h};
                core.QUSelect(for_write ? nullptr : &wanted, for_write ? &wanted : nullptr, &failed);
                if (!wanted.empty() || !failed.empty()) return 1;
                QUStreamInfo info;
                // A handle the core does not know never becomes ready.
                if (!core.Inspect(h, &info)) {
                    platform::SetLastSocketError(platform::SocketError::NotSocket);
                    return -1;
                }
                return 0;
            });
            if (ready != 0) return ready;
            const auto waited = std::chrono::steady_clock::now() - start;
            if (timeout_ms >= 0 && waited >= std::chrono::milliseconds(timeout_ms)) return 0;
            auto step = WaitStep;
            if (timeout_ms >= 0) {
                step = std::min(step, std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::milliseconds(timeout_ms) - waited) +
                                          std::chrono::milliseconds(1));
            }
            m_service.WaitForChange(seen, step);
        }
    }
    int CloseSocket(QSocketHandle s) override {
        return m_service.WithCore([&](QUStreamCore& core, const QUNow&) { return core.QUCloseSocket(ToStream(s)); });
    }
    bool SetNonBlocking(QSocketHandle) override { return true; }
    bool SetReceiveBufferSize(QSocketHandle, int) override { return true; }
    bool SetReuseAddress(QSocketHandle) override { return true; }

private:
    QUStreamService& m_service;
};

}  // namespace

QUStreamService::QUStreamService(QUInternalServer& server)
    : m_server(server), m_core(*this), m_calls(std::make_unique<StreamCalls>(*this)) {}

QUStreamService::~QUStreamService() = default;

QTMutex& QUStreamService::Lock() { return m_server.ServerLock(); }

void QUStreamService::SyncLocked() {
    m_core.SetNodeId(IdentityNodeId(m_server.Identity()));
    m_core.SetTimeoutSeconds(m_server.TimeoutSeconds());
    m_core.SetLocalAddress(m_server.LocalAddress());
    m_core.SetTransportStopped(m_server.IsTransportStopped());
    // Streams can be listened for once the server's socket is open.
    m_core.SetServerRunning(m_server.BoundPort() != 0);
}

uint64_t QUStreamService::Changes() {
    std::lock_guard<std::mutex> lock(m_change_lock);
    return m_changes;
}

void QUStreamService::Changed() {
    {
        std::lock_guard<std::mutex> lock(m_change_lock);
        ++m_changes;
    }
    m_change.notify_all();
}

void QUStreamService::WaitForChange(uint64_t seen, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_change_lock);
    m_change.wait_for(lock, limit, [&] { return m_changes != seen; });
}

QUNow QUStreamService::NowLocked() { return QUNow{m_server.TickMs(), m_server.Seconds()}; }

void QUStreamService::OnStreamPacket(const uint8_t* data, size_t size, uint32_t from_address, uint16_t from_port) {
    WithCore([&](QUStreamCore& core, const QUNow& now) {
        core.OnStreamPacket(data, size, platform::SocketAddress{from_address, from_port}, now);
    });
    Changed();
}

void QUStreamService::OnLookupResolved(const QUNodeId& target, const QUNodeId& node_id, uint32_t address,
                                       uint16_t port) {
    WithCore([&](QUStreamCore& core, const QUNow&) { core.OnLookupEntry(target, node_id, address, port); });
    Changed();
}

void QUStreamService::OnLookupFinished(uint32_t request_id) {
    WithCore([&](QUStreamCore& core, const QUNow&) { core.OnLookupDone(static_cast<int32_t>(request_id)); });
    Changed();
}

void QUStreamService::OnPunch(const QUPunch& punch, uint32_t from_address, uint16_t from_port) {
    // The core reads the PUNCH from its bytes, as they came off the wire.
    const std::vector<uint8_t> bytes = BuildPunch(punch);
    WithCore([&](QUStreamCore& core, const QUNow&) {
        core.OnPunch(bytes.data(), bytes.size(), platform::SocketAddress{from_address, from_port});
    });
    Changed();
}

void QUStreamService::RetransmissionPass() {
    WithCore([](QUStreamCore& core, const QUNow& now) { core.RetransmissionPass(now); });
    Changed();
}

void QUStreamService::AcknowledgementPass() {
    WithCore([](QUStreamCore& core, const QUNow& now) { core.AcknowledgementPass(now); });
    Changed();
}

void QUStreamService::MaintenancePass() {
    WithCore([](QUStreamCore& core, const QUNow& now) { core.MaintenancePass(now); });
    Changed();
}

void QUStreamService::DropAll() {
    WithCore([](QUStreamCore& core, const QUNow&) { core.QUCleanup(); });
    Changed();
}

QUSendResult QUStreamService::SendDatagram(const uint8_t* data, size_t length, platform::SocketAddress to) {
    switch (m_server.Send(data, length, to.ip, to.port)) {
        case QUSendStatus::Sent:
            return QUSendResult::Sent;
        case QUSendStatus::WouldBlock:
            return QUSendResult::WouldBlock;
        default:
            return QUSendResult::Failed;
    }
}

int32_t QUStreamService::RequestLookup(uint32_t ip, const QUNodeId& node_id) {
    return static_cast<int32_t>(m_server.AddLookupEntry(ip, node_id));
}

void QUStreamService::ForgetPunch(platform::SocketAddress from) { m_server.ForgetPunchEntries(from.ip, from.port); }

}  // namespace engine
