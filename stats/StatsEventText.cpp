#include "stats/StatsEventText.h"

#include <cstdio>
#include <utility>

namespace engine {

std::string EscapeJsonText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

std::string DifferenceText(int64_t value, int64_t* previous) {
    std::string text = value > *previous ? std::to_string(value - *previous) : "0";
    if (value != 0) *previous = value;
    return text;
}

std::string FormatStatsEventText(const StatsReport& r, const StatsReporter& who, StatsPrevious* previous) {
    // Texts from reports can hold anything (file names, server messages):
    // they are escaped so the event stays one valid JSON member list.
    const std::pair<const char*, std::string> members[] = {
        {"DVersion", StatsTextVersion},
        {"GameID", EscapeJsonText(who.game_id)},
        {"AppVersion", EscapeJsonText(who.app_version)},
        {"GVersion", EscapeJsonText(who.game_version)},
        {"Dchannel", EscapeJsonText(who.channel)},
        {"Serverip", EscapeJsonText(r.server_ip)},
        {"Httpresult", EscapeJsonText(r.http_result)},
        {"Totaltime", std::to_string(r.total_seconds)},
        {"Intime", DifferenceText(r.total_seconds, &previous->total_seconds)},
        {"Totalbytes", std::to_string(r.total_bytes)},
        {"Intotalbytes", DifferenceText(r.total_bytes, &previous->total_bytes)},
        {"Averagespeed", std::to_string(r.average_speed)},
        {"Progress", EscapeJsonText(r.progress)},
        {"Httptotalbytes", std::to_string(r.web_bytes)},
        {"Inhttptotalbytes", DifferenceText(r.web_bytes, &previous->web_bytes)},
        {"Httpaveragespeed", std::to_string(r.web_speed)},
        {"P2ptotalbytes", std::to_string(r.peer_bytes)},
        {"Inp2ptotalbytes", DifferenceText(r.peer_bytes, &previous->peer_bytes)},
        {"P2paveragespeed", std::to_string(r.peer_speed)},
        {"Corruptpakid", std::to_string(r.corrupt_package_id)},
        {"Filename", EscapeJsonText(r.file_name)},
        {"Url", EscapeJsonText(r.url)},
        {"Errormsg", EscapeJsonText(r.error_message)},
    };
    std::string text;
    for (const auto& [name, value] : members) {
        text += ",\"";
        text += name;
        text += "\":\"";
        text += value;
        text += '"';
    }
    return text;
}

}  // namespace engine
