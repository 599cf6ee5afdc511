#pragma once
// Pure conversions from the machine's raw facts (kernel texts, ids, names) to
// the values the statistics identity carries. No I/O: DeviceInfo reads the
// facts through platform/SystemInfo.h and hands them here, so every rule can
// be checked with fixed inputs.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemInfo.h"

namespace engine {

// One physical processor package of /proc/cpuinfo; fields it lacks are empty.
struct CpuPackage {
    std::string model_name;  // "model name"
    std::string vendor_id;   // "vendor_id"
};
// Logical processors with the same "physical id" form one package, listed in
// order of first appearance; without "physical id" lines there is one
// package, described by the first processor block.
std::vector<CpuPackage> ParseCpuInfo(std::string_view text);
// "MemTotal:  24683728 kB" in bytes; nullopt when absent or malformed.
std::optional<uint64_t> ParseMemTotalBytes(std::string_view text);
// "Vendor Device" names from the PCI id database text, nullopt when the
// vendor or the device is not listed.
std::optional<std::string> LookupPciName(std::string_view pci_ids, uint16_t vendor, uint16_t device);

// The reported processor architecture for a kernel machine name, with the
// reported names of the architecture codes 0 "x86", 1 "MIPS", 2 "Alpha",
// 3 "PowerPC", 6 "Itanium-based systems", 9 "x64"; anything else "Error".
std::string CpuArchitectureText(std::string_view machine_name);
// Whether the machine name is a 64-bit architecture.
bool IsMachine64Bit(std::string_view machine_name);

// "CPU_Type" text of a processor type code (3 = central processor).
std::string CpuTypeText(int type_code);
// "Memory_Type" text of a memory type code; unknown codes (0 included) read as "DDR-3".
std::string MemoryTypeText(int type_code);

// Sixteen uppercase hex digits from the file-system id bytes s0 (least
// significant) .. s3 and the adapter address m0..m5:
// m0+s2, m1, m2+s3, m3+s0, m4, m5+s2, s0, s1, each modulo 256.
std::string MachineIdText(uint32_t fs_id, const platform::MacAddress& mac);
// Every address as "xx-xx-xx-xx-xx-xx", joined with ";".
std::string MacListText(const std::vector<platform::MacAddress>& macs);
// The OS text: version digits ("999" when the version is unknown), then "64"
// or "32", then the code-page class ("2" for a UTF-8 system).
std::string OsText(bool is_64bit);
// "0x" + first 8 characters + ", 0x" + last 8, or empty for an id shorter than 16.
std::string DeviceCodeText(const std::string& machine_id);

}  // namespace engine
