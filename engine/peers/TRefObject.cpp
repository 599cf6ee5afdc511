#include "engine/peers/TRefObject.h"

namespace engine {

TRefObject* TRefObject::AddRef() {
    ++m_refs;
    return this;
}

int32_t TRefObject::Release(TRefObject* object) {
    if (!object) return 0;
    int32_t left = --object->m_refs;
    if (left <= 0) {
        delete object;
        return 0;
    }
    return left;
}

}  // namespace engine
