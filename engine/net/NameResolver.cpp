#include "engine/net/NameResolver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineEvents.h"
#include "engine/net/SourceUrl.h"
#include "engine/net/TSourceInfo.h"
#include "engine/net/SystemResolver.h"

namespace engine {
namespace {

// The caller's result slots; they live in the caller's frame and are reached
// through the table only while the caller still waits.
struct PendingLookup {
    LookupResult* result = nullptr;
    size_t max_addresses = 0;
    bool done = false;      // an answer was stored
    bool finished = false;  // the worker has ended, answered or not
};

struct LookupTable {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<uint64_t, PendingLookup*> entries;
    uint64_t next_id = 1;
};

// Process-wide and never destroyed: a worker that outlives its caller may
// still look into the table while the program exits.
LookupTable& Table() {
    static auto* table = new LookupTable;
    return *table;
}

struct Seams {
    std::mutex mutex;
    HostResolver resolver;
};

Seams& GetSeams() {
    static auto* seams = new Seams;
    return *seams;
}

struct FailedHosts {
    std::mutex mutex;
    std::vector<std::string> names;
};

FailedHosts& GetFailedHosts() {
    static auto* hosts = new FailedHosts;
    return *hosts;
}

std::atomic<bool> g_resolve_failure_reported{false};

HostResolver CurrentResolver() {
    Seams& seams = GetSeams();
    std::lock_guard lock(seams.mutex);
    return seams.resolver;
}

ResolveAnswer Resolve(const HostResolver& resolver, const std::string& host) {
    return resolver ? resolver(host) : SystemResolve(host);
}

void RunLookup(uint64_t id, std::string host, HostResolver resolver) {
    const ResolveAnswer answer = Resolve(resolver, host);
    LookupTable& table = Table();
    std::lock_guard lock(table.mutex);
    const auto it = table.entries.find(id);
    if (it == table.entries.end()) return;  // the caller stopped waiting
    PendingLookup& pending = *it->second;
    pending.result->error = answer.error;
    if (answer.answered) {
        pending.result->address_length = answer.address_length;
        const size_t count = std::min(answer.addresses.size(), pending.max_addresses);
        pending.result->addresses.assign(answer.addresses.begin(),
                                         answer.addresses.begin() + static_cast<ptrdiff_t>(count));
        pending.done = true;
    }
    pending.finished = true;
    table.changed.notify_all();
}

bool IsValidAddress(uint32_t address) { return address != 0 && address != NoAddress; }

bool IsDigitsAndDots(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

bool SameHostName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

}  // namespace

void SetHostResolver(HostResolver resolver) {
    Seams& seams = GetSeams();
    std::lock_guard lock(seams.mutex);
    seams.resolver = std::move(resolver);
}

ResolveAnswer AskHostResolver(const std::string& host) { return Resolve(CurrentResolver(), host); }

bool LookupWithTimeout(const std::string& host, LookupResult& result, uint32_t timeout_ms,
                       size_t buffer_bytes) {
    result = LookupResult{};
    if (host.empty() || timeout_ms == 0) {
        result.error = ResolveError::InvalidArgument;
        return false;
    }
    LookupTable& table = Table();
    PendingLookup pending;
    pending.result = &result;
    pending.max_addresses = buffer_bytes / sizeof(uint32_t);
    uint64_t id = 0;
    {
        std::lock_guard lock(table.mutex);
        id = table.next_id++;
        table.entries.emplace(id, &pending);
    }
    try {
        std::thread(RunLookup, id, host, CurrentResolver()).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(table.mutex);
        table.entries.erase(id);
        result.error = ResolveError::NoRecovery;
        return false;
    }
    std::unique_lock lock(table.mutex);
    table.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&pending] { return pending.finished; });
    table.entries.erase(id);
    if (!pending.finished) result.error = ResolveError::TimedOut;
    return pending.done;
}

size_t PendingLookupCount() {
    LookupTable& table = Table();
    std::lock_guard lock(table.mutex);
    return table.entries.size();
}

int32_t ResolveSourceHost(const std::string& host, std::vector<uint32_t>& list) {
    if (host.empty()) return 0;
    if (IsDigitsAndDots(host)) {
        const uint32_t address = ParseDottedAddress(host);
        if (IsValidAddress(address)) {
            list.push_back(HostToNetwork32(address));
            return 1;
        }
        LogFormat(13, "无效 IP: %s", host.c_str());
        return 0;
    }
    LookupResult lookup;
    if (LookupWithTimeout(host, lookup, SourceLookupTimeoutMs) && lookup.address_length == 4) {
        g_resolve_failure_reported = false;
        int32_t added = 0;
        for (uint32_t address : lookup.addresses) {
            if (!IsValidAddress(address)) continue;
            list.push_back(address);
            ++added;
        }
        return added;
    }
    if (lookup.error == ResolveError::HostNotFound || lookup.error == ResolveError::NoData) {
        AddFailedHost(host);
    }
    if (!g_resolve_failure_reported.exchange(true)) ReportResolveFailure(host, lookup.error);
    LogFormat(29, "Invalid Host: %s", host.c_str());
    return -1;
}

uint32_t ParseStrictDottedQuad(const std::string& text) {
    uint32_t result = 0;
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        size_t digits = 0;
        uint32_t value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + static_cast<uint32_t>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || value > 255) return NoAddress;
        result = (result << 8) | value;
        ++parts;
        if (parts == 4) break;
        if (i >= text.size() || text[i] != '.') return NoAddress;
        ++i;
    }
    return i == text.size() ? result : NoAddress;
}

uint32_t ResolveHost(const std::string& name) {
    if (name.empty()) return NoAddress;
    if (name[0] >= '0' && name[0] <= '9') {
        const uint32_t address = ParseStrictDottedQuad(name);
        if (address != NoAddress) return HostToNetwork32(address);
    }
    if (IsFailedHost(name)) return NoAddress;
    const ResolveAnswer answer = AskHostResolver(name);
    if (answer.answered && answer.address_length >= 4 && !answer.addresses.empty()) {
        return answer.addresses.front();
    }
    if (!answer.answered && answer.error == ResolveError::HostNotFound) AddFailedHost(name);
    return NoAddress;
}

bool IsPrivateAddress(uint32_t address_network) {
    const uint32_t a = NetworkToHost32(address_network);
    const uint32_t first = a >> 24;
    if (first <= 6 || first == 10 || first == 127) return true;
    if ((a & 0xFFFF0000u) == 0xC0A80000u) return true;  // 192.168.0.0/16
    if ((a & 0xFFFF0000u) == 0xA9FE0000u) return true;  // 169.254.0.0/16
    return (a & 0xFFF00000u) == 0xAC100000u;            // 172.16.0.0/12
}

uint32_t ChooseLocalAddress(const std::vector<uint32_t>& addresses_network) {
    uint32_t last = NoAddress;
    uint32_t last_public = NoAddress;
    bool have_public = false;
    for (uint32_t address : addresses_network) {
        last = address;
        if (IsValidAddress(address) && !IsPrivateAddress(address)) {
            last_public = address;
            have_public = true;
        }
    }
    if (have_public && IsPrivateAddress(last)) return last_public;
    return last;
}

uint32_t LocalAddress() { return ChooseLocalAddress(SystemLocalAddresses()); }

void AddFailedHost(const std::string& name) {
    FailedHosts& hosts = GetFailedHosts();
    std::lock_guard lock(hosts.mutex);
    for (const std::string& known : hosts.names) {
        if (SameHostName(known, name)) return;
    }
    hosts.names.push_back(name);
}

bool IsFailedHost(const std::string& name) {
    FailedHosts& hosts = GetFailedHosts();
    std::lock_guard lock(hosts.mutex);
    return std::any_of(hosts.names.begin(), hosts.names.end(),
                       [&name](const std::string& known) { return SameHostName(known, name); });
}

void ClearFailedHosts() {
    FailedHosts& hosts = GetFailedHosts();
    std::lock_guard lock(hosts.mutex);
    hosts.names.clear();
}

std::string BuildResolveFailureText(const std::string& host, ResolveError error,
                                    const std::vector<std::string>& dns_servers) {
    std::string text = "ErrCode : (" + std::to_string(static_cast<uint32_t>(error)) +
                       ") Host : (" + host + ") ";
    if (dns_servers.empty() || dns_servers.front().empty()) {
        text += ", no DNS";
    } else {
        text += ", DNS : (" + dns_servers.front() + ")";
        for (size_t i = 1; i < dns_servers.size(); ++i) text += ", 备用 DNS : (" + dns_servers[i] + ")";
    }
    if (text.size() > UrlTextLimit) text.resize(UrlTextLimit);
    return text;
}

void ReportResolveFailure(const std::string& host, ResolveError error) {
    const std::string text = BuildResolveFailureText(host, error, SystemDnsServers());
    ReportEngineEvent(ResolveFailureEvent, text, 0);
}

bool IsResolveFailureReported() { return g_resolve_failure_reported; }

void ClearResolveFailureFlag() { g_resolve_failure_reported = false; }

}  // namespace engine
