#include "app/SettingsFile.h"

#include <cstdio>

#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Ini.h"

namespace app {

namespace {

// The stored sizes split at 2^31, as the settings file has always done.
constexpr uint64_t SizeSplit = 2147483648ull;
// 100-ns intervals per second, the unit of the stored last-write times.
constexpr int64_t TicksPerSecond = 10'000'000;
constexpr int MinHttpConnections = 10;
constexpr int MaxHttpConnections = 200;

std::string Unsigned(uint64_t value) { return std::to_string(value); }

}  // namespace

std::string PerFileKey(const char* format, int index) {
    char key[64];
    std::snprintf(key, sizeof key, format, index);
    return key;
}

bool FinishInfoOfFile(const std::string& path, FinishInfo* out) {
    platform::FileTime utc;
    int64_t size = platform::FileSize(path);
    if (size < 0 || !platform::LastWriteTime(path, &utc)) return false;
    uint64_t ticks = (uint64_t(utc.high) << 32) | utc.low;
    int64_t offset = platform::LocalUtcOffsetSeconds(platform::UnixSecondsFromFileTime(utc));
    uint64_t local = ticks + static_cast<uint64_t>(offset * TicksPerSecond);
    out->time_high = Unsigned(local >> 32);
    out->time_low = Unsigned(local & 0xffffffffu);
    out->size_high = Unsigned(uint64_t(size) >> 32);
    out->size_low = Unsigned(uint64_t(size) & 0xffffffffu);
    return true;
}

bool SettingsFile::Exists() const { return platform::Exists(m_path); }

bool SettingsFile::Remove() const {
    // Nothing held behind may bring the file back after it is gone.
    platform::IniFlush(m_path);
    return platform::RemoveFile(m_path) || !platform::Exists(m_path);
}

std::string SettingsFile::Get(const char* key, const std::string& fallback) const {
    return platform::IniGetString(m_path, settings_key::Section, key, fallback);
}

long long SettingsFile::GetInt(const char* key, long long fallback) const {
    return platform::IniGetInt(m_path, settings_key::Section, key, fallback);
}

bool SettingsFile::Set(const char* key, const std::string& value) const {
    return platform::IniWriteString(m_path, settings_key::Section, key, value);
}

bool SettingsFile::SetLater(const char* key, const std::string& value) const {
    return platform::IniWriteStringLater(m_path, settings_key::Section, key, value);
}

bool SettingsFile::Flush() const { return m_path.empty() || platform::IniFlush(m_path); }

FinishInfo SettingsFile::ReadFinishInfo(int index) const {
    auto get = [&](const char* format) {
        return platform::IniGetString(m_path, settings_key::FinishSection, PerFileKey(format, index), "");
    };
    return {get(settings_key::WriteTimeHigh), get(settings_key::WriteTimeLow), get(settings_key::FileSizeHigh),
            get(settings_key::FileSizeLow)};
}

bool SettingsFile::WriteFinishInfo(int index, const FinishInfo& info) const {
    auto put = [&](const char* format, const std::string& value) {
        return platform::IniWriteString(m_path, settings_key::FinishSection, PerFileKey(format, index), value);
    };
    return put(settings_key::WriteTimeHigh, info.time_high) && put(settings_key::WriteTimeLow, info.time_low) &&
           put(settings_key::FileSizeHigh, info.size_high) && put(settings_key::FileSizeLow, info.size_low);
}

uint64_t SettingsFile::LastSize() const {
    long long high = GetInt(settings_key::LastSizeHigh, 0);
    long long low = GetInt(settings_key::LastSizeLow, 0);
    if (high < 0 || low < 0) return 0;
    return uint64_t(high) * SizeSplit + uint64_t(low);
}

bool SettingsFile::WriteLastSize(uint64_t total) const {
    return SetLater(settings_key::LastSizeHigh, Unsigned(total / SizeSplit)) &&
           SetLater(settings_key::LastSizeLow, Unsigned(total % SizeSplit));
}

int ReadHttpConnectionLimit(const std::string& task_link_ini) {
    long long limit = platform::IniGetInt(task_link_ini, "TidewellTask", "TidewellTaskLink", 0);
    if (limit < MinHttpConnections || limit > MaxHttpConnections) return DefaultHttpConnectionLimit;
    return static_cast<int>(limit);
}

}  // namespace app
