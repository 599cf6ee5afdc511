#include "engine/meta/QMultiElement.h"

#include <algorithm>
#include <cstring>

#include "engine/meta/Bencode.h"
#include "engine/meta/QDictionaryElement.h"
#include "engine/meta/QIntegerElement.h"
#include "engine/meta/QListElement.h"

namespace engine {

namespace {

bool IsEnd(char c) { return c == 'e' || c == 'E'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringAsciiCase(std::string_view a, const char* b) {
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

// The element a child's first byte starts, or null for any other byte (an
// integer in particular: in this dialect it may only follow a text).
QElement* NewChildFor(char first) {
    switch (first) {
        case 'd': case 'D': return new QDictionaryElement();
        case 'l': case 'L': return new QListElement();
        default: return IsDigit(first) ? new QIntegerElement() : nullptr;
    }
}

bool OpensThisKind(char first, ElementType kind) {
    if (kind == ElementType::Dictionary) return first == 'd' || first == 'D';
    if (kind == ElementType::List) return first == 'l' || first == 'L';
    return false;
}

int ResolveLength(const char* text, int length) {
    return length < 0 ? static_cast<int>(std::min<size_t>(std::strlen(text), INT32_MAX)) : length;
}

}  // namespace

QMultiElement::~QMultiElement() { DeleteChildren(); }

void QMultiElement::DeleteChildren() {
    std::vector<QElement*> children;
    children.swap(m_children);
    for (QElement* child : children) {
        if (child && child->m_parent == this) {
            // Unlink first, so the child's destructor does not come back here.
            child->m_parent = nullptr;
            delete child;
        }
    }
}

void QMultiElement::Reset() {
    DeleteChildren();
    ResetFields();
}

int64_t QMultiElement::ParseIn(const char* bytes, int64_t length, ParseState& state) {
    Reset();
    if (!bytes || length < 2 || bytes[0] == '\0') return ParseNothing;
    if (!OpensThisKind(bytes[0], m_baseKind)) return ParseMalformed;
    if (++state.elements > state.limits.max_elements) return ParseLimitExceeded;
    if (state.depth >= state.limits.max_depth) return ParseLimitExceeded;

    // Children live between the opening byte and the closing 'e': at most
    // length - 2 bytes.
    const int64_t region_end = length - 1;
    int64_t pos = 1;
    ++state.depth;
    int64_t failure = 0;
    while (pos < region_end) {
        char first = bytes[pos];
        if (IsEnd(first) || first == '\0') break;
        QElement* child = NewChildFor(first);
        if (!child) { failure = ParseMalformed; break; }
        int64_t consumed = ParseChild(child, bytes + pos, region_end - pos, state);
        if (consumed < 1) {
            delete child;
            failure = consumed == ParseLimitExceeded ? ParseLimitExceeded : ParseMalformed;
            break;
        }
        child->m_parent = this;
        m_children.push_back(child);
        pos += consumed;
    }
    --state.depth;
    if (failure == 0 && (pos >= length || !IsEnd(bytes[pos]))) failure = ParseMalformed;
    if (failure != 0) {
        Reset();
        return failure;
    }
    // Containers carry a two-NUL text that only makes them valid.
    m_text.assign(2, '\0');
    m_hasText = true;
    SetParsed(bytes, pos + 1);
    return pos + 1;
}

int QMultiElement::IndexOf(const QElement* child) const {
    auto it = std::find(m_children.begin(), m_children.end(), child);
    return it == m_children.end() ? -1 : static_cast<int>(it - m_children.begin());
}

QElement* QMultiElement::NextSibling(const QElement* child) const {
    if (!IsValid() || !child) return nullptr;
    int i = IndexOf(child);
    return (i >= 0 && i + 1 < GetCount()) ? m_children[static_cast<size_t>(i) + 1] : nullptr;
}

QElement* QMultiElement::PrevSibling(const QElement* child) const {
    if (!IsValid() || !child) return nullptr;
    auto it = std::find(m_children.rbegin(), m_children.rend(), child);
    if (it == m_children.rend() || std::next(it) == m_children.rend()) return nullptr;
    return *std::next(it);
}

QElement* QMultiElement::FindValue(const char* key, int key_length) const {
    if (!IsValid() || !key) return nullptr;
    if (key_length <= 0) key_length = ResolveLength(key, -1);
    const size_t n = m_children.size();
    for (size_t i = 0; i < n; ++i) {
        const QElement* child = m_children[i];
        if (!child->IsValid()) continue;
        std::string_view text = child->GetText();
        if (!child->IsContainer() && text.size() == static_cast<size_t>(key_length) &&
            std::memcmp(text.data(), key, text.size()) == 0) {
            // A key carrying an integer is its own value.
            if (child->HasInteger()) return m_children[i];
            if (i + 1 >= n) return nullptr;
            QElement* value = m_children[i + 1];
            // A following element with an integer is another key, not a value.
            return value->HasInteger() ? nullptr : value;
        }
        // A key without an integer is followed by its value: skip that too.
        if (!child->HasInteger()) ++i;
    }
    return nullptr;
}

QElement* QMultiElement::FindText(const char* text, int length) const {
    if (!IsValid() || !text) return nullptr;
    if (length <= 0) length = ResolveLength(text, -1);
    for (QElement* child : m_children) {
        if (!child->IsValid() || child->IsContainer()) continue;
        std::string_view t = child->GetText();
        if (t.size() == static_cast<size_t>(length) && EqualsIgnoringAsciiCase(t, text)) return child;
    }
    return nullptr;
}

QElement* QMultiElement::ChildAt(int index) const {
    if (!IsValid() || index < 0 || index >= GetCount()) return nullptr;
    return m_children[static_cast<size_t>(index)];
}

int QMultiElement::GetCount() const { return IsValid() ? static_cast<int>(m_children.size()) : 0; }

bool QMultiElement::Accepts(const QElement* element) const {
    if (!IsValid() || !element || element->GetEncodedLength() <= 0) return false;
    // Storing this container or one of its ancestors below it would make the
    // tree a cycle.
    for (const QElement* up = this; up; up = up->m_parent)
        if (up == element) return false;
    return true;
}

void QMultiElement::AddEncodedLength(int64_t delta) {
    for (QMultiElement* up = this; up; up = up->m_parent) {
        if (delta < 0 && -delta >= up->m_encodedLength) continue;
        up->m_encodedLength += delta;
    }
}

void QMultiElement::Store(int index, QElement* element) {
    if (element->m_parent) element->m_parent->Detach(element);
    index = std::clamp(index, 0, static_cast<int>(m_children.size()));
    m_children.insert(m_children.begin() + index, element);
    element->m_parent = this;
    AddEncodedLength(element->GetEncodedLength());
}

bool QMultiElement::Append(QElement* element) {
    if (!Accepts(element)) return false;
    Store(static_cast<int>(m_children.size()), element);
    return true;
}

bool QMultiElement::InsertAt(int index, QElement* element) {
    if (!Accepts(element)) return false;
    Store(index, element);
    return true;
}

QIntegerElement* QMultiElement::InsertTextAt(int index, const char* text, int length, int64_t integer,
                                             bool has_integer) {
    if (!IsValid() || !text) return nullptr;
    length = ResolveLength(text, length);
    auto* leaf = new QIntegerElement();
    if (!leaf->Assign(std::string_view(text, static_cast<size_t>(length)), integer, has_integer) ||
        !Accepts(leaf)) {
        delete leaf;
        return nullptr;
    }
    Store(index, leaf);
    return leaf;
}

QIntegerElement* QMultiElement::AppendText(const char* text, int length, int64_t integer, bool has_integer) {
    return InsertTextAt(static_cast<int>(m_children.size()), text, length, integer, has_integer);
}

bool QMultiElement::Detach(QElement* child) {
    if (!child || child->m_parent != this) return false;
    int i = IndexOf(child);
    if (i < 0) return false;
    m_children.erase(m_children.begin() + i);
    child->m_parent = nullptr;
    AddEncodedLength(-child->GetEncodedLength());
    return true;
}

bool QMultiElement::Remove(QElement* child) {
    if (!Detach(child)) return false;
    delete child;
    return true;
}

QElement* QMultiElement::DetachAt(int index) {
    QElement* child = ChildAt(index);
    return Detach(child) ? child : nullptr;
}

bool QMultiElement::RemoveAt(int index) { return Remove(ChildAt(index)); }

void QMultiElement::RemoveAll() {
    if (!IsValid()) return;
    while (!m_children.empty()) {
        QElement* child = m_children.front();
        if (!Remove(child)) m_children.erase(m_children.begin());
    }
}

std::string QMultiElement::ToText(std::string_view separator) const {
    std::string result;
    if (!IsValid()) return result;
    for (const QElement* child : m_children) {
        if (!child) continue;
        std::string text = GetLocalText(child);
        if (result.empty()) {
            result = std::move(text);
        } else {
            result.append(separator);
            result.append(text);
        }
    }
    return result;
}

void QMultiElement::SetCodePage(int code_page) {
    for (QElement* child : m_children) child->SetCodePage(code_page);
}

}  // namespace engine
