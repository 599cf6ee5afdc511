#include "engine/net/QSocketBuffer.h"

#include <algorithm>
#include <cstring>

namespace engine {
namespace {

// Shrink rules. A block of at least 4097 bytes that is six times larger than
// its content drops to the content plus 1 KiB (or to 1 KiB); one with more
// than about 2 MiB spare for at most about 20 MiB of content drops to the
// content plus a tenth. Between these, the rest only moves to the front.
constexpr size_t ShrinkMinCapacity = 4097;
constexpr size_t ShrinkRatio = 6;
constexpr size_t SmallBlock = 1024;
constexpr size_t LargeSpare = 2101249;
constexpr size_t LargeContentLimit = 21012479;

}  // namespace

const uint8_t* QSocketBuffer::Empty() {
    static const uint8_t terminator = 0;
    return &terminator;
}

void QSocketBuffer::Reallocate(size_t capacity) {
    auto block = std::make_unique<uint8_t[]>(capacity + 1);
    if (m_count > 0) std::memcpy(block.get(), m_data.get(), m_count);
    m_data = std::move(block);
    m_capacity = capacity;
    Terminate();
}

void QSocketBuffer::Terminate() {
    if (m_data) m_data[m_count] = 0;
}

bool QSocketBuffer::Reserve(size_t more, size_t slack) {
    if (Free() >= more) return true;
    if (m_capacity >= m_cap) return false;
    const size_t wanted = m_capacity + more + slack;
    Reallocate(std::min(wanted, m_cap));
    return Free() >= more;
}

bool QSocketBuffer::Append(const uint8_t* data, size_t length, size_t slack) {
    if (length == 0) return true;
    if (m_count + length > m_cap || !Reserve(length, slack)) return false;
    std::memcpy(WritePosition(), data, length);
    Commit(length);
    return true;
}

void QSocketBuffer::Commit(size_t length) {
    m_count += std::min(length, Free());
    Terminate();
}

void QSocketBuffer::Consume(int64_t count, bool keep) {
    const size_t removed = count < 0 ? m_count : std::min(static_cast<size_t>(count), m_count);
    const size_t left = m_count - removed;
    if (removed > 0 && left > 0) std::memmove(m_data.get(), m_data.get() + removed, left);
    m_count = left;
    if (keep) {
        Terminate();
        return;
    }
    if (left == 0) {
        Release();
        return;
    }
    const size_t c = left;
    const size_t d = m_capacity;
    if (d >= ShrinkMinCapacity && d / c >= ShrinkRatio) {
        Reallocate(c >= SmallBlock ? c + SmallBlock : SmallBlock);
    } else if (d - c >= LargeSpare && c <= LargeContentLimit) {
        Reallocate(c + c / 10);
    } else {
        Terminate();
    }
}

void QSocketBuffer::Release() {
    m_data.reset();
    m_count = 0;
    m_capacity = 0;
}

}  // namespace engine
