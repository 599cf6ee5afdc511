#include "platform/CodePage.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace platform {

namespace {

const char* IconvName(int code_page) {
    switch (code_page) {
        case 936: return "CP936";
        case 950: return "CP950";
        case 949: return "CP949";
        case 932: return "CP932";
        case 65001: return "UTF-8";
        default: return nullptr;
    }
}

// Converts all of `in`; the empty text when any byte is invalid or incomplete.
std::string Convert(std::string_view in, const char* from, const char* to) {
    if (!from || !to) return {};
    if (in.empty()) return {};
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string out;
    std::vector<char> buf(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    bool ok = true;
    while (src_left > 0) {
        char* dst = buf.data();
        size_t dst_left = buf.size();
        size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
        out.append(buf.data(), buf.size() - dst_left);
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            ok = false;
            break;
        }
    }
    if (ok) {
        char* dst = buf.data();
        size_t dst_left = buf.size();
        if (iconv(cd, nullptr, nullptr, &dst, &dst_left) == static_cast<size_t>(-1)) ok = false;
        out.append(buf.data(), buf.size() - dst_left);
    }
    iconv_close(cd);
    return ok ? out : std::string();
}

}  // namespace

bool IsKnownCodePage(int code_page) { return IconvName(code_page) != nullptr; }

std::string CodePageToUtf8(std::string_view bytes, int code_page) {
    return Convert(bytes, IconvName(code_page), "UTF-8");
}

std::string Utf8ToCodePage(std::string_view text, int code_page) {
    return Convert(text, "UTF-8", IconvName(code_page));
}

bool IsValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t extra;
        uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; }
        else return false;
        if (i + extra >= s.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr uint32_t MinForLength[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < MinForLength[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace platform
