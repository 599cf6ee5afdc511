#pragma once
// One requested block of a task's byte stream: block n covers bytes
// n × 16384 … n × 16384 + 16383. Plain value, owned by whichever list holds
// it (a peer's request queue or the task's returned-block pool); used only by
// the task's work thread.

#include <cstdint>

namespace engine {

// Every block is 16 KiB, the request size BitTorrent peers agree on.
constexpr int32_t BlockSize = 16384;

struct TBlockRequest {
    int32_t block = 0;   // block number
    int32_t length = 0;  // bytes, at most BlockSize (the torrent's last block is shorter)
    int32_t time = 0;    // engine clock seconds when sent or queued
};

}  // namespace engine
