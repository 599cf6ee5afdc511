#pragma once
// A socket's send or receive buffer: a growable byte block that is always
// NUL-terminated after its data (one byte beyond the capacity is allocated
// for that), with a hard cap so a peer can neither make us queue nor make us
// hold an unbounded amount.
//
// Growth leaves slack (the owner says how much) so steady traffic does not
// reallocate; Consume shrinks only when the block is far larger than what it
// still holds. Owner: one QTcpSocket. Thread: the socket's owner; no lock.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace engine {

class QSocketBuffer {
public:
    explicit QSocketBuffer(size_t cap_bytes) : m_cap(cap_bytes) {}

    const uint8_t* Data() const { return m_data ? m_data.get() : Empty(); }
    uint8_t* WritePosition() { return m_data.get() + m_count; }
    size_t Count() const { return m_count; }
    size_t Capacity() const { return m_capacity; }
    size_t Free() const { return m_capacity - m_count; }
    size_t Cap() const { return m_cap; }
    void SetCap(size_t cap_bytes) { m_cap = cap_bytes; }

    // Makes room for `more` bytes, growing to capacity + more + slack (never
    // beyond the cap). False when even the cap leaves no room for all of them;
    // the buffer may still have grown towards the cap.
    bool Reserve(size_t more, size_t slack);
    // Appends all `length` bytes or nothing.
    bool Append(const uint8_t* data, size_t length, size_t slack);
    // Counts `length` bytes written at WritePosition() as held.
    void Commit(size_t length);
    // Drops `count` bytes from the front (all of them when negative). With
    // `keep` the block stays as it is; otherwise an emptied block is freed
    // and a nearly empty large one shrinks.
    void Consume(int64_t count, bool keep);
    // Frees the block.
    void Release();

private:
    static const uint8_t* Empty();
    void Reallocate(size_t capacity);
    void Terminate();

    std::unique_ptr<uint8_t[]> m_data;
    size_t m_count = 0;
    size_t m_capacity = 0;
    size_t m_cap;
};

}  // namespace engine
