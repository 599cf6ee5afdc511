#include "stats/StatsConfig.h"

#include "platform/File.h"
#include "platform/Ini.h"

namespace engine {

namespace {

// Server addresses are read into 260-character buffers: at most 259
// characters and the terminator.
constexpr size_t UrlCharacters = 259;
// Beyond any real list; it bounds the loop over "SubmitUrl<n>" keys.
constexpr int MaxServerUrls = 1000;
// A configuration file is a few hundred bytes.
constexpr size_t ConfigFileCap = 1024 * 1024;

std::string ValueOf(const platform::IniDocument& doc, const std::string& section, const std::string& key) {
    return doc.Get(section, key).value_or(std::string());
}

}  // namespace

std::vector<std::string> SplitKeyList(const std::string& text) {
    std::vector<std::string> keys;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(';', pos);
        if (end == std::string::npos) end = text.size();
        if (end > pos) keys.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return keys;
}

bool ReadStatsConfig(const std::string& path, const std::string& url_section, StatsConfig* out) {
    *out = StatsConfig{};
    if (!platform::Exists(path)) return false;
    std::string bytes;
    platform::IniDocument doc;
    // A file that cannot be read or parsed requires nothing and names no server.
    if (platform::ReadWholeFile(path, &bytes, ConfigFileCap)) platform::IniDocument::Parse(bytes, &doc);

    out->input_keys = SplitKeyList(ValueOf(doc, StatsSingleSection, "InputDataKeyWord"));
    out->submit_keys = SplitKeyList(ValueOf(doc, StatsSingleSection, "SubmitDataKeyWord"));
    for (int n = 0; n < MaxServerUrls; ++n) {
        // "SubmitUrl", "SubmitUrl1", "SubmitUrl2", ...: the list ends at the
        // first empty value, so a gap hides everything after it.
        const std::string key = n == 0 ? std::string("SubmitUrl") : "SubmitUrl" + std::to_string(n);
        std::string url = ValueOf(doc, url_section, key);
        if (url.empty()) break;
        if (url.size() > UrlCharacters) url.resize(UrlCharacters);
        out->server_urls.push_back(std::move(url));
    }
    return true;
}

}  // namespace engine
