#include "cli/ProgressLine.h"

#include <algorithm>
#include <cstdio>

#include "app/TextFormats.h"

namespace cli {

namespace {

// Display width of UTF-8 text: CJK characters take two cells.
int DisplayWidth(const std::string& text) {
    int width = 0;
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        width += length >= 3 ? 2 : 1;
        i += length;
    }
    return width;
}

}  // namespace

std::string Bar(int32_t progress, int width) {
    int filled = int(int64_t(std::clamp(progress, 0, 10000)) * width / 10000);
    return "[" + std::string(size_t(filled), '#') + std::string(size_t(width - filled), '-') + "]";
}

std::string Remaining(uint64_t left_bytes, uint64_t rate_bps) {
    if (left_bytes == 0) return "00:00";
    if (rate_bps == 0) return "--:--";
    uint64_t seconds = (left_bytes + rate_bps - 1) / rate_bps;
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60), static_cast<unsigned long long>(seconds % 60));
    } else {
        std::snprintf(text, sizeof text, "%02llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    }
    return text;
}

std::string ProgressLine(const LineFigures& f, int name_width, int bar_width) {
    std::string line = f.name;
    line.append(size_t(std::max(1, name_width - DisplayWidth(f.name) + 1)), ' ');
    line += Bar(f.progress, bar_width);
    char numbers[96];
    uint64_t left = f.total_bytes > f.done_bytes ? f.total_bytes - f.done_bytes : 0;
    if (f.progress >= 10000) left = 0;
    std::string speed = app::FormatSpeed(f.rate_bps);
    std::snprintf(numbers, sizeof numbers, " %6.2f%% %11s  剩余 %s", f.progress / 100.0, speed.c_str(),
                  Remaining(left, f.rate_bps).c_str());
    line += numbers;
    if (!f.status.empty()) line += "  " + f.status;
    return line;
}

}  // namespace cli
