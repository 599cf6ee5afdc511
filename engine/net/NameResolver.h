#pragma once
// Host name resolution for sources, sockets and the UDP server.
//
// LookupWithTimeout runs the resolver on a short-lived worker thread and waits
// at most the given time. The caller's result slots are entered in a
// process-wide pending-lookup table; the worker writes into them only while
// the entry exists, under the table's mutex, so a lookup that finishes after
// its caller stopped waiting finds no entry and touches nothing.
//
// Process-wide state, each with its own lock: the pending-lookup table, the
// failed-host list (names answered "not found"; emptied when a task run
// ends), the resolver and event seams. The resolve-failure flag makes only
// the first failure after start or after a successful lookup send the
// statistics event. Callers: task work threads, the UDP server thread, the
// socket layer. The table lock is innermost: nothing is called while held.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace engine {

// Lookup results. The numbers are the resolver codes the statistics server
// has always received in event "11500106", so they stay the same on every
// platform.
enum class ResolveError : int32_t {
    None = 0,
    InvalidArgument = 87,    // no host or no time to wait
    TimedOut = 10060,        // no answer within the caller's limit
    HostNotFound = 11001,    // authoritative "no such name"
    TryAgain = 11002,        // temporary failure (server unreachable)
    NoRecovery = 11003,      // resolver failure, or no worker thread
    NoData = 11004,          // the name exists but has no IPv4 address
};

// One answer of the resolver seam.
struct ResolveAnswer {
    bool answered = false;        // the resolver replied with an address record
    int32_t address_length = 0;   // bytes per address: 4 for IPv4
    std::vector<uint32_t> addresses;  // network order, in the order returned
    ResolveError error = ResolveError::None;
};

// The resolver every lookup in this file asks (blocking). Tests install one
// that blocks or answers on cue; an empty function restores the system's.
using HostResolver = std::function<ResolveAnswer(const std::string& host)>;
void SetHostResolver(HostResolver resolver);
// Asks the installed resolver (or the system's) and waits for it.
ResolveAnswer AskHostResolver(const std::string& host);

// Event code of a host name that could not be resolved.
inline constexpr int32_t ResolveFailureEvent = 11500106;
// The source lookup's result space (256 IPv4 addresses) and its wait.
inline constexpr size_t LookupBufferBytes = 1024;
inline constexpr uint32_t SourceLookupTimeoutMs = 3000;

struct LookupResult {
    std::vector<uint32_t> addresses;  // network order, at most buffer / 4
    int32_t address_length = 0;
    ResolveError error = ResolveError::None;
};

// True when the resolver answered within `timeout_ms`. A failed lookup ends
// the wait at once with its error; one without an answer in time reports
// TimedOut, and its late answer is dropped.
bool LookupWithTimeout(const std::string& host, LookupResult& result, uint32_t timeout_ms,
                       size_t buffer_bytes = LookupBufferBytes);
// Entries in the pending-lookup table (0 whenever no caller is waiting).
size_t PendingLookupCount();

// Resolves a source's host into `list` (network order): the number of
// addresses added; 0 for an empty host or a dotted host that is no valid
// address; -1 when the lookup failed (logged, listed, reported once).
int32_t ResolveSourceHost(const std::string& host, std::vector<uint32_t>& list);

// The plain blocking resolver for sockets and the UDP server: an IPv4 address
// in network order, or NoAddress. Names on the failed-host list are not asked
// again.
uint32_t ResolveHost(const std::string& name);

// This machine's IPv4 address in network order (a public one when the host
// has both), or NoAddress.
uint32_t LocalAddress();
// Picks from the host name's addresses as LocalAddress does: the last public
// address when the last one is private, else the last one.
uint32_t ChooseLocalAddress(const std::vector<uint32_t>& addresses_network);
// 0-6.x, 10.x, 127.x, 169.254/16, 172.16/12, 192.168/16 (network order).
bool IsPrivateAddress(uint32_t address_network);
// "a.b.c.d" with four decimal parts of at most 255 each, as dotted hosts are
// written; host order, NoAddress otherwise.
uint32_t ParseStrictDottedQuad(const std::string& text);

void AddFailedHost(const std::string& name);
bool IsFailedHost(const std::string& name);
void ClearFailedHosts();

// Sends event 11500106 with the error, the host and the DNS servers in use.
void ReportResolveFailure(const std::string& host, ResolveError error);
// The event's text, at most 4095 bytes.
std::string BuildResolveFailureText(const std::string& host, ResolveError error,
                                    const std::vector<std::string>& dns_servers);
// The resolve-failure flag (set once the event has gone out).
bool IsResolveFailureReported();
void ClearResolveFailureFlag();

}  // namespace engine
