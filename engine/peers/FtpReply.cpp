#include "engine/peers/FtpReply.h"

#include <array>

namespace engine {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The line starting at `at`: its length without the LF (and a CR before it),
// and where the next line starts; false while no LF has arrived.
bool NextLine(std::string_view text, size_t at, std::string_view* line, size_t* next) {
    const size_t lf = text.find('\n', at);
    if (lf == std::string_view::npos) return false;
    size_t end = lf;
    if (end > at && text[end - 1] == '\r') --end;
    *line = text.substr(at, end - at);
    *next = lf + 1;
    return true;
}

bool StartsWithCode(std::string_view line) {
    return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
}

}  // namespace

FtpReplyScan FindFtpReply(const uint8_t* data, size_t size, FtpReply* reply) {
    FtpReplyScan scan;
    const std::string_view text(reinterpret_cast<const char*>(data), size < MaxFtpReplyBytes ? size : MaxFtpReplyBytes);
    const bool capped = size >= MaxFtpReplyBytes;
    std::string_view first;
    size_t next = 0;
    if (!NextLine(text, 0, &first, &next)) {
        // Three bytes are enough to tell a reply code from anything else.
        const bool bad_start = (text.size() >= 1 && !IsDigit(text[0])) || (text.size() >= 2 && !IsDigit(text[1])) ||
                               (text.size() >= 3 && !IsDigit(text[2]));
        if (bad_start || capped) scan.result = FtpReplyScan::Result::Malformed;
        return scan;
    }
    if (!StartsWithCode(first) || (first.size() > 3 && first[3] != ' ' && first[3] != '-')) {
        scan.result = FtpReplyScan::Result::Malformed;
        return scan;
    }
    if (first.size() > 3 && first[3] == '-') {
        // A multi-line reply ends with a line of the same code and a space
        // (or nothing) after it; other lines are free text.
        for (;;) {
            std::string_view line;
            size_t after = 0;
            if (!NextLine(text, next, &line, &after)) {
                if (capped) scan.result = FtpReplyScan::Result::Malformed;
                return scan;
            }
            next = after;
            if (line.size() >= 3 && line.substr(0, 3) == first.substr(0, 3) && (line.size() == 3 || line[3] == ' ')) {
                break;
            }
        }
    }
    reply->code = (first[0] - '0') * 100 + (first[1] - '0') * 10 + (first[2] - '0');
    reply->text.assign(first.size() > 4 ? first.substr(4) : std::string_view());
    scan.result = FtpReplyScan::Result::Complete;
    scan.consumed = next;
    return scan;
}

bool ParsePasvReply(std::string_view text, PasvAddress* address) {
    const size_t open = text.find('(');
    if (open == std::string_view::npos) return false;
    const size_t close = text.find(')', open + 1);
    if (close == std::string_view::npos) return false;
    const std::string_view inside = text.substr(open + 1, close - open - 1);
    std::array<int32_t, 6> fields{};
    size_t count = 0;
    size_t at = 0;
    while (at < inside.size()) {
        if (inside[at] == ',' || inside[at] == ' ') {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < inside.size() && inside[end] != ',' && inside[end] != ' ') ++end;
        const std::string_view field = inside.substr(at, end - at);
        at = end;
        // Each field is one byte of the address or the port, in decimal.
        if (count == fields.size() || field.size() > 3) return false;
        int32_t value = 0;
        for (char c : field) {
            if (!IsDigit(c)) return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255) return false;
        fields[count++] = value;
    }
    if (count != fields.size()) return false;
    const int32_t port = fields[4] * 256 + fields[5];
    if (port < 1 || port > 65535) return false;
    address->host = (static_cast<uint32_t>(fields[0]) << 24) | (static_cast<uint32_t>(fields[1]) << 16) |
                    (static_cast<uint32_t>(fields[2]) << 8) | static_cast<uint32_t>(fields[3]);
    address->port = port;
    return true;
}

std::string BuildFtpCommand(std::string_view verb, std::string_view argument) {
    if (argument.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return {};
    std::string command(verb);
    if (!argument.empty()) {
        command += ' ';
        command += argument;
    }
    command += "\r\n";
    return command;
}

std::string FtpDirectoryOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string FtpFileNameOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

int64_t ParseFtpSize(std::string_view text) {
    if (text.empty() || !IsDigit(text[0])) return -1;
    int64_t value = 0;
    for (char c : text) {
        if (!IsDigit(c)) break;
        if (value > (INT64_MAX - 9) / 10) return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace engine
