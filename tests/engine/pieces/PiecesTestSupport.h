#pragma once
// Shared helpers of the piece-layer tests: a recording owner, deterministic
// data with its piece digests, and layouts over a sandbox folder.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/pieces/TPieces.h"
#include "engine/meta/QSha1.h"

namespace pieces_test {

class RecordingOwner : public engine::TPiecesOwner {
public:
    void OnPiecesEvent(const engine::TPiecesEvent& event) override {
        events.push_back(event);
        if (on_event) on_event(event);
    }
    bool IsStopping() const override { return stopping; }
    bool IsMetadataReady() const override { return metadata_ready; }
    int64_t NowSeconds() const override { return now; }
    void PauseForDiskSpace(uint32_t) override {
        ++pauses;
        if (on_pause) on_pause();
        // A wait that nobody ends would spin forever: the test fails instead.
        if (pauses > 5) stopping = true;
    }
    int Count(int32_t code) const {
        int n = 0;
        for (const auto& e : events) n += e.code == code ? 1 : 0;
        return n;
    }

    std::vector<engine::TPiecesEvent> events;
    std::function<void(const engine::TPiecesEvent&)> on_event;
    std::function<void()> on_pause;
    int pauses = 0;
    bool stopping = false;
    bool metadata_ready = true;
    int64_t now = 5000;
};

// Bytes that differ everywhere, so a misplaced range never compares equal.
inline std::string MakeData(size_t size, uint32_t seed = 1) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x);
    }
    return out;
}

inline std::string DigestsOf(const std::string& data, int64_t piece_length) {
    std::string out;
    for (size_t at = 0; at < data.size(); at += static_cast<size_t>(piece_length)) {
        size_t n = std::min(static_cast<size_t>(piece_length), data.size() - at);
        auto d = engine::QSha1::Digest(data.data() + at, n);
        out.append(reinterpret_cast<const char*>(d.data()), d.size());
    }
    return out;
}

// Files named f0, f1, ... under `folder`, sizes as given, digests of `data`
// (the concatenation of all files).
inline engine::TPiecesLayout MakeLayout(const std::string& folder, const std::vector<int64_t>& sizes,
                                        int64_t piece_length, const std::string& data) {
    engine::TPiecesLayout layout;
    layout.save_folder = folder;
    layout.name = "pkg";
    layout.piece_length = piece_length;
    layout.digests = DigestsOf(data, piece_length);
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::string name = "pkg/f" + std::to_string(i);
        layout.files.push_back({folder + "/" + name, name, sizes[i]});
    }
    return layout;
}

inline int64_t Sum(const std::vector<int64_t>& sizes) {
    int64_t s = 0;
    for (auto v : sizes) s += v;
    return s;
}

}  // namespace pieces_test
