#include "tests/support/FaultHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace testing_support {

namespace {

constexpr int PollMs = 50;
constexpr size_t MaxRequestBytes = 16384;
constexpr int64_t GarbageOffset = 100 * 1024;
constexpr size_t GarbageBytes = 4096;
constexpr int64_t ShortBy = 64 * 1024;

int64_t RangeStartOf(const std::string& request) {
    size_t at = request.find("Range: bytes=");
    if (at == std::string::npos) return 0;
    return std::strtoll(request.c_str() + at + 13, nullptr, 10);
}

}  // namespace

FaultHttpServer::FaultHttpServer(std::string content, HttpFault fault, int spoiled, int64_t rate_bps)
    : m_content(std::move(content)), m_fault(fault), m_spoiled(spoiled), m_rate_bps(rate_bps) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return;
    }
    m_listen = fd;
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { AcceptLoop(); });
}

FaultHttpServer::~FaultHttpServer() {
    m_stop = true;
    if (m_acceptor.joinable()) m_acceptor.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        workers.swap(m_workers);
    }
    for (auto& t : workers) t.join();
    if (m_listen >= 0) ::close(m_listen);
}

std::string FaultHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<int64_t> FaultHttpServer::RangeStarts() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_starts;
}

std::vector<std::string> FaultHttpServer::RequestLines() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_request_lines;
}

void FaultHttpServer::AddReplyHeader(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_extra_headers += line + "\r\n";
}

void FaultHttpServer::AcceptLoop() {
    while (!m_stop) {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, PollMs) <= 0) continue;
        int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(m_lock);
        m_workers.emplace_back([this, fd] {
            Serve(fd);
            ::close(fd);
        });
    }
}

bool FaultHttpServer::SendAll(int fd, const char* data, size_t size, bool paced) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    size_t sent = 0;
    while (sent < size && !m_stop) {
        size_t chunk = std::min<size_t>(size - sent, 65536);
        if (paced && m_rate_bps > 0) {
            // Never ahead of the rate: wait (bounded by the stop flag) until
            // the clock allows the next chunk.
            const double allowed = std::chrono::duration<double>(Clock::now() - start).count() * m_rate_bps;
            if (static_cast<double>(sent) > allowed) {
                pollfd p{fd, POLLIN, 0};
                ::poll(&p, 1, 5);
                if (p.revents & (POLLHUP | POLLERR)) return false;
                continue;
            }
            chunk = std::min<size_t>(chunk, 16384);
        }
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, PollMs) <= 0) continue;
        const size_t piece = paced ? m_piece_bytes.load() : 0;
        if (piece > 0) chunk = std::min(chunk, piece);
        ssize_t n = ::send(fd, data + sent, chunk, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
        m_bytes_sent += n;
        if (piece > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return sent == size;
}

void FaultHttpServer::Serve(int fd) {
    if (m_piece_bytes > 0) {
        // Each small send leaves at once rather than waiting for the
        // previous one's acknowledgement.
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    std::string buffer;
    while (!m_stop) {
        size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (m_stop || buffer.size() > MaxRequestBytes) return;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, PollMs) <= 0) continue;
            char chunk[4096];
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        const std::string request = buffer.substr(0, end + 4);
        buffer.erase(0, end + 4);
        const int number = m_requests++;
        const HttpFault fault = number < m_spoiled ? m_fault : HttpFault::None;
        if (fault != HttpFault::None) ++m_spoiled_sent;
        const int64_t total = static_cast<int64_t>(m_content.size());
        const int64_t start = std::clamp<int64_t>(RangeStartOf(request), 0, total);
        std::string extra_headers;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_starts.push_back(start);
            m_request_lines.push_back(request.substr(0, request.find("\r\n")));
            extra_headers = m_extra_headers;
        }
        if (fault == HttpFault::Status503) {
            const std::string reply = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
            if (!SendAll(fd, reply.data(), reply.size(), false)) return;
            continue;
        }
        std::string body = m_content.substr(static_cast<size_t>(start));
        int64_t announced = static_cast<int64_t>(body.size());
        int64_t range_start = start;
        if (fault == HttpFault::WrongContentRange) range_start = start + 16384;
        if (fault == HttpFault::LongerBody) announced = std::max<int64_t>(announced - ShortBy, 0);
        if (fault == HttpFault::Garbage && static_cast<int64_t>(body.size()) > GarbageOffset) {
            for (size_t i = 0; i < GarbageBytes && GarbageOffset + static_cast<int64_t>(i) < announced; ++i) {
                body[static_cast<size_t>(GarbageOffset) + i] = static_cast<char>(body[GarbageOffset + i] ^ 0x5A);
            }
        }
        if (fault == HttpFault::ShorterBody) body.resize(body.size() / 2);
        std::string head = start > 0 ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
        if (start > 0) {
            head += "Content-Range: bytes " + std::to_string(range_start) + "-" + std::to_string(total - 1) + "/" +
                    std::to_string(total) + "\r\n";
        }
        head += "Content-Length: " + std::to_string(announced) + "\r\nAccept-Ranges: bytes\r\n" + extra_headers + "\r\n";
        if (!SendAll(fd, head.data(), head.size(), false)) return;
        if (!SendAll(fd, body.data(), body.size(), true)) return;
        if (fault == HttpFault::ShorterBody || fault == HttpFault::LongerBody) return;  // close
    }
}

}  // namespace testing_support
