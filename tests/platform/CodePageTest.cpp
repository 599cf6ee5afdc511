#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

struct Sample {
    const char* name;
    int code_page;
    std::string legacy;  // bytes as stored in a torrent
    std::string utf8;
};

// File names as they arrive in torrents made on Chinese, Taiwanese, Korean and
// Japanese systems. Big5 and Shift-JIS trail bytes fall in the ASCII range
// (0x71 'q', 0x5C '\'), which a byte-wise path routine would mangle.
const std::array<Sample, 5> Samples = {{
    {.name = "GBK", .code_page = 936, .legacy = "\xce\xed\xb8\xdb\xb3\xa4\xb8\xe8.exe", .utf8 = "雾港长歌.exe"},
    {.name = "Big5", .code_page = 950, .legacy = "\xc3\xfa\xb4\xe4\xaa\xf8\xba\x71.exe", .utf8 = "霧港長歌.exe"},
    {.name = "CP949", .code_page = 949, .legacy = "\xbe\xc8\xb0\xb3\xc7\xd7\xb1\xb8.exe", .utf8 = "안개항구.exe"},
    {.name = "Shift-JIS", .code_page = 932,
     .legacy = "\x96\xb6\x82\xcc\x8d\x60\x83\x65\x83\x58\x83\x67.exe", .utf8 = "霧の港テスト.exe"},
    {.name = "Shift-JIS 0x5C trail", .code_page = 932, .legacy = "\x83\x5c\x83\x74\x83\x67", .utf8 = "ソフト"},
}};

TEST(CodePage, ConvertsRealSamplesBothWays) {
    for (const Sample& s : Samples) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(platform::CodePageToUtf8(s.legacy, s.code_page), s.utf8);
        EXPECT_EQ(platform::Utf8ToCodePage(s.utf8, s.code_page), s.legacy);
        EXPECT_TRUE(platform::IsValidUtf8(s.utf8));
    }
}

TEST(CodePage, FailedConversionGivesEmptyText) {
    struct Case {
        const char* name;
        std::string input;
        int code_page;
        bool to_utf8;
    };
    const std::array<Case, 5> cases = {{
        {.name = "invalid GBK lead byte", .input = "ab\xff\xff", .code_page = 936, .to_utf8 = true},
        {.name = "GBK cut after lead byte", .input = "ab\xce", .code_page = 936, .to_utf8 = true},
        {.name = "unknown code page", .input = "abc", .code_page = 1252, .to_utf8 = true},
        {.name = "Hangul not in GBK", .input = "안", .code_page = 936, .to_utf8 = false},
        {.name = "broken UTF-8 input", .input = "\xe9\x9b", .code_page = 936, .to_utf8 = false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out = c.to_utf8 ? platform::CodePageToUtf8(c.input, c.code_page)
                                    : platform::Utf8ToCodePage(c.input, c.code_page);
        EXPECT_EQ(out, "");
    }
}

TEST(CodePage, Utf8Validation) {
    struct Case {
        const char* name;
        std::string bytes;
        bool valid;
    };
    const std::array<Case, 7> cases = {{
        {.name = "ascii", .bytes = "plain", .valid = true},
        {.name = "four-byte", .bytes = "\xf0\x9f\x98\x80", .valid = true},
        {.name = "overlong slash", .bytes = "\xc0\xaf", .valid = false},
        {.name = "surrogate", .bytes = "\xed\xa0\x80", .valid = false},
        {.name = "truncated", .bytes = "\xe9\x9b", .valid = false},
        {.name = "stray continuation", .bytes = "\x80", .valid = false},
        {.name = "beyond U+10FFFF", .bytes = "\xf4\x90\x80\x80", .valid = false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::IsValidUtf8(c.bytes), c.valid);
    }
}

}  // namespace
