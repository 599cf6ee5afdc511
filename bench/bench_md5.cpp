// Package verification throughput: the downloader's MD5 of a 2 GiB file
// against coreutils' md5sum on the same file, in one run, with the file in
// the page cache (a discarded warm-up pass reads it first). Prints both
// throughputs and their ratio; the goal is at least 0.9.
//
// The file is made in $TMPDIR (or /tmp) and removed at the end; it needs
// 2 GiB of free space and enough memory to stay cached.

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <cstdio>
#include <string>
#include <vector>

#include "app/FileDigest.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "platform/Process.h"

namespace {

constexpr uint64_t FileBytes = 2ull << 30;

class BigFile {
public:
    BigFile() : m_path(platform::JoinPath(platform::TempFolder(), "tidewell-bench-md5.bin")) {
        platform::File file;
        if (!file.Open(m_path, platform::OpenMode::CreateAlways)) return;
        std::vector<unsigned char> chunk(1 << 20);
        uint64_t state = 0x9e3779b97f4a7c15ull;
        for (uint64_t offset = 0; offset < FileBytes; offset += chunk.size()) {
            for (unsigned char& b : chunk) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                b = static_cast<unsigned char>(state >> 56);
            }
            if (!file.WriteAt(chunk.data(), chunk.size(), offset)) return;
        }
        m_ok = true;
    }
    ~BigFile() { platform::RemoveFile(m_path); }
    const std::string& Path() const { return m_path; }
    bool Ok() const { return m_ok; }

private:
    std::string m_path;
    bool m_ok = false;
};

double Seconds(const std::function<void()>& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// md5sum with its output discarded; false when it could not run.
bool RunMd5sum(const std::string& path) {
    platform::SpawnResult r = platform::SpawnProcess("sh", {"-c", "md5sum \"$0\" > /dev/null", path}, "");
    int code = -1;
    return r.Ok() && platform::WaitForProcess(r.pid, 600'000, &code) && code == 0;
}

void BM_Md5VersusMd5sum(benchmark::State& state) {
    static BigFile file;
    if (!file.Ok()) {
        state.SkipWithError("cannot write the 2 GiB test file");
        return;
    }
    // Warm-up: both readers then find the file in the page cache.
    if (app::Md5OfFile(file.Path()).empty() || !RunMd5sum(file.Path())) {
        state.SkipWithError("warm-up failed");
        return;
    }
    double ours = 0;
    double theirs = 0;
    for (auto _ : state) {
        std::string digest;
        ours += Seconds([&] { digest = app::Md5OfFile(file.Path()); });
        benchmark::DoNotOptimize(digest);
        theirs += Seconds([&] { RunMd5sum(file.Path()); });
    }
    double iterations = static_cast<double>(state.iterations());
    double mib = static_cast<double>(FileBytes) / 1048576.0;
    state.counters["ours_MiBps"] = mib * iterations / ours;
    state.counters["md5sum_MiBps"] = mib * iterations / theirs;
    state.counters["ratio"] = theirs / ours;
}
BENCHMARK(BM_Md5VersusMd5sum)->Iterations(3)->Unit(benchmark::kSecond);

}  // namespace
