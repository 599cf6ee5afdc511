#pragma once
// A user-space UDP relay on loopback that loses datagrams on purpose: the
// kernel here has no netem, so tests and benchmarks that want a lossy path
// put this in it. It listens on one port; each client (source endpoint) that
// sends there gets a socket of its own from which its datagrams go to one
// fixed target, and what the target sends back to that socket is relayed to
// the client from the listening port. To the target every client looks like
// a distinct endpoint; to a client the target looks like the relay's port.
//
// Each datagram, either way, is dropped with the given probability, drawn
// from a generator seeded by the caller, so a run can be repeated.
//
// Owner: the test or benchmark that makes it. Threads: one of its own, from
// Start to Stop (or destruction); the counters may be read from any thread.

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "platform/Socket.h"

namespace testing_support {

struct LossyUdpRelayOptions {
    // Where the relay listens; port 0 picks a free one (see Port()).
    platform::SocketAddress listen{platform::LoopbackIpv4(), 0};
    platform::SocketAddress target;
    // Share of datagrams dropped in each direction, 0-100.
    double drop_percent = 0;
    uint64_t seed = 1;
    // Clients beyond this many are ignored (their datagrams are dropped).
    size_t max_clients = 64;
    // Socket buffers, large enough for a burst of full stream windows.
    int buffer_bytes = 1 << 20;
};

class LossyUdpRelay {
public:
    struct Counts {
        uint64_t to_target = 0;        // datagrams forwarded towards the target
        uint64_t to_target_dropped = 0;
        uint64_t to_client = 0;        // replies relayed back to clients
        uint64_t to_client_dropped = 0;
        double cpu_seconds = 0;  // the relay thread's, so a benchmark can leave it out
    };

    explicit LossyUdpRelay(LossyUdpRelayOptions options);
    ~LossyUdpRelay();
    LossyUdpRelay(const LossyUdpRelay&) = delete;
    LossyUdpRelay& operator=(const LossyUdpRelay&) = delete;

    // Binds the listening port and starts the thread; false when the port
    // cannot be bound.
    bool Start();
    // Ends the thread (within one poll step) and closes every socket.
    void Stop();
    uint16_t Port() const { return m_port; }
    Counts Totals() const;

private:
    struct Client {
        platform::SocketAddress address;
        platform::SocketHandle socket = platform::InvalidSocket;
    };

    void Run();
    void FromClients();
    void FromTarget(Client& client);
    Client* ClientFor(platform::SocketAddress from);
    bool Drop();
    platform::SocketHandle OpenSocket(platform::SocketAddress local) const;

    LossyUdpRelayOptions m_options;
    platform::SocketHandle m_listen = platform::InvalidSocket;
    uint16_t m_port = 0;
    std::vector<Client> m_clients;  // thread-owned after Start
    std::mt19937_64 m_random;
    std::bernoulli_distribution m_drop;
    std::vector<uint8_t> m_buffer;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;

    std::atomic<uint64_t> m_to_target{0};
    std::atomic<uint64_t> m_to_target_dropped{0};
    std::atomic<uint64_t> m_to_client{0};
    std::atomic<uint64_t> m_to_client_dropped{0};
    std::atomic<double> m_cpu_seconds{0};
};

}  // namespace testing_support
