#include "engine/peers/TrackerProtocol.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/meta/Bencode.h"
#include "engine/peers/TPeerId.h"
#include "platform/Socket.h"

namespace engine {

namespace {

constexpr char HexDigits[] = "0123456789abcdef";
// Intervals shorter than this are ignored (a tracker asking for announces
// every few seconds is either broken or hostile).
constexpr int64_t MinimumInterval = 61;
constexpr int32_t DefaultInterval = 600;
// A reply of 200 peers is a few KiB even as dictionaries; a longer body is
// not a tracker reply and is not waited for.
constexpr size_t MaxReplyBody = 1024 * 1024;
constexpr size_t CompactEntry = 6;
// Tracker replies need only dictionary -> list -> dictionary.
constexpr ParseLimits ReplyLimits{8, 200000};
// BEP 15 announce reply: action, transaction_id, interval, leechers, seeders.
constexpr size_t UdpAnnounceHeader = 20;
constexpr size_t UdpConnectReply = 16;

void PutBe(std::string& out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint32_t GetBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

bool ValidPeer(uint32_t address, int64_t port) {
    return address != 0 && address != 0xFFFFFFFFu && port >= 1 && port <= 65535;
}

std::string_view AsText(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The decimal after "Content-Length:" (spaces skipped); -1 when there is
// none or it is not a number.
int64_t ReadContentLength(std::string_view text, size_t header, size_t* value_end) {
    size_t at = header + std::strlen("Content-Length:");
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    int64_t value = 0;
    size_t digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 12) {
        value = value * 10 + (text[at] - '0');
        ++at;
        ++digits;
    }
    *value_end = at;
    return digits ? value : -1;
}

// Where the body starts: after the first blank line from `from` on.
size_t FindBodyStart(std::string_view text, size_t from) {
    size_t end = text.find("\r\n\r\n", from);
    if (end != std::string_view::npos) return end + 4;
    end = text.find("\n\n", from);
    return end != std::string_view::npos ? end + 2 : std::string_view::npos;
}

void ReadDictionaryPeers(const QElement* list, std::vector<TrackerPeerEntry>* out) {
    for (int i = 0; i < list->GetCount(); ++i) {
        const QElement* entry = list->ChildAt(i);
        if (!entry || entry->GetType() != ElementType::Dictionary) continue;
        const QElement* port = entry->FindValue("port");
        const QElement* ip = entry->FindValue("ip");
        if (!port || !ip || ip->IsContainer()) continue;
        uint32_t address = 0;
        if (!platform::ParseIpv4(std::string(ip->GetText()), &address)) continue;
        if (!ValidPeer(address, port->GetInteger())) continue;
        TrackerPeerEntry peer{address, static_cast<int32_t>(port->GetInteger()), {}};
        const QElement* id = entry->FindValue("peer id");
        if (id && !id->IsContainer() && id->GetText().size() >= peer.peer_id.size()) {
            std::memcpy(peer.peer_id.data(), id->GetText().data(), peer.peer_id.size());
        } else {
            peer.peer_id = TPeerId::SyntheticPeerId(address, peer.port);
        }
        out->push_back(peer);
    }
}

}  // namespace

const char* TrackerEventName(int32_t event) {
    if (event == 1) return "completed";
    if (event == 2) return "started";
    return "stopped";
}

std::string TrackerUrlEscape(const uint8_t* data, size_t size) {
    std::string out;
    out.reserve(size * 3);
    for (size_t i = 0; i < size; ++i) {
        const uint8_t c = data[i];
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(HexDigits[c >> 4]);
            out.push_back(HexDigits[c & 15]);
        }
    }
    return out;
}

std::string BuildHttpAnnounceText(const HttpAnnounceParams& p) {
    std::string out = p.path.empty() ? "/" : p.path;
    out += "?info_hash=" + TrackerUrlEscape(p.info_hash.data(), p.info_hash.size());
    out += "&peer_id=" + TrackerUrlEscape(p.peer_id.data(), p.peer_id.size());
    out += "&port=" + std::to_string(p.port);
    out += "&uploaded=" + std::to_string(p.uploaded);
    out += "&downloaded=" + std::to_string(p.downloaded);
    out += "&left=" + std::to_string(p.left);
    out += std::string("&event=") + TrackerEventName(p.event);
    out += "&key=3800&compact=1&numwant=200";
    return out;
}

std::string BuildHttpAnnounceRequest(const std::string& text, const std::string& host, int32_t port) {
    std::string out = "GET " + text + " HTTP/1.0\r\n";
    out += "User-Agent: BitTorrent/4.1.2\r\nHost: " + host;
    if (port != 80) out += ":" + std::to_string(port);
    out += "\r\n";
    out += "Accept-Encoding: gzip\r\n";
    out += "Connection: close\r\n\r\n";
    return out;
}

HttpTrackerResult ExamineHttpTrackerReply(const uint8_t* data, size_t size) {
    HttpTrackerResult result;
    if (!data || size == 0) return result;
    const std::string_view text = AsText(data, size);
    const size_t header = text.find("Content-Length:");
    size_t body_start = std::string_view::npos;
    int64_t body_length = 0;
    if (header != std::string_view::npos) {
        size_t value_end = 0;
        body_length = ReadContentLength(text, header, &value_end);
        body_start = FindBodyStart(text, value_end);
    } else {
        body_start = FindBodyStart(text, 0);
        if (body_start != std::string_view::npos) body_length = static_cast<int64_t>(size - body_start);
    }
    if (body_start == std::string_view::npos || body_length < 1) return result;
    if (static_cast<uint64_t>(body_length) > MaxReplyBody) {
        // Not a tracker reply; take it as complete so the connection ends.
        result.status = HttpTrackerStatus::Complete;
        result.consumed = size;
        return result;
    }
    // The whole body must be buffered before it is read: the body is parsed
    // from where the headers end, not from where the Content-Length header is.
    if (size - body_start < static_cast<uint64_t>(body_length)) return result;
    int64_t parsed = 0;
    std::unique_ptr<QElement> root =
        ParseElement(reinterpret_cast<const char*>(data + body_start), body_length, &parsed, ReplyLimits);
    if (!root && header == std::string_view::npos) return result;  // no length: may still be arriving
    if (root) result.reply = ReadTrackerDictionary(root.get());
    result.status = HttpTrackerStatus::Complete;
    result.consumed = body_start + static_cast<size_t>(body_length);
    return result;
}

TrackerReply ReadTrackerDictionary(const QElement* root) {
    TrackerReply reply;
    reply.interval_s = DefaultInterval;
    if (!root || root->GetType() != ElementType::Dictionary) return reply;
    reply.is_dictionary = true;
    if (const QElement* interval = root->FindValue("interval"); interval && interval->HasInteger()) {
        if (interval->GetInteger() >= MinimumInterval && interval->GetInteger() <= INT32_MAX) {
            reply.interval_s = static_cast<int32_t>(interval->GetInteger());
        }
    }
    if (const QElement* done = root->FindValue("done peers")) reply.done_peers = done->GetInteger();
    if (const QElement* completed = root->FindValue("num completed")) reply.num_completed = completed->GetInteger();
    if (const QElement* failure = root->FindValue("failure reason"); failure && !failure->IsContainer()) {
        reply.failure_reason = std::string(failure->GetText());
    }
    const QElement* peers = root->FindValue("peers");
    if (!peers) return reply;
    if (peers->GetType() == ElementType::List) {
        ReadDictionaryPeers(peers, &reply.peers);
    } else if (!peers->IsContainer()) {
        const std::string_view bytes = peers->GetText();
        ReadCompactPeers(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &reply.peers);
    }
    return reply;
}

void ReadCompactPeers(const uint8_t* data, size_t size, std::vector<TrackerPeerEntry>* out) {
    for (size_t at = 0; data && at + CompactEntry <= size; at += CompactEntry) {
        uint32_t address = 0;
        std::memcpy(&address, data + at, 4);
        const int32_t port = (data[at + 4] << 8) | data[at + 5];
        if (!ValidPeer(address, port)) continue;
        out->push_back(TrackerPeerEntry{address, port, TPeerId::SyntheticPeerId(address, port)});
    }
}

std::string BuildUdpConnectRequest(uint32_t transaction) {
    std::string out;
    PutBe(out, UdpProtocolId, 8);
    PutBe(out, 0, 4);
    out.append(reinterpret_cast<const char*>(&transaction), 4);
    return out;
}

//  0        8        12       16          36        56           64     72
//  +--------+--------+--------+-----------+---------+------------+------+----------+
//  | conn id| action | trans. | info hash | peer id | downloaded | left | uploaded |
//  +--------+--------+--------+-----------+---------+------------+------+----------+
//  80       84       88       92          96     98      100
//  +--------+--------+--------+-----------+------+-------+----------------+
//  | event  | IPv4   | key    | num_want  | port | 0     | 4 bytes, zero  |
//  +--------+--------+--------+-----------+------+-------+----------------+
std::string BuildUdpAnnounce(const UdpAnnounceParams& p) {
    std::string out;
    out.reserve(UdpAnnounceSize);
    out.append(reinterpret_cast<const char*>(p.connection_id.data()), 8);
    PutBe(out, 1, 4);
    out.append(reinterpret_cast<const char*>(&p.transaction), 4);
    out.append(reinterpret_cast<const char*>(p.info_hash.data()), 20);
    out.append(reinterpret_cast<const char*>(p.peer_id.data()), 20);
    PutBe(out, p.downloaded, 8);
    PutBe(out, p.left, 8);
    PutBe(out, p.uploaded, 8);
    PutBe(out, static_cast<uint32_t>(p.event), 4);
    out.append(reinterpret_cast<const char*>(&p.address), 4);
    PutBe(out, 0, 4);
    PutBe(out, 200, 4);
    PutBe(out, static_cast<uint32_t>(p.port), 2);
    PutBe(out, 0, 2);
    out.append(UdpAnnounceSize - out.size(), '\0');
    return out;
}

UdpTrackerReply ParseUdpTrackerReply(const uint8_t* data, size_t size) {
    UdpTrackerReply reply;
    if (!data || size < 8) return reply;
    reply.valid = true;
    reply.action = static_cast<int32_t>(GetBe32(data));
    std::memcpy(&reply.transaction, data + 4, 4);
    if (reply.action == 0) {
        if (size < UdpConnectReply) {
            reply.valid = false;
            return reply;
        }
        std::memcpy(reply.connection_id.data(), data + 8, 8);
    } else if (reply.action == 1 && size >= UdpAnnounceHeader) {
        ReadCompactPeers(data + UdpAnnounceHeader, size - UdpAnnounceHeader, &reply.peers);
    }
    return reply;
}

}  // namespace engine
