// Feeds arbitrary bytes to the INI parser, then writes a key derived from the
// input and checks that the serialised document parses back with that value
// and with every other section's entries unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Ini.h"

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string Expected(std::string_view value) {
    value = Trim(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    platform::IniDocument doc;
    if (platform::IniDocument::Parse(bytes, &doc) != platform::IniParseError::None) return 0;

    // Round trip: serialising and parsing again keeps every entry.
    platform::IniDocument again;
    Check(platform::IniDocument::Parse(doc.Serialize(), &again) == platform::IniParseError::None);
    std::vector<std::string> names = doc.SectionNames();
    Check(again.SectionNames() == names);
    for (const std::string& name : names) Check(again.SectionEntries(name) == doc.SectionEntries(name));

    // Take section, key and value from the first three '|'-separated parts of
    // the input's last line, so the fuzzer steers them.
    std::string_view tail = bytes.substr(bytes.rfind('\n') == std::string_view::npos ? 0 : bytes.rfind('\n') + 1);
    size_t bar1 = tail.find('|');
    size_t bar2 = bar1 == std::string_view::npos ? bar1 : tail.find('|', bar1 + 1);
    if (bar2 == std::string_view::npos) return 0;
    std::string_view section = tail.substr(0, bar1);
    std::string_view key = tail.substr(bar1 + 1, bar2 - bar1 - 1);
    std::string_view value = tail.substr(bar2 + 1);

    if (doc.Set(section, key, value)) {
        platform::IniDocument written;
        Check(platform::IniDocument::Parse(doc.Serialize(), &written) == platform::IniParseError::None);
        auto got = written.Get(section, key);
        Check(got.has_value() && *got == Expected(value));
        Check(written.RemoveKey(section, key));
        Check(!written.Get(section, key).has_value());
    }
    if (doc.RemoveSection(section)) Check(!doc.Get(section, key).has_value());
    return 0;
}
