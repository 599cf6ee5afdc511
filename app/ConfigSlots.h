#pragma once
// The package description compiled into the program: a block of 4096-byte
// configuration slots (see tools/slotgen.cpp for the layout) decoded once when
// the main window starts, before the download controller initialises.
// PackageConfig is a plain value: built on the UI thread, read by every thread
// afterwards without a lock because it never changes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace app {

// Bytes per slot; a decoded text never exceeds this either.
constexpr size_t SlotSize = 4096;
constexpr size_t SlotCount = 13;
constexpr int PackageFileCount = 4;
// Disk space kept free beyond the package itself.
constexpr uint64_t SpaceMarginBytes = 104857600;

// Standard base64 with the downloader's lenient rules: a length that is not a
// multiple of 4 gives the empty result; characters outside the alphabet count
// as 255 (their bits are still shifted in); '=' counts as 0 and, in the third
// or fourth place of a group, ends the output after one or two bytes of that
// group. Output longer than `capacity` bytes is refused: the result is empty
// and *refused (when given) is set.
std::string DecodeBase64(std::string_view text, size_t capacity, bool* refused = nullptr);

// A slot's text (its bytes up to the first NUL) decoded as above into a
// 4096-byte zeroed buffer; the result is the decoded C string.
std::string DecodeSlot(std::string_view slot_text);

struct PackageConfig {
    std::string resource_list_url;
    std::array<std::string, PackageFileCount> urls;
    std::array<std::string, PackageFileCount> names;
    std::array<std::string, PackageFileCount> md5;
    std::array<uint32_t, PackageFileCount> sizes{};

    // Decodes a whole slot block. A block shorter than SlotCount slots yields
    // what its slots hold; missing slots decode as empty.
    static PackageConfig FromSlotBlock(std::span<const unsigned char> block);

    // Names the work folder and the settings file: the MD5 of file 0.
    const std::string& PackageId() const { return md5[0]; }
    const std::string& InstallerName() const { return names[0]; }
    uint64_t PackageBytes() const;
    // Package bytes plus the 100 MiB margin, in 64 bits; 0 when the size
    // table is all zero (nothing to download: start-up refuses to go on).
    uint64_t RequiredSpace() const;
    // Weight of file i in the overall progress: its size in whole MiB.
    uint32_t WeightMiB(int i) const { return sizes[static_cast<size_t>(i)] >> 20; }
};

}  // namespace app
