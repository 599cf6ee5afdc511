#include "engine/base/EngineSettings.h"

#include <atomic>
#include <mutex>

namespace engine {

namespace {
// The P2P transfers stay off until the application switches them on (the
// server's resource list may forbid them).
std::atomic<bool> g_p2p{false};
std::atomic<uint16_t> g_listen_port{0};
std::atomic<bool> g_http_prefix{false};
std::mutex g_folder_lock;
std::string g_work_folder;
std::atomic<bool> g_udp_stop_when_reachable{true};
std::mutex g_rendezvous_lock;
std::string g_rendezvous_host;
// The rendezvous server's well-known UDP port.
constexpr int32_t DefaultRendezvousPort = 82;
int32_t g_rendezvous_port = DefaultRendezvousPort;
// The UDP server's start-up record keeps 127 characters of the host.
constexpr size_t RendezvousHostCapacity = 127;
constexpr uint16_t DefaultListenPort = 8080;
constexpr size_t FolderCapacity = 4095;
}  // namespace

bool IsP2PEnabled() { return g_p2p.load(); }
void SetP2PEnabledFlag(bool enabled) { g_p2p.store(enabled); }

uint16_t ListenPort() {
    uint16_t port = g_listen_port.load();
    return port == 0 ? DefaultListenPort : port;
}
void SetListenPortValue(uint16_t port) { g_listen_port.store(port); }

bool IsHttpHandshakePrefixEnabled() { return g_http_prefix.load(); }
void SetHttpHandshakePrefixFlag(bool enabled) { g_http_prefix.store(enabled); }

std::string RendezvousHost() {
    std::lock_guard<std::mutex> lock(g_rendezvous_lock);
    return g_rendezvous_host;
}

int32_t RendezvousPort() {
    std::lock_guard<std::mutex> lock(g_rendezvous_lock);
    return g_rendezvous_port;
}

void SetRendezvousServerValue(const std::string& host, int32_t port) {
    std::lock_guard<std::mutex> lock(g_rendezvous_lock);
    g_rendezvous_host = host.substr(0, RendezvousHostCapacity);
    g_rendezvous_port = port;
}

bool IsUdpStopWhenReachable() { return g_udp_stop_when_reachable.load(); }
void SetUdpStopWhenReachableFlag(bool enabled) { g_udp_stop_when_reachable.store(enabled); }

std::string WorkFolder() {
    std::lock_guard<std::mutex> lock(g_folder_lock);
    return g_work_folder;
}

void SetWorkFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(g_folder_lock);
    g_work_folder = folder.substr(0, FolderCapacity);
}

}  // namespace engine
