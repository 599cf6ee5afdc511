#pragma once
// Conversion between the legacy code pages torrents arrive in and UTF-8, the
// program's only text encoding. Bytes that do not convert give the empty text,
// so a caller can tell failure from success on a non-empty input.

#include <string>
#include <string_view>

namespace platform {

// Windows code page numbers the engine knows: 936 (GBK), 950 (Big5),
// 949 (Unified Hangul), 932 (Shift-JIS). 65001 is UTF-8 itself.
bool IsKnownCodePage(int code_page);

std::string CodePageToUtf8(std::string_view bytes, int code_page);
std::string Utf8ToCodePage(std::string_view text, int code_page);

// True when `bytes` is well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);

}  // namespace platform
