#include "platform/Ini.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "platform/File.h"

namespace platform {

namespace {

constexpr size_t npos = std::string::npos;

// A stray '\r' before a "\r\n" counts as blank, so a value never ends in one.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

// Windows drops one pair of matching single or double quotes around a value.
std::string Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != npos; }

// Serialises read-modify-write cycles of the file functions, so two threads
// writing different keys of one file cannot lose each other's update.
std::mutex g_file_lock;

IniLimits g_file_limits;

enum class LoadResult { Loaded, Missing, Failed };

LoadResult LoadFromDisk(const std::string& path, IniDocument* doc) {
    std::string bytes;
    if (!ReadWholeFile(path, &bytes, g_file_limits.max_bytes)) {
        return LastFileError() == ENOENT ? LoadResult::Missing : LoadResult::Failed;
    }
    if (IniDocument::Parse(bytes, doc, g_file_limits) != IniParseError::None) {
        SetLastFileError(EINVAL);
        return LoadResult::Failed;
    }
    return LoadResult::Loaded;
}

// Files with changes written behind. A file's document here is newer than
// the disk while `dirty`; every read of the process goes through it.
using SteadyClock = std::chrono::steady_clock;
constexpr auto WriteBehindInterval = std::chrono::seconds(1);

struct HeldFile {
    IniDocument doc;
    bool dirty = false;  // false only while its write is under way
};
std::map<std::string, HeldFile> g_held;  // under g_file_lock
// When each file was last written behind, kept after its entry above goes so
// that a file changed again at once still waits for its second.
std::map<std::string, SteadyClock::time_point> g_last_write;  // under g_file_lock

SteadyClock::time_point DueTime(const std::string& path) {
    auto last = g_last_write.find(path);
    return last == g_last_write.end() ? SteadyClock::time_point::min() : last->second + WriteBehindInterval;
}
// Serialises the disk writes themselves, so a write of an older document can
// never land after a newer one. Taken before g_file_lock, never after.
std::mutex g_write_lock;

// Under g_file_lock.
LoadResult LoadDocument(const std::string& path, IniDocument* doc) {
    auto held = g_held.find(path);
    if (held != g_held.end()) {
        *doc = held->second.doc;
        return LoadResult::Loaded;
    }
    return LoadFromDisk(path, doc);
}

// Under g_file_lock: a document that the next read would refuse is not stored.
bool FitsTheLimit(const std::string& bytes) {
    if (bytes.size() <= g_file_limits.max_bytes) return true;
    SetLastFileError(EFBIG);
    return false;
}

// Applies one change of IniWriteString's kind to `doc`; false when it cannot
// be stored, `*changed` tells whether anything differs.
bool ApplyChange(IniDocument* doc, std::string_view section, std::optional<std::string_view> key,
                 std::optional<std::string_view> value, bool* changed) {
    if (!key) {
        *changed = doc->RemoveSection(section);
    } else if (!value) {
        *changed = doc->RemoveKey(section, *key);
    } else {
        if (!doc->Set(section, *key, *value)) {
            SetLastFileError(EINVAL);
            return false;
        }
        *changed = true;
    }
    return true;
}

// Writes the held changes of `only` (every file when empty) and, with `due_only`,
// only of files whose last write is a second old. Called with g_write_lock held
// and g_file_lock not held; the file lock is taken only around the bookkeeping,
// so reads and writes behind go on during the disk write.
bool WriteHeld(const std::string& only, bool due_only) {
    std::vector<std::pair<std::string, std::string>> writes;
    SteadyClock::time_point now = SteadyClock::now();
    {
        std::lock_guard<std::mutex> guard(g_file_lock);
        for (auto& [path, held] : g_held) {
            if (!held.dirty || (!only.empty() && path != only)) continue;
            if (due_only && now < DueTime(path)) continue;
            writes.emplace_back(path, held.doc.Serialize());
            held.dirty = false;
            g_last_write[path] = now;
        }
    }
    bool all_written = true;
    for (const auto& [path, bytes] : writes) {
        bool written = WriteFileAtomic(path, bytes);
        std::lock_guard<std::mutex> guard(g_file_lock);
        auto held = g_held.find(path);
        if (held == g_held.end()) continue;
        if (!written) {
            // Kept and tried again a second later.
            all_written = false;
            held->second.dirty = true;
        } else if (!held->second.dirty) {
            g_held.erase(held);  // the disk has it all: reads go there again
        }
    }
    return all_written;
}

// The background writer: started by the first write behind, stopped at exit
// after writing what is still held.
class BehindWriter {
public:
    ~BehindWriter() {
        {
            std::lock_guard<std::mutex> guard(g_file_lock);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
        std::lock_guard<std::mutex> writing(g_write_lock);
        WriteHeld({}, false);
    }

    // Under g_file_lock.
    void Wake() {
        if (!m_thread.joinable() && !m_stop) m_thread = std::thread([this] { Run(); });
        m_wake.notify_all();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(g_file_lock);
        while (!m_stop) {
            bool any = false;
            SteadyClock::time_point due = SteadyClock::time_point::max();
            for (const auto& [path, held] : g_held) {
                if (!held.dirty) continue;
                any = true;
                due = std::min(due, DueTime(path));
            }
            if (!any) {
                m_wake.wait(lock);
                continue;
            }
            if (SteadyClock::now() < due) {
                m_wake.wait_until(lock, due);
                continue;
            }
            lock.unlock();
            {
                std::lock_guard<std::mutex> writing(g_write_lock);
                WriteHeld({}, true);
            }
            lock.lock();
        }
    }

    bool m_stop = false;  // under g_file_lock
    std::condition_variable m_wake;
    std::thread m_thread;
};

BehindWriter g_behind_writer;

}  // namespace

IniDocument::Line IniDocument::ClassifyLine(std::string_view text) {
    Line line;
    line.text = std::string(text);
    std::string_view body = Trim(text);
    if (body.empty() || body.front() == ';' || body.front() == '#') return line;
    if (body.front() == '[') {
        size_t close = body.find(']');
        if (close == npos) return line;
        line.kind = LineKind::Section;
        line.name = std::string(Trim(body.substr(1, close - 1)));
        return line;
    }
    size_t eq = body.find('=');
    if (eq == npos) return line;
    std::string_view name = Trim(body.substr(0, eq));
    if (name.empty()) return line;
    line.kind = LineKind::Key;
    line.name = std::string(name);
    line.value = std::string(Trim(body.substr(eq + 1)));
    return line;
}

IniParseError IniDocument::Parse(std::string_view bytes, IniDocument* out, const IniLimits& limits) {
    *out = IniDocument();
    if (bytes.size() > limits.max_bytes) return IniParseError::TooLarge;
    IniDocument doc;
    bool newline_known = false;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        size_t next = end == npos ? bytes.size() : end + 1;
        std::string_view text = bytes.substr(pos, (end == npos ? bytes.size() : end) - pos);
        bool crlf = !text.empty() && text.back() == '\r';
        if (crlf) text.remove_suffix(1);
        if (!newline_known && end != npos) {
            doc.m_newline = crlf ? "\r\n" : "\n";
            newline_known = true;
        }
        if (text.size() > limits.max_line_bytes) return IniParseError::LineTooLong;
        if (doc.m_lines.size() >= limits.max_lines) return IniParseError::TooManyLines;
        doc.m_lines.push_back(ClassifyLine(text));
        pos = next;
    }
    *out = std::move(doc);
    return IniParseError::None;
}

std::string IniDocument::Serialize() const {
    std::string out;
    for (const Line& line : m_lines) {
        out += line.text;
        out += m_newline;
    }
    return out;
}

size_t IniDocument::FindSection(std::string_view section) const {
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (m_lines[i].kind == LineKind::Section && EqualNoCase(m_lines[i].name, section)) return i;
    }
    return npos;
}

size_t IniDocument::SectionEnd(size_t header) const {
    size_t i = header + 1;
    while (i < m_lines.size() && m_lines[i].kind != LineKind::Section) ++i;
    return i;
}

size_t IniDocument::FindKey(size_t header, std::string_view key) const {
    size_t end = SectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
        if (m_lines[i].kind == LineKind::Key && EqualNoCase(m_lines[i].name, key)) return i;
    }
    return npos;
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const {
    size_t header = FindSection(section);
    if (header == npos) return std::nullopt;
    size_t at = FindKey(header, key);
    if (at == npos) return std::nullopt;
    return Unquote(m_lines[at].value);
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
    // Names are stored as given; one that the parser would read back as
    // something else (a comment, a section, another key) is refused.
    if (HasLineBreak(section) || section.find(']') != npos || Trim(section) != section) return false;
    if (key.empty() || HasLineBreak(key) || key.find('=') != npos || Trim(key) != key) return false;
    if (key.front() == '[' || key.front() == ';' || key.front() == '#') return false;
    if (HasLineBreak(value)) return false;

    Line line = ClassifyLine(std::string(key) + "=" + std::string(value));
    size_t header = FindSection(section);
    if (header == npos) {
        if (!m_lines.empty() && !Trim(m_lines.back().text).empty()) m_lines.push_back(ClassifyLine(""));
        m_lines.push_back(ClassifyLine("[" + std::string(section) + "]"));
        m_lines.push_back(std::move(line));
        return true;
    }
    size_t at = FindKey(header, key);
    if (at != npos) {
        // Keep the spelling the file already uses for the key.
        m_lines[at] = ClassifyLine(m_lines[at].name + "=" + std::string(value));
        return true;
    }
    // After the section's last non-blank line, so blank lines separating it
    // from the next section stay where they are.
    size_t insert = header + 1;
    size_t end = SectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
        if (!Trim(m_lines[i].text).empty()) insert = i + 1;
    }
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insert), std::move(line));
    return true;
}

bool IniDocument::RemoveKey(std::string_view section, std::string_view key) {
    size_t header = FindSection(section);
    if (header == npos) return false;
    size_t end = SectionEnd(header);
    std::vector<Line> kept;
    kept.reserve(m_lines.size());
    for (size_t i = 0; i < m_lines.size(); ++i) {
        bool match = i > header && i < end && m_lines[i].kind == LineKind::Key && EqualNoCase(m_lines[i].name, key);
        if (!match) kept.push_back(std::move(m_lines[i]));
    }
    bool removed = kept.size() != m_lines.size();
    m_lines = std::move(kept);
    return removed;
}

bool IniDocument::RemoveSection(std::string_view section) {
    // Every section of that name goes, so no later duplicate resurfaces.
    std::vector<Line> kept;
    kept.reserve(m_lines.size());
    bool dropping = false;
    for (Line& line : m_lines) {
        if (line.kind == LineKind::Section) dropping = EqualNoCase(line.name, section);
        if (!dropping) kept.push_back(std::move(line));
    }
    bool removed = kept.size() != m_lines.size();
    m_lines = std::move(kept);
    return removed;
}

std::vector<std::string> IniDocument::SectionNames() const {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    for (const Line& line : m_lines) {
        if (line.kind != LineKind::Section) continue;
        std::string folded = line.name;
        for (char& c : folded) c = LowerAscii(c);
        if (seen.insert(std::move(folded)).second) names.push_back(line.name);
    }
    return names;
}

std::vector<IniEntry> IniDocument::SectionEntries(std::string_view section) const {
    std::vector<IniEntry> entries;
    size_t header = FindSection(section);
    if (header == npos) return entries;
    size_t end = SectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
        if (m_lines[i].kind == LineKind::Key) entries.emplace_back(m_lines[i].name, Unquote(m_lines[i].value));
    }
    return entries;
}

std::string IniGetString(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view default_value) {
    std::lock_guard<std::mutex> guard(g_file_lock);
    IniDocument doc;
    if (LoadDocument(path, &doc) != LoadResult::Loaded) return std::string(default_value);
    std::optional<std::string> value = doc.Get(section, key);
    return value ? *value : std::string(default_value);
}

long long IniGetInt(const std::string& path, std::string_view section, std::string_view key,
                    long long default_value) {
    std::string text = IniGetString(path, section, key, "");
    if (text.empty()) return default_value;
    size_t i = 0;
    bool negative = false;
    if (text[i] == '-' || text[i] == '+') negative = text[i++] == '-';
    unsigned long long magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        // Saturate instead of overflowing on absurdly long digit runs.
        if (magnitude > (1ULL << 62)) break;
        magnitude = magnitude * 10 + static_cast<unsigned>(text[i] - '0');
    }
    long long value = static_cast<long long>(magnitude);
    return negative ? -value : value;
}

bool IniWriteString(const std::string& path, std::string_view section, std::optional<std::string_view> key,
                    std::optional<std::string_view> value) {
    std::lock_guard<std::mutex> writing(g_write_lock);
    std::lock_guard<std::mutex> guard(g_file_lock);
    IniDocument doc;
    LoadResult loaded = LoadDocument(path, &doc);
    if (loaded == LoadResult::Failed) return false;

    bool changed = false;
    if (!ApplyChange(&doc, section, key, value, &changed)) return false;
    auto held = g_held.find(path);
    // Changes held behind for the file go to the disk with this one.
    if (!changed && (held == g_held.end() || !held->second.dirty)) return true;
    std::string bytes = doc.Serialize();
    // Would be refused by the next read: keep the old file instead.
    if (!FitsTheLimit(bytes) || !WriteFileAtomic(path, bytes)) return false;
    if (held != g_held.end()) g_held.erase(held);
    return true;
}

bool IniWriteStringLater(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view value) {
    std::lock_guard<std::mutex> guard(g_file_lock);
    IniDocument doc;
    if (LoadDocument(path, &doc) == LoadResult::Failed) return false;
    bool changed = false;
    if (!ApplyChange(&doc, section, key, value, &changed)) return false;
    if (!FitsTheLimit(doc.Serialize())) return false;
    HeldFile& held = g_held[path];
    held.doc = std::move(doc);
    held.dirty = true;
    g_behind_writer.Wake();
    return true;
}

bool IniFlush(const std::string& path) {
    std::lock_guard<std::mutex> writing(g_write_lock);
    return WriteHeld(path, false);
}

std::vector<IniEntry> IniReadSection(const std::string& path, std::string_view section) {
    std::lock_guard<std::mutex> guard(g_file_lock);
    IniDocument doc;
    if (LoadDocument(path, &doc) != LoadResult::Loaded) return {};
    return doc.SectionEntries(section);
}

std::vector<std::string> IniSectionNames(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_file_lock);
    IniDocument doc;
    if (LoadDocument(path, &doc) != LoadResult::Loaded) return {};
    return doc.SectionNames();
}

}  // namespace platform
