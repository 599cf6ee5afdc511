// One reliable UDP stream at 0 %, 2 % and 10 % loss, twice: 64 MiB over the
// simulated link in virtual time (2 ms each way, no reordering), and over
// real sockets on loopback through two UDP servers, the loss made by a lossy
// relay (sizes below). Reports the throughput beside the ceiling the protocol
// itself sets, and the CPU spent per MiB.
//
// The ceiling: at most 12 segments of 1320 bytes in flight, and the receiver
// acknowledges them in a pass every 20 ms, so a stream cannot move more than
// 12 * 1320 bytes per 20 ms = 792,000 bytes/s whatever the link. Under loss
// the bound is the retransmission time-out: a lost segment holds the front of
// the window, the segments behind it fill the rest, and the stream stands
// still until the segment is sent again 1.6 s later (0.8 s more per further
// resend); a lost acknowledgement of a full window costs the 1.2 s after
// which the receiver repeats it, or the time-out, whichever comes first.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/net/QSocketCalls.h"
#include "engine/udp/QUInternalServer.h"
#include "engine/udp/QUStreamService.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "tests/support/LossyUdpRelay.h"
#include "tests/support/StreamLinkSim.h"
#include "tools/rendezvous/RendezvousService.h"

namespace {

using namespace stream_sim;

constexpr uint64_t TransferBytes = 64ull << 20;
constexpr double CeilingBytesPerSecond = 12.0 * 1320.0 / 0.020;

void BM_StreamOverSimulatedLink(benchmark::State& state) {
    const int loss = static_cast<int>(state.range(0));
    for (auto _ : state) {
        LinkFaults faults;
        faults.drop_percent = loss;
        faults.delay_ms = 2;
        faults.seed = 1;
        Network net(faults);
        net.keep_log = false;
        Node& a = net.AddNode({platform::MakeIpv4(127, 0, 0, 1), 7001}, {1, 2, 3, 4, 5, 6, 7, 8});
        Node& b = net.AddNode({platform::MakeIpv4(127, 0, 0, 2), 7002}, {9, 8, 7, 6, 5, 4, 3, 2});
        const Connection c = Connect(net, a, b, 6881, 120000);
        if (c.accepted == engine::InvalidQUHandle) {
            state.SkipWithError("the stream did not connect");
            return;
        }
        Transfer transfer(a, c.client, b, c.accepted, TransferBytes);
        const uint64_t start_ms = net.clock.elapsed_ms;
        const std::clock_t cpu_start = std::clock();
        net.RunUntil([&] { return transfer.Done(); }, 48ull * 3600 * 1000, [&] { transfer.Pump(); });
        const double cpu_s = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
        if (!transfer.Intact()) {
            state.SkipWithError("the data arrived damaged or incomplete");
            return;
        }
        const double virtual_s = static_cast<double>(net.clock.elapsed_ms - start_ms) / 1000.0;
        const double rate = static_cast<double>(TransferBytes) / virtual_s;
        engine::QUStreamInfo info;
        a.core.Inspect(c.client, &info);
        state.counters["virtual_s"] = virtual_s;
        state.counters["KB_per_s"] = rate / 1000.0;
        state.counters["ceiling_KB_per_s"] = CeilingBytesPerSecond / 1000.0;
        state.counters["of_ceiling_pct"] = 100.0 * rate / CeilingBytesPerSecond;
        state.counters["cpu_ms_per_MiB"] = 1000.0 * cpu_s / static_cast<double>(TransferBytes >> 20);
        state.counters["resent_pct"] = info.packets_sent_total
                                           ? 100.0 * static_cast<double>(info.packets_retransmitted_total) /
                                                 static_cast<double>(info.packets_sent_total)
                                           : 0.0;
    }
}

BENCHMARK(BM_StreamOverSimulatedLink)->Arg(0)->Arg(2)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- real sockets
//
// The same stream through two UDP servers (each with its stream service, as
// the engine runs them) on loopback in this process. A small rendezvous
// server of the bench's own tells each node where the other is. With loss,
// the path from the connecting node to the listening one goes through the
// lossy relay: the rendezvous server is told that the listener is seen at
// the relay's port (as a port forward would make it), so the connecting node
// sends everything there, and the relay drops the given share both ways.
// CPU is the process's CPU less the relay thread's.

constexpr uint16_t VirtualPort = 6881;
const engine::QUNodeId Sender{0x11, 2, 3, 4, 5, 6, 7, 8};
const engine::QUNodeId Listener{0x22, 2, 3, 4, 5, 6, 7, 9};
constexpr auto RealDeadline = std::chrono::minutes(15);
constexpr size_t ChunkBytes = 64 * 1024;
constexpr int WaitStepMs = 100;

uint32_t Loopback() { return platform::LoopbackIpv4(); }

uint16_t FreeUdpPort() {
    const platform::SocketHandle s = platform::CreateUdpSocket();
    platform::SocketAddress local{Loopback(), 0};
    uint16_t port = 0;
    if (platform::Bind(s, local) && platform::LocalAddressOf(s, &local)) port = local.port;
    platform::CloseSocket(s);
    return port;
}

// The rendezvous protocol on one loopback socket, on a thread. `Alias` makes
// one node appear at another port: its datagrams are taken as coming from
// there, and what is sent there goes to the node itself.
class LoopbackRendezvous {
public:
    ~LoopbackRendezvous() { Stop(); }
    bool Start() {
        m_socket = platform::CreateUdpSocket();
        platform::SocketAddress bound{Loopback(), 0};
        if (m_socket == platform::InvalidSocket || !platform::Bind(m_socket, bound) ||
            !platform::LocalAddressOf(m_socket, &bound)) {
            return false;
        }
        platform::SetNonBlocking(m_socket, true);
        m_port = bound.port;
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    // Before Start.
    void Alias(uint16_t real_port, uint16_t seen_port) {
        m_real_port = real_port;
        m_seen_port = seen_port;
    }
    void Stop() {
        m_stop.store(true);
        if (m_thread.joinable()) m_thread.join();
        if (m_socket != platform::InvalidSocket) platform::CloseSocket(m_socket);
        m_socket = platform::InvalidSocket;
    }
    uint16_t Port() const { return m_port; }

private:
    void Run() {
        std::vector<uint8_t> buffer(9216);
        std::vector<platform::PollEntry> entries{platform::PollEntry{m_socket, true}};
        while (!m_stop.load()) {
            if (platform::PollSockets(entries, 20) <= 0) continue;
            for (int i = 0; i < 64; ++i) {
                platform::SocketAddress from;
                const int64_t n = platform::RecvFrom(m_socket, buffer.data(), buffer.size(), &from);
                if (n < 0) break;
                const uint16_t seen = m_seen_port != 0 && from.port == m_real_port ? m_seen_port : from.port;
                const int64_t now_s = platform::TickCount() / 1000;
                for (const rendezvous::Datagram& d :
                     m_service.Handle(buffer.data(), static_cast<size_t>(n), from.ip, seen, now_s)) {
                    const uint16_t to = m_seen_port != 0 && d.port == m_seen_port ? m_real_port : d.port;
                    platform::SendTo(m_socket, d.bytes.data(), d.bytes.size(), platform::SocketAddress{d.address, to});
                }
            }
        }
    }

    platform::SocketHandle m_socket = platform::InvalidSocket;
    uint16_t m_port = 0;
    uint16_t m_real_port = 0;
    uint16_t m_seen_port = 0;
    rendezvous::RendezvousService m_service;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct LoopbackNode {
    engine::QUInternalServer server;
    engine::QUStreamService streams{server};
    uint16_t port = FreeUdpPort();
    LoopbackNode() { server.SetStreamHandler(&streams); }
    ~LoopbackNode() {
        server.Stop();
        server.SetStreamHandler(nullptr);
    }
    engine::QSocketCalls& Calls() { return streams.Calls(); }
    bool Start(uint16_t rendezvous_port, const engine::QUNodeId& id) {
        return port != 0 &&
               server.Startup(engine::MakeQUConfig("127.0.0.1", rendezvous_port, 10, 30, port, Loopback(), id)) == 0;
    }
};

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 12345;
    for (uint8_t& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

// Connects the sender's stream to the listener's; the accepted handle comes
// back through `accepted`. An empty string on success, else what failed.
std::string ConnectStream(LoopbackNode& from, LoopbackNode& to, engine::QSocketHandle* client,
                          engine::QSocketHandle* listener, engine::QSocketHandle* accepted) {
    engine::QSocketCalls& b = to.Calls();
    *listener = b.Socket();
    engine::QSocketAddress local;
    local.address = Loopback();
    local.port = VirtualPort;
    if (b.Bind(*listener, local) != 0 || b.Listen(*listener, 16) != 0) return "the listener did not open";
    engine::QSocketCalls& a = from.Calls();
    *client = a.Socket();
    engine::QSocketAddress target;
    target.address = Loopback();
    target.port = VirtualPort;
    target.node_id = Listener;
    a.Connect(*client, target);
    if (a.Wait(*client, true, 15000) != 1 || a.ConnectState(*client) != 1) return "the stream did not connect";
    if (b.Wait(*listener, false, 5000) != 1) return "the listener saw no stream";
    *accepted = b.Accept(*listener, nullptr);
    if (*accepted == engine::InvalidSocketHandle) return "the stream was not accepted";
    return {};
}

// Under loss a stream moves at the pace its retransmission time-out sets, a
// few percent of the ceiling, so 64 MiB would take half an hour at 2 % and
// hours at 10 %. The lossy runs move less (the rate is the same once the
// stream is past its first round trips) unless TIDEWELL_STREAM_BENCH_MIB
// names the size for every run.
size_t RealTransferBytes(int64_t default_mib) {
    const char* wanted = std::getenv("TIDEWELL_STREAM_BENCH_MIB");
    const long mib = wanted ? std::atol(wanted) : 0;
    return static_cast<size_t>(mib > 0 ? mib : default_mib) << 20;
}

void BM_StreamOverLoopback(benchmark::State& state) {
    const int loss = static_cast<int>(state.range(0));
    const std::vector<uint8_t> data = Pattern(RealTransferBytes(state.range(1)));
    for (auto _ : state) {
        LoopbackRendezvous rendezvous;
        LoopbackNode a;
        LoopbackNode b;
        std::unique_ptr<testing_support::LossyUdpRelay> relay;
        if (loss > 0) {
            testing_support::LossyUdpRelayOptions options;
            options.target = platform::SocketAddress{Loopback(), b.port};
            options.drop_percent = loss;
            options.seed = 1;
            relay = std::make_unique<testing_support::LossyUdpRelay>(options);
            if (!relay->Start()) return state.SkipWithError("the relay did not start");
            rendezvous.Alias(b.port, relay->Port());
        }
        if (!rendezvous.Start()) return state.SkipWithError("the rendezvous server did not start");
        if (!a.Start(rendezvous.Port(), Sender) || !b.Start(rendezvous.Port(), Listener)) {
            return state.SkipWithError("a UDP server did not start");
        }
        for (int i = 0; i < 400 && (a.server.PublicAddress() == 0 || b.server.PublicAddress() == 0); ++i) {
            platform::SleepMs(25);
        }
        engine::QSocketHandle client = engine::InvalidSocketHandle;
        engine::QSocketHandle listener = engine::InvalidSocketHandle;
        engine::QSocketHandle accepted = engine::InvalidSocketHandle;
        const std::string failed = ConnectStream(a, b, &client, &listener, &accepted);
        if (!failed.empty()) return state.SkipWithError(failed.c_str());

        engine::QSocketCalls& out = a.Calls();
        engine::QSocketCalls& in = b.Calls();
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + RealDeadline;
        const double cpu_start = platform::ProcessCpuSeconds();
        const double relay_cpu_start = relay ? relay->Totals().cpu_seconds : 0;
        std::atomic<bool> broken{false};
        std::thread sender([&] {
            size_t sent = 0;
            while (sent < data.size() && !broken.load() && std::chrono::steady_clock::now() < deadline) {
                const int64_t n = out.Send(client, data.data() + sent, std::min(ChunkBytes, data.size() - sent));
                if (n > 0) {
                    sent += static_cast<size_t>(n);
                } else if (platform::IsWouldBlock(platform::LastSocketError())) {
                    out.Wait(client, true, WaitStepMs);
                } else {
                    broken.store(true);
                }
            }
        });
        size_t got = 0;
        std::vector<uint8_t> buffer(ChunkBytes);
        while (got < data.size() && !broken.load() && std::chrono::steady_clock::now() < deadline) {
            const int64_t n = in.Recv(accepted, buffer.data(), buffer.size());
            if (n > 0) {
                if (static_cast<size_t>(n) > data.size() - got ||
                    std::memcmp(buffer.data(), data.data() + got, static_cast<size_t>(n)) != 0) {
                    broken.store(true);
                }
                got += static_cast<size_t>(n);
            } else if (n < 0 && platform::IsWouldBlock(platform::LastSocketError())) {
                in.Wait(accepted, false, WaitStepMs);
            } else {
                broken.store(true);
            }
        }
        const double wall_s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double relay_cpu_s = relay ? relay->Totals().cpu_seconds - relay_cpu_start : 0;
        const double cpu_s = platform::ProcessCpuSeconds() - cpu_start - relay_cpu_s;
        broken.store(broken.load() || got < data.size());
        sender.join();
        engine::QUStreamInfo info;
        a.streams.WithCore([&](engine::QUStreamCore& core, const engine::QUNow&) {
            return core.Inspect(static_cast<engine::QUHandle>(client), &info);
        });
        out.CloseSocket(client);
        in.CloseSocket(accepted);
        in.CloseSocket(listener);
        const double rate = static_cast<double>(got) / wall_s;
        state.counters["wall_s"] = wall_s;
        state.counters["KB_per_s"] = rate / 1000.0;
        state.counters["ceiling_KB_per_s"] = CeilingBytesPerSecond / 1000.0;
        state.counters["of_ceiling_pct"] = 100.0 * rate / CeilingBytesPerSecond;
        state.counters["cpu_ms_per_MiB"] = 1000.0 * cpu_s / (static_cast<double>(got) / (1 << 20));
        state.counters["relay_cpu_ms_per_MiB"] = 1000.0 * relay_cpu_s / (static_cast<double>(got) / (1 << 20));
        state.counters["resent_pct"] = info.packets_sent_total
                                           ? 100.0 * static_cast<double>(info.packets_retransmitted_total) /
                                                 static_cast<double>(info.packets_sent_total)
                                           : 0.0;
        if (broken.load()) {
            state.SkipWithError(got < data.size() ? "the transfer did not finish in time or broke off"
                                                  : "the data arrived damaged");
        }
    }
}

// Arguments: loss percent, MiB moved.
BENCHMARK(BM_StreamOverLoopback)
    ->Args({0, 64})
    ->Args({2, 8})
    ->Args({10, 2})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
