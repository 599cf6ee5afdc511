#pragma once
// The statistics configuration file: which members every event text and every
// identity-wrapped text must contain, and the collection servers' addresses.
// Read afresh at each use, so an edited file takes effect at once.
//
//   [SubmitEventDownload]
//   SubmitUrl=http://host:8080/launchersubmit/eventInfoSubmit
//   InputDataKeyWord=DVersion;GameID;GVersion;AppVersion
//   SubmitDataKeyWord=MachId;Mac;OS
//   [SubmitEventDownloadSeveral]
//   SubmitUrl=http://host:8080/launchersubmit/eventListSubmit
//   SubmitUrl1=...        (further servers, tried in turn)

#include <string>
#include <vector>

namespace engine {

struct StatsConfig {
    std::vector<std::string> input_keys;
    std::vector<std::string> submit_keys;
    std::vector<std::string> server_urls;
};

inline constexpr const char* StatsSingleSection = "SubmitEventDownload";
inline constexpr const char* StatsBatchSection = "SubmitEventDownloadSeveral";
inline constexpr const char* StatsDefaultConfigName = "Serverlist.ini";

// Reads the key lists (always from StatsSingleSection) and the server list of
// `url_section`: "SubmitUrl", "SubmitUrl1", "SubmitUrl2", ... until the first
// empty value, each value cut at 260 characters. False when the file does not
// exist.
bool ReadStatsConfig(const std::string& path, const std::string& url_section, StatsConfig* out);

// Splits "a;b;;c" into {"a", "b", "c"}: empty names require nothing.
std::vector<std::string> SplitKeyList(const std::string& text);

}  // namespace engine
