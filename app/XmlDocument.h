#pragma once
// The one wrapper around tinyxml2: its header stays in XmlDocument.cpp.
// XmlDocument owns a parsed tree; XmlNode is a cheap read-only handle to one
// of its elements, valid while the document lives. One thread per document.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace app {

class XmlNode {
public:
    XmlNode() = default;

    bool Valid() const { return m_element != nullptr; }
    // Empty for an invalid node.
    std::string Name() const;
    // The element's first text child, or empty.
    std::string Text() const;
    // nullopt when the attribute is absent.
    std::optional<std::string> Attribute(const char* name) const;
    // tinyxml2's boolean reading ("true"/"false", "1"/"0"); `fallback` when
    // the attribute is absent or not a boolean.
    bool BoolAttribute(const char* name, bool fallback) const;

    XmlNode FirstChildElement() const;
    XmlNode FirstChildElement(const char* name) const;
    XmlNode NextSiblingElement() const;

private:
    friend class XmlDocument;
    explicit XmlNode(const void* element) : m_element(element) {}
    const void* m_element = nullptr;
};

class XmlDocument {
public:
    XmlDocument();
    ~XmlDocument();
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    // False (and an empty tree) when the text is not well-formed XML.
    bool Parse(std::string_view text);
    // The document's first element.
    XmlNode Root() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace app
