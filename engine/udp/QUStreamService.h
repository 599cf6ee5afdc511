#pragma once
// QUStreamService: joins one UDP server to one stream core. The server hands
// it stream datagrams, rendezvous results and its timer passes (as the
// server's QUStreamHandler); the core sends, asks lookups and ends punching
// through it (as the core's QUStreamHost); the socket layer reaches the core
// through Calls(), the QSocketCalls set QTcpSocket uses for UDP streams.
//
// Owner: whoever owns the server (QUService keeps one beside the process's
// server; tests make their own). It must outlive the server's use of it:
// detach it (SetStreamHandler(nullptr)) or stop the server first.
// Thread: every entry takes the server's lock (recursive), so the server's
// thread and the socket callers never meet inside the core.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/base/QTMutex.h"
#include "engine/net/QSocketCalls.h"
#include "engine/udp/QUStreamCore.h"
#include "engine/udp/QUStreamHandler.h"

namespace engine {

class QUInternalServer;

class QUStreamService final : public QUStreamHandler, public QUStreamHost {
public:
    explicit QUStreamService(QUInternalServer& server);
    ~QUStreamService() override;
    QUStreamService(const QUStreamService&) = delete;
    QUStreamService& operator=(const QUStreamService&) = delete;

    // The socket-like calls over this core.
    QSocketCalls& Calls() { return *m_calls; }

    // Runs `use` on the core with the server lock held, after the core took
    // the server's current process-wide values.
    template <typename Use>
    auto WithCore(Use&& use) {
        QTMutexLocker lock(Lock());
        SyncLocked();
        return use(m_core, NowLocked());
    }

    // Callers waiting for a stream to become ready sleep until the server's
    // thread has given the core something new (or `limit` passes): Changes
    // counts those moments, WaitForChange waits for the count to move past
    // `seen`.
    uint64_t Changes();
    void WaitForChange(uint64_t seen, std::chrono::milliseconds limit);

    // QUStreamHandler.
    void OnStreamPacket(const uint8_t* data, size_t size, uint32_t from_address, uint16_t from_port) override;
    void OnLookupResolved(const QUNodeId& target, const QUNodeId& node_id, uint32_t address,
                          uint16_t port) override;
    void OnLookupFinished(uint32_t request_id) override;
    void OnPunch(const QUPunch& punch, uint32_t from_address, uint16_t from_port) override;
    void RetransmissionPass() override;
    void AcknowledgementPass() override;
    void MaintenancePass() override;
    void DropAll() override;

    // QUStreamHost.
    QUSendResult SendDatagram(const uint8_t* data, size_t length, platform::SocketAddress to) override;
    int32_t RequestLookup(uint32_t ip, const QUNodeId& node_id) override;
    void ForgetPunch(platform::SocketAddress from) override;

private:
    QTMutex& Lock();
    void SyncLocked();
    QUNow NowLocked();
    void Changed();

    QUInternalServer& m_server;
    QUStreamCore m_core;
    std::unique_ptr<QSocketCalls> m_calls;
    // Innermost: taken with or without the server lock, never around it.
    std::mutex m_change_lock;
    std::condition_variable m_change;
    uint64_t m_changes = 0;
};

}  // namespace engine
