#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace platform {

namespace {

thread_local int t_last_socket_error = 0;
std::atomic<bool> g_startup_fails{false};

bool Fail() {
    t_last_socket_error = errno;
    return false;
}

sockaddr_in ToSockaddr(SocketAddress a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = a.ip;
    sa.sin_port = htons(a.port);
    return sa;
}

SocketAddress FromSockaddr(const sockaddr_in& sa) { return {sa.sin_addr.s_addr, ntohs(sa.sin_port)}; }

SocketHandle NewSocket(int type, int protocol) {
    int s = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    if (s < 0) t_last_socket_error = errno;
    return s;
}

bool SetIntOption(SocketHandle s, int level, int name, int value) {
    if (::setsockopt(s, level, name, &value, sizeof value) != 0) return Fail();
    return true;
}

bool Membership(SocketHandle s, int option, uint32_t group, uint32_t interface_ip) {
    ip_mreq req{};
    req.imr_multiaddr.s_addr = group;
    req.imr_interface.s_addr = interface_ip;
    if (::setsockopt(s, IPPROTO_IP, option, &req, sizeof req) != 0) return Fail();
    return true;
}

}  // namespace

int LastSocketError() { return t_last_socket_error; }
void SetLastSocketError(int error) { t_last_socket_error = error; }

bool StartSocketLibrary() { return !g_startup_fails.load(); }
void StopSocketLibrary() {}
void SetSocketStartupFailsForTest(bool fails) { g_startup_fails.store(fails); }

uint32_t MakeIpv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t ip;
    std::memcpy(&ip, bytes, sizeof ip);
    return ip;
}

bool IsLoopbackIpv4(uint32_t ip) { return (ntohl(ip) >> 24) == 127; }

bool ParseIpv4(const std::string& text, uint32_t* ip) {
    in_addr addr{};
    if (::inet_pton(AF_INET, text.c_str(), &addr) != 1) return false;
    *ip = addr.s_addr;
    return true;
}

std::string FormatIpv4(uint32_t ip) {
    in_addr addr{};
    addr.s_addr = ip;
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr, buf, sizeof buf);
    return buf;
}

SocketHandle CreateTcpSocket() { return NewSocket(SOCK_STREAM, IPPROTO_TCP); }
SocketHandle CreateUdpSocket() { return NewSocket(SOCK_DGRAM, IPPROTO_UDP); }

bool CloseSocket(SocketHandle s) {
    // close() releases the descriptor even when it reports EINTR; retrying
    // could close a descriptor another thread just received.
    if (::close(s) != 0 && errno != EINTR) return Fail();
    return true;
}

bool SetNonBlocking(SocketHandle s, bool non_blocking) {
    int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) return Fail();
    flags = non_blocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(s, F_SETFL, flags) != 0) return Fail();
    return true;
}

ConnectResult Connect(SocketHandle s, SocketAddress to) {
    sockaddr_in sa = ToSockaddr(to);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return ConnectResult::Connected;
    t_last_socket_error = errno;
    // An interrupted connect carries on in the background like a pending one.
    if (errno == EINPROGRESS || errno == EINTR) return ConnectResult::Pending;
    return ConnectResult::Failed;
}

int PendingConnectError(SocketHandle s) {
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    if (error != 0) t_last_socket_error = error;
    return error;
}

int64_t Send(SocketHandle s, const void* data, size_t length) {
    ssize_t n;
    do {
        n = ::send(s, data, length, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) t_last_socket_error = errno;
    return n;
}

int64_t Recv(SocketHandle s, void* buffer, size_t length) {
    ssize_t n;
    do {
        n = ::recv(s, buffer, length, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) t_last_socket_error = errno;
    return n;
}

bool ShutdownSend(SocketHandle s) {
    if (::shutdown(s, SHUT_WR) != 0) return Fail();
    return true;
}

bool Bind(SocketHandle s, SocketAddress local) {
    sockaddr_in sa = ToSockaddr(local);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return Fail();
    return true;
}

bool Listen(SocketHandle s, int backlog) {
    if (::listen(s, backlog) != 0) return Fail();
    return true;
}

SocketHandle Accept(SocketHandle s, SocketAddress* peer) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int fd;
    do {
        fd = ::accept4(s, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        t_last_socket_error = errno;
        return InvalidSocket;
    }
    if (peer) *peer = FromSockaddr(sa);
    return fd;
}

bool LocalAddressOf(SocketHandle s, SocketAddress* local) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail();
    *local = FromSockaddr(sa);
    return true;
}

bool PeerAddressOf(SocketHandle s, SocketAddress* peer) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail();
    *peer = FromSockaddr(sa);
    return true;
}

int64_t SendTo(SocketHandle s, const void* data, size_t length, SocketAddress to) {
    sockaddr_in sa = ToSockaddr(to);
    ssize_t n;
    do {
        n = ::sendto(s, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    } while (n < 0 && errno == EINTR);
    if (n < 0) t_last_socket_error = errno;
    return n;
}

int64_t RecvFrom(SocketHandle s, void* buffer, size_t length, SocketAddress* from) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ssize_t n;
    do {
        n = ::recvfrom(s, buffer, length, 0, reinterpret_cast<sockaddr*>(&sa), &len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        t_last_socket_error = errno;
        return n;
    }
    if (from) *from = FromSockaddr(sa);
    return n;
}

DatagramErrorScope ClassifyDatagramError(int error) {
    switch (error) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
        case ENOBUFS:
        case ENOMEM:
            return DatagramErrorScope::Transient;
        // Linux reports these for one destination: a netfilter rule dropped
        // the datagram (EPERM), no route to its network or host, an ICMP
        // error queued by an earlier datagram to it, a destination that is no
        // usable address, or a datagram too large for its path.
        case EPERM:
        case EACCES:
        case ENETUNREACH:
        case EHOSTUNREACH:
        case EHOSTDOWN:
        case ENETDOWN:
        case ECONNREFUSED:
        case EADDRNOTAVAIL:
        case EMSGSIZE:
        case EINVAL:
            return DatagramErrorScope::Destination;
        default:
            return DatagramErrorScope::Socket;
    }
}

bool SetReuseAddress(SocketHandle s, bool on) { return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }
bool SetBroadcast(SocketHandle s, bool on) { return SetIntOption(s, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }

bool JoinMulticastGroup(SocketHandle s, uint32_t group, uint32_t interface_ip) {
    return Membership(s, IP_ADD_MEMBERSHIP, group, interface_ip);
}

bool LeaveMulticastGroup(SocketHandle s, uint32_t group, uint32_t interface_ip) {
    return Membership(s, IP_DROP_MEMBERSHIP, group, interface_ip);
}

bool SetMulticastLoop(SocketHandle s, bool on) {
    unsigned char value = on ? 1 : 0;
    if (::setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &value, sizeof value) != 0) return Fail();
    return true;
}

bool SetMulticastTtl(SocketHandle s, int ttl) {
    unsigned char value = static_cast<unsigned char>(std::clamp(ttl, 0, 255));
    if (::setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof value) != 0) return Fail();
    return true;
}

bool SetMulticastInterface(SocketHandle s, uint32_t interface_ip) {
    in_addr address{};
    address.s_addr = interface_ip;
    if (::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) != 0) return Fail();
    return true;
}

bool SetReceiveBufferSize(SocketHandle s, int bytes) { return SetIntOption(s, SOL_SOCKET, SO_RCVBUF, bytes); }
bool SetSendBufferSize(SocketHandle s, int bytes) { return SetIntOption(s, SOL_SOCKET, SO_SNDBUF, bytes); }

int PollSockets(std::vector<PollEntry>& entries, int timeout_ms) {
    std::vector<pollfd> fds(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = entries[i].socket;
        fds[i].events = static_cast<short>((entries[i].want_read ? POLLIN : 0) | (entries[i].want_write ? POLLOUT : 0));
        entries[i].readable = entries[i].writable = entries[i].failed = false;
    }
    int n = ::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout_ms);
    if (n < 0) {
        t_last_socket_error = errno;
        return -1;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        short r = fds[i].revents;
        entries[i].readable = (r & POLLIN) != 0;
        entries[i].writable = (r & POLLOUT) != 0;
        entries[i].failed = (r & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    }
    return n;
}

ResolveStatus ResolveIpv4(const std::string& host, std::vector<uint32_t>* addresses) {
    addresses->clear();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        switch (rc) {
            case EAI_NONAME:
#ifdef EAI_NODATA
            case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
            case EAI_ADDRFAMILY:
#endif
                t_last_socket_error = EHOSTUNREACH; return ResolveStatus::HostNotFound;
            case EAI_AGAIN: t_last_socket_error = EAGAIN; return ResolveStatus::TryAgain;
            case EAI_SYSTEM: t_last_socket_error = errno; return ResolveStatus::Failed;
            default: t_last_socket_error = EINVAL; return ResolveStatus::Failed;
        }
    }
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr) continue;
        uint32_t ip = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        if (std::find(addresses->begin(), addresses->end(), ip) == addresses->end()) addresses->push_back(ip);
    }
    ::freeaddrinfo(list);
    if (addresses->empty()) {
        t_last_socket_error = EHOSTUNREACH;
        return ResolveStatus::HostNotFound;
    }
    return ResolveStatus::Ok;
}

std::string LocalHostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) {
        t_last_socket_error = errno;
        return {};
    }
    return buf;
}

std::vector<uint32_t> InterfaceIpv4Addresses() {
    std::vector<uint32_t> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        t_last_socket_error = errno;
        return out;
    }
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || !(it->ifa_flags & IFF_UP)) continue;
        out.push_back(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
    }
    ::freeifaddrs(list);
    return out;
}

uint32_t FirstNonLoopbackIpv4() {
    for (uint32_t ip : InterfaceIpv4Addresses()) {
        if (!IsLoopbackIpv4(ip)) return ip;
    }
    return 0;
}

}  // namespace platform
