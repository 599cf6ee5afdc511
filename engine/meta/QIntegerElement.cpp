#include "engine/meta/QIntegerElement.h"

#include <limits>

namespace engine {

namespace {

// The text-length prefix is read from at most this many digits.
constexpr int MaxLengthDigits = 12;
// The integer is read from at most this many digits (saturating).
constexpr int MaxIntegerDigits = 32;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Bytes the dialect steps over while looking for ':' after a length or 'e'
// after an integer: 0x01..0x39 covers digits, signs, blanks and most
// punctuation, so "3 :abc" and "i -5e" are read leniently.
bool IsSkippable(char c) {
    auto b = static_cast<unsigned char>(c);
    return b >= 0x01 && b <= 0x39;
}

// Leading blanks and tabs, one sign, up to 32 digits; saturates instead of
// overflowing, since the digits come from outside.
int64_t ReadInteger(const char* p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = (*p++ == '-');
    constexpr uint64_t PositiveMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const uint64_t limit = negative ? PositiveMax + 1 : PositiveMax;
    uint64_t value = 0;
    for (int digits = 0; p < end && IsDigit(*p) && digits < MaxIntegerDigits; ++p, ++digits) {
        auto d = static_cast<uint64_t>(*p - '0');
        value = value > (limit - d) / 10 ? limit : value * 10 + d;
    }
    if (!negative) return static_cast<int64_t>(value);
    return value == PositiveMax + 1 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(value);
}

int DecimalDigits(uint64_t v) {
    int n = 1;
    while (v >= 10) { v /= 10; ++n; }
    return n;
}

}  // namespace

int64_t QIntegerElement::CanonicalLength(int64_t text_length, int64_t integer, bool has_integer) {
    if (text_length < 0) return 0;
    int64_t n = DecimalDigits(static_cast<uint64_t>(text_length)) + 1 + text_length;
    if (has_integer || integer != 0) {
        uint64_t magnitude = integer < 0 ? 0 - static_cast<uint64_t>(integer) : static_cast<uint64_t>(integer);
        n += DecimalDigits(magnitude) + (integer < 0 ? 1 : 0) + 2;
    }
    return n;
}

bool QIntegerElement::Assign(std::string_view text, int64_t integer, bool has_integer) {
    Reset();
    if (text.empty() && (integer != 0 || has_integer)) return false;
    if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
    m_text.assign(text);
    m_hasText = true;
    m_integer = integer;
    m_hasIntegerFlag = has_integer;
    SetParsed(nullptr, CanonicalLength(static_cast<int64_t>(text.size()), integer, has_integer));
    m_source = nullptr;
    return true;
}

int64_t QIntegerElement::ParseIn(const char* bytes, int64_t length, ParseState& state) {
    Reset();
    if (!bytes || length < 1 || !IsDigit(bytes[0])) return ParseNothing;
    if (++state.elements > state.limits.max_elements) return ParseLimitExceeded;

    int64_t text_length = 0;
    for (int64_t i = 0; i < length && i < MaxLengthDigits && IsDigit(bytes[i]); ++i)
        text_length = text_length * 10 + (bytes[i] - '0');
    if (text_length > std::numeric_limits<int32_t>::max()) return ParseTooLong;

    int64_t colon = 1;
    while (colon < length && IsSkippable(bytes[colon])) ++colon;
    if (colon >= length || bytes[colon] != ':') return ParseMalformed;
    const int64_t text_start = colon + 1;
    if (length - text_start - text_length < 0) return ParseTooLong;

    int64_t end = text_start + text_length;
    bool has_integer = false;
    int64_t integer = 0;
    // The integer that follows a text belongs to it: "i", digits, "e".
    if (end < length && (bytes[end] == 'i' || bytes[end] == 'I')) {
        int64_t e = end + 1;
        while (e < length && IsSkippable(bytes[e])) ++e;
        if (e >= length || bytes[e] != 'e') return ParseMalformed;
        integer = ReadInteger(bytes + end + 1, bytes + e);
        has_integer = true;
        end = e + 1;
    }

    m_text.assign(bytes + text_start, static_cast<size_t>(text_length));
    m_hasText = true;
    m_integer = integer;
    m_hasIntegerFlag = has_integer;
    SetParsed(bytes, end);
    return end;
}

}  // namespace engine
