#include "engine/meta/QElement.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "engine/meta/Bencode.h"
#include "engine/meta/QDictionaryElement.h"
#include "engine/meta/QIntegerElement.h"
#include "engine/meta/QListElement.h"

namespace engine {
namespace {

// Parses from a heap copy of exactly the input's bytes, with no NUL after
// them, so a read past the end shows up under AddressSanitizer.
std::unique_ptr<QElement> ParseExact(std::string_view input, int64_t* error = nullptr,
                                     const ParseLimits& limits = {}) {
    static const char empty = '\0';
    std::vector<char> exact(input.begin(), input.end());
    return ParseElement(exact.empty() ? &empty : exact.data(), static_cast<int64_t>(input.size()), error, limits);
}

std::string Written(const QElement* element) {
    QByteBuffer buffer;
    if (!WriteElement(element, buffer)) return "<write failed>";
    return std::string(buffer.View());
}

struct ParseCase {
    const char* name;
    std::string input;
    int64_t result;          // bytes consumed, or the ParseError
    const char* written;     // canonical form written back (when parsed)
    int count;               // children of the root (containers)
};

TEST(QElementParse, TableOfInputs) {
    const std::array<ParseCase, 24> cases{{
        {.name = "empty dictionary", .input = "de", .result = 2, .written = "de", .count = 0},
        {.name = "empty list", .input = "le", .result = 2, .written = "le", .count = 0},
        {.name = "key and value", .input = "d8:announce3:abce", .result = 17, .written = "d8:announce3:abce", .count = 2},
        {.name = "integer joins its key", .input = "d6:lengthi42ee", .result = 14, .written = "d6:lengthi42ee", .count = 1},
        {.name = "host with port", .input = "l9:127.0.0.1i6881ee", .result = 19, .written = "l9:127.0.0.1i6881ee", .count = 1},
        {.name = "bare integers in list", .input = "li1ei2ee", .result = ParseMalformed, .written = "", .count = 0},
        {.name = "bare integer", .input = "i5e", .result = ParseNothing, .written = "", .count = 0},
        {.name = "text past the end", .input = "4:abc", .result = ParseTooLong, .written = "", .count = 0},
        {.name = "no e after integer", .input = "3:abci5x", .result = ParseMalformed, .written = "", .count = 0},
        {.name = "uppercase delimiters", .input = "D3:abcE", .result = 7, .written = "d3:abce", .count = 1},
        {.name = "zero integer kept", .input = "d3:fooi0ee", .result = 10, .written = "d3:fooi0ee", .count = 1},
        {.name = "uppercase I, sign", .input = "l1:aI+7ee", .result = 9, .written = "l1:ai7ee", .count = 1},
        {.name = "negative integer", .input = "l1:ai-12ee", .result = 10, .written = "l1:ai-12ee", .count = 1},
        {.name = "integer saturates", .input = "l1:ai99999999999999999999999999ee", .result = 33,
         .written = "l1:ai9223372036854775807ee", .count = 1},
        {.name = "lenient length prefix", .input = "3 :abc", .result = 6, .written = "3:abc", .count = 0},
        {.name = "missing colon", .input = "3xabc", .result = ParseMalformed, .written = "", .count = 0},
        {.name = "length overflows 32 bits", .input = "99999999999:a", .result = ParseTooLong, .written = "", .count = 0},
        {.name = "missing closing e", .input = "d3:abc", .result = ParseMalformed, .written = "", .count = 0},
        {.name = "NUL inside container", .input = std::string("l1:a\0e", 6), .result = ParseMalformed, .written = "", .count = 0},
        {.name = "too short", .input = "l", .result = ParseNothing, .written = "", .count = 0},
        {.name = "nothing", .input = "", .result = ParseNothing, .written = "", .count = 0},
        {.name = "nested", .input = "d4:infod4:name1:xee", .result = 19, .written = "d4:infod4:name1:xee", .count = 2},
        {.name = "trailing bytes ignored", .input = "le junk", .result = 2, .written = "le", .count = 0},
        {.name = "bad child byte", .input = "lxe", .result = ParseMalformed, .written = "", .count = 0},
    }};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int64_t result = 12345;
        auto root = ParseExact(c.input, &result);
        EXPECT_EQ(result, c.result);
        ASSERT_EQ(root != nullptr, c.result > 0);
        if (!root) continue;
        EXPECT_TRUE(root->IsValid());
        EXPECT_EQ(root->GetEncodedLength(), c.result);
        EXPECT_EQ(root->GetCount(), c.count);
        EXPECT_EQ(Written(root.get()), c.written);
    }
}

TEST(QElementParse, NegativeLengthReadsUpToNul) {
    auto root = ParseElement("d1:a1:be", -1);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->GetCount(), 2);
}

TEST(QElementParse, SourceAndLengthDelimitSubtreeBytes) {
    const std::string input = "d4:infoD1:ai1eE3:zzz1:ye";
    auto root = ParseElement(input.data(), static_cast<int64_t>(input.size()));
    ASSERT_TRUE(root);
    const QElement* info = root->FindValue("info");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->GetType(), ElementType::Dictionary);
    EXPECT_EQ(std::string_view(info->GetSource(), static_cast<size_t>(info->GetEncodedLength())), "D1:ai1eE");
}

TEST(QElementParse, BoundsNestingDepthAndElementCount) {
    const ParseLimits limits;
    auto nested = [](int depth) { return std::string(static_cast<size_t>(depth), 'l') + std::string(static_cast<size_t>(depth), 'e'); };
    int64_t result = 0;
    EXPECT_TRUE(ParseExact(nested(limits.max_depth), &result));
    EXPECT_FALSE(ParseExact(nested(limits.max_depth + 1), &result));
    EXPECT_EQ(result, ParseLimitExceeded);
    // Far deeper than the stack would allow if recursion were unbounded.
    EXPECT_FALSE(ParseExact(nested(200000), &result));
    EXPECT_EQ(result, ParseLimitExceeded);

    ParseLimits small;
    small.max_elements = 3;
    EXPECT_TRUE(ParseExact("l1:a1:be", &result, small));
    EXPECT_FALSE(ParseExact("l1:a1:b1:ce", &result, small));
    EXPECT_EQ(result, ParseLimitExceeded);
}

struct LookupCase {
    const char* name;
    const char* input;
    const char* key;
    bool by_text;            // FindText instead of FindValue
    const char* found_text;  // nullptr: expect no element
    int64_t found_integer;
};

TEST(QElementLookup, FindValueAndFindText) {
    const std::array<LookupCase, 9> cases{{
        {"value of a key", "d8:announce3:abce", "announce", false, "abc", 0},
        {"a value is no key", "d8:announce3:abce", "abc", false, nullptr, 0},
        {"integer on the key itself", "d6:lengthi42ee", "length", false, "length", 42},
        {"pairs after an integer key", "d1:a1:b1:ci7ee", "c", false, "c", 7},
        {"value after integer key", "d1:ai1e1:b1:xe", "b", false, "x", 0},
        {"next key is no value", "d1:a1:bi2ee", "a", false, nullptr, 0},
        {"key match is case sensitive", "d8:announce3:abce", "ANNOUNCE", false, nullptr, 0},
        {"text match ignores case", "d8:announce3:abce", "ANNOUNCE", true, "announce", 0},
        {"text match finds values too", "d8:announce3:abce", "ABC", true, "abc", 0},
    }};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto root = ParseExact(c.input);
        ASSERT_TRUE(root);
        const QElement* found = c.by_text ? root->FindText(c.key, static_cast<int>(std::strlen(c.key)))
                                          : root->FindValue(c.key);
        if (!c.found_text) {
            EXPECT_EQ(found, nullptr);
            continue;
        }
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->GetText(), c.found_text);
        EXPECT_EQ(found->GetInteger(), c.found_integer);
    }
}

TEST(QElementLookup, ContainersNeverMatchText) {
    auto root = ParseExact("l1:aleDee");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->FindText(std::string(2, '\0').data(), 2), nullptr);
    EXPECT_EQ(root->FindValue(std::string(2, '\0').data(), 2), nullptr);
}

TEST(QElementLookup, SiblingWalks) {
    auto root = ParseExact("l1:a1:b1:ce");
    ASSERT_TRUE(root);
    QElement* a = root->ChildAt(0);
    QElement* b = root->ChildAt(1);
    QElement* c = root->ChildAt(2);
    EXPECT_EQ(root->ChildAt(3), nullptr);
    EXPECT_EQ(root->ChildAt(-1), nullptr);
    EXPECT_EQ(root->NextSibling(a), b);
    EXPECT_EQ(root->NextSibling(c), nullptr);
    EXPECT_EQ(root->PrevSibling(b), a);
    EXPECT_EQ(root->PrevSibling(a), nullptr);
    auto other = ParseExact("l1:ae");
    EXPECT_EQ(root->NextSibling(other->ChildAt(0)), nullptr);
    // A leaf answers container operations neutrally.
    EXPECT_EQ(a->GetCount(), 0);
    EXPECT_EQ(a->FindValue("a"), nullptr);
    EXPECT_FALSE(a->Append(other.get()));
}

TEST(QElementBuild, CreatedLeavesAndZeroIntegers) {
    auto dict = ParseElement("de", 2);
    ASSERT_TRUE(dict);
    ASSERT_TRUE(dict->AppendText("Low", 3, 0, false));
    ASSERT_TRUE(dict->AppendText("flag", -1, 0, true));
    ASSERT_TRUE(dict->AppendText("n", -1, -5, false));
    ASSERT_TRUE(dict->InsertTextAt(-3, "first", -1, 0, false));
    ASSERT_TRUE(dict->InsertTextAt(99, "", 0, 0, false));
    EXPECT_EQ(dict->AppendText("", 0, 1, false), nullptr);
    EXPECT_EQ(dict->AppendText("", 0, 0, true), nullptr);
    EXPECT_EQ(dict->AppendText(nullptr, 0, 0, false), nullptr);
    const std::string expected = "d5:first3:Low4:flagi0e1:ni-5e0:e";
    EXPECT_EQ(Written(dict.get()), expected);
    EXPECT_EQ(EncodedLength(dict.get()), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(dict->GetEncodedLength(), static_cast<int64_t>(expected.size()));
    // Read back, the absent integer is 0 either way.
    auto back = ParseExact(expected);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->FindValue("Low"), nullptr);
    EXPECT_EQ(back->FindText("Low")->GetInteger(), 0);
    EXPECT_TRUE(back->FindValue("flag")->HasInteger());
}

TEST(QElementBuild, MovingRemovingAndDetachingChildren) {
    auto outer = ParseExact("l1:al1:b1:cee");
    ASSERT_TRUE(outer);
    QElement* inner = outer->ChildAt(1);
    QElement* b = inner->ChildAt(0);
    // Appending moves: b leaves the inner list, and lengths follow up the tree.
    ASSERT_TRUE(outer->Append(b));
    EXPECT_EQ(b->GetParent(), outer.get());
    EXPECT_EQ(inner->GetCount(), 1);
    EXPECT_EQ(Written(outer.get()), "l1:al1:ce1:be");
    EXPECT_EQ(outer->GetEncodedLength(), EncodedLength(outer.get()));

    // No cycles: a container cannot go below itself or its descendants.
    EXPECT_FALSE(outer->Append(outer.get()));
    EXPECT_FALSE(inner->Append(outer.get()));

    // Detached elements are the caller's; deleting a child unlinks it.
    std::unique_ptr<QElement> detached(outer->DetachAt(0));
    ASSERT_TRUE(detached);
    EXPECT_EQ(detached->GetParent(), nullptr);
    EXPECT_EQ(outer->GetCount(), 2);
    delete inner;
    EXPECT_EQ(outer->GetCount(), 1);
    EXPECT_EQ(Written(outer.get()), "l1:be");
    EXPECT_EQ(outer->GetEncodedLength(), 5);

    EXPECT_FALSE(outer->Remove(detached.get()));
    EXPECT_TRUE(outer->RemoveAt(0));
    EXPECT_EQ(Written(outer.get()), "le");
    EXPECT_FALSE(outer->RemoveAt(0));

    auto list = ParseExact("l1:a1:b1:ce");
    list->RemoveAll();
    EXPECT_EQ(list->GetCount(), 0);
    EXPECT_EQ(Written(list.get()), "le");
}

TEST(QElementBuild, UnparsedContainerIsInvalid) {
    QListElement list;
    EXPECT_FALSE(list.IsValid());
    EXPECT_EQ(list.AppendText("a", 1, 0, false), nullptr);
    EXPECT_EQ(list.GetTextLength(), -1);
    QByteBuffer buffer;
    EXPECT_FALSE(WriteElement(&list, buffer));
    EXPECT_EQ(EncodedLength(&list), 0);
    auto dict = ParseElement("de", 2);
    EXPECT_FALSE(dict->Append(&list));  // length 0: rejected
}

TEST(QByteBufferTest, GrowthCapAndTerminator) {
    QByteBuffer buffer;
    EXPECT_EQ(buffer.Data()[0], '\0');
    ASSERT_TRUE(buffer.Append("abc"));
    EXPECT_EQ(buffer.Capacity(), 3u + QByteBuffer::GrowthSlackBytes);
    EXPECT_EQ(buffer.Data()[3], '\0');
    const std::string big(5000, 'x');
    ASSERT_TRUE(buffer.Append(big));
    EXPECT_EQ(buffer.Capacity(), 3u + QByteBuffer::GrowthSlackBytes + big.size());
    EXPECT_EQ(buffer.Length(), 5003u);
    EXPECT_EQ(buffer.Data()[5003], '\0');

    QByteBuffer capped(8);
    EXPECT_TRUE(capped.Append("12345678"));
    EXPECT_FALSE(capped.Append("9"));
    EXPECT_EQ(capped.View(), "12345678");
}

TEST(QByteBufferTest, WriteReservesWholeLengthOnce) {
    auto root = ParseExact("d4:name5:helloe");
    QByteBuffer buffer;
    ASSERT_TRUE(WriteElement(root.get(), buffer));
    EXPECT_EQ(buffer.View(), "d4:name5:helloe");
    EXPECT_EQ(buffer.Capacity(), 15u + 1024u);
    // Less than length + 1024 free: grown once to used + length + 1024.
    ASSERT_TRUE(WriteElement(root.get(), buffer));
    EXPECT_EQ(buffer.Capacity(), 15u + 15u + 1024u);
    EXPECT_EQ(buffer.Length(), 30u);
}

TEST(QElementText, LocalTextFromCodePages) {
    // "中文" in GBK, then in UTF-8.
    const std::string gbk = "\xd6\xd0\xce\xc4";
    const std::string utf8 = "\xe4\xb8\xad\xe6\x96\x87";
    auto list = ParseExact("l4:" + gbk + "3:abc0:2:\xff\xff" "e");
    ASSERT_TRUE(list);
    EXPECT_EQ(GetLocalText(list->ChildAt(0)), gbk);  // no code page: bytes as they are
    list->SetCodePage(936);
    EXPECT_EQ(list->GetCodePage(), 0);  // a container passes it on, keeps none
    EXPECT_EQ(GetLocalText(list->ChildAt(0)), utf8);
    EXPECT_EQ(GetLocalText(list->ChildAt(1)), "abc");
    EXPECT_EQ(GetLocalText(list->ChildAt(2)), "");
    EXPECT_EQ(GetLocalText(list->ChildAt(3)), "");  // does not convert
    EXPECT_EQ(list->ToText("/"), utf8 + "/abc//");
    EXPECT_EQ(GetLocalText(list.get()), "");

    auto leading_empty = ParseExact("l0:1:ae");
    EXPECT_EQ(leading_empty->ToText("/"), "a");

    EXPECT_EQ(LocalToCodePage(utf8, 936), gbk);
    EXPECT_EQ(LocalToCodePage("plain", 950), "plain");
    EXPECT_EQ(LocalToCodePage(utf8, 0), utf8);
}

}  // namespace
}  // namespace engine
