// The receive path: 16 KiB blocks into piece buffers, SHA-1 as pieces fill,
// whole pieces written by the piece writer thread (queued as they complete,
// or by the cache upkeep), as a download does it. Reports MiB/s per CPU
// second of the receive thread, per CPU second of the whole process and per
// wall-clock second, and the peak bytes the piece buffer pool held (in use by
// this run, and in all including idle buffers kept for reuse) against the
// cache limit.
//
// Files go to $TIDEWELL_BENCH_DIR (default $TMPDIR or /tmp). The 2 GiB case
// shows that memory stays within the cache; its speed depends on the disk
// once the page cache starts writing back, so compare speeds with the
// 256 MiB case.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/pieces/QBufferPool.h"
#include "engine/pieces/TPieces.h"
#include "engine/meta/QSha1.h"
#include "engine/pieces/TSha1State.h"

namespace {

using namespace engine;

constexpr int64_t PieceLength = 256 * 1024;
constexpr int32_t Block = 16384;
constexpr int32_t DefaultCacheUnits = 64;  // the task option's default: 16 MiB

class Owner : public TPiecesOwner {
public:
    void OnPiecesEvent(const TPiecesEvent&) override {}
    bool IsStopping() const override { return false; }
    bool IsMetadataReady() const override { return true; }
    int64_t NowSeconds() const override { return now; }
    void PauseForDiskSpace(uint32_t) override {}
    int64_t now = 1000;
};

std::string BenchFolder() {
    const char* dir = std::getenv("TIDEWELL_BENCH_DIR");
    if (!dir) dir = std::getenv("TMPDIR");
    std::string base = dir ? dir : "/tmp";
    std::string folder = base + "/tidewell-bench-receive";
    std::filesystem::create_directories(folder);
    return folder;
}

// Every piece holds the same bytes, so the source needs one piece of memory
// whatever the download size.
struct Source {
    std::string piece;
    std::string digests;

    explicit Source(int64_t total) : piece(static_cast<size_t>(PieceLength), '\0') {
        for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>((i * 2654435761u) >> 13);
        const auto d = QSha1::Digest(piece.data(), piece.size());
        for (int64_t p = 0; p < total / PieceLength; ++p) digests.append(reinterpret_cast<const char*>(d.data()), 20);
    }
};

// `web_only`: a download without BitTorrent peers writes every piece while
// it is hashed; with peers, complete pieces stay in memory for their upload
// reads until the upkeep (or a cache half full) queues them for writing.
std::unique_ptr<TPieces> BuildMap(Owner& owner, const Source& source, const std::string& folder, int64_t total,
                                  bool web_only) {
    std::filesystem::remove(folder + "/download.bin");
    std::filesystem::remove(folder + "/download.bin.twtmp");
    auto pieces = std::make_unique<TPieces>(&owner);
    pieces->SetCacheSize(DefaultCacheUnits);
    pieces->SetWriteOnCompletion(web_only);
    TPiecesLayout layout;
    layout.save_folder = folder;
    layout.name = "bench";
    layout.piece_length = PieceLength;
    layout.digests = source.digests;
    layout.files.push_back({folder + "/download.bin", "download.bin", total});
    if (!pieces->BuildFromLayout(layout, nullptr)) return nullptr;
    return pieces;
}

void BM_ReceivePath(benchmark::State& state) {
    const int64_t total = state.range(0) * 1024 * 1024;
    const std::string folder = BenchFolder();
    Source source(total);
    Owner owner;
    QBufferPool& pool = BufferPools::PieceBuffers();
    int64_t peak_in_use = 0;
    int64_t peak_total = 0;
    int64_t cache_limit = 0;
    // The framework's CPU time is the receive thread's own; the piece writer
    // thread's share shows only in the process's CPU time and the wall time.
    double process_cpu_seconds = 0;
    double wall_seconds = 0;
    double wall_before_close_seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto pieces = BuildMap(owner, source, folder, total, state.range(1) != 0);
        if (!pieces) {
            state.SkipWithError("cannot build the piece map");
            return;
        }
        cache_limit = pieces->CacheLimit();
        int64_t base_in_use = 0;
        pool.Usage(&base_in_use);
        state.ResumeTiming();
        const std::clock_t cpu_start = std::clock();
        const auto wall_start = std::chrono::steady_clock::now();

        const int64_t blocks = total / Block;
        const int64_t blocks_per_upkeep = 4096;  // the 5-second upkeep, every 64 MiB
        for (int64_t b = 0; b < blocks; ++b) {
            const auto* data = reinterpret_cast<const uint8_t*>(source.piece.data()) + (b * Block) % PieceLength;
            pieces->WriteBlock(b, Block, data, nullptr);
            if ((b + 1) % (PieceLength / Block) == 0) {
                int64_t in_use = 0;
                const int64_t all = pool.TryUsage(&in_use);
                peak_in_use = std::max(peak_in_use, in_use - base_in_use);
                peak_total = std::max(peak_total, all);
            }
            if ((b + 1) % blocks_per_upkeep == 0) {
                owner.now += 5;
                pieces->MaintainCache();
            }
        }
        pieces->FlushComplete();
        wall_before_close_seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
        // The closing sync runs once per file at the end of a download, not
        // per block: it counts in the process and wall figures only.
        state.PauseTiming();
        pieces->CloseFiles(false, false);

        process_cpu_seconds += static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
        wall_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
        if (!pieces->IsAllDone()) state.SkipWithError("download did not complete");
        pieces.reset();
        std::filesystem::remove(folder + "/download.bin.twtmp");
        std::filesystem::remove(folder + "/download.bin");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * total);
    state.counters["peak_pool_in_use_MiB"] = static_cast<double>(peak_in_use) / (1024.0 * 1024.0);
    state.counters["peak_pool_total_MiB"] = static_cast<double>(peak_total) / (1024.0 * 1024.0);
    state.counters["cache_limit_MiB"] = static_cast<double>(cache_limit) / (1024.0 * 1024.0);
    const double mib = static_cast<double>(state.iterations() * total) / (1024.0 * 1024.0);
    state.counters["process_cpu_MiB_per_s"] = process_cpu_seconds > 0 ? mib / process_cpu_seconds : 0;
    state.counters["wall_MiB_per_s"] = wall_seconds > 0 ? mib / wall_seconds : 0;
    // Up to the close, whose fdatasync waits for the disk to take every byte.
    state.counters["wall_before_close_MiB_per_s"] = wall_before_close_seconds > 0 ? mib / wall_before_close_seconds : 0;
}
// bytes_per_second is per CPU second of the receive thread (user and
// system), as `openssl speed` divides by CPU time: on a shared machine
// wall-clock rates measure the neighbours. The writes, with the kernel's
// copy into the page cache, run on the piece writer thread;
// process_cpu_MiB_per_s counts both threads and, like wall_MiB_per_s, the
// final fdatasync waiting for the disk.
// Arguments: MiB received, web only (1) or with peers (0).
BENCHMARK(BM_ReceivePath)->Args({256, 0})->Args({256, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceivePath)->Args({2048, 0})->Args({2048, 1})->Iterations(1)->Unit(benchmark::kMillisecond);

// The hashing alone, through the stored RFC 3174 state, in 16 KiB steps.
void BM_Sha1State16K(benchmark::State& state) {
    std::string block(Block, 'x');
    uint8_t sha[TSha1State::Size];
    TSha1State::Reset(sha);
    for (auto _ : state) {
        TSha1State::Update(sha, block.data(), block.size());
        benchmark::DoNotOptimize(sha);
    }
    state.SetBytesProcessed(state.iterations() * Block);
}
BENCHMARK(BM_Sha1State16K);

}  // namespace
