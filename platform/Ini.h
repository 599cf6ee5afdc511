#pragma once
// INI files with the lookup rules of the Windows profile functions: section and
// key names match without regard to ASCII case, a missing key reads as the
// caller's default, writing a null value deletes a key and a null key deletes a
// whole section. Unlike those functions, every write replaces the file
// atomically (temporary file + rename), so a crash leaves the old file or the
// new one, never a torn one.
//
// IniDocument is the in-memory model: bytes in, document out, no I/O, so it
// can be fuzzed. It keeps every line it does not change (comments, blank
// lines, lines it does not understand) and the order of everything.
// The file functions below are thread-safe: one process-wide lock serialises
// their read-modify-write cycles, and reads see the changes still waiting to be
// written behind. An IniDocument is used by one thread.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Limits for text read from disk; settings files are a few KiB.
struct IniLimits {
    size_t max_bytes = 4 * 1024 * 1024;
    size_t max_line_bytes = 64 * 1024;
    size_t max_lines = 100'000;
};

enum class IniParseError {
    None,
    TooLarge,       // more than max_bytes
    LineTooLong,    // a line longer than max_line_bytes
    TooManyLines,   // more than max_lines
};

using IniEntry = std::pair<std::string, std::string>;

class IniDocument {
public:
    // Parses `bytes`; on failure `*out` is left empty and the reason returned.
    static IniParseError Parse(std::string_view bytes, IniDocument* out, const IniLimits& limits = {});
    // The document as file bytes; parsing them again gives the same entries.
    std::string Serialize() const;

    // The value of the first `key` in the first `section` (trimmed, one pair of
    // enclosing quotes removed), or nullopt.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    // Updates the key in place, appends it to its section, or appends a new
    // section at the end. Returns false (and changes nothing) for names or
    // values that cannot be stored: a line break anywhere, '=' in a key, ']' in
    // a section name, or a key that would read back differently.
    bool Set(std::string_view section, std::string_view key, std::string_view value);
    // True when something was removed.
    bool RemoveKey(std::string_view section, std::string_view key);
    bool RemoveSection(std::string_view section);

    // Section names in file order (first spelling of a name seen twice once).
    std::vector<std::string> SectionNames() const;
    // The key/value pairs of the first matching section, values as Get gives them.
    std::vector<IniEntry> SectionEntries(std::string_view section) const;

    bool Empty() const { return m_lines.empty(); }

private:
    enum class LineKind {
        Other,     // blank, comment or unrecognised: kept verbatim
        Section,   // "[name]"
        Key,       // "name=value"
    };
    struct Line {
        LineKind kind = LineKind::Other;
        std::string text;   // the line as stored, without its line break
        std::string name;   // section or key name, trimmed
        std::string value;  // raw value, trimmed (keys only)
    };

    static Line ClassifyLine(std::string_view text);
    // Index of the first section header named `section`, or npos.
    size_t FindSection(std::string_view section) const;
    // One past the last line of the section whose header is at `header`.
    size_t SectionEnd(size_t header) const;
    size_t FindKey(size_t header, std::string_view key) const;

    std::vector<Line> m_lines;
    std::string m_newline = "\n";
};

// Reads `key` of `section` from the file at `path`; `default_value` when the
// file, the section or the key is missing or the file cannot be parsed.
std::string IniGetString(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view default_value);
// The leading decimal integer of the value (optional sign), or `default_value`
// when the key is missing or does not start with a number.
long long IniGetInt(const std::string& path, std::string_view section, std::string_view key,
                    long long default_value);

// Writes one value. A null `value` removes the key; a null `key` removes the
// whole section. The file is created when missing; a file that cannot be read
// or parsed is left untouched and the write fails. Returns false on failure,
// with the OS error in LastFileError().
bool IniWriteString(const std::string& path, std::string_view section, std::optional<std::string_view> key,
                    std::optional<std::string_view> value);

// Writes one value behind: the change is in effect for every read of this
// process at once and reaches the disk from a background writer, at most once
// a second per file, and at the latest at IniFlush or at exit. For values that
// change many times a second (progress, counters) where losing the last second
// in a crash is harmless; records that must survive a crash use
// IniWriteString, which also writes any change still held for the file.
// Fails (changing nothing) as IniWriteString does for a file that cannot be
// read or a name or value that cannot be stored.
bool IniWriteStringLater(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view value);
// Writes what is held for `path` (every file when empty) now. False when a
// write failed; the change is then kept and tried again.
bool IniFlush(const std::string& path = {});

std::vector<IniEntry> IniReadSection(const std::string& path, std::string_view section);
std::vector<std::string> IniSectionNames(const std::string& path);

}  // namespace platform
