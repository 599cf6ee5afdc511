#pragma once
// The downloader's settings file (package id + ".twconf" in the work folder)
// and "TidewellTaskLink.ini": typed access over the INI module. Section
// "TidewellTask" holds where the download is and what was finished; section
// "TidewellFinishInfo" the last-write time and size of each finished file, so
// a later start can tell an untouched file from a changed one.
// Thread-safe as the INI module is (each call is one atomic read or write;
// reads see values still waiting to be written behind).

#include <cstdint>
#include <string>

namespace app {

namespace settings_key {
inline constexpr const char* Section = "TidewellTask";
inline constexpr const char* FinishSection = "TidewellFinishInfo";
inline constexpr const char* SavePath = "TidewellTaskSavePath";
inline constexpr const char* Hash = "TidewellTaskHash";
inline constexpr const char* CreateTimeStamp = "TidewellTaskCreateTimeStamp";
inline constexpr const char* CreateTime = "TidewellTaskCreateTime";
inline constexpr const char* Entrance = "TidewellTaskEntrence";
inline constexpr const char* Folder = "TidewellTaskFloder";
inline constexpr const char* LastSizeHigh = "TidewellTaskLastSizeHigh";
inline constexpr const char* LastSizeLow = "TidewellTaskLastSizeLow";
inline constexpr const char* IsComplete = "TidewellTaskIsComplete";
inline constexpr const char* DownloadTime = "TidewellTaskDownloadTime";
inline constexpr const char* CloseSelection = "TidewellCloseSelection";
inline constexpr const char* CompleteValue = "COMPLETE";
// Per-file keys, "%d" = file index 0..3.
inline constexpr const char* HttpTaskUrl = "TidewellHttpTaskUrl%d";
inline constexpr const char* HttpTaskFile = "TidewellHttpTaskFile%d";
inline constexpr const char* DownloadInfo = "TidewellDownloadInfo%d";
inline constexpr const char* ReloadedTask = "TidewellTask%d";
inline constexpr const char* WriteTimeHigh = "TidewellTask%dWriteTimeHigh";
inline constexpr const char* WriteTimeLow = "TidewellTask%dWriteTimeLow";
inline constexpr const char* FileSizeHigh = "TidewellTask%dFileSizeHigh";
inline constexpr const char* FileSizeLow = "TidewellTask%dFileSizeLow";
}  // namespace settings_key

// A per-file key name: PerFileKey(settings_key::HttpTaskUrl, 2) → "TidewellHttpTaskUrl2".
std::string PerFileKey(const char* format, int index);

// The four texts recorded for a finished file: its last-write time (converted
// to local time, 100-ns units since 1601) and its size, each split in high and
// low 32 bits and printed "%lu". Compared text for text.
struct FinishInfo {
    std::string time_high;
    std::string time_low;
    std::string size_high;
    std::string size_low;
    bool operator==(const FinishInfo&) const = default;
};

// The finish information of the file at `path`; false when it cannot be examined.
bool FinishInfoOfFile(const std::string& path, FinishInfo* out);

class SettingsFile {
public:
    explicit SettingsFile(std::string path) : m_path(std::move(path)) {}

    const std::string& Path() const { return m_path; }
    bool Exists() const;
    // Deletes the file; true when it is gone.
    bool Remove() const;

    // Section "TidewellTask"; `fallback` for a missing key or file.
    std::string Get(const char* key, const std::string& fallback = {}) const;
    long long GetInt(const char* key, long long fallback) const;
    // On disk when it returns: for what a crash must not lose.
    bool Set(const char* key, const std::string& value) const;
    // Written behind (at most once a second, and at Flush or exit): for values
    // that change many times a second, such as the progress figures.
    bool SetLater(const char* key, const std::string& value) const;
    // Puts what SetLater holds on disk now.
    bool Flush() const;

    FinishInfo ReadFinishInfo(int index) const;
    bool WriteFinishInfo(int index, const FinishInfo& info) const;

    // Total bytes stored as high (÷ 2147483648) and low (mod 2147483648),
    // written behind.
    uint64_t LastSize() const;
    bool WriteLastSize(uint64_t total) const;

private:
    std::string m_path;
};

// The HTTP connection limit from "TidewellTaskLink.ini" (section
// "TidewellTask", key "TidewellTaskLink"): 10..200, else 36.
int ReadHttpConnectionLimit(const std::string& task_link_ini);
constexpr int DefaultHttpConnectionLimit = 36;
// BitTorrent connections, shared among running tasks like the HTTP limit.
constexpr int BtConnectionLimit = 108;

}  // namespace app
