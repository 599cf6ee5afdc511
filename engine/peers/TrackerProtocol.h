#pragma once
// The bytes of the tracker announces and the reading of their replies, for
// both protocols the tracker peer speaks: HTTP (BEP 3 announce, BEP 23
// compact peers) and UDP (BEP 15 packet layout). Builders return bytes,
// readers take bytes; no I/O. Pure functions; any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {

class QElement;

// One peer a tracker returned. `peer_id` is the peer's own id when the
// reply had one, else the synthetic id of its address and port.
struct TrackerPeerEntry {
    uint32_t address = 0;  // network order
    int32_t port = 0;
    std::array<uint8_t, 20> peer_id{};
};

struct TrackerReply {
    bool is_dictionary = false;
    // An interval below 61 seconds is not believed.
    int32_t interval_s = 600;
    int64_t done_peers = 0;
    int64_t num_completed = 0;
    std::vector<TrackerPeerEntry> peers;
    std::string failure_reason;
};

// Event codes of an announce: 1 "completed", 2 "started", anything else
// "stopped" (BEP 15 numbers differ; the UDP announce sends the code as is).
const char* TrackerEventName(int32_t event);

// Letters and digits stay; every other byte becomes "%" and two lowercase
// hexadecimal digits.
std::string TrackerUrlEscape(const uint8_t* data, size_t size);

struct HttpAnnounceParams {
    std::string path;  // the announce URL's path, without its own query
    std::array<uint8_t, 20> info_hash{};
    std::array<uint8_t, 20> peer_id{};
    int32_t port = 0;
    uint64_t uploaded = 0;
    uint64_t downloaded = 0;
    uint64_t left = 0;
    int32_t event = 2;
};
// Path and query of the announce ("/announce?info_hash=...&numwant=200").
std::string BuildHttpAnnounceText(const HttpAnnounceParams& params);
// The whole request for `text`; the Host header names the port unless it is 80.
std::string BuildHttpAnnounceRequest(const std::string& text, const std::string& host, int32_t port);

enum class HttpTrackerStatus {
    NeedMore,  // the reply is not complete yet
    Complete,  // `consumed` bytes hold the whole reply; `reply` is what it said
};
struct HttpTrackerResult {
    HttpTrackerStatus status = HttpTrackerStatus::NeedMore;
    size_t consumed = 0;
    TrackerReply reply;
};
HttpTrackerResult ExamineHttpTrackerReply(const uint8_t* data, size_t size);

// Reads an announce reply dictionary (anything else gives an empty reply).
TrackerReply ReadTrackerDictionary(const QElement* root);
// Whole 6-byte entries (address, port; network order) become peers; invalid
// addresses and port 0 are left out, a short tail is ignored.
void ReadCompactPeers(const uint8_t* data, size_t size, std::vector<TrackerPeerEntry>* out);

// BEP 15: "connection_id 0x41727101980, action 0 (connect), transaction_id".
// The transaction id is written in host order (only its echo matters).
inline constexpr size_t UdpConnectRequestSize = 16;
inline constexpr size_t UdpAnnounceSize = 104;
inline constexpr uint64_t UdpProtocolId = 0x41727101980ULL;

std::string BuildUdpConnectRequest(uint32_t transaction);

struct UdpAnnounceParams {
    std::array<uint8_t, 8> connection_id{};
    uint32_t transaction = 0;
    std::array<uint8_t, 20> info_hash{};
    std::array<uint8_t, 20> peer_id{};
    uint64_t downloaded = 0;
    uint64_t left = 0;
    uint64_t uploaded = 0;
    int32_t event = 2;
    uint32_t address = 0;  // network order
    int32_t port = 0;
};
// The 100-byte announce body followed by 4 zero bytes.
std::string BuildUdpAnnounce(const UdpAnnounceParams& params);

struct UdpTrackerReply {
    bool valid = false;     // at least action and transaction id
    int32_t action = -1;
    uint32_t transaction = 0;  // as the bytes were sent (host order)
    std::array<uint8_t, 8> connection_id{};  // action 0
    std::vector<TrackerPeerEntry> peers;     // action 1
};
UdpTrackerReply ParseUdpTrackerReply(const uint8_t* data, size_t size);

}  // namespace engine
