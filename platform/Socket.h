#pragma once
// Thin BSD-socket layer under the engine's socket object, UDP server and LAN
// discovery. IPv4 only: addresses are 32-bit values in network byte order
// (the bytes a.b.c.d in memory order), ports are in host order.
//
// Every call that fails stores its error in the calling thread's "last socket
// error" (LastSocketError); success leaves it unchanged, as Winsock does. The
// values are errno numbers; the ones the engine compares against have names in
// SocketError. UDP streams set the same value through SetLastSocketError so
// the socket object treats both transports alike.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using SocketHandle = int;
inline constexpr SocketHandle InvalidSocket = -1;

namespace SocketError {
inline constexpr int WouldBlock = EWOULDBLOCK;
inline constexpr int Again = EAGAIN;
inline constexpr int InProgress = EINPROGRESS;
inline constexpr int Invalid = EINVAL;
inline constexpr int NotSocket = ENOTSOCK;
inline constexpr int NotConnected = ENOTCONN;
inline constexpr int NetworkUnreachable = ENETUNREACH;
inline constexpr int Interrupted = EINTR;
inline constexpr int IsConnected = EISCONN;
inline constexpr int AddressInUse = EADDRINUSE;
inline constexpr int ConnectionRefused = ECONNREFUSED;
inline constexpr int ConnectionReset = ECONNRESET;
inline constexpr int TimedOut = ETIMEDOUT;
}  // namespace SocketError

// EWOULDBLOCK and EAGAIN may differ on some systems; both mean "try later".
inline bool IsWouldBlock(int error) { return error == SocketError::WouldBlock || error == SocketError::Again; }

int LastSocketError();
void SetLastSocketError(int error);

// The socket library's start-up. Always succeeds here, unless a test made it
// fail with SetSocketStartupFailsForTest so the caller's failure path runs.
bool StartSocketLibrary();
void StopSocketLibrary();
void SetSocketStartupFailsForTest(bool fails);

struct SocketAddress {
    uint32_t ip = 0;    // network byte order
    uint16_t port = 0;  // host byte order
    bool operator==(const SocketAddress&) const = default;
};

// a.b.c.d as a network-order value.
uint32_t MakeIpv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
inline uint32_t LoopbackIpv4() { return MakeIpv4(127, 0, 0, 1); }
bool IsLoopbackIpv4(uint32_t ip);
// Strict dotted-quad parsing ("1.2.3.4" only); false for anything else.
bool ParseIpv4(const std::string& text, uint32_t* ip);
std::string FormatIpv4(uint32_t ip);

// New sockets are close-on-exec and blocking; InvalidSocket on failure.
SocketHandle CreateTcpSocket();
SocketHandle CreateUdpSocket();
bool CloseSocket(SocketHandle s);
bool SetNonBlocking(SocketHandle s, bool non_blocking);

enum class ConnectResult {
    Connected,  // done (blocking socket, or an immediate loopback connect)
    Pending,    // non-blocking connect under way: poll for writable, then PendingConnectError
    Failed,     // see LastSocketError
};
ConnectResult Connect(SocketHandle s, SocketAddress to);
// The outcome of a pending connect once the socket polled writable: 0 when
// connected, else the error (also stored as the last socket error).
int PendingConnectError(SocketHandle s);

// Returns the bytes sent or received, or -1. Recv returns 0 when the peer
// closed the connection. Send never raises SIGPIPE.
int64_t Send(SocketHandle s, const void* data, size_t length);
int64_t Recv(SocketHandle s, void* buffer, size_t length);
bool ShutdownSend(SocketHandle s);

bool Bind(SocketHandle s, SocketAddress local);
bool Listen(SocketHandle s, int backlog);
// The accepted socket is close-on-exec and blocking; InvalidSocket when none
// is waiting (would-block on a non-blocking listener) or on error.
SocketHandle Accept(SocketHandle s, SocketAddress* peer);
bool LocalAddressOf(SocketHandle s, SocketAddress* local);
bool PeerAddressOf(SocketHandle s, SocketAddress* peer);

int64_t SendTo(SocketHandle s, const void* data, size_t length, SocketAddress to);
int64_t RecvFrom(SocketHandle s, void* buffer, size_t length, SocketAddress* from);

// What a failed datagram send or receive says about the socket it was made
// on. Only a Socket error means the socket itself is unusable and has to be
// opened again; a Destination error concerns one peer (no route, refused by
// a filter, ICMP unreachable), a Transient one passes by itself (full buffer,
// no memory for the moment).
enum class DatagramErrorScope { Transient, Destination, Socket };
DatagramErrorScope ClassifyDatagramError(int error);

bool SetReuseAddress(SocketHandle s, bool on);
bool SetBroadcast(SocketHandle s, bool on);
// Joins `group` on the interface with address `interface_ip` (0: any).
bool JoinMulticastGroup(SocketHandle s, uint32_t group, uint32_t interface_ip);
bool LeaveMulticastGroup(SocketHandle s, uint32_t group, uint32_t interface_ip);
bool SetMulticastLoop(SocketHandle s, bool on);
bool SetMulticastTtl(SocketHandle s, int ttl);
// Sends multicast datagrams out of the interface with address `interface_ip`
// (0: the one the routing table picks), with that address as their source.
bool SetMulticastInterface(SocketHandle s, uint32_t interface_ip);
bool SetReceiveBufferSize(SocketHandle s, int bytes);
bool SetSendBufferSize(SocketHandle s, int bytes);

// One socket of a PollSockets call: what to wait for in, what happened out.
struct PollEntry {
    SocketHandle socket = InvalidSocket;
    bool want_read = false;
    bool want_write = false;
    bool readable = false;
    bool writable = false;
    bool failed = false;  // error or hang-up: the next call on it reports why
};
// Waits up to `timeout_ms` (negative: no limit) for any entry to become
// ready. Returns the number of ready entries, 0 on time-out, -1 on error.
// There is no ceiling on the number of sockets or on their values.
int PollSockets(std::vector<PollEntry>& entries, int timeout_ms);

enum class ResolveStatus {
    Ok,
    HostNotFound,  // the name does not exist (EAI_NONAME)
    TryAgain,      // temporary failure of the name service
    Failed,        // any other failure
};
// IPv4 addresses of `host`, in resolver order without duplicates.
ResolveStatus ResolveIpv4(const std::string& host, std::vector<uint32_t>* addresses);

std::string LocalHostName();
// IPv4 addresses of the interfaces that are up, in interface order.
std::vector<uint32_t> InterfaceIpv4Addresses();
// The first non-loopback IPv4 interface address, or 0 when there is none.
uint32_t FirstNonLoopbackIpv4();

}  // namespace platform
