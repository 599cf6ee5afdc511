#include "engine/base/CTidewellLog.h"

#include <algorithm>
#include <cstdio>

#include "platform/Clock.h"

namespace engine {

namespace {

// File suffixes, in the order of the file slots; slot 0 takes every level the
// table below does not name.
constexpr std::array<const char*, 11> Suffixes = {
    ".log",        ".req.log",   ".dump.log",    ".checktask.log", ".peerprefer.log", ".dataupload.log",
    ".httptrace.log", ".checkpeer.log", ".written.log", ".sha1check.log", ".peerinfo.log",
};

struct LevelSlot {
    int32_t level;
    size_t slot;
};
constexpr std::array<LevelSlot, 10> LevelSlots = {{
    {4, 1}, {38, 2}, {37, 3}, {18, 4}, {28, 5}, {25, 6}, {9, 7}, {29, 8}, {30, 9}, {31, 10},
}};

void WriteToStderr(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// Formats into a 4096-byte buffer like the fixed buffers callers size their
// texts for; vsnprintf always NUL-terminates, so overlong texts are cut.
std::string FormatBounded(const char* format, va_list args) {
    char buf[CTidewellLogApi::LineCapacity];
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    if (n < 0) return {};
    return std::string(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

// "[stamp] [text]" + terminator, at most LineCapacity - 1 bytes. An overlong
// text is cut (at a UTF-8 character boundary) rather than the line's end, so
// the terminator survives and the next line in the file starts on its own.
std::string BuildLine(const std::string& stamp, const std::string& text, const char* terminator) {
    std::string head = "[" + stamp + "] [";
    std::string tail = std::string("]") + terminator;
    size_t room = CTidewellLogApi::LineCapacity - 1;
    size_t fixed = head.size() + tail.size();
    size_t keep = text.size();
    if (fixed + keep > room) {
        keep = fixed < room ? room - fixed : 0;
        while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
    }
    return head + text.substr(0, keep) + tail;
}

CTidewellLog* g_log = nullptr;

}  // namespace

CTidewellLogApi::CTidewellLogApi() : m_debug_sink(&WriteToStderr) { SetLevels(38, 2); }

void CTidewellLogApi::SetLevels(int32_t file_threshold, int32_t debug_threshold) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_file_threshold = file_threshold;
    m_debug_threshold = debug_threshold;
}

void CTidewellLogApi::SetBasePath(const std::string& base_path) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (size_t i = 0; i < FileCount; ++i) m_paths[i] = base_path + Suffixes[i];
}

size_t CTidewellLogApi::FileIndexForLevel(int32_t file_level) {
    for (const auto& entry : LevelSlots) {
        if (entry.level == file_level) return entry.slot;
    }
    return 0;
}

const std::string& CTidewellLogApi::PathForLevel(int32_t file_level) const {
    return m_paths[FileIndexForLevel(file_level)];
}

void CTidewellLogApi::SetDebugSink(DebugSink sink) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_debug_sink = sink ? sink : &WriteToStderr;
}

void CTidewellLogApi::Write(const std::string& text, int32_t file_level, int32_t debug_level) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_file_threshold == LevelOff && m_debug_threshold == LevelOff) return;
    bool to_debug = debug_level >= m_debug_threshold;
    bool to_file = file_level >= m_file_threshold && m_debug_threshold != LevelOff;
    if (!to_debug && !to_file) return;

    std::string line = BuildLine(platform::FormatLocalTime("%X", platform::WallSeconds()), text, "\n");
    if (to_debug) m_debug_sink(line);
    const std::string& path = m_paths[FileIndexForLevel(file_level)];
    if (to_file && !path.empty()) {
        if (FILE* f = std::fopen(path.c_str(), "a+")) {
            std::fputs(line.c_str(), f);
            std::fclose(f);
        }
    }
}

void CTidewellLogApi::WriteDebugFormat(const char* format, ...) {
    std::lock_guard<std::mutex> guard(m_lock);
    va_list args;
    va_start(args, format);
    std::string text = FormatBounded(format, args);
    va_end(args);
    std::string stamp = platform::FormatLocalTime("%Y-%m-%d %X", platform::WallSeconds());
    m_debug_sink(BuildLine(stamp, text, "\r\n"));
}

CTidewellLog* GetTidewellLog() { return g_log; }
void SetTidewellLog(CTidewellLog* log) { g_log = log; }

void LogLine(const std::string& text, int32_t level) {
    if (CTidewellLog* log = g_log) log->Write(text, level, level);
}

void LogFormat(int32_t level, const char* format, ...) {
    CTidewellLog* log = g_log;
    if (!log) return;
    va_list args;
    va_start(args, format);
    std::string text = FormatBounded(format, args);
    va_end(args);
    log->Write(text, level, level);
}

}  // namespace engine
