#include "engine/pieces/TBitfield.h"

#include <cstring>

namespace engine {

void TBitfield::Resize(int64_t bit_count) {
    if (bit_count < 0) bit_count = 0;
    m_bit_count = bit_count;
    m_bytes.assign(static_cast<size_t>((bit_count + 7) / 8), 0);
}

bool TBitfield::Get(int64_t index) const {
    if (index < 0 || index >= m_bit_count) return false;
    return (m_bytes[static_cast<size_t>(index / 8)] & (0x80u >> (index % 8))) != 0;
}

bool TBitfield::Set(int64_t index, bool value) {
    if (index < 0 || index >= m_bit_count) return false;
    uint8_t& byte = m_bytes[static_cast<size_t>(index / 8)];
    uint8_t mask = static_cast<uint8_t>(0x80u >> (index % 8));
    uint8_t next = value ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
    bool changed = next != byte;
    byte = next;
    return changed;
}

void TBitfield::FillBytes(uint8_t value) { std::memset(m_bytes.data(), value, m_bytes.size()); }

int64_t TBitfield::CountSet() const {
    int64_t n = 0;
    for (int64_t i = 0; i < m_bit_count; ++i) n += Get(i) ? 1 : 0;
    return n;
}

bool TBitfield::Assign(const uint8_t* bytes, size_t length) {
    if (length != m_bytes.size()) return false;
    if (length) std::memcpy(m_bytes.data(), bytes, length);
    return true;
}

std::string TBitfield::ToString() const {
    std::string s;
    s.reserve(static_cast<size_t>(m_bit_count));
    for (int64_t i = 0; i < m_bit_count; ++i) s.push_back(Get(i) ? '1' : '0');
    return s;
}

}  // namespace engine
