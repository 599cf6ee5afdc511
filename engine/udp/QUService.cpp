#include "engine/udp/QUService.h"

#include <memory>
#include <mutex>

#include "engine/udp/QUInternalServer.h"

namespace engine {

namespace {

struct Service {
    std::mutex mutex;
    QUEnvironment environment;
    std::unique_ptr<QUInternalServer> server;
    // The flag outlives a server that does not exist yet.
    bool transport_stopped = false;
};

Service& S() {
    static Service service;
    return service;
}

// With S().mutex held.
QUInternalServer& Instance() {
    Service& s = S();
    if (!s.server) {
        s.server = std::make_unique<QUInternalServer>(s.environment);
        s.server->SetTransportStopped(s.transport_stopped);
    }
    return *s.server;
}

}  // namespace

void QUSetEnvironment(QUEnvironment environment) {
    std::lock_guard lock(S().mutex);
    S().environment = std::move(environment);
}

int32_t QUStartup(const QUConfig& config) {
    std::lock_guard lock(S().mutex);
    return Instance().Startup(config);
}

void QUSetLocalAddress(uint32_t address, int32_t port) {
    std::lock_guard lock(S().mutex);
    if (S().server) S().server->SetLocalAddress(address, port);
}

bool QUIsBehindNat() {
    std::lock_guard lock(S().mutex);
    return S().server && S().server->IsBehindNat();
}

void QUCleanup() {
    std::lock_guard lock(S().mutex);
    if (S().server) S().server->Cleanup();
}

void QUShutdown() {
    std::unique_ptr<QUInternalServer> server;
    {
        std::lock_guard lock(S().mutex);
        server = std::move(S().server);
    }
    if (server) server->Stop();
}

void QUSetTransportStopped(bool stopped) {
    std::lock_guard lock(S().mutex);
    S().transport_stopped = stopped;
    if (S().server) S().server->SetTransportStopped(stopped);
}

uint32_t QULocalAddress() {
    std::lock_guard lock(S().mutex);
    return S().server ? S().server->LocalAddress() : 0;
}

QUInternalServer* QUServer() {
    std::lock_guard lock(S().mutex);
    return S().server.get();
}

}  // namespace engine
