#pragma once
// QElement: one node of the engine's bencode element tree, the only reader and
// writer of bencoded data in the engine (torrents, resume blobs, tracker
// replies).
//
// The engine's dialect differs from plain bencoding in one point: an integer
// is never an element of its own. It must directly follow a byte string and is
// stored in that string's element, so "6:lengthi42e" is ONE element (text
// "length", integer 42). Dictionaries are flat sequences of such elements;
// key/value pairing happens at lookup time (FindValue).
//
//   QElement                 abstract: text, optional integer, tree links
//   ├── QIntegerElement      kind 2: a byte string with an optional integer
//   └── QMultiElement        kind 1: abstract container, owns its children
//       ├── QDictionaryElement  kind 3, written d...e
//       └── QListElement        kind 4, written l...e
//
// Owner: a container owns its children; the caller of ParseElement owns the
// root. Deleting an element unlinks it from its parent and deletes its
// subtree. Thread: a tree is used by one thread at a time; no lock.

#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

class QMultiElement;
class QIntegerElement;

enum class ElementType : int32_t {
    None = 0,        // not parsed or created (invalid)
    Multi = 1,       // abstract container
    Integer = 2,     // byte string leaf, optionally carrying an integer
    Dictionary = 3,
    List = 4,
};

// Results of Parse below 1.
enum ParseError : int64_t {
    ParseNothing = 0,         // null buffer, too short, NUL or no element at the start
    ParseMalformed = -1,      // missing ':', missing 'e', unexpected byte
    ParseTooLong = -3,        // negative or oversized text length, text past the end
    ParseLimitExceeded = -4,  // nesting deeper or more elements than allowed
};

// Bytes from files and the network are bounded: a nesting depth beyond this
// (real metainfo needs 4 levels, resume blobs and tracker replies fewer)
// or more elements than this in one tree fails the parse instead of
// exhausting the stack or memory. 2 million elements cover a torrent of
// several hundred thousand files.
struct ParseLimits {
    int max_depth = 100;
    int64_t max_elements = 2'000'000;
};

class QElement {
public:
    QElement(const QElement&) = delete;
    QElement& operator=(const QElement&) = delete;
    // Resets the element: unlinks it from its parent, deletes its children.
    virtual ~QElement();

    // Parses this element from `bytes` (at most `length` bytes are read).
    // Returns the number of bytes consumed, or a ParseError (< 1). A failed
    // parse leaves the element reset, never holding a partial tree.
    int64_t Parse(const char* bytes, int64_t length, const ParseLimits& limits = {});

    virtual ElementType GetType() const = 0;

    // Container operations; a leaf answers them neutrally (null, 0, false).
    virtual QElement* NextSibling(const QElement* child) const;
    virtual QElement* PrevSibling(const QElement* child) const;
    // Dictionary lookup: exact key, pair-aware (see QMultiElement).
    virtual QElement* FindValue(const char* key, int key_length = 0) const;
    // First child whose text equals `text` ignoring ASCII case.
    virtual QElement* FindText(const char* text, int length = 0) const;
    virtual QElement* ChildAt(int index) const;
    // Takes ownership of `element` on success; on failure the caller keeps it.
    virtual bool Append(QElement* element);
    virtual QIntegerElement* AppendText(const char* text, int length, int64_t integer, bool has_integer);
    virtual bool InsertAt(int index, QElement* element);
    virtual QIntegerElement* InsertTextAt(int index, const char* text, int length, int64_t integer,
                                          bool has_integer);
    virtual bool RemoveAt(int index);
    virtual bool Remove(QElement* child);
    // Unlinks without deleting; the caller then owns the child.
    virtual QElement* DetachAt(int index);
    virtual bool Detach(QElement* child);
    virtual void RemoveAll();
    virtual int GetCount() const;

    // Leaf: its raw text. Container: the children's local texts joined by
    // `separator`.
    virtual std::string ToText(std::string_view separator = {}) const;
    // Leaf: its own code page. Container: every descendant's, not its own.
    virtual void SetCodePage(int code_page);
    // Back to the unparsed state (the base kind stays).
    virtual void Reset();

    bool IsValid() const { return m_kind != ElementType::None && m_hasText; }
    // Raw bytes (followed by a NUL not counted); empty when invalid.
    std::string_view GetText() const;
    int GetTextLength() const { return IsValid() ? static_cast<int>(m_text.size()) : -1; }
    int64_t GetInteger() const { return IsValid() ? m_integer : 0; }
    // Valid, and the integer flag is set or the integer is nonzero.
    bool HasInteger() const { return IsValid() && (m_hasIntegerFlag || m_integer != 0); }
    // First byte of the element inside the buffer it was parsed from; null for
    // created elements. Only meaningful while that buffer is alive.
    const char* GetSource() const { return IsValid() ? m_source : nullptr; }
    // Bytes of the element's bencoded form: after parsing, the bytes consumed.
    int64_t GetEncodedLength() const { return m_encodedLength; }
    int GetCodePage() const { return m_codePage; }
    QMultiElement* GetParent() const { return m_parent; }
    ElementType GetKind() const { return m_kind; }
    bool IsContainer() const;

protected:
    struct ParseState {
        ParseLimits limits;
        int depth = 0;
        int64_t elements = 0;
    };

    explicit QElement(ElementType base_kind) : m_baseKind(base_kind) {}

    virtual int64_t ParseIn(const char* bytes, int64_t length, ParseState& state) = 0;
    // Called by a container parsing its children.
    static int64_t ParseChild(QElement* child, const char* bytes, int64_t length, ParseState& state) {
        return child->ParseIn(bytes, length, state);
    }

    // Unlinks from the parent and clears every field except the base kind.
    void ResetFields();
    void SetParsed(const char* source, int64_t encoded_length) {
        m_kind = m_baseKind;
        m_source = source;
        m_encodedLength = encoded_length;
    }

    bool m_hasIntegerFlag = false;
    int m_codePage = 0;
    const char* m_source = nullptr;
    std::string m_text;
    bool m_hasText = false;
    const ElementType m_baseKind;
    ElementType m_kind = ElementType::None;
    int64_t m_integer = 0;
    int64_t m_encodedLength = 0;
    QMultiElement* m_parent = nullptr;

    friend class QMultiElement;
};

}  // namespace engine
