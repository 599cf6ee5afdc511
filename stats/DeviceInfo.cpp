#include "stats/DeviceInfo.h"

#include "platform/SystemInfo.h"
#include "stats/DeviceFacts.h"

namespace engine {

namespace {

// Everything listed in /proc/cpuinfo is a central processor (type code 3).
constexpr int CentralProcessorType = 3;

}  // namespace

DeviceInfo& DeviceInfo::Process() {
    static DeviceInfo instance;
    return instance;
}

int DeviceInfo::OpenWmi(bool force) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_connected && !force) return OpenAlready;
    // The kernel's texts need no session; "open" only enables the entries.
    m_connected = true;
    return OpenConnected;
}

void DeviceInfo::CloseWmi() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_connected = false;
}

std::string DeviceInfo::GetMachineId() {
    auto macs = platform::NetworkAdapterMacs(m_sources.sys_class_net);
    platform::MacAddress first{};  // zeros when no adapter has an address
    if (!macs.empty()) first = macs.front();
    return MachineIdText(platform::RootFileSystemId(), first);
}

void DeviceInfo::AddMachineId(JsonValue& object) { object.Set("MachId", GetMachineId()); }

void DeviceInfo::ReadAdapterTexts() {
    std::string text = MacListText(platform::NetworkAdapterMacs(m_sources.sys_class_net));
    std::lock_guard<std::mutex> guard(m_lock);
    m_mac_text = std::move(text);
}

std::string DeviceInfo::MacText() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_mac_text) return *m_mac_text;
    }
    ReadAdapterTexts();
    std::lock_guard<std::mutex> guard(m_lock);
    return *m_mac_text;
}

std::string DeviceInfo::GetOsText() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_os_text) m_os_text = OsText(IsMachine64Bit(platform::MachineName()));
    return *m_os_text;
}

JsonValue DeviceInfo::BuildCpuEntry() const {
    JsonValue list = JsonValue::Array();
    const std::string architecture = CpuArchitectureText(platform::MachineName());
    for (const CpuPackage& cpu : ParseCpuInfo(platform::ProcessorInfoText())) {
        JsonValue one = JsonValue::Object();
        if (!cpu.model_name.empty()) one.Set("CPU_Name", cpu.model_name);
        if (!cpu.vendor_id.empty()) one.Set("CPU_Manufacturer", cpu.vendor_id);
        one.Set("CPU_Type", CpuTypeText(CentralProcessorType));
        one.Set("CPU_Architecture", architecture);
        list.Append(one);
    }
    return list;
}

JsonValue DeviceInfo::BuildMemoryEntry(std::optional<uint64_t>* total_bytes) const {
    *total_bytes = ParseMemTotalBytes(platform::MemoryInfoText());
    // The kernel does not publish the memory modules to ordinary processes:
    // the module list stays empty, as when no module is reported.
    return JsonValue::Array();
}

JsonValue DeviceInfo::BuildVideoCardEntry() const {
    JsonValue list = JsonValue::Array();
    auto cards = platform::VideoCards(m_sources.sys_class_drm, m_sources.sys_module);
    std::string pci_ids;
    if (!cards.empty()) pci_ids = platform::PciIdDatabaseText();
    for (const auto& card : cards) {
        JsonValue one = JsonValue::Object();
        if (card.pci_vendor && card.pci_device) {
            if (auto name = LookupPciName(pci_ids, *card.pci_vendor, *card.pci_device)) one.Set("Video_Card_Name", *name);
        }
        if (card.memory_bytes) one.Set("Video_Card_Memory_Capacity", *card.memory_bytes);
        if (!card.driver_version.empty()) one.Set("Video_Card_Driver_Version", card.driver_version);
        list.Append(one);
    }
    return list;
}

int DeviceInfo::AddCpuInfo(JsonValue& object) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected) return AddNoConnection;
    if (!m_cpu) m_cpu = BuildCpuEntry();
    object.Set("CPU", *m_cpu);
    return AddRan;
}

int DeviceInfo::AddMemoryInfo(JsonValue& object) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected) return AddNoConnection;
    if (!m_memory) m_memory = BuildMemoryEntry(&m_memory_total);
    object.Set("Memory", *m_memory);
    if (m_memory_total) object.Set("Memory_Total_Capacity", *m_memory_total);
    return AddRan;
}

int DeviceInfo::AddVideoCardInfo(JsonValue& object) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected) return AddNoConnection;
    if (!m_video) m_video = BuildVideoCardEntry();
    object.Set("Video_Card", *m_video);
    return AddRan;
}

}  // namespace engine
