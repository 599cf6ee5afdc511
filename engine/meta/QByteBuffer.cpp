#include "engine/meta/QByteBuffer.h"

#include <cstring>

namespace engine {

QByteBuffer::QByteBuffer(size_t cap_bytes) : m_bytes(1, '\0'), m_capBytes(cap_bytes) {}

bool QByteBuffer::Reserve(size_t capacity_bytes) {
    if (capacity_bytes <= Capacity()) return true;
    if (capacity_bytes > m_capBytes) return false;
    m_bytes.resize(capacity_bytes + 1, '\0');
    return true;
}

bool QByteBuffer::Append(const void* bytes, size_t length) {
    if (length == 0) return true;
    if (!bytes) return false;
    if (length > m_capBytes - m_length) return false;
    if (length > FreeSpace()) {
        size_t grow = length < GrowthSlackBytes ? length + GrowthSlackBytes : length;
        size_t wanted = Capacity() + grow;
        if (wanted > m_capBytes) wanted = m_capBytes;
        if (!Reserve(wanted)) return false;
    }
    std::memcpy(m_bytes.data() + m_length, bytes, length);
    m_length += length;
    m_bytes[m_length] = '\0';
    return true;
}

}  // namespace engine
