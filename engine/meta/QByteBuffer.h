#pragma once
// QByteBuffer: the engine's growable byte buffer, always followed by one NUL
// byte that is not counted, so its contents can be handed to code that scans
// for a terminator (the bencode reader) without copying.
//
// Owner: whoever builds output (bencode writer, task-information files).
// Thread: one at a time; no lock.
//
// Growth: an append that does not fit grows the capacity by the appended
// length plus 2048 bytes when that length is below 2048 (many small appends
// then share one reallocation), else by the appended length alone. Every
// buffer has a cap; an append or reservation beyond it fails and leaves the
// contents unchanged.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace engine {

class QByteBuffer {
public:
    // 1 GiB: lengths inside the engine's formats are 32-bit signed, and no
    // bencoded structure it writes comes anywhere near this.
    static constexpr size_t DefaultCapBytes = size_t{1} << 30;
    // Small appends grow the buffer by this much extra.
    static constexpr size_t GrowthSlackBytes = 2048;

    explicit QByteBuffer(size_t cap_bytes = DefaultCapBytes);

    bool Append(const void* bytes, size_t length);
    bool Append(std::string_view text) { return Append(text.data(), text.size()); }
    bool AppendByte(char byte) { return Append(&byte, 1); }

    // Makes the capacity at least `capacity_bytes` (never shrinks).
    bool Reserve(size_t capacity_bytes);
    void Clear() { m_length = 0; m_bytes[0] = '\0'; }

    const char* Data() const { return m_bytes.data(); }
    size_t Length() const { return m_length; }
    size_t Capacity() const { return m_bytes.size() - 1; }
    size_t FreeSpace() const { return Capacity() - m_length; }
    size_t CapBytes() const { return m_capBytes; }
    std::string_view View() const { return {m_bytes.data(), m_length}; }

private:
    // Capacity + 1 bytes; the byte after the contents is always NUL.
    std::vector<char> m_bytes;
    size_t m_length = 0;
    size_t m_capBytes;
};

}  // namespace engine
