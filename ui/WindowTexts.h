#pragma once
// The texts the main window draws below its progress bar, chosen by the
// controller's state: the progress label and value, the status text (with
// the repair phase's alternation) and the final message. Pure functions of
// the values the window reads from the controller each second.

#include <cstdint>
#include <string>

namespace ui {

// "验证进度:", "修复进度:" or "当前进度:".
std::string ProgressLabel(int state);

// Seconds of every RepairCycle during which the repair status shows
// "修复中..." rather than the repair detail text.
constexpr int RepairCycle = 12;
constexpr int RepairHeadline = 4;

struct StatusInputs {
    int state = 0;
    int32_t repair_progress = 0;  // ten-thousandths
    uint32_t seconds = 0;         // the window's one-second counter
    std::string repair_detail;    // the controller's repair detail text
    std::string short_status;     // the controller's short status text
};
std::string StatusText(const StatusInputs& in);

struct ProgressInputs {
    int state = 0;
    int32_t download = 0;  // ten-thousandths
    int32_t verify = 0;
    int32_t repair = 0;
};
// "%3.2f%%" of the progress that matters in this state.
std::string ProgressValueText(const ProgressInputs& in);
// Ten-thousandths for the progress bar, capped at 10000, and whether the
// verify/repair bar (rather than the download bar) is the one drawn.
int32_t BarProgress(const ProgressInputs& in);
bool UsesVerifyBar(int state);

// States in which the final message replaces the status, label and value.
bool ShowsFinalMessage(int state);
std::string FinalMessage(int state, bool repaired);

// The about box: the product title and the program's version on two lines.
std::string AboutText(const std::string& title);

}  // namespace ui
