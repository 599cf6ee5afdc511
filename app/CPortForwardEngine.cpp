#include "app/CPortForwardEngine.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/miniwget.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <chrono>
#include <cstdlib>

#include "app/AppState.h"
#include "app/XmlDocument.h"
#include "engine/base/CTidewellLog.h"

namespace app {

namespace {

// The UPnP threads log at this level.
constexpr int32_t UpnpLogLevel = 3;
constexpr const char* TopmostDevice = "This is a topmost device";
// The statistics event of every port-mapping failure.
constexpr uint32_t EventMappingFailed = 11500105;

std::string CountText(int count, const char* none, const char* one, const char* many) {
    if (count == 0) return none;
    if (count == 1) return one;
    char text[64];
    std::snprintf(text, sizeof text, many, count);
    return text;
}

int CountChildren(const XmlNode& list, const char* name) {
    int count = 0;
    for (XmlNode n = list.FirstChildElement(name); n.Valid(); n = n.NextSiblingElement()) {
        if (n.Name() == name) ++count;
    }
    return count;
}

// The 32 x 32, 8-bit GIF icon, as the device record names it.
std::string GifIconUrl(const XmlNode& device) {
    for (XmlNode icon = device.FirstChildElement("iconList").FirstChildElement("icon"); icon.Valid();
         icon = icon.NextSiblingElement()) {
        auto text = [&](const char* name) { return icon.FirstChildElement(name).Text(); };
        if (text("mimetype") == "image/gif" && text("width") == "32" && text("height") == "32" &&
            text("depth") == "8") {
            return text("url");
        }
    }
    return {};
}

// The gateway's root device, from its description document.
UpnpDeviceInfo ReadDeviceInfo(const std::string& description_xml) {
    UpnpDeviceInfo info;
    XmlDocument document;
    if (!document.Parse(description_xml)) return info;
    const XmlNode device = document.Root().FirstChildElement("device");
    if (!device.Valid()) return info;
    auto text = [&](const char* name) { return device.FirstChildElement(name).Text(); };
    const int children = CountChildren(device.FirstChildElement("deviceList"), "device");
    const int services = CountChildren(device.FirstChildElement("serviceList"), "service");
    info.children = CountText(children, "No: Zero children", "Yes: One child", "Yes: %d children");
    info.description = text("modelDescription");
    info.friendly_name = text("friendlyName");
    info.has_children = children > 0 ? "Yes" : "No";
    info.icon_url = GifIconUrl(device);
    info.is_root_device = "Yes";
    info.manufacturer = text("manufacturer");
    info.manufacturer_url = text("manufacturerURL");
    info.model_name = text("modelName");
    info.model_number = text("modelNumber");
    info.model_url = text("modelURL");
    info.parent_device = TopmostDevice;
    info.presentation_url = text("presentationURL");
    info.root_device = TopmostDevice;
    info.serial_number = text("serialNumber");
    info.services = CountText(services, "No: Zero services", "Yes: One service", "Yes: %d services");
    info.type = text("deviceType");
    info.unique_device_name = text("UDN");
    info.upc = text("UPC");
    return info;
}

std::string Fetch(const char* url, unsigned int scope_id) {
    int size = 0;
    int status = 0;
    void* body = miniwget(url, &size, scope_id, &status);
    if (!body) return {};
    std::string text(static_cast<const char*>(body), static_cast<size_t>(size));
    std::free(body);
    return text;
}

}  // namespace

void ManualResetEvent::Set() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_set = true;
    }
    m_changed.notify_all();
}

void ManualResetEvent::Reset() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_set = false;
}

bool ManualResetEvent::Wait(int64_t ms) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait_for(hold, std::chrono::milliseconds(ms), [&] { return m_set || m_cancelled; });
    return m_set && !m_cancelled;
}

void ManualResetEvent::Cancel() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_cancelled = true;
    }
    m_changed.notify_all();
}

bool ManualResetEvent::Cancelled() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_cancelled;
}

// What the mapping needs of the gateway the search found.
struct CPortForwardEngine::Gateway {
    UPNPUrls urls{};
    IGDdatas data{};
    ~Gateway() { FreeUPNPUrls(&urls); }
};

CPortForwardEngine::CPortForwardEngine(PortForwardSettings settings) : m_settings(std::move(settings)) {}

CPortForwardEngine::~CPortForwardEngine() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_closing = true;
        if (m_waiting_on) m_waiting_on->Cancel();
    }
    Join();
}

void CPortForwardEngine::Join() {
    if (m_search.joinable()) m_search.join();
    if (m_mapping.joinable()) m_mapping.join();
}

bool CPortForwardEngine::StartDeviceSearch(PortForwardNotify window) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_search_running || !window || m_closing) return false;
    if (m_search.joinable()) m_search.join();
    m_search_running = true;
    try {
        m_search = std::thread(&CPortForwardEngine::SearchThread, this, std::move(window));
    } catch (const std::system_error&) {
        m_search_running = false;
        return false;
    }
    return true;
}

bool CPortForwardEngine::StartMapping(const PortMappingRequest& request, PortForwardNotify window,
                                      std::shared_ptr<ManualResetEvent> search_seen) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_mapping_running || !window || !search_seen || m_closing) return false;
    if (m_mapping.joinable()) m_mapping.join();
    m_mapping_running = true;
    m_waiting_on = search_seen;
    try {
        m_mapping = std::thread(&CPortForwardEngine::MappingThread, this, request, std::move(window),
                                std::move(search_seen));
    } catch (const std::system_error&) {
        m_mapping_running = false;
        return false;
    }
    return true;
}

void CPortForwardEngine::SearchThread(PortForwardNotify window) {
    window(PortForwardSearchProgress, 0);
    window(PortForwardSearchProgress, 1);
    int error = 0;
    UPNPDev* devices = upnpDiscover(m_settings.discover_ms, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
    window(PortForwardSearchProgress, 5);
    auto gateway = std::make_unique<Gateway>();
    char lan_address[64] = {0};
    UpnpDeviceInfo info;
    const bool found =
        devices && UPNP_GetValidIGD(devices, &gateway->urls, &gateway->data, lan_address, sizeof lan_address) != 0;
    if (found && gateway->urls.rootdescURL) {
        window(PortForwardSearchProgress, 6);
        info = ReadDeviceInfo(Fetch(gateway->urls.rootdescURL, devices->scope_id));
        window(PortForwardSearchProgress, 6);
    }
    const bool failed = devices == nullptr && error != UPNPDISCOVER_SUCCESS;
    freeUPNPDevlist(devices);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_device = info;
        if (found) m_gateway = std::move(gateway);
        m_search_running = false;
    }
    window(PortForwardSearchDone, failed ? PortForwardFailed : 0);
}

void CPortForwardEngine::MappingThread(PortMappingRequest request, PortForwardNotify window,
                                       std::shared_ptr<ManualResetEvent> search_seen) {
    const bool seen = search_seen->Wait(m_settings.device_wait_ms);
    if (!seen) {
        if (!search_seen->Cancelled() && m_settings.report_event) {
            m_settings.report_event(EventMappingFailed, "uPnP失败，获取IGD设备超时");
        }
        std::lock_guard<std::mutex> hold(m_lock);
        m_mapping_running = false;
        m_waiting_on.reset();
        return;
    }
    window(PortForwardMappingProgress, 0);
    window(PortForwardMappingProgress, 1);
    const bool added = AddMapping(request);
    window(PortForwardMappingProgress, 2);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_mapping_running = false;
        m_waiting_on.reset();
    }
    window(PortForwardMappingDone, added ? 0 : PortForwardFailed);
}

bool CPortForwardEngine::AddMapping(const PortMappingRequest& request) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_gateway || !m_gateway->urls.controlURL || m_closing) return false;
    if (request.enabled != "Yes") return false;
    const int result = UPNP_AddPortMapping(
        m_gateway->urls.controlURL, m_gateway->data.first.servicetype, request.external_port.c_str(),
        request.internal_port.c_str(), request.internal_client.c_str(), request.description.c_str(),
        request.protocol.c_str(), request.remote_host.empty() ? nullptr : request.remote_host.c_str(), "0");
    if (result != UPNPCOMMAND_SUCCESS) {
        engine::LogFormat(UpnpLogLevel, "AddPortMapping(%s) failed: %d %s", request.external_port.c_str(), result,
                          strupnperror(result));
        return false;
    }
    m_added = request;
    m_mapping_added = true;
    return true;
}

void CPortForwardEngine::RemoveMapping() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_mapping_added || !m_gateway) return;
    const int result =
        UPNP_DeletePortMapping(m_gateway->urls.controlURL, m_gateway->data.first.servicetype,
                               m_added.external_port.c_str(), m_added.protocol.c_str(),
                               m_added.remote_host.empty() ? nullptr : m_added.remote_host.c_str());
    if (result != UPNPCOMMAND_SUCCESS) {
        engine::LogFormat(UpnpLogLevel, "DeletePortMapping(%s) failed: %d", m_added.external_port.c_str(), result);
    }
    m_mapping_added = false;
}

bool CPortForwardEngine::MappingAdded() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_mapping_added;
}

UpnpDeviceInfo CPortForwardEngine::DeviceInformation() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_device;
}

}  // namespace app
