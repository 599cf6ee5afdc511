#pragma once
// The controller's side of the router port mapping: at start-up it picks the
// TCP port the engine listens on and, when this machine sits behind a router
// (a private address), starts the device search and the mapping of
// CPortForwardEngine; the front end carries the engine's notifications back
// to OnNotification, which lets the mapping go on once the search has
// reported and turns the outcome into log lines, statistics events and a
// notice for the user. At exit the mapping is removed again.
//
// Owner: the controller front end. Threads: the front end's thread; the
// engine's workers only call the notification callback given at
// construction. No lock of its own beyond the engine's.

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "app/CPortForwardEngine.h"
#include "app/EngineCalls.h"

namespace app {

struct PortForwardingEnvironment {
    IStatsReporter* stats = nullptr;
    PortForwardSettings engine;  // its report_event is ours
    // The random number the start port comes from. Null: seeded by the time.
    std::function<uint32_t()> random;
    // The ports the machine's sockets use. Null: the system's tables.
    std::function<std::set<uint16_t>()> listed_ports;
    // This machine's IPv4 address (network order, 0: unknown). Null: the
    // engine's choice.
    std::function<uint32_t()> local_address;
};

class PortForwarding {
public:
    // `window` receives the engine's notifications on its threads; empty,
    // no search can start.
    PortForwarding(PortForwardingEnvironment environment, PortForwardNotify window);
    ~PortForwarding();
    PortForwarding(const PortForwarding&) = delete;
    PortForwarding& operator=(const PortForwarding&) = delete;

    // The chosen port (the mapping completes later), or 0 when no port is
    // free, the address is unknown or a worker cannot start.
    uint16_t ChoosePortAndMap();
    // One notification, on the front end's thread. Returns a notice for the
    // user when the search or the mapping has ended, else empty.
    std::string OnNotification(int code, int64_t status);
    // Removes the mapping added at start-up (program exit).
    void RemoveMapping();

    bool Attempted() const { return m_attempted; }
    bool GatewayFound() const { return m_gateway_found; }
    const UpnpDeviceInfo& Device() const { return m_device; }
    CPortForwardEngine& Engine() { return *m_engine; }

private:
    void Event(uint32_t code, const std::string& text) const;
    std::string SearchDone(int64_t status);
    std::string MappingDone(int64_t status);

    PortForwardingEnvironment m_env;
    PortForwardNotify m_window;
    std::unique_ptr<CPortForwardEngine> m_engine;
    std::shared_ptr<ManualResetEvent> m_search_seen;
    UpnpDeviceInfo m_device;
    bool m_attempted = false;
    bool m_gateway_found = false;
};

}  // namespace app
