#pragma once
// QMultiElement: the abstract container of the element tree; the ordered
// children of a dictionary or a list. Dictionaries are parsed exactly like
// lists: no check that keys are texts, sorted, unique or paired. Pairing is
// done by FindValue: a child carrying an integer is a key whose value is that
// integer; any other child is a key followed by its value.
//
// Owner: the container owns every child whose parent it is. An element
// belongs to at most one container; appending an element that has a parent
// moves it. Thread: the tree's; no lock.
//
// A container is valid only after Parse (an empty one comes from parsing
// "de" or "le"); a container made by its constructor alone rejects lookups,
// appends and output.

#include <vector>

#include "engine/meta/QElement.h"

namespace engine {

class QMultiElement : public QElement {
public:
    ~QMultiElement() override;

    QElement* NextSibling(const QElement* child) const override;
    QElement* PrevSibling(const QElement* child) const override;
    QElement* FindValue(const char* key, int key_length = 0) const override;
    QElement* FindText(const char* text, int length = 0) const override;
    QElement* ChildAt(int index) const override;
    bool Append(QElement* element) override;
    QIntegerElement* AppendText(const char* text, int length, int64_t integer, bool has_integer) override;
    bool InsertAt(int index, QElement* element) override;
    QIntegerElement* InsertTextAt(int index, const char* text, int length, int64_t integer,
                                  bool has_integer) override;
    bool RemoveAt(int index) override;
    bool Remove(QElement* child) override;
    QElement* DetachAt(int index) override;
    bool Detach(QElement* child) override;
    void RemoveAll() override;
    int GetCount() const override;
    std::string ToText(std::string_view separator = {}) const override;
    void SetCodePage(int code_page) override;
    void Reset() override;

protected:
    explicit QMultiElement(ElementType base_kind) : QElement(base_kind) {}

    int64_t ParseIn(const char* bytes, int64_t length, ParseState& state) override;

private:
    bool Accepts(const QElement* element) const;
    void Store(int index, QElement* element);
    // Keeps the encoded length of this container and its ancestors in step
    // with the children (never below zero).
    void AddEncodedLength(int64_t delta);
    void DeleteChildren();
    int IndexOf(const QElement* child) const;

    std::vector<QElement*> m_children;
};

}  // namespace engine
