#include "stats/FormEncoding.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using engine::FormDecodeData;
using engine::FormEncodeData;

TEST(FormEncodeData, KeepsAlnumMapsSpaceAndEscapesEverythingElse) {
    struct Case {
        const char* name;
        std::string text;
        const char* body;
    };
    const std::array<Case, 6> cases = {{
        {.name = "empty", .text = "", .body = "data="},
        {.name = "alnum", .text = "Az09", .body = "data=Az09"},
        {.name = "space and underscore", .text = "a b_c", .body = "data=a_b%5Fc"},
        {.name = "json punctuation", .text = "[{\"a\":1}]\n", .body = "data=%5B%7B%22a%22%3A1%7D%5D%0A"},
        {.name = "utf-8 bytes uppercase hex", .text = "\xe4\xb8\xad", .body = "data=%E4%B8%AD"},
        {.name = "nul and plus", .text = std::string("\0+", 2), .body = "data=%00%2B"},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FormEncodeData(c.text), c.body);
        EXPECT_EQ(FormDecodeData(c.body), c.text);
    }
}

TEST(FormDecodeData, RejectsWhatTheEncoderNeverProduces) {
    for (const char* body : {"", "datum=a", "data=%4", "data=%G1", "data=a+b", "data=a.b"}) {
        SCOPED_TRACE(body);
        EXPECT_FALSE(FormDecodeData(body).has_value());
    }
}

}  // namespace
