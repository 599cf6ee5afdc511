#pragma once
// The headless front end's progress lines: one per package file and one for
// the whole package, each with a bar, the percentage, the download speed and
// the remaining time. Pure text formatting, so the layout is tested without
// a terminal.

#include <cstdint>
#include <string>

namespace cli {

struct LineFigures {
    std::string name;
    int32_t progress = 0;  // ten-thousandths
    uint64_t done_bytes = 0;
    uint64_t total_bytes = 0;
    uint64_t rate_bps = 0;
    std::string status;    // the controller's status text, shown at the end
};

// "[#####-----]" with `width` cells between the brackets.
std::string Bar(int32_t progress, int width);
// Seconds as "1:02:03" or "02:03"; "--:--" when unknown (no speed).
std::string Remaining(uint64_t left_bytes, uint64_t rate_bps);
// One line: name (padded to name_width), bar, percentage, speed, time left.
std::string ProgressLine(const LineFigures& figures, int name_width, int bar_width);

}  // namespace cli
