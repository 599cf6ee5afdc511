#include "app/PortForwarding.h"

#include <ctime>
#include <random>

#include "app/AppState.h"
#include "app/PortChoice.h"
#include "engine/base/CTidewellLog.h"
#include "engine/net/NameResolver.h"
#include "engine/net/TSourceInfo.h"
#include "platform/PortTable.h"
#include "platform/Socket.h"

namespace app {

namespace {

constexpr uint32_t EventMappingFailed = 11500105;
constexpr uint32_t EventNoMappingNeeded = 11390001;
constexpr uint32_t EventMappingAdded = 11390000;

void Log(const std::string& text) { engine::LogLine(text, DownloaderLogLevel); }

uint32_t TimeSeededRandom() {
    std::mt19937 generator(static_cast<uint32_t>(std::time(nullptr)));
    return generator();
}

}  // namespace

PortForwarding::PortForwarding(PortForwardingEnvironment environment, PortForwardNotify window)
    : m_env(std::move(environment)), m_window(std::move(window)) {
    PortForwardSettings settings = m_env.engine;
    settings.report_event = [stats = m_env.stats](uint32_t code, const std::string& text) {
        if (stats) stats->SubmitEvent(code, text, 0);
    };
    m_engine = std::make_unique<CPortForwardEngine>(settings);
}

PortForwarding::~PortForwarding() {
    // The workers end first; then nothing can reach the event any more.
    m_engine.reset();
}

void PortForwarding::Event(uint32_t code, const std::string& text) const {
    if (m_env.stats) m_env.stats->SubmitEvent(code, text, 0);
}

uint16_t PortForwarding::ChoosePortAndMap() {
    const uint32_t random = m_env.random ? m_env.random() : TimeSeededRandom();
    const std::set<uint16_t> listed = m_env.listed_ports ? m_env.listed_ports() : platform::ListedLocalPorts();
    const uint16_t port = ChooseListenPort(random, [&](uint16_t p) { return listed.count(p) != 0; });
    if (port == 0) {
        Event(EventMappingFailed, "没有可用的端口，uPnP失败");
        return 0;
    }
    const uint32_t address = m_env.local_address ? m_env.local_address() : engine::LocalAddress();
    if (address == 0 || address == engine::NoAddress) {
        Event(EventMappingFailed, "无法获取本地ip，uPnP失败");
        return 0;
    }
    const std::string dotted = platform::FormatIpv4(address);
    if (!engine::IsPrivateAddress(address)) {
        Event(EventNoMappingNeeded, "无需uPnP：本机直通外网" + dotted);
        return port;
    }
    m_attempted = true;
    m_search_seen = std::make_shared<ManualResetEvent>();
    if (!m_engine->StartDeviceSearch(m_window)) {
        Event(EventMappingFailed, "IGD设备信息线程创建失败");
        return 0;
    }
    Log("IGD设备信息线程已创建");
    PortMappingRequest request;
    request.external_port = std::to_string(port);
    request.internal_port = request.external_port;
    request.internal_client = dotted;
    if (!m_engine->StartMapping(request, m_window, m_search_seen)) {
        Event(EventMappingFailed, "uPnP线程创建失败");
        return 0;
    }
    Log("uPnP线程已创建");
    return port;
}

std::string PortForwarding::OnNotification(int code, int64_t status) {
    switch (code) {
    case PortForwardSearchDone:
        return SearchDone(status);
    case PortForwardMappingDone:
        return MappingDone(status);
    case PortForwardDeviceListChanged:
        if (status >= 0) m_device = m_engine->DeviceInformation();
        return {};
    default:
        return {};
    }
}

std::string PortForwarding::SearchDone(int64_t status) {
    std::string notice;
    if (status == 0) {
        m_device = m_engine->DeviceInformation();
        if (m_device.model_name.empty()) {
            m_gateway_found = false;
            notice = "NAT device ^Not^ found..";
        } else {
            m_gateway_found = true;
            notice = "NAT Device found : Name : <" + m_device.model_name + ">";
        }
        Log(notice);
    }
    // Whatever the search found, the mapping may go on now.
    if (m_search_seen) m_search_seen->Set();
    return notice;
}

std::string PortForwarding::MappingDone(int64_t status) {
    if (status != 0) {
        const std::string text =
            m_gateway_found ? "IGD设备已找到，但是uPnP依然失败" : "uPnP失败，因为没有IGD设备信息";
        Event(EventMappingFailed, text);
        return text;
    }
    Log("uPnP成功");
    Event(EventMappingAdded, "");
    return "uPnP成功";
}

void PortForwarding::RemoveMapping() { m_engine->RemoveMapping(); }

}  // namespace app
