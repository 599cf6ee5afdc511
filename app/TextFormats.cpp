#include "app/TextFormats.h"

#include <cstdio>
#include <cstring>

namespace app {

namespace {

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = KiB * 1024;
constexpr uint64_t GiB = MiB * 1024;
constexpr uint64_t TiB = GiB * 1024;
// Rates from here on are nonsense (a wrapped or unset counter).
constexpr uint64_t UnknownSpeed = 3435973836ull;

std::string Printf(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string FormatSize(uint64_t bytes) {
    if (bytes == 0) return {};
    if (bytes >= TiB) return Printf("%0.1f TB", double(bytes) / double(TiB));
    if (bytes >= GiB) return Printf("%0.1f GB", double(bytes) / double(GiB));
    if (bytes >= MiB) return Printf("%0.1f MB", double(bytes) / double(MiB));
    if (bytes >= KiB) return Printf("%0.1f KB", double(bytes) / double(KiB));
    return std::to_string(bytes) + " B";
}

std::string FormatMixedSize(uint64_t bytes) {
    static const struct {
        uint64_t size;
        const char* name;
    } units[] = {{TiB, "TB"}, {GiB, "GB"}, {MiB, "MB"}, {KiB, "KB"}};
    for (const auto& unit : units) {
        if (bytes >= unit.size) {
            return " " + std::to_string(bytes / unit.size) + " " + unit.name + FormatMixedSize(bytes % unit.size);
        }
    }
    return " " + std::to_string(bytes) + " B";
}

std::string FormatSpeed(uint64_t bps) {
    if (bps >= UnknownSpeed) return "未知";
    if (bps >= GiB) return Printf("%0.1f GB/s", double(bps) / double(GiB));
    if (bps >= MiB) return Printf("%0.1f MB/s", double(bps) / double(MiB));
    if (bps < KiB) return std::to_string(bps) + " B/s";
    return Printf("%0.1f KB/s", double(bps) / double(KiB));
}

std::string FormatPercentTwoDecimals(uint32_t p) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%02u%%", p / 100, p % 100);
    return text;
}

std::string FormatProgress(uint32_t p) {
    if (p == 0) return "0%";
    if (p % 100 != 0) return FormatPercentTwoDecimals(p);
    return std::to_string(p / 100) + "%";
}

int CopyTextToBuffer(const std::string& text, char* buffer, size_t size) {
    int length = static_cast<int>(text.size());
    if (buffer == nullptr) return length;
    if (size < text.size() + 1) return 0;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return length;
}

}  // namespace app
