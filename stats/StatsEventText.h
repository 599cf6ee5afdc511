#pragma once
// The text of one engine statistics event: JSON members, each a string, in a
// fixed order and beginning with a comma, so that the component can append
// them to the identity members of the same object. Also the "difference"
// members, which report how much a counter grew since the previous report.
// Pure functions; the caller guards the previous values.

#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

struct StatsReport {
    std::string server_ip;
    std::string http_result;
    uint32_t total_seconds = 0;
    int64_t total_bytes = 0;
    int64_t average_speed = 0;
    std::string progress;
    int64_t web_bytes = 0;
    int64_t web_speed = 0;
    int64_t peer_bytes = 0;
    int64_t peer_speed = 0;
    int32_t corrupt_package_id = 0;
    std::string file_name;
    std::string url;
    std::string error_message;
};

// The uploader's fixed texts.
struct StatsReporter {
    std::string game_id;
    std::string app_version;
    std::string game_version;
    std::string channel;
};

// The last non-zero values of the counters that have difference members.
struct StatsPrevious {
    int64_t total_seconds = 0;
    int64_t total_bytes = 0;
    int64_t web_bytes = 0;
    int64_t peer_bytes = 0;
};

// Version of the event text layout.
inline constexpr const char* StatsTextVersion = "1.8";

// `value` minus `*previous` when greater, else "0"; a non-zero value becomes
// the new previous value.
std::string DifferenceText(int64_t value, int64_t* previous);

// ","DVersion":"1.8","GameID":...,"Errormsg":"..."" with the differences
// taken against (and updating) `*previous`.
std::string FormatStatsEventText(const StatsReport& report, const StatsReporter& reporter, StatsPrevious* previous);

// `text` as the inside of a JSON string: quote, backslash and control
// characters escaped, everything else unchanged.
std::string EscapeJsonText(std::string_view text);

}  // namespace engine
