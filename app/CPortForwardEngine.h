#pragma once
// Asks the home router (an Internet Gateway Device, UPnP) to forward the
// engine's listening port to this machine. Two short-lived worker threads do
// the work: the device search finds the gateway and reads its description,
// the mapping adds a static port mapping once the controller has seen the
// search's result. Both report their steps through the notification callback
// (the "window"); the front end carries them to its own thread and hands
// them to the controller. The one wrapper around libminiupnpc: its headers
// stay in the .cpp.
//
// Owner: the port-forwarding part of the controller (PortForwarding). Threads:
// the callers' thread (start, device information, removal), the two workers.
// Lock: m_lock guards the device record, the gateway found, the mapping
// added and the thread bookkeeping.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace app {

// Notification codes and the failure status that goes with 18 and 34.
enum PortForwardCode : int {
    PortForwardSearchProgress = 17,
    PortForwardSearchDone = 18,
    PortForwardMappingProgress = 33,
    PortForwardMappingDone = 34,
    PortForwardDeviceListChanged = 2,
};
inline constexpr int64_t PortForwardFailed = 0x80004005;  // E_FAIL

using PortForwardNotify = std::function<void(int code, int64_t status)>;

// The description of the last gateway found, nineteen texts in this order.
struct UpnpDeviceInfo {
    std::string children, description, friendly_name, has_children, icon_url, is_root_device, manufacturer,
        manufacturer_url, model_name, model_number, model_url, parent_device, presentation_url, root_device,
        serial_number, services, type, unique_device_name, upc;
};

// The static port mapping to add: the first text stays empty (any remote
// host), then external port, internal port, protocol, internal client,
// enabled ("Yes") and description.
struct PortMappingRequest {
    std::string remote_host;
    std::string external_port;
    std::string internal_port;
    std::string protocol = "TCP";
    std::string internal_client;
    std::string enabled = "Yes";
    std::string description = "Tidewell uPnP for P2SP upload/download";
};

// A manual-reset event: set once, it stays set until reset.
class ManualResetEvent {
public:
    void Set();
    void Reset();
    // True when set within `ms`; false on time-out or once cancelled.
    bool Wait(int64_t ms);
    // Wakes every waiter for good (their owner is going away).
    void Cancel();
    bool Cancelled();

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_set = false;
    bool m_cancelled = false;
};

struct PortForwardSettings {
    // How long the mapping waits for the controller to see the search's
    // result before it gives up.
    int64_t device_wait_ms = 60000;
    // How long the search listens for gateways' answers.
    int discover_ms = 2000;
    // Raises a statistics event (the mapping's time-out).
    std::function<void(uint32_t code, const std::string& text)> report_event;
};

class CPortForwardEngine {
public:
    explicit CPortForwardEngine(PortForwardSettings settings = {});
    // Waits for the workers (a mapping still waiting gives up at once).
    ~CPortForwardEngine();
    CPortForwardEngine(const CPortForwardEngine&) = delete;
    CPortForwardEngine& operator=(const CPortForwardEngine&) = delete;

    // Starts the device search unless one runs or `window` is empty.
    bool StartDeviceSearch(PortForwardNotify window);
    // Starts the mapping unless one runs or `window` is empty; it waits for
    // `search_seen` before it asks the gateway.
    bool StartMapping(const PortMappingRequest& request, PortForwardNotify window,
                      std::shared_ptr<ManualResetEvent> search_seen);
    UpnpDeviceInfo DeviceInformation() const;
    // Removes the mapping this object added, if any (at exit: the router
    // would otherwise keep one more forward after every start).
    void RemoveMapping();
    bool MappingAdded() const;

private:
    struct Gateway;
    void SearchThread(PortForwardNotify window);
    void MappingThread(PortMappingRequest request, PortForwardNotify window,
                       std::shared_ptr<ManualResetEvent> search_seen);
    bool AddMapping(const PortMappingRequest& request);
    void Join();

    PortForwardSettings m_settings;
    mutable std::mutex m_lock;
    UpnpDeviceInfo m_device;
    std::unique_ptr<Gateway> m_gateway;
    bool m_search_running = false;
    bool m_mapping_running = false;
    bool m_closing = false;
    std::shared_ptr<ManualResetEvent> m_waiting_on;
    PortMappingRequest m_added;
    bool m_mapping_added = false;
    std::thread m_search;
    std::thread m_mapping;
};

}  // namespace app
