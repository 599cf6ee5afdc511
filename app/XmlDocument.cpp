#include "app/XmlDocument.h"

#include <tinyxml2.h>

namespace app {

namespace {

const tinyxml2::XMLElement* Element(const void* p) { return static_cast<const tinyxml2::XMLElement*>(p); }

}  // namespace

struct XmlDocument::Impl {
    tinyxml2::XMLDocument doc;
};

XmlDocument::XmlDocument() : m_impl(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;

bool XmlDocument::Parse(std::string_view text) {
    // tinyxml2 bounds the element depth itself (TINYXML2_MAX_ELEMENT_DEPTH).
    if (m_impl->doc.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS) return true;
    m_impl->doc.Clear();
    return false;
}

XmlNode XmlDocument::Root() const { return XmlNode(m_impl->doc.FirstChildElement()); }

std::string XmlNode::Name() const {
    if (!m_element) return {};
    const char* name = Element(m_element)->Name();
    return name ? name : "";
}

std::string XmlNode::Text() const {
    if (!m_element) return {};
    const char* text = Element(m_element)->GetText();
    return text ? text : "";
}

std::optional<std::string> XmlNode::Attribute(const char* name) const {
    if (!m_element) return std::nullopt;
    const char* value = Element(m_element)->Attribute(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

bool XmlNode::BoolAttribute(const char* name, bool fallback) const {
    if (!m_element) return fallback;
    return Element(m_element)->BoolAttribute(name, fallback);
}

XmlNode XmlNode::FirstChildElement() const {
    return m_element ? XmlNode(Element(m_element)->FirstChildElement()) : XmlNode();
}

XmlNode XmlNode::FirstChildElement(const char* name) const {
    return m_element ? XmlNode(Element(m_element)->FirstChildElement(name)) : XmlNode();
}

XmlNode XmlNode::NextSiblingElement() const {
    return m_element ? XmlNode(Element(m_element)->NextSiblingElement()) : XmlNode();
}

}  // namespace app
