#pragma once
// The process-wide diagnostic log. Every line goes to standard error (the
// "debugger output"), to one of eleven files chosen by its level, to both, or
// nowhere, depending on two thresholds. Any thread may write; one mutex
// serialises line building and file writes. Files are opened and closed per
// line so they can be read, moved or deleted while the program runs.
//
// The global pointer (GetTidewellLog/SetTidewellLog) is not guarded: it is set
// before the first worker thread starts and cleared after the last one that
// logs has stopped. While it is null, logging calls are skipped.

#include <array>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>

namespace engine {

class CTidewellLog {
public:
    virtual ~CTidewellLog() = default;
    virtual void SetLevels(int32_t file_threshold, int32_t debug_threshold) = 0;
    virtual void SetBasePath(const std::string& base_path) = 0;
    virtual void Write(const std::string& text, int32_t file_level, int32_t debug_level) = 0;
    virtual void WriteDebugFormat(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
};

class CTidewellLogApi final : public CTidewellLog {
public:
    // Where "debugger output" lines go; standard error unless a test redirects it.
    using DebugSink = void (*)(const std::string& line);

    // Thresholds (38, 2): everything from level 2 reaches standard error, only
    // level 38 and above reaches the files.
    CTidewellLogApi();

    void SetLevels(int32_t file_threshold, int32_t debug_threshold) override;
    void SetBasePath(const std::string& base_path) override;
    void Write(const std::string& text, int32_t file_level, int32_t debug_level) override;
    void WriteDebugFormat(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    // The file a line of `file_level` is appended to.
    const std::string& PathForLevel(int32_t file_level) const;
    void SetDebugSink(DebugSink sink);

    // Both thresholds at this value switch logging off entirely.
    static constexpr int32_t LevelOff = 39;
    // A line with its time stamp never exceeds this many bytes (the NUL
    // included); longer texts are cut.
    static constexpr size_t LineCapacity = 4096;

private:
    static constexpr size_t FileCount = 11;
    static size_t FileIndexForLevel(int32_t file_level);

    std::mutex m_lock;
    int32_t m_file_threshold = 0;
    int32_t m_debug_threshold = 0;
    std::array<std::string, FileCount> m_paths;
    DebugSink m_debug_sink;
};

CTidewellLog* GetTidewellLog();
void SetTidewellLog(CTidewellLog* log);

// Writes `text` with the same file and debug level, when a log exists.
void LogLine(const std::string& text, int32_t level);
// printf-style LogLine; the formatted text is cut at 4095 bytes.
void LogFormat(int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace engine
