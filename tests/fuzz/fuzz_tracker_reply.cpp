// Feeds arbitrary bytes to both tracker reply readers: as the buffered text
// of an HTTP announce reply (head, length header, bencoded body) and as a
// UDP tracker datagram (BEP 15). Checks that a complete reply never claims
// more bytes than were given and that every peer it yields is a usable
// address and port.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/peers/TrackerProtocol.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void CheckPeers(const std::vector<engine::TrackerPeerEntry>& peers) {
    for (const engine::TrackerPeerEntry& p : peers) {
        Check(p.address != 0 && p.address != 0xFFFFFFFFu);
        Check(p.port >= 1 && p.port <= 65535);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    engine::HttpTrackerResult http = engine::ExamineHttpTrackerReply(data, size);
    if (http.status == engine::HttpTrackerStatus::Complete) {
        Check(http.consumed <= size);
        Check(http.reply.interval_s >= 61);
        CheckPeers(http.reply.peers);
    } else {
        Check(http.reply.peers.empty());
    }
    engine::UdpTrackerReply udp = engine::ParseUdpTrackerReply(data, size);
    if (udp.valid) Check(size >= 8);
    Check(udp.peers.size() <= size / 6);
    CheckPeers(udp.peers);
    return 0;
}
