#include "engine/net/SourceUrl.h"

#include <algorithm>
#include <bit>
#include <cctype>

#include "engine/net/NameResolver.h"

namespace engine {
namespace {

constexpr std::string_view HttpPrefix = "http://";
constexpr std::string_view FtpPrefix = "ftp://";
constexpr std::string_view TrackerPrefix = "tracker://";
constexpr std::string_view BtNodePrefix = "btnode://";

constexpr int32_t DefaultHttpPort = 80;
constexpr int32_t DefaultFtpPort = 21;
// Trackers without a port in their URL are asked on the HTTP port, whatever
// their scheme.
constexpr int32_t DefaultTrackerPort = 80;

// Anonymous FTP asks for an e-mail address as the password (RFC 1635).
constexpr const char* AnonymousUser = "anonymous";
constexpr const char* AnonymousPassword = "tidewell@users.invalid";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

bool NeedsEscape(unsigned char c) {
    return c == ' ' || c < 0x20 || c == 0x7F || c > 127;
}

// Splits "host[:port]" at its first ":"; keeps `port` when there is none.
void SplitHostPort(std::string_view host_part, std::string& host, int32_t& port) {
    const size_t colon = host_part.find(':');
    if (colon == std::string_view::npos) {
        host.assign(host_part);
        return;
    }
    host.assign(host_part.substr(0, colon));
    port = LeadingDecimal(host_part.substr(colon + 1));
}

// The text after the last "/" that follows the scheme's "//", when there is
// such a "/".
bool LastSegment(std::string_view url, std::string& segment) {
    const size_t slashes = url.find("//");
    if (slashes == std::string_view::npos) return false;
    const size_t last = url.rfind('/');
    if (last == std::string_view::npos || last < slashes + 2) return false;
    segment.assign(url.substr(last + 1));
    return true;
}

void SetFileName(std::string_view url, SourceKind kind, TSourceInfo& info) {
    if (kind != SourceKind::Http) return;
    std::string segment;
    if (!LastSegment(url, segment)) return;
    // HTTP names were encoded for the wire; the file name is shown and used
    // as text, so it goes back to plain bytes (UTF-8 is the local text).
    info.file_name = kind == SourceKind::Http ? PercentDecodeUrl(segment) : segment;
}

// Takes the resolved host into the candidate: the first address becomes the
// candidate's, the rest stay listed for the peer set to spread over.
bool ResolveInto(TSourceFields& fields, TSourceInfo& info) {
    info.addresses.clear();
    const int32_t found = ResolveSourceHost(info.host, info.addresses);
    if (found < 0) {
        fields.address = NoAddress;
        fields.resolve_failed = 1;
        return false;
    }
    if (found > 0 && !info.addresses.empty()) {
        fields.address = info.addresses.front();
        info.addresses.erase(info.addresses.begin());
    } else {
        fields.address = NoAddress;
    }
    return true;
}

std::string Normalise(const std::string& url) {
    std::string text = url.substr(0, std::min(url.size(), UrlTextLimit));
    std::replace(text.begin(), text.end(), '\\', '/');
    // FTP URLs are decoded part by part after the split (ParseFtpUrl).
    if (StartsWithNoCase(text, FtpPrefix)) return text;
    if (StartsWithNoCase(text, HttpPrefix)) {
        // The local text is UTF-8 already: encoding is the only step left.
        return PercentEncodeUrl(text);
    }
    return PercentDecodeUrl(text);
}

}  // namespace

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

int32_t LeadingDecimal(std::string_view text) {
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = std::min<int64_t>(value * 10 + (c - '0'), INT32_MAX);
    }
    return static_cast<int32_t>(value);
}

uint32_t HostToNetwork32(uint32_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) | (value << 24);
    }
    return value;
}

uint32_t NetworkToHost32(uint32_t value) { return HostToNetwork32(value); }

std::string DottedText(uint32_t address_network) {
    const uint32_t a = NetworkToHost32(address_network);
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

std::string PercentEncodeUrl(std::string_view text) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const size_t width = NeedsEscape(c) ? 3 : 1;
        // Never cut an escape in half.
        if (out.size() + width > UrlTextLimit) break;
        if (width == 1) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(Hex[c >> 4]);
            out.push_back(Hex[c & 0x0F]);
        }
    }
    return out;
}

std::string PercentDecodeUrl(std::string_view text) {
    std::string out;
    out.reserve(std::min(text.size(), UrlTextLimit));
    for (size_t i = 0; i < text.size() && out.size() < UrlTextLimit; ++i) {
        char c = text[i];
        if (c == '%') {
            if (text.size() - i < 3) break;
            c = static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        }
        // The texts are C strings for every later reader (resolver, FTP
        // commands): a decoded NUL ends them rather than hiding the rest.
        if (c == '\0') break;
        out.push_back(c);
    }
    return out;
}

void ParseHttpUrl(std::string_view rest, TSourceFields& fields, TSourceInfo& info) {
    const size_t slash = rest.find('/');
    const std::string_view host_part = rest.substr(0, slash);
    info.request_path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    fields.port = DefaultHttpPort;
    SplitHostPort(host_part, info.host, fields.port);
    fields.kind = SourceKind::Http;
}

bool ParseFtpUrl(std::string_view rest, TSourceFields& fields, TSourceInfo& info) {
    // The text is split while its escapes are still in place and each part is
    // decoded on its own: a password may contain an escaped "@" or ":".
    const size_t at = rest.find('@');
    if (at != std::string_view::npos) {
        const std::string_view login = rest.substr(0, at);
        const size_t colon = login.find(':');
        info.user = PercentDecodeUrl(login.substr(0, colon));
        info.password = colon == std::string_view::npos ? "" : PercentDecodeUrl(login.substr(colon + 1));
        rest = rest.substr(at + 1);
    } else {
        info.user = AnonymousUser;
        info.password = AnonymousPassword;
    }
    const size_t slash = rest.find('/');
    info.path = slash == std::string_view::npos ? "/" : PercentDecodeUrl(rest.substr(slash));
    if (info.path.empty()) info.path = "/";
    if (slash != std::string_view::npos) info.file_name = info.path.substr(info.path.rfind('/') + 1);
    fields.port = DefaultFtpPort;
    std::string host_part = PercentDecodeUrl(rest.substr(0, slash));
    SplitHostPort(host_part, info.host, fields.port);
    fields.kind = SourceKind::Ftp;
    for (const std::string* part : {&info.user, &info.password, &info.path, &info.host}) {
        if (part->find_first_of("\r\n") != std::string::npos) return false;
    }
    return true;
}

bool ParseTrackerUrl(std::string_view rest, TSourceFields& fields, TSourceInfo& info) {
    info.host.clear();
    info.path.clear();
    info.query.clear();
    fields.port = 0;
    const size_t sep = rest.find("://");
    if (sep == std::string_view::npos) return false;
    const std::string_view scheme = rest.substr(0, sep);
    if (StartsWithNoCase(scheme, "http") || StartsWithNoCase(scheme, "tcp")) {
        fields.extra = 1;
    } else if (StartsWithNoCase(scheme, "udp")) {
        fields.extra = 0;
    } else {
        return false;
    }
    info.scheme.assign(scheme);

    const std::string_view after = rest.substr(sep + 3);
    const size_t slash = after.find('/');
    const size_t colon = after.find(':');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
        info.host.assign(after.substr(0, colon));
        fields.port = LeadingDecimal(after.substr(colon + 1));
    } else {
        info.host.assign(after.substr(0, slash));
        fields.port = DefaultTrackerPort;
    }

    if (slash == std::string_view::npos) {
        info.path = "/";
    } else {
        const std::string_view tail = after.substr(slash);
        const size_t question = tail.find('?');
        info.path.assign(tail.substr(0, question));
        if (question != std::string_view::npos) info.query.assign(tail.substr(question + 1));
    }
    fields.kind = SourceKind::Tracker;
    return true;
}

void ParseBtNodeUrl(std::string_view rest, TSourceFields& fields) {
    const size_t colon = rest.find(':');
    if (colon != std::string_view::npos) fields.port = LeadingDecimal(rest.substr(colon + 1));
    const uint32_t address = ParseDottedAddress(rest);
    fields.address = address == NoAddress ? NoAddress : HostToNetwork32(address);
    fields.kind = SourceKind::BitTorrentPeer;
}

uint32_t ParseDottedAddress(std::string_view text) {
    if (text.empty()) return NoAddress;
    uint32_t result = 0;
    std::string_view rest = text;
    for (int part = 0; part < 4; ++part) {
        const int32_t value = LeadingDecimal(rest);
        // A part above 255 would spill into its neighbour: not an address.
        if (value > 255) return NoAddress;
        result |= static_cast<uint32_t>(value) << (24 - 8 * part);
        const size_t dot = rest.find('.');
        if (dot == std::string_view::npos) break;
        rest = rest.substr(dot + 1);
    }
    return result == 0 ? NoAddress : result;
}

bool ParseSourceUrlText(const std::string& url, TSourceFields& fields, TSourceInfo& info) {
    const std::string text = Normalise(url);
    const std::string_view view = text;
    if (StartsWithNoCase(view, HttpPrefix)) {
        ParseHttpUrl(view.substr(HttpPrefix.size()), fields, info);
    } else if (StartsWithNoCase(view, FtpPrefix)) {
        if (!ParseFtpUrl(view.substr(FtpPrefix.size()), fields, info)) return false;
    } else if (StartsWithNoCase(view, TrackerPrefix)) {
        if (!ParseTrackerUrl(view.substr(TrackerPrefix.size()), fields, info)) return false;
    } else if (StartsWithNoCase(view, BtNodePrefix)) {
        ParseBtNodeUrl(view.substr(BtNodePrefix.size()), fields);
    } else {
        return false;
    }
    SetFileName(view, fields.kind, info);
    return true;
}

bool ParseSourceUrl(const std::string& url, TSourceFields& fields, TSourceInfo& info) {
    if (!ParseSourceUrlText(url, fields, info)) return false;
    if (fields.kind != SourceKind::BitTorrentPeer && !ResolveInto(fields, info)) return false;
    fields.has_address = 1;
    return true;
}

}  // namespace engine
