#pragma once
// TRefObject: the reference-counted root of candidates (TPeerId), peer objects
// and the other task-owned records that several lists share. The count is 1
// after construction; Release destroys the object when it reaches 0.
//
// Owner: whoever holds a reference. Thread: the owning task's work thread
// only; the count is a plain integer, not atomic.

#include <cstdint>

namespace engine {

class TRefObject {
public:
    TRefObject() = default;
    virtual ~TRefObject() = default;
    // A copy is a new object with its own single reference.
    TRefObject(const TRefObject&) : m_refs(1) {}
    TRefObject& operator=(const TRefObject&) { return *this; }

    virtual TRefObject* AddRef();
    // The new count; 0 when the object was destroyed (or `object` is null).
    static int32_t Release(TRefObject* object);
    virtual int32_t GetRefCount() const { return m_refs; }

private:
    int32_t m_refs = 1;
};

}  // namespace engine
