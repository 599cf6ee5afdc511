#pragma once
// QDictionaryElement: a container written as "d"..."e". Its children are a
// flat sequence; see QMultiElement for how keys and values pair up.
// Owner and thread: as every element.

#include "engine/meta/QMultiElement.h"

namespace engine {

class QDictionaryElement final : public QMultiElement {
public:
    QDictionaryElement() : QMultiElement(ElementType::Dictionary) {}
    ~QDictionaryElement() override = default;
    ElementType GetType() const override { return ElementType::Dictionary; }
};

}  // namespace engine
