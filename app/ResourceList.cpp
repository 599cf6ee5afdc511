#include "app/ResourceList.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "app/XmlDocument.h"
#include "engine/base/CTidewellLog.h"

namespace app {

namespace {

constexpr int32_t DownloaderLogLevel = 34;
constexpr int32_t FailureLogLevel = 38;
// The expiry check must not hold up start-up.
constexpr long ExpiryTimeoutS = 2;
// Texts of the list are copied into 4096-byte buffers, NUL included.
constexpr size_t MaxTextBytes = 4095;
// Address sources taken from one list; a real list names a handful.
constexpr size_t MaxSources = 1024;

std::string Capped(std::string text) {
    if (text.size() > MaxTextBytes) text.resize(MaxTextBytes);
    return text;
}

bool NonEmpty(const std::optional<std::string>& value) { return value && !value->empty(); }

void ParseExpiry(const XmlNode& configs, ResourceListPlan& plan) {
    XmlNode info = configs.FirstChildElement("expire-info");
    XmlNode expired = info.FirstChildElement("expired");
    if (!expired.Valid() || expired.Text() != "true") return;
    plan.expired = true;
    XmlNode message = info.FirstChildElement("message");
    if (message.Valid()) plan.expire_message = Capped(message.Text());
    XmlNode url = info.FirstChildElement("url");
    if (url.Valid()) plan.expire_url = Capped(url.Text());
}

// The children of a "cdn" are "ip" elements up to the first that is not one.
void ParseCdn(const XmlNode& cdn, std::vector<IpSource>& out, size_t& budget) {
    auto id = cdn.Attribute("id");
    auto name = cdn.Attribute("name");
    auto middle_dir = cdn.Attribute("middle-dir");
    auto file_name = cdn.Attribute("file-name");
    if (!NonEmpty(id) || !NonEmpty(name) || !NonEmpty(middle_dir) || !NonEmpty(file_name)) return;
    if (!cdn.BoolAttribute("open", false)) return;
    std::string host = cdn.Attribute("host-name").value_or("null");
    for (XmlNode ip = cdn.FirstChildElement(); ip.Valid() && ip.Name() == "ip"; ip = ip.NextSiblingElement()) {
        if (budget == 0) return;
        --budget;
        // Plain concatenation: the list supplies every separator itself.
        out.push_back({"http://" + ip.Text() + *middle_dir + *file_name, host});
    }
}

void ParseResources(const XmlNode& root, ResourceListPlan& plan) {
    size_t budget = MaxSources;
    XmlNode resources = root.FirstChildElement("resources");
    for (XmlNode r = resources.FirstChildElement(); r.Valid(); r = r.NextSiblingElement()) {
        std::string id = r.Attribute("id").value_or("");
        if (r.Name() != "resource" || id.empty()) break;
        ResourceEntry entry{id, r.Attribute("task").value_or(""), {}};
        for (XmlNode cdn = r.FirstChildElement(); cdn.Valid() && cdn.Name() == "cdn"; cdn = cdn.NextSiblingElement()) {
            ParseCdn(cdn, entry.sources, budget);
        }
        plan.resources.push_back(std::move(entry));
    }
}

int FindTask(const ResourceListTarget& target, const std::string& task) {
    for (int i = 0; i < PackageFileCount; ++i) {
        if (target.download_urls[static_cast<size_t>(i)] == task) return i;
    }
    return -1;
}

}  // namespace

ResourceListPlan ParseResourceList(std::string_view xml) {
    ResourceListPlan plan;
    XmlDocument doc;
    plan.well_formed = doc.Parse(xml);
    XmlNode root = doc.Root();
    if (!root.Valid()) return plan;
    plan.root_is_project = root.Name() == "project";
    XmlNode configs = root.FirstChildElement("configs");
    XmlNode p2p = configs.FirstChildElement("p2p-switch");
    if (p2p.Valid()) plan.p2p = p2p.Text() == "on";
    ParseExpiry(configs, plan);
    ParseResources(root, plan);
    return plan;
}

bool IsWebPageUrl(const std::string& url) {
    std::string head = url.substr(0, 8);
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
    return head.rfind("http://", 0) == 0 || head.rfind("https://", 0) == 0;
}

bool CheckExpiry(const std::string& list_url, const HttpGetOptions& options, std::string* message,
                 std::string* url) {
    HttpGetOptions timed = options;
    timed.timeout_s = ExpiryTimeoutS;
    std::string body;
    std::string error;
    long code = 0;
    if (!HttpGetToMemory(list_url, &body, &error, &code, timed)) return false;
    ResourceListPlan plan = ParseResourceList(body);
    if (!plan.expired) return false;
    *message = plan.expire_message;
    // Only a web page is opened: the list must not make the program open
    // local files or other programs' handlers.
    *url = IsWebPageUrl(plan.expire_url) ? plan.expire_url : std::string();
    return true;
}

int ApplyResourceListBody(std::string_view body, IEngineCalls& engine, const ResourceListTarget& target) {
    try {
        ResourceListPlan plan = ParseResourceList(body);
        if (!plan.root_is_project || !plan.p2p) return ResourceListNothingAdded;
        bool p2p = *plan.p2p;
        if (target.remember_p2p) target.remember_p2p(p2p);
        engine.SetP2PEnabled(p2p);
        engine::LogLine(p2p ? "启用P2P功能" : "禁用P2P功能", DownloaderLogLevel);

        std::array<bool, PackageFileCount> cleared{};
        int added = 0;
        int j = 0;
        for (const ResourceEntry& entry : plan.resources) {
            int i = FindTask(target, entry.task);
            if (i < 0) continue;
            // j counts matched resources; a complete file not under
            // verification needs no more sources.
            if (j != target.verifying_index && j < PackageFileCount && target.is_file_complete &&
                target.is_file_complete(j)) {
                ++j;
                continue;
            }
            TaskHandle handle = target.handles[static_cast<size_t>(i)];
            for (const IpSource& source : entry.sources) {
                // Each task's old addresses are replaced by this list's, once
                // per fetch, so repeated fetches do not pile up duplicates.
                if (!cleared[static_cast<size_t>(i)]) {
                    engine.ClearTaskIpSources(handle);
                    cleared[static_cast<size_t>(i)] = true;
                }
                if (engine.AddTaskIpSources(handle, source.url, source.host) == 0) ++added;
            }
            ++j;
        }
        return added > 0 ? ResourceListApplied : ResourceListNothingAdded;
    } catch (const std::exception&) {
        return ResourceListException;
    }
}

int ApplyResourceList(const std::string& list_url, const HttpGetOptions& options, IEngineCalls& engine,
                      const ResourceListTarget& target) {
    try {
        std::string body;
        std::string error;
        long code = 0;
        HttpGetOptions untimed = options;
        untimed.timeout_s = 0;
        if (!HttpGetToMemory(list_url, &body, &error, &code, untimed)) {
            engine::LogLine("Seek res FAILED with XML content failed", FailureLogLevel);
            return ResourceListFetchFailed;
        }
        return ApplyResourceListBody(body, engine, target);
    } catch (const std::exception&) {
        return ResourceListException;
    }
}

}  // namespace app
