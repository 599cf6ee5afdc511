#include "engine/peers/THttpReply.h"

#include <algorithm>
#include <limits>

namespace engine {

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 32; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != Lower(prefix[i])) return false;
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// A non-negative decimal at the start of `text` (after blanks); -1 when
// there is none or it overflows.
int64_t LeadingNumber(std::string_view text) {
    text = Trim(text);
    if (text.empty() || text[0] < '0' || text[0] > '9') return -1;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        if (value > (std::numeric_limits<int64_t>::max() - 9) / 10) return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::string BuildHttpRequest(std::string_view request_path, std::string_view host, std::string_view referer,
                             int64_t start, int64_t end) {
    std::string r;
    r.reserve(320 + request_path.size() + referer.size());
    r += "GET ";
    r += request_path;
    r += " HTTP/1.1\r\nHost:";
    r += host;
    r += "\r\nAccept:*/*\r\nReferer: ";
    r += referer;
    r += "\r\nUser-Agent:";
    r += HttpUserAgent;
    r += "\r\nConnection:Keep-Alive\r\n";
    if (start > 0) {
        r += "Range: bytes=" + std::to_string(start) + "-";
        if (end > start) r += std::to_string(end);
        r += "\r\n";
    }
    r += "Pragma: no-cache\r\nCache-Control: no-cache\r\n\r\n";
    return r;
}

int64_t THttpReply::FindHeaderEnd(const uint8_t* data, size_t size) {
    const size_t limit = std::min(size, MaxHeaderBytes);
    for (size_t i = 0; i + 1 < limit; ++i) {
        if (data[i] != '\n') continue;
        if (data[i + 1] == '\n') return static_cast<int64_t>(i + 2);
        if (data[i + 1] == '\r') {
            if (i + 2 >= limit) break;  // the LF after the CR is not in yet
            if (data[i + 2] == '\n') return static_cast<int64_t>(i + 3);
        }
    }
    return size >= MaxHeaderBytes ? -1 : 0;
}

void THttpReply::Clear() {
    m_status = 0;
    m_version.clear();
    m_reason.clear();
    m_lines.clear();
}

bool THttpReply::Parse(std::string_view header) {
    Clear();
    while (!header.empty() && (header.back() == '\r' || header.back() == '\n')) header.remove_suffix(1);
    while (!header.empty()) {
        size_t lf = header.find('\n');
        std::string_view line = header.substr(0, lf);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (m_lines.size() >= MaxHeaderLines) return false;
        m_lines.emplace_back(line);
        if (lf == std::string_view::npos) break;
        header.remove_prefix(lf + 1);
    }
    if (m_lines.empty() || m_lines[0].compare(0, 4, "HTTP") != 0) return false;
    std::string_view first = m_lines[0];
    size_t at = first.find("HTTP/");
    if (at == std::string_view::npos) return false;
    size_t end = at;
    while (end < first.size() && !IsBlank(first[end])) ++end;
    m_version.assign(first.substr(at, end - at));
    std::string_view rest = first.substr(end);
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    if (digits == 0 || digits > 3) return false;
    m_status = static_cast<int32_t>(LeadingNumber(rest.substr(0, digits)));
    rest.remove_prefix(digits);
    m_reason.assign(Trim(rest));
    return true;
}

bool THttpReply::Find(std::string_view name, std::string* value) const {
    for (size_t i = 1; i < m_lines.size(); ++i) {
        std::string_view line = m_lines[i];
        if (!StartsNoCase(line, name)) continue;
        std::string_view rest = line.substr(name.size());
        while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
        if (rest.empty() || rest.front() != ':') continue;
        if (value) value->assign(Trim(rest.substr(1)));
        return true;
    }
    return false;
}

int64_t THttpReply::ContentLength() const {
    std::string value;
    if (Find("Content-Range", &value)) {
        size_t slash = value.find('/');
        if (slash != std::string::npos) {
            int64_t total = LeadingNumber(std::string_view(value).substr(slash + 1));
            if (total >= 0) return total;
        }
    }
    return BodyLength();
}

int64_t THttpReply::RangeStart() const {
    std::string value;
    if (!Find("Content-Range", &value)) return -1;
    std::string_view v = value;
    if (!StartsNoCase(v, "bytes")) return -1;
    v.remove_prefix(5);
    while (!v.empty() && (IsBlank(v.front()) || v.front() == '=')) v.remove_prefix(1);
    return LeadingNumber(v);
}

int64_t THttpReply::BodyLength() const {
    std::string value;
    if (!Find("Content-Length", &value)) return -1;
    return LeadingNumber(value);
}

bool THttpReply::IsChunked() const {
    std::string value;
    if (!Find("Transfer-Encoding", &value)) return false;
    for (size_t i = 0; i + 7 <= value.size(); ++i) {
        if (StartsNoCase(std::string_view(value).substr(i), "chunked")) return true;
    }
    return false;
}

bool THttpReply::DispositionFileName(std::string* name) const {
    std::string value;
    if (!Find("Content-Disposition", &value)) return false;
    std::string result;
    size_t at = value.find("filename=");
    if (at != std::string::npos) {
        std::string_view v = std::string_view(value).substr(at + 9);
        bool quoted = !v.empty() && v.front() == '"';
        if (quoted) v.remove_prefix(1);
        v = v.substr(0, v.find(';'));
        if (quoted) {
            size_t quote = v.find('"');
            if (quote != std::string_view::npos) v = v.substr(0, quote);
        }
        result.assign(v);
    }
    if (name) *name = result;
    return true;
}

std::string THttpReply::AbsoluteLocation(std::string_view location, std::string_view host, int32_t port) {
    if (StartsNoCase(location, "http://") || StartsNoCase(location, "ftp://")) return std::string(location);
    std::string url = "http://";
    url += host;
    if (port != 80) url += ":" + std::to_string(port);
    if (location.empty() || location.front() != '/') url += "/";
    url += location;
    return url;
}

size_t THttpChunkDecoder::Feed(const uint8_t* data, size_t size, std::string& out) {
    constexpr size_t MaxLine = 256;
    size_t used = 0;
    while (used < size && m_state != State::Done && m_state != State::Error) {
        const char c = static_cast<char>(data[used]);
        switch (m_state) {
            case State::Size:
            case State::Trailer:
            case State::DataEnd: {
                ++used;
                if (c != '\n') {
                    if (m_line.size() >= MaxLine) {
                        m_state = State::Error;
                        break;
                    }
                    m_line += c;
                    break;
                }
                std::string_view line = m_line;
                if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
                if (m_state == State::DataEnd) {
                    m_state = line.empty() ? State::Size : State::Error;
                } else if (m_state == State::Trailer) {
                    if (line.empty()) m_state = State::Done;
                } else {
                    // Hexadecimal size, optional extensions after ";".
                    int64_t value = 0;
                    size_t digits = 0;
                    for (char h : line) {
                        int d = h >= '0' && h <= '9'   ? h - '0'
                                : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                       : -1;
                        if (d < 0) break;
                        value = value * 16 + d;
                        if (++digits > 12 || value > MaxChunk) {
                            value = -1;
                            break;
                        }
                    }
                    if (digits == 0 || value < 0) {
                        m_state = State::Error;
                    } else if (value == 0) {
                        m_state = State::Trailer;
                    } else {
                        m_left = value;
                        m_state = State::Data;
                    }
                }
                m_line.clear();
                break;
            }
            case State::Data: {
                size_t take = static_cast<size_t>(std::min<int64_t>(m_left, static_cast<int64_t>(size - used)));
                out.append(reinterpret_cast<const char*>(data + used), take);
                used += take;
                m_left -= static_cast<int64_t>(take);
                if (m_left == 0) m_state = State::DataEnd;
                break;
            }
            default:
                break;
        }
    }
    return used;
}

}  // namespace engine
