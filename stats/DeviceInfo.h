#pragma once
// The machine description carried by every statistics event: identity values
// (machine id, adapter addresses, OS text) and the hardware entries ("CPU",
// "Memory" with "Memory_Total_Capacity", "Video_Card") an event's kind asks
// for. Values are read from the kernel's published texts (platform/
// SystemInfo.h) and turned into JSON members; what cannot be read is left out.
//
// One process-wide instance (Process()); tests may build their own. The
// hardware entries and the OS text are computed once and reused; the MAC text
// is refreshed on request. Any thread may call; an internal mutex guards the
// cached values.

#include <mutex>
#include <optional>
#include <string>

#include "stats/JsonValue.h"

namespace engine {

class DeviceInfo {
public:
    // Where the hardware facts are read; tests point these at fixtures.
    struct Sources {
        std::string sys_class_net = "/sys/class/net";
        std::string sys_class_drm = "/sys/class/drm";
        std::string sys_module = "/sys/module";
    };

    static constexpr int OpenConnected = 1;
    static constexpr int OpenAlready = 17;
    static constexpr int OpenFailed = 0;
    static constexpr int AddRan = 0;
    static constexpr int AddNoConnection = 1;

    DeviceInfo() = default;
    explicit DeviceInfo(Sources sources) : m_sources(std::move(sources)) {}

    static DeviceInfo& Process();

    // Opens the hardware sources: 1 opened, 17 already open (unless `force`),
    // 0 failed. Until then no hardware entry is added.
    int OpenWmi(bool force);
    void CloseWmi();

    std::string GetMachineId();
    void AddMachineId(JsonValue& object);
    // Re-reads the adapter addresses into the MAC text.
    void ReadAdapterTexts();
    std::string MacText();
    std::string GetOsText();

    // Each adds its entry to `object`: 0 when it ran, 1 without an open source.
    int AddCpuInfo(JsonValue& object);
    int AddMemoryInfo(JsonValue& object);
    int AddVideoCardInfo(JsonValue& object);

private:
    JsonValue BuildCpuEntry() const;
    JsonValue BuildMemoryEntry(std::optional<uint64_t>* total_bytes) const;
    JsonValue BuildVideoCardEntry() const;

    Sources m_sources;
    std::mutex m_lock;
    bool m_connected = false;
    std::optional<std::string> m_mac_text;
    std::optional<std::string> m_os_text;
    std::optional<JsonValue> m_cpu;
    std::optional<JsonValue> m_memory;
    std::optional<uint64_t> m_memory_total;
    std::optional<JsonValue> m_video;
};

}  // namespace engine
