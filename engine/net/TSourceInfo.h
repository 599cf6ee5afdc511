#pragma once
// TSourceInfo: the detail record of one source candidate, the part a URL text
// decides (host, port, login, paths) plus what the HTTP, FTP and tracker
// connections learn about the source later (content length, redirections,
// in-memory body). TSourceFields: the few candidate fields that parsing a URL
// sets, kept apart so the candidate class can hand them in and copy them back.
//
// Owner: the candidate (TPeerId) that describes the source. Thread: the
// owning task's work thread only; nothing here locks.

#include <cstdint>
#include <string>
#include <vector>

namespace engine {

// Source kinds; the same codes serve as a bit mask (6 = the web sources).
enum class SourceKind : int32_t {
    None = 0,
    BitTorrentPeer = 1,
    Http = 2,
    Ftp = 4,
    Tracker = 8,
};

// 255.255.255.255 in any byte order: "no address".
inline constexpr uint32_t NoAddress = 0xFFFFFFFFu;

struct TSourceInfo {
    uint8_t whole_body = 0;     // fetch into memory instead of the task's files
    uint8_t redirected = 0;     // the last HTTP reply was a 3xx
    uint8_t body_complete = 0;  // the in-memory body is complete
    int32_t bad_pieces = 0;     // consecutive pieces that failed verification
    int32_t redirections = 0;
    std::vector<uint32_t> addresses;  // further IPv4 addresses, network order
    int64_t content_length = 0;       // 0 = not reported yet
    std::string host;
    std::string base_url;   // the URL up to its last "/" (HTTP Referer)
    std::string password;   // FTP login
    std::string user;
    std::string scheme;     // tracker scheme: "http", "tcp" or "udp"
    std::string path;       // FTP path or tracker announce path
    std::string query;      // tracker query, after "?"
    std::string body;       // in-memory body (bytes)
    std::string request_path;  // HTTP path from the first "/" on
    std::string file_name;     // last path segment or Content-Disposition name
    std::string location;      // the last redirection target
};

// The candidate fields a URL sets. `port` is read as well as written: a
// "btnode://" text without a port keeps the one already there.
struct TSourceFields {
    SourceKind kind = SourceKind::None;
    int32_t port = 0;
    uint32_t address = NoAddress;  // IPv4, network order
    int32_t extra = 0;             // tracker: 1 = HTTP, 0 = UDP
    uint8_t has_address = 0;       // the URL has been parsed and resolved
    uint8_t resolve_failed = 0;    // the host name did not resolve
};

}  // namespace engine
