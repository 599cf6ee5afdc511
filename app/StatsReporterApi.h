#pragma once
// The production IStatsReporter: hands the downloader's statistics events to
// the engine's data-upload calls (stats/DataUploadApi.h), which format them on
// the caller's thread and queue them for the uploader thread. Stateless; any
// thread. Events reported before StartUploader or after StopUploader are
// dropped by the uploader.

#include <string>

#include "app/EngineCalls.h"

namespace app {

class StatsReporterApi final : public IStatsReporter {
public:
    void StartUploader(const std::string& config_path, const std::string& game_id,
                       const std::string& program_version, const std::string& game_version,
                       const std::string& channel) override;
    void StopUploader() override;
    void SubmitEvent(uint32_t code, const std::string& text, int32_t kind) override;
    void SubmitFileEvent(uint32_t code, const std::string& file_name, const std::string& text) override;
    void SubmitStatsEvent(uint32_t code, const TransferTotals& totals, const std::string& text) override;
};

// The event code as the uploader sends it: eight decimal digits.
std::string EventCodeText(uint32_t code);

}  // namespace app
