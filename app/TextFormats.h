#pragma once
// The downloader's text formats for sizes, speeds and progress, and the copy
// of a text into a caller's buffer the window's getters use. Pure functions.

#include <cstddef>
#include <cstdint>
#include <string>

namespace app {

// One unit, one decimal, units of 1024: "" for 0, "%u B" below 1024, then
// "%0.1f KB", "MB", "GB", "TB".
std::string FormatSize(uint64_t bytes);
// Every unit spelled out, largest first: " 1 GB 512 MB 0 KB 7 B" style, each
// part " %llu <unit>" followed by the rest of the value formatted the same way.
std::string FormatMixedSize(uint64_t bytes);
// Bytes per second: "%u B/s" below 1024, "%0.1f KB/s", "MB/s", "GB/s", and
// "未知" from 3435973836 on.
std::string FormatSpeed(uint64_t bytes_per_second);
// Ten-thousandths: "0%", "12.34%", "12%".
std::string FormatProgress(uint32_t ten_thousandths);
// "%u.%02u%%": always two decimals ("12.00%").
std::string FormatPercentTwoDecimals(uint32_t ten_thousandths);

// Copies `text` with its NUL into buffer[0..size): the length when buffer is
// null, 0 when the buffer is smaller than length + 1, else the length.
int CopyTextToBuffer(const std::string& text, char* buffer, size_t size);

}  // namespace app
