#pragma once
// Helpers shared by the statistics tests: configuration files and the exact
// texts the component is expected to produce.

#include <json/json.h>

#include <sstream>
#include <string>
#include <vector>

#include "stats/DeviceInfo.h"
#include "tests/support/Sandbox.h"

namespace stats_test {

inline constexpr const char* DefaultInputKeys = "DVersion;GameID;GVersion;AppVersion";
inline constexpr const char* DefaultSubmitKeys = "MachId;Mac;OS";

// A configuration naming `batch_urls` (in order) for batches.
inline std::string WriteConfig(const testing_support::Sandbox& box, const std::vector<std::string>& batch_urls,
                               const std::string& submit_keys = DefaultSubmitKeys) {
    std::string text = "[SubmitEventDownload]\nSubmitUrl=http://127.0.0.1:9/launchersubmit/eventInfoSubmit\n";
    text += std::string("InputDataKeyWord=") + DefaultInputKeys + "\n";
    text += "SubmitDataKeyWord=" + submit_keys + "\n";
    text += "[SubmitEventDownloadSeveral]\n";
    for (size_t i = 0; i < batch_urls.size(); ++i) {
        text += (i == 0 ? std::string("SubmitUrl") : "SubmitUrl" + std::to_string(i)) + "=" + batch_urls[i] + "\n";
    }
    text += "[OsTypeCode]\nWIN_7_SP1=611\nOther=999\n";
    return box.Write("Serverlist.ini", text);
}

// An event text with every required member.
inline std::string EventText(const std::string& tag) {
    return ",\"DVersion\":\"1.8\",\"GameID\":\"311\",\"AppVersion\":\"2.0\",\"GVersion\":\"1.0\",\"Errormsg\":\"" +
           tag + "\"";
}

// The identity members this machine gets, in the writer's order.
inline std::string IdentityMembers(engine::DeviceInfo& device, uint64_t sequence) {
    return "\"Mac\":\"" + device.MacText() + "\",\"MachId\":\"" + device.GetMachineId() + "\",\"OS\":\"" +
           device.GetOsText() + "\",\"Sequence\":" + std::to_string(sequence) + ",\"Sessionid\":\"\"";
}

inline std::string JsonQuoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

inline Json::Value ParseJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::Value value;
    std::string errors;
    std::istringstream in(text);
    if (!Json::parseFromStream(builder, in, &value, &errors)) return Json::Value();
    return value;
}

}  // namespace stats_test
