#include "stats/DeviceFacts.h"

#include <array>
#include <cstdio>

namespace engine {

namespace {

std::string_view Trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Calls `line(key, value)` for every "key : value" line and `blank()` for
// empty lines (block separators in /proc/cpuinfo).
template <typename Line, typename Blank>
void ForEachKeyValue(std::string_view text, Line line, Blank blank) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view l = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (Trim(l).empty()) {
            blank();
            continue;
        }
        size_t colon = l.find(':');
        if (colon == std::string_view::npos) continue;
        line(Trim(l.substr(0, colon)), Trim(l.substr(colon + 1)));
    }
}

bool StartsWithHex4(std::string_view s, uint16_t value) {
    static const char Hex[] = "0123456789abcdef";
    if (s.size() < 4) return false;
    for (int i = 0; i < 4; ++i) {
        char c = s[static_cast<size_t>(i)];
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (c != Hex[(value >> (12 - 4 * i)) & 15]) return false;
    }
    return true;
}

}  // namespace

std::vector<CpuPackage> ParseCpuInfo(std::string_view text) {
    struct Block {
        CpuPackage package;
        std::string physical_id;
        bool has_physical_id = false;
        bool any = false;
    };
    std::vector<Block> blocks;
    Block current;
    auto finish = [&] {
        if (current.any) blocks.push_back(current);
        current = Block{};
    };
    ForEachKeyValue(
        text,
        [&](std::string_view key, std::string_view value) {
            if (key == "processor" && current.any) finish();
            current.any = true;
            if (key == "model name") current.package.model_name = value;
            else if (key == "vendor_id") current.package.vendor_id = value;
            else if (key == "physical id") {
                current.physical_id = value;
                current.has_physical_id = true;
            }
        },
        finish);
    finish();

    std::vector<CpuPackage> packages;
    std::vector<std::string> seen;
    for (const Block& b : blocks) {
        if (!b.has_physical_id) {
            if (packages.empty()) packages.push_back(b.package);
            if (seen.empty()) seen.emplace_back();
            continue;
        }
        bool known = false;
        for (const auto& id : seen) known = known || id == b.physical_id;
        if (known) continue;
        seen.push_back(b.physical_id);
        packages.push_back(b.package);
    }
    return packages;
}

std::optional<uint64_t> ParseMemTotalBytes(std::string_view text) {
    std::optional<uint64_t> result;
    ForEachKeyValue(
        text,
        [&](std::string_view key, std::string_view value) {
            if (key != "MemTotal" || result) return;
            uint64_t kib = 0;
            size_t i = 0;
            while (i < value.size() && value[i] >= '0' && value[i] <= '9') {
                if (kib > (UINT64_MAX / 1024 - 9) / 10) return;  // would overflow as bytes
                kib = kib * 10 + static_cast<uint64_t>(value[i] - '0');
                ++i;
            }
            if (i == 0 || Trim(value.substr(i)) != "kB") return;
            result = kib * 1024;
        },
        [] {});
    return result;
}

std::optional<std::string> LookupPciName(std::string_view pci_ids, uint16_t vendor, uint16_t device) {
    // pci.ids: "vvvv  Vendor name" at column 0, "\tdddd  Device name" below
    // it, "\t\tssss ssss  Subsystem" further in; "#" starts a comment.
    std::optional<std::string> vendor_name;
    size_t pos = 0;
    while (pos < pci_ids.size()) {
        size_t eol = pci_ids.find('\n', pos);
        if (eol == std::string_view::npos) eol = pci_ids.size();
        std::string_view line = pci_ids.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.empty() || line[0] == '#') continue;
        if (line[0] != '\t') {
            if (vendor_name) return std::nullopt;  // the vendor's device list ended
            if (StartsWithHex4(line, vendor) && line.size() > 4 && (line[4] == ' ' || line[4] == '\t')) {
                vendor_name = std::string(Trim(line.substr(4)));
            }
            continue;
        }
        if (!vendor_name || line.size() < 2 || line[1] == '\t') continue;
        std::string_view rest = line.substr(1);
        if (StartsWithHex4(rest, device) && rest.size() > 4 && (rest[4] == ' ' || rest[4] == '\t')) {
            return *vendor_name + " " + std::string(Trim(rest.substr(4)));
        }
    }
    return std::nullopt;
}

std::string CpuArchitectureText(std::string_view m) {
    if (m == "x86_64" || m == "amd64") return "x64";
    if (m == "i386" || m == "i486" || m == "i586" || m == "i686" || m == "x86") return "x86";
    if (m.substr(0, 4) == "mips") return "MIPS";
    if (m.substr(0, 5) == "alpha") return "Alpha";
    if (m.substr(0, 3) == "ppc" || m.substr(0, 7) == "powerpc") return "PowerPC";
    if (m == "ia64") return "Itanium-based systems";
    return "Error";
}

bool IsMachine64Bit(std::string_view m) { return m.find("64") != std::string_view::npos || m == "s390x"; }

std::string CpuTypeText(int type_code) {
    static const std::array<const char*, 6> Names = {"Other", "Unknown", "Central Processor", "Math Processor",
                                                     "DSP Processor", "Video Processor"};
    if (type_code >= 1 && type_code <= 6) return Names[static_cast<size_t>(type_code - 1)];
    return "Error";
}

std::string MemoryTypeText(int type_code) {
    static const std::array<const char*, 20> Names = {
        "DRAM",  "Synchronous DRAM", "Cache DRAM", "EDO",   "EDRAM", "VRAM",  "SRAM",  "RAM",   "ROM",   "Flash",
        "EEPROM", "FEPROM",          "EPROM",      "CDRAM", "3DRAM", "SDRAM", "SGRAM", "RDRAM", "DDR",   "DDR-2"};
    if (type_code >= 2 && type_code <= 21) return Names[static_cast<size_t>(type_code - 2)];
    return "DDR-3";
}

std::string MachineIdText(uint32_t fs_id, const platform::MacAddress& m) {
    const unsigned s0 = fs_id & 0xFF, s1 = (fs_id >> 8) & 0xFF, s2 = (fs_id >> 16) & 0xFF, s3 = fs_id >> 24;
    const std::array<unsigned, 8> bytes = {m[0] + s2, m[1], m[2] + s3, m[3] + s0, m[4], m[5] + s2, s0, s1};
    std::string id;
    char hex[3];
    for (unsigned b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b % 256);
        id += hex;
    }
    return id;
}

std::string MacListText(const std::vector<platform::MacAddress>& macs) {
    std::string text;
    char one[18];
    for (const auto& m : macs) {
        std::snprintf(one, sizeof one, "%02x-%02x-%02x-%02x-%02x-%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
        if (!text.empty()) text += ';';
        text += one;
    }
    return text;
}

std::string OsText(bool is_64bit) {
    // "999" is the "Other" operating-system code: the version digits describe
    // Windows releases only. Code-page class "2": neither a Chinese code page
    // ("0") nor 1252 ("1"), the program's text being UTF-8.
    return std::string("999") + (is_64bit ? "64" : "32") + "2";
}

std::string DeviceCodeText(const std::string& machine_id) {
    if (machine_id.size() < 16) return {};
    return "0x" + machine_id.substr(0, 8) + ", 0x" + machine_id.substr(machine_id.size() - 8);
}

}  // namespace engine
