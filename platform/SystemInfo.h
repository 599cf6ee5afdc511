#pragma once
// Facts about the machine that the statistics reports describe it with: a
// file-system id, the network adapters' hardware addresses, the processor
// architecture and the raw texts the kernel publishes about processors,
// memory and video cards. Nothing here interprets those texts; values that
// cannot be read come back empty. Stateless and thread-safe.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using MacAddress = std::array<uint8_t, 6>;

// The low 32 bits of the id of the file system mounted at "/", or 0 when it
// cannot be read. Stable for an installation, like a volume serial number.
uint32_t RootFileSystemId();

// Hardware addresses of the network interfaces that have one, loopback
// excluded, in interface index order. `sys_class_net` is the folder that lists
// the interfaces (tests point it at a fixture).
std::vector<MacAddress> NetworkAdapterMacs(const std::string& sys_class_net = "/sys/class/net");
// Parses "aa:bb:cc:dd:ee:ff" (case-insensitive, surrounding white space allowed).
std::optional<MacAddress> ParseMacText(const std::string& text);

// The native machine name ("x86_64", "i686", "aarch64"), empty when unknown.
std::string MachineName();

// Processor and memory descriptions ("/proc/cpuinfo", "/proc/meminfo"); empty
// when unreadable.
std::string ProcessorInfoText();
std::string MemoryInfoText();

// One display controller that the kernel's DRM layer lists.
struct VideoCardFacts {
    std::optional<uint16_t> pci_vendor;
    std::optional<uint16_t> pci_device;
    std::string driver;                    // kernel driver name, empty if unknown
    std::optional<uint64_t> memory_bytes;  // dedicated video memory when published
    std::string driver_version;            // module version, empty if unknown
};
// The cards "card<N>" under `sys_class_drm` in card number order; connector
// entries ("card0-HDMI-A-1") are not cards.
std::vector<VideoCardFacts> VideoCards(const std::string& sys_class_drm = "/sys/class/drm",
                                       const std::string& sys_module = "/sys/module");
// The PCI id database text ("pci.ids"), empty when the system has none.
std::string PciIdDatabaseText();

}  // namespace platform
