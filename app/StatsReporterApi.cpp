#include "app/StatsReporterApi.h"

#include <cstdio>
#include <limits>

#include "stats/DataUploadApi.h"

namespace app {

namespace {

int64_t Signed(uint64_t value) {
    constexpr uint64_t max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return static_cast<int64_t>(value > max ? max : value);
}

}  // namespace

std::string EventCodeText(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%08u", code);
    return text;
}

void StatsReporterApi::StartUploader(const std::string& config_path, const std::string& game_id,
                                     const std::string& program_version, const std::string& game_version,
                                     const std::string& channel) {
    ::StartDataUpload(config_path.c_str(), game_id.c_str(), program_version.c_str(), game_version.c_str(),
                      channel.c_str());
}

void StatsReporterApi::StopUploader() { ::StopDataUpload(); }

void StatsReporterApi::SubmitEvent(uint32_t code, const std::string& text, int32_t kind) {
    ::ReportEvent(EventCodeText(code).c_str(), text.c_str(), kind);
}

void StatsReporterApi::SubmitFileEvent(uint32_t code, const std::string& file_name, const std::string& text) {
    ::ReportFileEvent(EventCodeText(code).c_str(), file_name.c_str(), text.c_str());
}

void StatsReporterApi::SubmitStatsEvent(uint32_t code, const TransferTotals& totals, const std::string& text) {
    ::ReportStatsEvent(EventCodeText(code).c_str(), "", "", totals.seconds, Signed(totals.total_bytes),
                       Signed(totals.average_speed), totals.progress.c_str(), Signed(totals.web_bytes),
                       Signed(totals.web_speed), Signed(totals.peer_bytes), Signed(totals.peer_speed), 0, "", "",
                       text.c_str(), 0);
}

}  // namespace app
