#include "ui/WindowTexts.h"

#include <algorithm>
#include <cstdio>

#include "app/ProgramVersion.h"

namespace ui {

std::string ProgressLabel(int state) {
    if (state == 10 || state == 12) return "验证进度:";
    if (state == 11) return "修复进度:";
    return "当前进度:";
}

std::string StatusText(const StatusInputs& in) {
    if (in.state == 10) return "文件验证中...";
    if (in.state == 11) {
        if (in.repair_progress == 0) return "修复准备...";
        return in.seconds % RepairCycle < uint32_t(RepairHeadline) ? "修复中..." : in.repair_detail;
    }
    return in.short_status;
}

std::string ProgressValueText(const ProgressInputs& in) {
    int32_t value = in.download;
    if (in.state == 10 || in.state == 12) value = in.verify;
    if (in.state == 11) {
        if (in.repair == 0) return "修复准备...";
        value = in.repair;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%3.2f%%", value / 100.0);
    return text;
}

bool UsesVerifyBar(int state) {
    return state >= 10 && state <= 13;
}

int32_t BarProgress(const ProgressInputs& in) {
    int32_t value = in.download;
    if (UsesVerifyBar(in.state)) value = in.state == 11 ? in.repair : in.verify;
    return std::clamp(value, 0, 10000);
}

bool ShowsFinalMessage(int state) {
    return state == 8 || state == 12 || state == 13;
}

std::string FinalMessage(int state, bool repaired) {
    if (state == 12) return repaired ? "√ 修复成功" : "√ 验证通过";
    if (state == 8 || state == 13) return "下载完成";
    return "";
}

std::string AboutText(const std::string& title) { return title + "\n版本 " + app::ProgramVersion(); }

}  // namespace ui
