#pragma once
// A piece bitfield in BitTorrent order: piece i is bit 0x80 >> (i mod 8) of
// byte i / 8. Plain value; used by one thread (a task's work thread, or under
// the task's lock for the status copy).

#include <cstdint>
#include <string>
#include <vector>

namespace engine {

class TBitfield {
public:
    TBitfield() = default;
    explicit TBitfield(int64_t bit_count) { Resize(bit_count); }

    // ⌈bit_count / 8⌉ zero bytes.
    void Resize(int64_t bit_count);
    void Clear() { m_bytes.clear(); m_bit_count = 0; }
    int64_t BitCount() const { return m_bit_count; }
    size_t ByteCount() const { return m_bytes.size(); }
    bool Get(int64_t index) const;
    // Returns whether the bit changed; indices outside the field are ignored.
    bool Set(int64_t index, bool value);
    void FillBytes(uint8_t value);
    int64_t CountSet() const;
    // Replaces the bytes (the count must match ByteCount()).
    bool Assign(const uint8_t* bytes, size_t length);
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    // Picture string such as "1101", for logs and tests.
    std::string ToString() const;

private:
    std::vector<uint8_t> m_bytes;
    int64_t m_bit_count = 0;
};

}  // namespace engine
