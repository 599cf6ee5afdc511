#pragma once
// A small HTTP server of our own on 127.0.0.1 that serves one file with
// "Range: bytes=N-" support and, for the first requests it is told to spoil,
// misbehaves in one chosen way: a Content-Range that names another start,
// a body longer or shorter than announced, garbage bytes inside the body, or
// an error status. Used to show that bad replies never reach a finished
// piece. It records the request lines, so it also stands in for a tracker
// that answers every announce with the same reply. One thread accepts; each connection is served on its own thread;
// everything stops (and is joined) in the destructor.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

enum class HttpFault {
    None,
    WrongContentRange,  // Content-Range starts 16 KiB after the asked offset
    LongerBody,         // Content-Length 64 KiB short of the bytes that follow
    ShorterBody,        // half the announced body, then the connection closes
    Garbage,            // 4 KiB of garbage 100 KiB into the body
    Status503,          // "503 Service Unavailable"
};

class FaultHttpServer {
public:
    // Serves `content` at every path; the first `spoiled` replies carry
    // `fault`. Bodies are sent at most `rate_bps` bytes per second (0: no
    // limit).
    FaultHttpServer(std::string content, HttpFault fault, int spoiled, int64_t rate_bps = 0);
    ~FaultHttpServer();
    FaultHttpServer(const FaultHttpServer&) = delete;
    FaultHttpServer& operator=(const FaultHttpServer&) = delete;

    bool Started() const { return m_listen >= 0; }
    uint16_t Port() const { return m_port; }
    std::string Url(const std::string& path = "/file.bin") const;
    int Requests() const { return m_requests.load(); }
    int SpoiledReplies() const { return m_spoiled_sent.load(); }
    int64_t BytesSent() const { return m_bytes_sent.load(); }
    // The offsets the requests asked for, in arrival order (0: no Range).
    std::vector<int64_t> RangeStarts();
    // The request lines ("GET /path?query HTTP/1.0"), in arrival order.
    std::vector<std::string> RequestLines();
    // A header line (without CR LF) added to every reply from now on.
    void AddReplyHeader(const std::string& line);
    // Bodies go out in sends of `bytes` with a short pause after each, so
    // the client's reads end at those places (0: as fast as possible).
    void SendBodyInPieces(size_t bytes) { m_piece_bytes = bytes; }

private:
    void AcceptLoop();
    void Serve(int fd);
    bool SendAll(int fd, const char* data, size_t size, bool paced);

    std::string m_content;
    HttpFault m_fault;
    int m_spoiled;
    int64_t m_rate_bps;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_requests{0};
    std::atomic<int> m_spoiled_sent{0};
    std::atomic<int64_t> m_bytes_sent{0};
    std::atomic<size_t> m_piece_bytes{0};
    std::thread m_acceptor;
    std::mutex m_lock;
    std::vector<std::thread> m_workers;
    std::vector<int64_t> m_starts;
    std::vector<std::string> m_request_lines;
    std::string m_extra_headers;
};

}  // namespace testing_support
