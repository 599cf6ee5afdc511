#include "platform/SystemInfo.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/File.h"

namespace platform {

namespace {

// Kernel files under /proc and /sys report a size of 0 or 4096 whatever they
// hold, so they are read until end of file. The cap keeps a runaway file
// (or a wrong path) from filling memory; pci.ids is about 1.4 MB.
constexpr size_t KernelTextCap = 8 * 1024 * 1024;

std::string ReadKernelText(const std::string& path, size_t cap = KernelTextCap) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    char buf[16384];
    while (text.size() < cap) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (text.size() > cap) text.resize(cap);
    return text;
}

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::optional<uint64_t> ParseUnsigned(const std::string& text, int base) {
    std::string t = Trimmed(text);
    if (t.empty() || t[0] == '-' || t[0] == '+') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(t.c_str(), &end, base);
    if (errno != 0 || end == t.c_str() || *end != '\0') return std::nullopt;
    return static_cast<uint64_t>(v);
}

std::optional<uint16_t> ParsePciId(const std::string& text) {
    auto v = ParseUnsigned(text, 16);
    if (!v || *v > 0xFFFF) return std::nullopt;
    return static_cast<uint16_t>(*v);
}

// "DRIVER=i915" from a device's uevent text.
std::string UeventValue(const std::string& uevent, const std::string& key) {
    size_t pos = 0;
    while (pos < uevent.size()) {
        size_t eol = uevent.find('\n', pos);
        if (eol == std::string::npos) eol = uevent.size();
        std::string line = uevent.substr(pos, eol - pos);
        if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == '=') {
            return line.substr(key.size() + 1);
        }
        pos = eol + 1;
    }
    return {};
}

// Interface type of the loopback device (ARPHRD_LOOPBACK in <net/if_arp.h>).
constexpr uint64_t LoopbackInterfaceType = 772;

}  // namespace

uint32_t RootFileSystemId() {
    struct statvfs st {};
    if (::statvfs("/", &st) != 0) return 0;
    return static_cast<uint32_t>(st.f_fsid & 0xFFFFFFFFu);
}

std::optional<MacAddress> ParseMacText(const std::string& text) {
    std::string t = Trimmed(text);
    // Exactly six pairs of hex digits separated by ':'.
    if (t.size() != 17) return std::nullopt;
    MacAddress mac{};
    for (size_t i = 0; i < 6; ++i) {
        if (i > 0 && t[i * 3 - 1] != ':') return std::nullopt;
        unsigned value = 0;
        for (size_t k = 0; k < 2; ++k) {
            char c = t[i * 3 + k];
            unsigned d;
            if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
            else return std::nullopt;
            value = value * 16 + d;
        }
        mac[i] = static_cast<uint8_t>(value);
    }
    return mac;
}

std::vector<MacAddress> NetworkAdapterMacs(const std::string& sys_class_net) {
    struct Entry {
        uint64_t index;
        MacAddress mac;
    };
    std::vector<Entry> entries;
    for (const std::string& name : ListDirectory(sys_class_net)) {
        const std::string dir = sys_class_net + "/" + name;
        auto type = ParseUnsigned(ReadKernelText(dir + "/type", 64), 10);
        if (name == "lo" || (type && *type == LoopbackInterfaceType)) continue;
        auto mac = ParseMacText(ReadKernelText(dir + "/address", 256));
        // Tunnels and other interfaces without a hardware address show zeros.
        if (!mac || std::all_of(mac->begin(), mac->end(), [](uint8_t b) { return b == 0; })) continue;
        auto index = ParseUnsigned(ReadKernelText(dir + "/ifindex", 64), 10);
        entries.push_back({index.value_or(UINT64_MAX), *mac});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.index < b.index; });
    std::vector<MacAddress> macs;
    macs.reserve(entries.size());
    for (const Entry& e : entries) macs.push_back(e.mac);
    return macs;
}

std::string MachineName() {
    struct utsname u {};
    if (::uname(&u) != 0) return {};
    return u.machine;
}

std::string ProcessorInfoText() { return ReadKernelText("/proc/cpuinfo"); }

std::string MemoryInfoText() { return ReadKernelText("/proc/meminfo"); }

std::vector<VideoCardFacts> VideoCards(const std::string& sys_class_drm, const std::string& sys_module) {
    std::vector<std::pair<uint64_t, VideoCardFacts>> cards;
    for (const std::string& name : ListDirectory(sys_class_drm)) {
        if (name.size() <= 4 || name.compare(0, 4, "card") != 0) continue;
        auto number = ParseUnsigned(name.substr(4), 10);
        if (!number || name.find_first_not_of("0123456789", 4) != std::string::npos) continue;
        const std::string device = sys_class_drm + "/" + name + "/device";
        VideoCardFacts card;
        card.pci_vendor = ParsePciId(ReadKernelText(device + "/vendor", 64));
        card.pci_device = ParsePciId(ReadKernelText(device + "/device", 64));
        card.driver = UeventValue(ReadKernelText(device + "/uevent", 16384), "DRIVER");
        // Only some drivers (amdgpu) publish their dedicated memory size.
        card.memory_bytes = ParseUnsigned(ReadKernelText(device + "/mem_info_vram_total", 64), 10);
        if (!card.driver.empty() && card.driver.find('/') == std::string::npos) {
            card.driver_version = Trimmed(ReadKernelText(sys_module + "/" + card.driver + "/version", 256));
        }
        cards.emplace_back(*number, std::move(card));
    }
    std::stable_sort(cards.begin(), cards.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<VideoCardFacts> out;
    out.reserve(cards.size());
    for (auto& c : cards) out.push_back(std::move(c.second));
    return out;
}

std::string PciIdDatabaseText() {
    for (const char* path : {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"}) {
        std::string text = ReadKernelText(path);
        if (!text.empty()) return text;
    }
    return {};
}

}  // namespace platform
