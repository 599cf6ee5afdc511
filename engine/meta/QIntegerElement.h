#pragma once
// QIntegerElement: the tree's only leaf, a byte string that may carry the
// integer that followed it in the input ("6:lengthi42e" is one leaf).
// Owner: its container (or the caller of ParseElement). Thread: the tree's.

#include "engine/meta/QElement.h"

namespace engine {

class QIntegerElement final : public QElement {
public:
    QIntegerElement() : QElement(ElementType::Integer) {}
    ~QIntegerElement() override = default;

    ElementType GetType() const override { return ElementType::Integer; }

    // Makes this a valid leaf holding `text` (and the integer when
    // `has_integer` is set or `integer` is nonzero). False, leaving the leaf
    // invalid, for an empty text with an integer (it could not be written).
    bool Assign(std::string_view text, int64_t integer, bool has_integer);

    // Bytes of the canonical form: "<len>:<text>" plus "i<integer>e" when an
    // integer is carried.
    static int64_t CanonicalLength(int64_t text_length, int64_t integer, bool has_integer);

protected:
    int64_t ParseIn(const char* bytes, int64_t length, ParseState& state) override;
};

}  // namespace engine
