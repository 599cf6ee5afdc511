#pragma once
// THttpReply: the pure parts of the HTTP web source: the request bytes for a
// ranged GET, the reply-header parser (status line, header lookup by name,
// content length from Content-Range or Content-Length, Content-Disposition
// file name, redirection targets) and a chunked-body decoder. Nothing here
// does I/O: bytes go in, a record comes out, and every input is bounded
// (a header larger than MaxHeaderBytes is an error, not a wait).
//
// Owner: the HTTP peer object (one record per request). Thread: any.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// Sent with every request; servers see the product in the User-Agent.
inline constexpr char HttpUserAgent[] = "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Tidewell/1.0.3";

// The request for one connection: "GET <path> HTTP/1.1" with the fixed
// header lines, a Range line only when `start` is above 0 ("bytes=start-",
// with `end` after the dash only when end > start), and the blank line.
// `referer` is the source's base URL, or its whole URL when the base is empty.
std::string BuildHttpRequest(std::string_view request_path, std::string_view host, std::string_view referer,
                             int64_t start, int64_t end = 0);

class THttpReply {
public:
    // A reply header longer than this is refused (a hostile or broken server
    // cannot make the connection buffer grow without bound).
    static constexpr size_t MaxHeaderBytes = 32768;
    static constexpr size_t MaxHeaderLines = 200;

    // Where the header in `data` ends: the byte count to consume (the blank
    // line included), 0 while it is incomplete, -1 when no end lies within
    // MaxHeaderBytes.
    static int64_t FindHeaderEnd(const uint8_t* data, size_t size);

    // Parses the header text (the bytes FindHeaderEnd delimited). False when
    // it is not an HTTP reply: no "HTTP" status line, no status code, or too
    // many lines. The record is cleared first.
    bool Parse(std::string_view header);
    void Clear();

    int32_t Status() const { return m_status; }
    const std::string& Version() const { return m_version; }
    const std::string& Reason() const { return m_reason; }
    const std::vector<std::string>& Lines() const { return m_lines; }

    // The value of the first line whose name matches without regard to case
    // (name, optional blanks, ":"); leading and trailing blanks removed.
    bool Find(std::string_view name, std::string* value) const;
    // The number after "/" in Content-Range, else Content-Length; -1 when
    // neither gives a non-negative number.
    int64_t ContentLength() const;
    // The first byte of a "bytes first-last/total" Content-Range; -1 when
    // absent or malformed.
    int64_t RangeStart() const;
    // Content-Length alone (the length of this body); -1 when absent.
    int64_t BodyLength() const;
    bool IsChunked() const;
    // The Content-Disposition file name; false when the header is absent.
    bool DispositionFileName(std::string* name) const;

    // A Location made absolute: kept when it starts with "http://" or
    // "ftp://" (any case), else "http://" + host (+ ":" + port unless 80)
    // (+ "/" unless it starts with one) + location.
    static std::string AbsoluteLocation(std::string_view location, std::string_view host, int32_t port);

private:
    int32_t m_status = 0;
    std::string m_version;
    std::string m_reason;
    std::vector<std::string> m_lines;
};

// Decodes a chunked body incrementally. Feed() consumes what it can from the
// input, appends the data bytes to `out` and reports the bytes consumed;
// trailers are skipped. A chunk-size line longer than 256 bytes, a size that
// does not parse or exceeds MaxChunk, or a missing CR LF after a chunk is an
// error.
class THttpChunkDecoder {
public:
    static constexpr int64_t MaxChunk = int64_t{1} << 40;
    enum class State { Size, Data, DataEnd, Trailer, Done, Error };

    size_t Feed(const uint8_t* data, size_t size, std::string& out);
    State GetState() const { return m_state; }
    bool IsDone() const { return m_state == State::Done; }
    bool IsError() const { return m_state == State::Error; }
    void Reset() { *this = THttpChunkDecoder{}; }

private:
    State m_state = State::Size;
    std::string m_line;
    int64_t m_left = 0;
};

}  // namespace engine
