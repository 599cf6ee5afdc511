#pragma once
// The resource list: a small XML document on the maker's web host that can
// declare this downloader expired, switch P2P on or off, and give the running
// tasks more address sources (content-network servers with their Host names).
//
// ParseResourceList is pure (bytes in, plan out) so it can be fuzzed;
// CheckExpiry and ApplyResourceList fetch the list and act on it. Each fetch
// is independent; nothing is stored. ApplyResourceList runs on a worker
// thread started by the download controller; it touches the controller only
// through the ResourceListTarget it is given.

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ConfigSlots.h"
#include "app/EngineCalls.h"
#include "app/HttpGet.h"

namespace app {

// One usable content-network server: "http://" + ip + middle-dir + file-name,
// sent with `host` in the Host header ("null" when the entry names none).
struct IpSource {
    std::string url;
    std::string host;
};

struct ResourceEntry {
    std::string id;
    std::string task;  // compared with the download URLs
    std::vector<IpSource> sources;
};

struct ResourceListPlan {
    bool well_formed = false;
    bool root_is_project = false;
    // The "configs"/"p2p-switch" text is "on"; nullopt when the element is missing.
    std::optional<bool> p2p;
    bool expired = false;
    std::string expire_message;  // at most 4095 bytes
    std::string expire_url;      // at most 4095 bytes
    // The "resource" elements up to the first that is not one or has an empty id.
    std::vector<ResourceEntry> resources;
};

ResourceListPlan ParseResourceList(std::string_view xml);

// True for "http://" and "https://" URLs (scheme without regard to case): the
// only pages the program opens on the list's word.
bool IsWebPageUrl(const std::string& url);

// Fetches the list (2-second time-out) and reports whether it declares this
// downloader expired; then *message and *url hold its texts (a URL that is not
// a web page is dropped). Any failure counts as not expired.
bool CheckExpiry(const std::string& list_url, const HttpGetOptions& options, std::string* message,
                 std::string* url);

// What the list is applied to: the controller's view of its four files.
struct ResourceListTarget {
    std::array<std::string, PackageFileCount> download_urls;
    std::array<TaskHandle, PackageFileCount> handles{};
    // Index of the file being verified, -1 when none.
    int verifying_index = -1;
    // Completion flag of file i.
    std::function<bool(int)> is_file_complete;
    // Receives the P2P switch for the settings dialog.
    std::function<void(bool)> remember_p2p;
};

// Result codes of ApplyResourceList.
constexpr int ResourceListApplied = 0;      // at least one address source added
constexpr int ResourceListFetchFailed = -1;
constexpr int ResourceListNothingAdded = -2;  // also: not a "project" list, no p2p-switch
constexpr int ResourceListException = -3;

int ApplyResourceList(const std::string& list_url, const HttpGetOptions& options, IEngineCalls& engine,
                      const ResourceListTarget& target);
// The part after the fetch, for a body already in hand.
int ApplyResourceListBody(std::string_view body, IEngineCalls& engine, const ResourceListTarget& target);

}  // namespace app
