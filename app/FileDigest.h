#pragma once
// MD5 (RFC 1321) of a whole package file, read sequentially, with a progress
// figure in ten-thousandths for the verification display. Stateless; called
// on the verification thread and by benchmarks.

#include <cstdint>
#include <functional>
#include <string>

namespace app {

// The unit the progress counts in: the figure is "units read × 10000 /
// whole units in the file", so a file's trailing partial unit pushes the last
// figure a little above 10000 and a file smaller than one unit reports 0.
constexpr uint32_t DigestProgressUnit = 4096;

// Receives the progress after every read (ten-thousandths, as above);
// returning false abandons the computation (the program is closing).
using DigestProgress = std::function<bool(uint32_t progress)>;

// MD5 of the file at `path` as 32 lowercase hexadecimal characters; empty
// when the file cannot be opened or read to its end, or when abandoned.
std::string Md5OfFile(const std::string& path, const DigestProgress& progress = {});

// The progress figure after `bytes_read` bytes of a file of `file_size` bytes.
uint32_t DigestProgressAfter(uint64_t bytes_read, uint64_t file_size);

}  // namespace app
