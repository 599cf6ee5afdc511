#include "app/ResourceModule.h"

#include "app/AppPaths.h"
#include "app/ConfigSlots.h"
#include "engine/base/CTidewellLog.h"
#include "platform/File.h"
#include "platform/Paths.h"

#include <cstring>

namespace app {

namespace {

// Extraction failures are logged at the UI's level.
constexpr int32_t ExtractLogLevel = 7;

void SetError(std::string* error, const char* text) {
    if (error) *error = text;
}

bool WriteTarget(const std::string& path, const std::string& bytes) {
    platform::File file;
    if (!file.Open(path, platform::OpenMode::CreateAlways)) return false;
    return bytes.empty() || file.WriteAt(bytes.data(), bytes.size(), 0);
}

}  // namespace

const EmbeddedResource* ResourceModule::Find(int id, const std::string& type) const {
    for (size_t i = 0; i < count; ++i) {
        if (resources[i].id == id && type == resources[i].type) return &resources[i];
    }
    return nullptr;
}

int ExtractResource(const ResourceModule* module, int id, const std::string& type, const std::string& target_path,
                    bool decode, std::string* error) {
    if (module == nullptr) {
        SetError(error, "进程句柄为空！");
        return 0;
    }
    const EmbeddedResource* resource = module->Find(id, type);
    if (resource == nullptr) {
        SetError(error, "获取资源失败！");
        return 0;
    }
    if (resource->data == nullptr) {
        SetError(error, "加载资源数据失败！");
        return 0;
    }
    std::string bytes(reinterpret_cast<const char*>(resource->data), resource->size);
    if (decode) bytes = DecodeBase64(bytes, bytes.size());
    if (!WriteTarget(target_path, bytes)) {
        SetError(error, "创建文件失败！");
        return 0;
    }
    return 1;
}

int ExtractToWorkFolder(const ResourceModule* module, int id, const std::string& folder, const std::string& file_name,
                        const std::string& type, bool decode, std::string* written_path) {
    std::string first = platform::JoinPath(folder, file_name);
    if ((platform::IsDirectory(folder) || platform::CreateDirectories(folder)) &&
        ExtractResource(module, id, type, first, decode)) {
        if (written_path) *written_path = first;
        return 0;
    }
    engine::LogFormat(ExtractLogLevel, "Tidewell UI : 释放文件(path=%s)第一次失败", first.c_str());
    std::string second = platform::JoinPath(platform::TempFolder(), file_name);
    if (ExtractResource(module, id, type, second, decode)) {
        if (written_path) *written_path = second;
        return 1;
    }
    engine::LogFormat(ExtractLogLevel, "Tidewell UI : 初始化失败，释放文件(path=%s)第二次失败", second.c_str());
    if (written_path) written_path->clear();
    return -1;
}

}  // namespace app
