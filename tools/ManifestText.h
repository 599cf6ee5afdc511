#pragma once
// The package manifest's text form, shared by slotgen (reads it) and twpack
// (writes it): "key = value" lines, '#' starts a comment line, blank lines are
// ignored, surrounding blanks are trimmed. Keys are listed in packages/README.md.

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

namespace tools {

inline std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

inline std::map<std::string, std::string> ParseManifestText(const std::string& text, const std::string& name) {
    std::istringstream lines(text);
    std::map<std::string, std::string> values;
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        size_t eq = trimmed.find('=');
        if (eq == std::string::npos) {
            throw std::runtime_error(name + ":" + std::to_string(number) + ": expected key = value");
        }
        values[Trim(trimmed.substr(0, eq))] = Trim(trimmed.substr(eq + 1));
    }
    return values;
}

inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace tools
