#pragma once
// Reading, writing and text conversion for the element tree (QElement.h).
// No I/O: bytes in, tree out; tree in, bytes out.

#include <memory>
#include <string>
#include <string_view>

#include "engine/meta/QByteBuffer.h"
#include "engine/meta/QElement.h"

namespace engine {

// Parses the element that starts at `bytes`: "d"/"D" a dictionary, "l"/"L" a
// list, a digit a text leaf; anything else, a null buffer, a length below 1
// or a NUL first byte gives null. A negative `length` means up to the
// terminating NUL. At most `length` bytes are read: the buffer need not be
// NUL-terminated. Bytes after the element are ignored. When `error` is given
// it receives the ParseError of a failure (or the bytes consumed).
std::unique_ptr<QElement> ParseElement(const char* bytes, int64_t length, int64_t* error = nullptr,
                                       const ParseLimits& limits = {});
inline std::unique_ptr<QElement> ParseElement(std::string_view bytes, int64_t* error = nullptr) {
    return ParseElement(bytes.data(), static_cast<int64_t>(bytes.size()), error);
}

// Bytes the tree's canonical form needs at most: a leaf's encoded length, a
// container's 2 plus its children's. 0 when the element or a descendant is
// invalid or has no length.
int64_t EncodedLength(const QElement* element);

// Appends the bencoded form of the tree: texts as "<len>:<bytes>", a carried
// integer as "i<decimal>e" right after its text, containers as "d"/"l",
// children in stored order, "e". Keys are never sorted. False when an element
// on the way is invalid (what was written so far stays) or the buffer's cap
// is reached.
bool WriteElement(const QElement* element, QByteBuffer& buffer);

// The element's text converted from its code page to the program's text
// encoding (UTF-8). Unchanged when the element has no code page or the text
// is printable ASCII; empty when the element is invalid, starts with NUL, or
// the bytes do not convert.
std::string GetLocalText(const QElement* element);

// The reverse: program text to `code_page` (printable ASCII and code page 0
// unchanged); empty when the text does not convert.
std::string LocalToCodePage(std::string_view text, int code_page);

}  // namespace engine
