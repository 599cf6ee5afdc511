#pragma once
// QListElement: a container written as "l"..."e".
// Owner and thread: as every element.

#include "engine/meta/QMultiElement.h"

namespace engine {

class QListElement final : public QMultiElement {
public:
    QListElement() : QMultiElement(ElementType::List) {}
    ~QListElement() override = default;
    ElementType GetType() const override { return ElementType::List; }
};

}  // namespace engine
