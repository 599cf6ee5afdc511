#include "tests/support/FaultFtpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace testing_support {

namespace {

constexpr int PollMs = 50;
constexpr size_t MaxLineBytes = 4096;
// A client that asked for a transfer connects within this time.
constexpr int DataAcceptMs = 10000;
constexpr size_t JoinedTransferBytes = 256 * 1024;
constexpr size_t CorruptOffset = 100 * 1024;
constexpr size_t CorruptBytes = 4096;

int ListenOnLoopback(uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

struct FaultFtpServer::Session {
    int fd = -1;
    int number = 0;
    bool split = false;
    bool binary = false;
    bool user_ok = false;
    bool logged_in = false;
    bool after_joined = false;
    int pasv_fd = -1;
    int64_t rest = 0;
    ~Session() {
        if (pasv_fd >= 0) ::close(pasv_fd);
    }
};

FaultFtpServer::FaultFtpServer(std::string content, FtpFault fault, int spoiled, std::string user,
                               std::string password)
    : m_content(std::move(content)),
      m_fault(fault),
      m_spoiled(spoiled),
      m_user(std::move(user)),
      m_password(std::move(password)) {
    m_listen = ListenOnLoopback(&m_port);
    if (m_listen >= 0) m_acceptor = std::thread([this] { AcceptLoop(); });
}

FaultFtpServer::~FaultFtpServer() {
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

std::string FaultFtpServer::Url(const std::string& path, const std::string& login) const {
    return "ftp://" + (login.empty() ? std::string() : login + "@") + "127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<std::string> FaultFtpServer::Commands() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_commands;
}

std::vector<int64_t> FaultFtpServer::RestOffsets() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_rest_offsets;
}

std::vector<std::string> FaultFtpServer::DataPeers() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_data_peers;
}

bool FaultFtpServer::TakeOccasion(FtpFault kind) {
    if (m_fault != kind) return false;
    if (m_spoiled_sent.fetch_add(1) < m_spoiled) return true;
    m_spoiled_sent.fetch_sub(1);
    return false;
}

void FaultFtpServer::AcceptLoop() {
    while (!m_stop) {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, PollMs) <= 0) continue;
        int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int number = m_connections++;
        std::lock_guard<std::mutex> lock(m_lock);
        m_workers.emplace_back([this, fd, number] {
            Serve(fd, number);
            ::close(fd);
        });
    }
}

bool FaultFtpServer::SendAll(int fd, const char* data, size_t size) {
    size_t sent = 0;
    while (sent < size && !m_stop) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, PollMs) <= 0) continue;
        ssize_t n = ::send(fd, data + sent, std::min<size_t>(size - sent, 65536), MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return sent == size;
}

bool FaultFtpServer::Reply(Session& s, const std::string& text) {
    if (!s.split) return SendAll(s.fd, text.data(), text.size());
    // One byte per segment: without Nagle each send leaves on its own, and
    // the pause lets the client read it before the next one comes.
    for (char c : text) {
        if (!SendAll(s.fd, &c, 1)) return false;
        pollfd p{s.fd, 0, 0};
        ::poll(&p, 1, 1);
    }
    return true;
}

void FaultFtpServer::Serve(int fd, int number) {
    Session s;
    s.fd = fd;
    s.number = number;
    if (TakeOccasion(FtpFault::Hang)) {
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, PollMs) > 0) {
                char sink[4096];
                if (::recv(fd, sink, sizeof sink, 0) <= 0) return;
            }
        }
        return;
    }
    if (TakeOccasion(FtpFault::Busy421)) {
        Reply(s, "421 Too many connections from your address.\r\n");
        return;
    }
    s.split = TakeOccasion(FtpFault::SplitReplies);
    if (s.split) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    if (!Reply(s, "220-Fault server ready.\r\n220-Lines of a welcome\r\n220 may run on.\r\n")) return;
    std::string buffer;
    while (!m_stop) {
        const size_t lf = buffer.find('\n');
        if (lf == std::string::npos) {
            if (buffer.size() > MaxLineBytes) return;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, PollMs) <= 0) continue;
            char chunk[4096];
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buffer.append(chunk, static_cast<size_t>(n));
            continue;
        }
        std::string line = buffer.substr(0, lf);
        buffer.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!HandleCommand(s, line)) return;
    }
}

bool FaultFtpServer::HandleCommand(Session& s, const std::string& line) {
    const size_t space = line.find(' ');
    const std::string verb = Upper(line.substr(0, space));
    const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_commands.push_back(std::to_string(s.number) + " " + line);
    }
    if (s.after_joined) {
        ++m_continued_after_joined;
        s.after_joined = false;
    }
    if (verb == "USER") {
        s.user_ok = m_user.empty() || argument == m_user;
        return Reply(s, "331 Password required.\r\n");
    }
    if (verb == "PASS") {
        s.logged_in = s.user_ok && (m_user.empty() || argument == m_password);
        return Reply(s, s.logged_in ? "230 Logged in.\r\n" : "530 Login incorrect.\r\n");
    }
    if (verb == "QUIT") {
        Reply(s, "221 Goodbye.\r\n");
        return false;
    }
    if (!s.logged_in) return Reply(s, "530 Please log in first.\r\n");
    if (verb == "CWD") return Reply(s, "250 Directory changed.\r\n");
    if (verb == "TYPE") {
        s.binary = Upper(argument) == "I";
        return Reply(s, "200 Type set.\r\n");
    }
    if (verb == "SIZE") {
        if (TakeOccasion(FtpFault::Size550)) return Reply(s, "550 Could not get file size.\r\n");
        if (!s.binary && TakeOccasion(FtpFault::SizeNeedsBinary)) {
            return Reply(s, "550 SIZE not allowed in ASCII mode.\r\n");
        }
        return Reply(s, "213 " + std::to_string(m_content.size()) + "\r\n");
    }
    if (verb == "PASV") return HandlePasv(s);
    if (verb == "REST") {
        s.rest = std::strtoll(argument.c_str(), nullptr, 10);
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_rest_offsets.push_back(s.rest);
        }
        return Reply(s, "350 Restarting at " + std::to_string(s.rest) + ".\r\n");
    }
    if (verb == "RETR") return HandleRetr(s);
    return Reply(s, "502 Command not implemented.\r\n");
}

bool FaultFtpServer::HandlePasv(Session& s) {
    if (s.pasv_fd >= 0) ::close(s.pasv_fd);
    uint16_t port = 0;
    s.pasv_fd = ListenOnLoopback(&port);
    if (s.pasv_fd < 0) return Reply(s, "425 Cannot open a passive connection.\r\n");
    const std::string p = std::to_string(port / 256) + "," + std::to_string(port % 256);
    if (TakeOccasion(FtpFault::BadPasv)) return Reply(s, "227 Entering Passive Mode (127,0,0,1," + p + ").\r\n");
    if (TakeOccasion(FtpFault::BouncePasv)) return Reply(s, "227 Entering Passive Mode (10,0,0,5," + p + ").\r\n");
    return Reply(s, "227 Entering Passive Mode (127,0,0,1," + p + ").\r\n");
}

bool FaultFtpServer::HandleRetr(Session& s) {
    if (s.pasv_fd < 0) return Reply(s, "425 Use PASV first.\r\n");
    pollfd p{s.pasv_fd, POLLIN, 0};
    int data = -1;
    for (int waited = 0; waited < DataAcceptMs && !m_stop && data < 0; waited += PollMs) {
        if (::poll(&p, 1, PollMs) <= 0) continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        data = ::accept4(s.pasv_fd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
        if (data >= 0) {
            char text[INET_ADDRSTRLEN] = {0};
            ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            std::lock_guard<std::mutex> lock(m_lock);
            m_data_peers.push_back(text);
        }
    }
    ::close(s.pasv_fd);
    s.pasv_fd = -1;
    if (data < 0) return Reply(s, "425 No data connection.\r\n");
    ++m_transfers;
    const size_t start = static_cast<size_t>(std::clamp<int64_t>(s.rest, 0, static_cast<int64_t>(m_content.size())));
    s.rest = 0;
    std::string bytes = m_content.substr(start);
    const bool joined = TakeOccasion(FtpFault::JoinedReplies);
    if (joined) bytes.resize(std::min(bytes.size(), JoinedTransferBytes));
    if (TakeOccasion(FtpFault::ShortData)) bytes.resize(bytes.size() / 2);
    if (bytes.size() > CorruptOffset && TakeOccasion(FtpFault::CorruptData)) {
        for (size_t i = CorruptOffset; i < std::min(bytes.size(), CorruptOffset + CorruptBytes); ++i) {
            bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
        }
    }
    if (!joined && !Reply(s, "150 Opening BINARY mode data connection.\r\n")) {
        ::close(data);
        return false;
    }
    if (TakeOccasion(FtpFault::DataHang)) {
        SendAll(data, bytes.data(), std::min<size_t>(bytes.size(), 16384));
        // Held open until the client gives up on it.
        for (;;) {
            pollfd held{data, POLLIN, 0};
            if (m_stop || (::poll(&held, 1, PollMs) > 0 && (held.revents & (POLLIN | POLLHUP | POLLERR)))) break;
        }
        ::close(data);
        return Reply(s, "426 Connection closed; transfer aborted.\r\n");
    }
    const bool complete = SendAll(data, bytes.data(), bytes.size());
    ::close(data);
    if (joined) {
        // Both replies in one write, after the data: the client reads them
        // in one segment.
        s.after_joined = true;
        return Reply(s, "150 Opening BINARY mode data connection.\r\n226 Transfer complete.\r\n");
    }
    return Reply(s, complete ? "226 Transfer complete.\r\n" : "426 Connection closed; transfer aborted.\r\n");
}

}  // namespace testing_support
