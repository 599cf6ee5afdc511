// One reliable UDP stream moving 64 MiB over the simulated link, in virtual
// time, at 0 %, 2 % and 10 % loss (2 ms each way, no reordering). Reports the
// virtual throughput beside the ceiling the protocol itself sets, and the CPU
// the two stream cores and the simulation spend per MiB.
//
// The ceiling: at most 12 segments of 1320 bytes in flight, and the receiver
// acknowledges them in a pass every 20 ms, so a stream cannot move more than
// 12 * 1320 bytes per 20 ms = 792,000 bytes/s whatever the link. Under loss
// the bound is the retransmission time-out (1.6 s, plus 0.8 s per resend)
// while the window waits for its oldest segment.
//
// The same stream over real sockets (the UDP server's) is measured once the
// server drives the core.

#include <benchmark/benchmark.h>

#include <ctime>

#include "tests/support/StreamLinkSim.h"

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

}  // namespace
