#include "engine/meta/Bencode.h"

#include <cstring>

#include "engine/meta/QDictionaryElement.h"
#include "engine/meta/QIntegerElement.h"
#include "engine/meta/QListElement.h"
#include "platform/CodePage.h"

namespace engine {

namespace {

// Output recursion is bounded like parsing, so a hand-built tree cannot
// exhaust the stack either.
constexpr int MaxWriteDepth = ParseLimits{}.max_depth;
// Room reserved beyond the encoded length before writing.
constexpr size_t WriteSlackBytes = 1024;

int64_t EncodedLengthAt(const QElement* element, int depth) {
    if (!element || !element->IsValid() || depth > MaxWriteDepth) return 0;
    if (!element->IsContainer()) return element->GetEncodedLength() > 0 ? element->GetEncodedLength() : 0;
    int64_t total = 2;
    for (int i = 0; i < element->GetCount(); ++i) {
        int64_t n = EncodedLengthAt(element->ChildAt(i), depth + 1);
        if (n <= 0) return 0;
        total += n;
    }
    return total;
}

bool AppendDecimal(QByteBuffer& buffer, int64_t value) {
    char digits[24];
    int n = 0;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[n++] = '-';
    char text[24];
    for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    return buffer.Append(text, static_cast<size_t>(n));
}

bool WriteAt(const QElement* element, QByteBuffer& buffer, int depth) {
    if (!element || !element->IsValid() || depth > MaxWriteDepth) return false;
    if (element->IsContainer()) {
        if (!buffer.AppendByte(element->GetType() == ElementType::Dictionary ? 'd' : 'l')) return false;
        for (int i = 0; i < element->GetCount(); ++i)
            if (!WriteAt(element->ChildAt(i), buffer, depth + 1)) return false;
        return buffer.AppendByte('e');
    }
    std::string_view text = element->GetText();
    if (!AppendDecimal(buffer, static_cast<int64_t>(text.size())) || !buffer.AppendByte(':') ||
        !buffer.Append(text))
        return false;
    // A zero integer without the flag is not written: readers take the
    // missing integer as 0, which formats storing counters rely on.
    if (element->HasInteger()) {
        return buffer.AppendByte('i') && AppendDecimal(buffer, element->GetInteger()) && buffer.AppendByte('e');
    }
    return true;
}

bool IsPrintableAscii(std::string_view text) {
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b > 0x7E) return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<QElement> ParseElement(const char* bytes, int64_t length, int64_t* error,
                                       const ParseLimits& limits) {
    if (error) *error = ParseNothing;
    if (!bytes) return nullptr;
    if (length < 0) length = static_cast<int64_t>(std::strlen(bytes));
    if (length < 1 || bytes[0] == '\0') return nullptr;
    std::unique_ptr<QElement> element;
    switch (bytes[0]) {
        case 'd': case 'D': element = std::make_unique<QDictionaryElement>(); break;
        case 'l': case 'L': element = std::make_unique<QListElement>(); break;
        default:
            if (bytes[0] < '0' || bytes[0] > '9') return nullptr;
            element = std::make_unique<QIntegerElement>();
    }
    int64_t result = element->Parse(bytes, length, limits);
    if (error) *error = result;
    if (result < 1) return nullptr;
    return element;
}

int64_t EncodedLength(const QElement* element) { return EncodedLengthAt(element, 0); }

bool WriteElement(const QElement* element, QByteBuffer& buffer) {
    int64_t needed = EncodedLength(element);
    if (needed <= 0) return false;
    const size_t wanted = static_cast<size_t>(needed) + WriteSlackBytes;
    if (buffer.FreeSpace() < wanted) buffer.Reserve(buffer.Length() + wanted);
    return WriteAt(element, buffer, 0);
}

std::string GetLocalText(const QElement* element) {
    if (!element || !element->IsValid()) return {};
    std::string_view text = element->GetText();
    if (text.empty() || text[0] == '\0') return {};
    if (element->GetCodePage() == 0 || IsPrintableAscii(text)) return std::string(text);
    return platform::CodePageToUtf8(text, element->GetCodePage());
}

std::string LocalToCodePage(std::string_view text, int code_page) {
    if (code_page == 0 || IsPrintableAscii(text)) return std::string(text);
    return platform::Utf8ToCodePage(text, code_page);
}

}  // namespace engine
