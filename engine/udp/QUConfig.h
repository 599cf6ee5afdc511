#pragma once
// The UDP server's start-up record, passed once by the engine (QUStartup),
// and the seams through which the server reaches time, its socket, the
// resolver and the engine's packet pool. The seams default to the real
// ones; tests replace them.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/udp/QUDatagramSocket.h"
#include "engine/udp/RendezvousCodec.h"

namespace engine {

struct QUConfig {
    // Rendezvous server host name; at most 127 characters are taken.
    char server_host[128] = {};
    int32_t server_port = 0;
    // PING period while behind NAT; values below 10 become 10.
    int32_t keep_alive_s = 0;
    // Stream and punch time-out; must be positive.
    int32_t timeout_s = 0;
    // UDP port bound until the engine names its TCP listener's port.
    int32_t local_port = 0;
    // This host's IPv4 address (network order); 0: chosen at bind.
    uint32_t local_address = 0;
    QUNodeId node_id{};
    uint8_t reserved[16] = {};
};

// Fills a QUConfig; the host is cut to 127 characters.
QUConfig MakeQUConfig(const std::string& host, int32_t server_port, int32_t keep_alive_s, int32_t timeout_s,
                      int32_t local_port, uint32_t local_address, const QUNodeId& node_id);

// Milliseconds (32-bit, wrapping) for the stream timers and seconds for the
// rendezvous timers.
class QUClock {
public:
    virtual ~QUClock() = default;
    virtual uint32_t TickMs() = 0;
    virtual int64_t Seconds() = 0;
};

struct QUEnvironment {
    // Null: the platform tick counter and the engine clock's uptime seconds.
    QUClock* clock = nullptr;
    // Null: the platform's UDP socket.
    std::function<std::unique_ptr<QUDatagramSocket>()> make_socket;
    // Host name to IPv4 (network order), 0xFFFFFFFF when it does not
    // resolve. Null: the engine resolver with its failed-names list. Called
    // without the server lock: it may block for seconds.
    std::function<uint32_t(const std::string&)> resolve_host;
    // This host's IPv4 address, chosen among its names' addresses. Null: the
    // engine's choice. Called without the server lock.
    std::function<uint32_t()> choose_local_address;
    // Trims the engine's UDP packet pool (every REGISTER moment) and
    // releases its idle buffers (QUCleanup). Called without the server lock.
    std::function<void()> trim_packet_pool;
    std::function<void()> release_packet_pool;
};

}  // namespace engine
