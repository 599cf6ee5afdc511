// Parsing and hashing a large torrent: 50,000 pieces (1 MB of digests) and
// 2,000 files, the work a task does once when it loads its metainfo.

#include <benchmark/benchmark.h>

#include <string>

#include "engine/meta/Bencode.h"
#include "engine/meta/TTorrent.h"

namespace {

std::string S(std::string_view text) { return std::to_string(text.size()) + ":" + std::string(text); }
std::string I(std::string_view key, int64_t value) { return S(key) + "i" + std::to_string(value) + "e"; }

std::string LargeTorrent(int pieces, int files) {
    const int64_t piece_length = 262144;
    const int64_t total = static_cast<int64_t>(pieces) * piece_length;
    std::string list = "l";
    int64_t left = total;
    for (int i = 0; i < files; ++i) {
        int64_t size = i + 1 == files ? left : total / files;
        left -= size;
        list += "d" + I("length", size) + S("path") + "l" + S("folder" + std::to_string(i % 50)) +
                S("file" + std::to_string(i) + ".bin") + "ee";
    }
    list += "e";
    std::string digests(static_cast<size_t>(pieces) * 20, '\0');
    for (size_t i = 0; i < digests.size(); ++i) digests[i] = static_cast<char>(i * 131 + 7);
    const std::string info = "d" + S("files") + list + S("name") + S("Large") + I("piece length", piece_length) +
                             S("pieces") + S(digests) + "e";
    return "d" + S("announce") + S("http://127.0.0.1:6969/announce") + I("creation date", 1700000000) + S("info") +
           info + "e";
}

const std::string& Bytes() {
    static const std::string bytes = LargeTorrent(50'000, 2'000);
    return bytes;
}

void BM_LoadLargeTorrent(benchmark::State& state) {
    const std::string& bytes = Bytes();
    for (auto _ : state) {
        engine::TTorrent torrent;
        torrent.SetSaveFolder("/save");
        bool ok = torrent.LoadFromBytes(bytes);
        benchmark::DoNotOptimize(ok);
        if (!ok) state.SkipWithError("torrent did not load");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_LoadLargeTorrent)->Unit(benchmark::kMillisecond);

void BM_ParseElementOnly(benchmark::State& state) {
    const std::string& bytes = Bytes();
    for (auto _ : state) {
        auto root = engine::ParseElement(bytes);
        benchmark::DoNotOptimize(root.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_ParseElementOnly)->Unit(benchmark::kMillisecond);

void BM_WriteElement(benchmark::State& state) {
    auto root = engine::ParseElement(Bytes());
    for (auto _ : state) {
        engine::QByteBuffer buffer;
        benchmark::DoNotOptimize(engine::WriteElement(root.get(), buffer));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Bytes().size()));
}
BENCHMARK(BM_WriteElement)->Unit(benchmark::kMillisecond);

}  // namespace
