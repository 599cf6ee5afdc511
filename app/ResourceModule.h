#pragma once
// Resources compiled into the program (torrents, the statistics configuration,
// an extra certificate authority) and their extraction to files. A
// ResourceModule is an immutable table, read by any thread without a lock; the
// built-in one comes from the package manifest (app/EmbeddedPackage.h).

#include <cstddef>
#include <cstdint>
#include <string>

namespace app {

struct EmbeddedResource {
    const char* type;           // "TORRENT", "DUCONF", "CACERT"
    int id;
    const unsigned char* data;  // null: present but not loadable
    size_t size;
};

struct ResourceModule {
    const EmbeddedResource* resources;
    size_t count;

    // The entry with this id and type (type compared exactly), or null.
    const EmbeddedResource* Find(int id, const std::string& type) const;
};

// Resource ids of the package.
constexpr int TorrentResourceId0 = 301;  // 301..304: torrent of file 0..3
constexpr int StatsConfigResourceId = 181;
constexpr int CaCertResourceId = 191;
inline constexpr const char* TorrentResourceType = "TORRENT";
inline constexpr const char* StatsConfigResourceType = "DUCONF";
inline constexpr const char* CaCertResourceType = "CACERT";
// The name the statistics configuration is extracted under.
inline constexpr const char* StatsConfigFileName = "dataupload.twconf";

// Writes resource (id, type) of `module` to `target_path` (created or
// truncated); with `decode` the resource is base64 text and its decoded bytes
// are written. Returns 1 on success, 0 on failure with *error set to
// "进程句柄为空！" (no module), "获取资源失败！" (no such resource),
// "加载资源数据失败！" (not loadable) or "创建文件失败！" (the target could
// not be created or written).
int ExtractResource(const ResourceModule* module, int id, const std::string& type, const std::string& target_path,
                    bool decode, std::string* error = nullptr);

// Writes the resource to folder + "/" + file_name, creating the folder with
// its parents. Returns 0 when that worked, 1 when it failed and the file was
// written to the temporary folder instead, -1 when both failed. Each failure
// is logged at level 7. *written_path (when given) receives the path of the
// file actually written, so callers never name a file that is not there.
int ExtractToWorkFolder(const ResourceModule* module, int id, const std::string& folder, const std::string& file_name,
                        const std::string& type, bool decode, std::string* written_path = nullptr);

}  // namespace app
