#include "stats/JsonValue.h"

#include <gtest/gtest.h>

namespace {

using engine::JsonValue;

// The collection servers read the fast writer's exact output: compact,
// members in byte order of their names, a line feed at the end.
TEST(JsonValue, WritesCompactSortedMembersAndTrailingLineFeed) {
    JsonValue object = JsonValue::Object();
    object.Set("Sessionid", "");
    object.Set("Mac", "02-fc-00-00-00-01");
    object.Set("MachId", "0011223344556677");
    object.Set("Sequence", uint64_t{18446744073709551615ull});
    object.Set("OS", "999642");
    EXPECT_EQ(object.WriteFast(),
              "{\"Mac\":\"02-fc-00-00-00-01\",\"MachId\":\"0011223344556677\",\"OS\":\"999642\","
              "\"Sequence\":18446744073709551615,\"Sessionid\":\"\"}\n");
}

TEST(JsonValue, ArraysHoldNullsAndEscapedTexts) {
    JsonValue batch = JsonValue::Array();
    JsonValue event = JsonValue::Object();
    event.Set("code", "11010000");
    event.Set("info", "{\"a\":\"b\\c\"}");
    batch.Append(event);
    batch.Append(JsonValue());
    EXPECT_EQ(batch.Size(), 2u);
    EXPECT_EQ(batch.WriteFast(), "[{\"code\":\"11010000\",\"info\":\"{\\\"a\\\":\\\"b\\\\c\\\"}\"},null]\n");
}

TEST(JsonValue, CopiesAreIndependentAndMovedFromIsNull) {
    JsonValue a = JsonValue::Object();
    a.Set("x", "1");
    JsonValue b = a;
    b.Set("y", "2");
    EXPECT_FALSE(a.Has("y"));
    JsonValue c = std::move(b);
    EXPECT_TRUE(c.Has("y"));
    EXPECT_TRUE(b.IsNull());  // NOLINT(bugprone-use-after-move): documented state
}

}  // namespace
