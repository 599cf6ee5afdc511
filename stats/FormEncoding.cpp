#include "stats/FormEncoding.h"

namespace engine {

namespace {

bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

constexpr std::string_view FieldPrefix = "data=";

}  // namespace

std::string FormEncodeData(std::string_view text) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string out(FieldPrefix);
    out.reserve(FieldPrefix.size() + text.size() * 3);
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsAsciiAlnum(c)) {
            out.push_back(ch);
        } else if (c == ' ') {
            out.push_back('_');
        } else {
            out.push_back('%');
            out.push_back(Hex[c >> 4]);
            out.push_back(Hex[c & 15]);
        }
    }
    return out;
}

std::optional<std::string> FormDecodeData(std::string_view body) {
    if (body.substr(0, FieldPrefix.size()) != FieldPrefix) return std::nullopt;
    std::string out;
    out.reserve(body.size());
    for (size_t i = FieldPrefix.size(); i < body.size(); ++i) {
        const auto c = static_cast<unsigned char>(body[i]);
        if (IsAsciiAlnum(c)) {
            out.push_back(body[i]);
        } else if (c == '_') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < body.size() && HexValue(body[i + 1]) >= 0 && HexValue(body[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(body[i + 1]) * 16 + HexValue(body[i + 2])));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace engine
