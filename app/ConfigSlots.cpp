#include "app/ConfigSlots.h"

#include <algorithm>
#include <cstring>

namespace app {

namespace {

// The MD5 texts sit 16 bytes into slots 9 to 12; the first 16 bytes of slot 9
// hold the size table.
constexpr size_t Md5Offset = 16;
constexpr size_t SizeTableSlot = 9;

uint8_t Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return 0;
    return 255;
}

std::string_view SlotText(std::span<const unsigned char> block, size_t slot, size_t offset) {
    size_t begin = slot * SlotSize + offset;
    if (begin >= block.size()) return {};
    size_t end = std::min(block.size(), (slot + 1) * SlotSize);
    const char* text = reinterpret_cast<const char*>(block.data() + begin);
    return std::string_view(text, strnlen(text, end - begin));
}

}  // namespace

std::string DecodeBase64(std::string_view text, size_t capacity, bool* refused) {
    if (refused) *refused = false;
    std::string out;
    if (text.size() % 4 != 0) return out;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint8_t v[4];
        for (size_t k = 0; k < 4; ++k) v[k] = Base64Value(text[i + k]);
        // Shifts on 8-bit values on purpose: an out-of-alphabet 255 keeps all
        // its bits, exactly as the stored slots were produced and read before.
        uint8_t bytes[3] = {
            static_cast<uint8_t>((v[0] << 2) | (v[1] >> 4)),
            static_cast<uint8_t>((v[1] << 4) | (v[2] >> 2)),
            static_cast<uint8_t>((v[2] << 6) | v[3]),
        };
        size_t count = text[i + 2] == '=' ? 1 : text[i + 3] == '=' ? 2 : 3;
        if (out.size() + count > capacity) {
            if (refused) *refused = true;
            return {};
        }
        out.append(reinterpret_cast<const char*>(bytes), count);
        if (count < 3) break;
    }
    return out;
}

std::string DecodeSlot(std::string_view slot_text) {
    std::string_view text = slot_text.substr(0, std::min(slot_text.size(), SlotSize));
    text = text.substr(0, std::min(text.size(), text.find('\0')));
    std::string decoded = DecodeBase64(text, SlotSize);
    decoded.resize(strnlen(decoded.c_str(), decoded.size()));
    return decoded;
}

PackageConfig PackageConfig::FromSlotBlock(std::span<const unsigned char> block) {
    PackageConfig c;
    c.resource_list_url = DecodeSlot(SlotText(block, 0, 0));
    for (size_t i = 0; i < PackageFileCount; ++i) {
        c.urls[i] = DecodeSlot(SlotText(block, 1 + i, 0));
        c.names[i] = DecodeSlot(SlotText(block, 5 + i, 0));
        c.md5[i] = std::string(SlotText(block, SizeTableSlot + i, Md5Offset));
        size_t at = SizeTableSlot * SlotSize + i * 4;
        if (at + 4 <= block.size()) {
            // Little-endian uint32, whatever the host's byte order.
            c.sizes[i] = uint32_t(block[at]) | uint32_t(block[at + 1]) << 8 | uint32_t(block[at + 2]) << 16 |
                         uint32_t(block[at + 3]) << 24;
        }
    }
    return c;
}

uint64_t PackageConfig::PackageBytes() const {
    uint64_t total = 0;
    for (uint32_t size : sizes) total += size;
    return total;
}

uint64_t PackageConfig::RequiredSpace() const {
    uint64_t total = PackageBytes();
    return total == 0 ? 0 : total + SpaceMarginBytes;
}

}  // namespace app
