#include "engine/frame/UdpServices.h"

#include <mutex>

#include "engine/base/EngineSettings.h"
#include "engine/base/NodeIdentity.h"
#include "engine/frame/EngineApiHooks.h"
#include "engine/frame/SharedServices.h"
#include "engine/frame/WorkList.h"
#include "engine/pieces/QBufferPool.h"
#include "engine/udp/QUService.h"

namespace engine {

namespace {

// The values the engine starts its UDP server with: PING every 52 s while
// behind NAT, streams and punches time out after 30 s, and port 8000 until
// the TCP listener's port is known.
constexpr int32_t KeepAliveS = 52;
constexpr int32_t StreamTimeoutS = 30;
constexpr int32_t FirstLocalPort = 8000;
// The packet pool is trimmed only when it is big (over 2 MiB) and mostly
// idle (at most 35 % in use); it then keeps idle buffers worth a fifth of
// the bytes in use.
constexpr int64_t PacketPoolTrimAboveBytes = 2048 * 1024;
constexpr int64_t PacketPoolBusyPercent = 35;
constexpr int64_t PacketPoolIdleShare = 5;

void TrimPacketPool() {
    QBufferPool& pool = BufferPools::UdpPackets();
    int64_t in_use = 0;
    const int64_t total = pool.Usage(&in_use);
    if (total > PacketPoolTrimAboveBytes && in_use * 100 <= total * PacketPoolBusyPercent) {
        pool.Trim(in_use / PacketPoolIdleShare);
    }
}

void ReleasePacketPool() { BufferPools::UdpPackets().Trim(0); }

void StartUdpServer() {
    // Without a rendezvous server the node could learn nothing about its
    // NAT; the application names one (SetRendezvousServer) before the first
    // task.
    const std::string host = RendezvousHost();
    if (host.empty()) return;
    QUStartup(MakeQUConfig(host, RendezvousPort(), KeepAliveS, StreamTimeoutS, FirstLocalPort, 0, NodeIdentity()));
}

// The UDP server with its rendezvous client: started with the first task,
// emptied after the last, stopped at engine shutdown. It follows the TCP
// listener's address and port and the transport-stopped flag, and reports
// the local address for the listener's 180-second check.
void RegisterUdpServer() {
    QUEnvironment environment;
    environment.trim_packet_pool = TrimPacketPool;
    environment.release_packet_pool = ReleasePacketPool;
    QUSetEnvironment(std::move(environment));
    AddSharedServiceHooks(SharedServiceHooks{StartUdpServer, QUCleanup});
    EditSharedServiceSeams([](SharedServiceSeams& seams) {
        seams.udp_local_address = QULocalAddress;
        seams.set_local_address = QUSetLocalAddress;
        seams.set_transport_stopped = QUSetTransportStopped;
    });
    SetUdpServerShutdown(QUShutdown);
}

}  // namespace

void InstallUdpServices() {
    static std::once_flag once;
    std::call_once(once, [] {
        // One registration per UDP service, in start order.
        RegisterUdpServer();
    });
}

}  // namespace engine
