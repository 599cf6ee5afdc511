#include "engine/meta/QElement.h"

#include "engine/meta/QMultiElement.h"

namespace engine {

QElement::~QElement() { ResetFields(); }

int64_t QElement::Parse(const char* bytes, int64_t length, const ParseLimits& limits) {
    ParseState state;
    state.limits = limits;
    return ParseIn(bytes, length, state);
}

void QElement::ResetFields() {
    if (m_parent) m_parent->Detach(this);
    m_parent = nullptr;
    m_hasIntegerFlag = false;
    m_codePage = 0;
    m_source = nullptr;
    std::string().swap(m_text);
    m_hasText = false;
    m_kind = ElementType::None;
    m_integer = 0;
    m_encodedLength = 0;
}

void QElement::Reset() { ResetFields(); }

std::string_view QElement::GetText() const {
    if (!IsValid()) return {};
    return m_text;
}

bool QElement::IsContainer() const {
    return m_baseKind == ElementType::Multi || m_baseKind == ElementType::Dictionary ||
           m_baseKind == ElementType::List;
}

std::string QElement::ToText(std::string_view) const { return std::string(GetText()); }

void QElement::SetCodePage(int code_page) { m_codePage = code_page; }

QElement* QElement::NextSibling(const QElement*) const { return nullptr; }
QElement* QElement::PrevSibling(const QElement*) const { return nullptr; }
QElement* QElement::FindValue(const char*, int) const { return nullptr; }
QElement* QElement::FindText(const char*, int) const { return nullptr; }
QElement* QElement::ChildAt(int) const { return nullptr; }
bool QElement::Append(QElement*) { return false; }
QIntegerElement* QElement::AppendText(const char*, int, int64_t, bool) { return nullptr; }
bool QElement::InsertAt(int, QElement*) { return false; }
QIntegerElement* QElement::InsertTextAt(int, const char*, int, int64_t, bool) { return nullptr; }
bool QElement::RemoveAt(int) { return false; }
bool QElement::Remove(QElement*) { return false; }
QElement* QElement::DetachAt(int) { return nullptr; }
bool QElement::Detach(QElement*) { return false; }
void QElement::RemoveAll() {}
int QElement::GetCount() const { return 0; }

}  // namespace engine
