#include "platform/SingleInstance.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace platform {

namespace {

// How long the claim keeps retrying while the name is changing hands (a
// first copy that has bound but not yet listens, or one that is ending).
constexpr uint64_t ClaimRetryMs = 3000;
constexpr long RetryNapMs = 10;
// A SIGTERM'd copy gets this long before SIGKILL.
constexpr int TerminateGraceMs = 500;
// A stopped or dying copy has this long to disappear after SIGKILL.
constexpr int KillWaitMs = 5000;
// How long the first copy waits for a later copy's folder text.
constexpr int FolderReadMs = 1000;

uint64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000u;
}

void NapMs(long ms) {
    timespec ts{0, ms * 1'000'000L};
    nanosleep(&ts, nullptr);
}

// The abstract address: a leading NUL, then the name (no terminator; the
// address length bounds it).
socklen_t MakeAddress(const std::string& name, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    size_t length = std::min(name.size(), sizeof address->sun_path - 1);
    std::memcpy(address->sun_path + 1, name.data(), length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

int NewSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); }

bool PeerCredentials(int fd, ucred* credentials) {
    socklen_t length = sizeof *credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, credentials, &length) == 0 && length == sizeof *credentials;
}

// Waits up to `timeout_ms` for `fd` to become readable; true when it did.
bool WaitReadable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms);
    for (;;) {
        uint64_t now = NowMs();
        int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
        int rc = ::poll(&p, 1, left);
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno != EINTR) return false;
    }
}

bool SendAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

// Ends the process `pid` and waits until it is gone. A pidfd pins the
// process, so a recycled pid is never signalled, and becomes readable when
// the process has ended (its sockets closed), whoever reaps it.
bool EndProcess(pid_t pid) {
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) return errno == ESRCH;  // already gone
    auto signal = [pidfd](int number) { ::syscall(SYS_pidfd_send_signal, pidfd, number, nullptr, 0); };
    signal(SIGTERM);
    signal(SIGCONT);
    bool gone = WaitReadable(pidfd, TerminateGraceMs);
    if (!gone) {
        signal(SIGKILL);
        gone = WaitReadable(pidfd, KillWaitMs);
    }
    ::close(pidfd);
    return gone;
}

enum class Answer { Replied, Silent, Closed, Unreachable };

// Connects to the holder of `address`, sends the folder and waits for the
// one-byte answer. *holder receives the holder's credentials.
Answer AskHolder(const sockaddr_un& address, socklen_t length, const std::string& folder, uint32_t timeout_ms,
                 ucred* holder) {
    int fd = NewSocket();
    if (fd < 0) return Answer::Unreachable;
    Answer answer = Answer::Unreachable;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 && PeerCredentials(fd, holder)) {
        std::string text = folder.substr(0, SingleInstance::FolderCapacity - 1);
        text.push_back('\0');
        SendAll(fd, text.data(), text.size());
        answer = Answer::Silent;
        if (WaitReadable(fd, static_cast<int>(timeout_ms))) {
            char reply = 0;
            ssize_t got = ::recv(fd, &reply, 1, 0);
            answer = got == 1 ? Answer::Replied : Answer::Closed;
        }
    }
    ::close(fd);
    return answer;
}

}  // namespace

SingleInstance::~SingleInstance() { Release(); }

SingleInstance::Outcome SingleInstance::Claim(const std::string& name, const std::string& current_folder,
                                              uint32_t reply_timeout_ms, HandoverHandler on_handover) {
    Release();
    m_handler = std::move(on_handover);
    sockaddr_un address{};
    socklen_t length = MakeAddress(name, &address);
    bool ended_holder = false;
    uint64_t deadline = NowMs() + reply_timeout_ms + ClaimRetryMs;
    while (NowMs() < deadline) {
        int fd = NewSocket();
        if (fd < 0) return Outcome::Unguarded;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
            if (!Listen(fd)) return Outcome::Unguarded;
            return ended_holder ? Outcome::TookOver : Outcome::First;
        }
        int bind_error = errno;
        ::close(fd);
        if (bind_error != EADDRINUSE) return Outcome::Unguarded;

        ucred holder{};
        Answer answer = AskHolder(address, length, current_folder, reply_timeout_ms, &holder);
        if (answer == Answer::Replied) return Outcome::HandedOver;
        if (answer == Answer::Silent || answer == Answer::Closed) {
            // Silent, or closed without the byte because its window did not
            // respond: either way it did not take the request.
            // Another user's copy is not ours to end, and works in its own
            // user's folders.
            if (holder.uid != ::getuid() || holder.pid <= 0) return Outcome::Unguarded;
            if (holder.pid == ::getpid()) return Outcome::Held;
            if (!EndProcess(holder.pid)) return Outcome::Held;
            ended_holder = true;
            continue;
        }
        // Bound but not listening yet, or closing: the name is changing hands.
        NapMs(RetryNapMs);
    }
    // Someone held the name all along: running beside it is what the guard is for.
    return Outcome::Held;
}

bool SingleInstance::Listen(int fd) {
    // A handful of copies started at once may queue; more just retry.
    constexpr int Backlog = 8;
    m_wake_fd = ::eventfd(0, EFD_CLOEXEC);
    if (m_wake_fd < 0 || ::listen(fd, Backlog) != 0) {
        ::close(fd);
        if (m_wake_fd >= 0) ::close(m_wake_fd);
        m_wake_fd = -1;
        return false;
    }
    m_listen_fd = fd;
    m_listener = std::thread([this] { ListenLoop(); });
    return true;
}

void SingleInstance::Release() {
    if (m_listener.joinable()) {
        uint64_t one = 1;
        ssize_t written = ::write(m_wake_fd, &one, sizeof one);
        (void)written;
        m_listener.join();
    }
    if (m_listen_fd >= 0) ::close(m_listen_fd);
    if (m_wake_fd >= 0) ::close(m_wake_fd);
    m_listen_fd = -1;
    m_wake_fd = -1;
}

void SingleInstance::ListenLoop() {
    pollfd fds[2] = {{m_listen_fd, POLLIN, 0}, {m_wake_fd, POLLIN, 0}};
    for (;;) {
        int rc = ::poll(fds, 2, -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0 || (fds[1].revents & POLLIN)) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int connection = ::accept4(m_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        Serve(connection);
        ::close(connection);
    }
}

void SingleInstance::Serve(int connection) {
    ucred peer{};
    if (!PeerCredentials(connection, &peer) || peer.uid != ::getuid()) return;
    std::string folder;
    char buffer[512];
    while (folder.size() < FolderCapacity && WaitReadable(connection, FolderReadMs)) {
        ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        folder.append(buffer, static_cast<size_t>(got));
        if (folder.find('\0') != std::string::npos) break;
    }
    size_t end = folder.find('\0');
    if (end != std::string::npos) folder.resize(end);
    if (folder.size() > FolderCapacity - 1) folder.resize(FolderCapacity - 1);
    if (m_handler && !m_handler(folder)) return;
    char reply = 1;
    SendAll(connection, &reply, 1);
}

}  // namespace platform
