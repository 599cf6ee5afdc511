#pragma once
// Memory copies with a cache policy.

#include <cstddef>

namespace platform {

// Copies `length` bytes into memory that this thread will not read again
// soon (another thread, or a later pass over much more data, will): the
// stores go around the processor's caches, so the destination's old
// contents are not fetched first and the caches keep what this thread
// still uses. Falls back to an ordinary copy where that cannot be done.
void CopyAroundCache(void* dst, const void* src, size_t length);

// As CopyAroundCache, for a run of copies between other work: the stores
// are not fenced, so they drain while that work goes on. FenceCopies must
// follow the last one before the memory is handed to another thread.
void CopyAroundCacheUnfenced(void* dst, const void* src, size_t length);
void FenceCopies();

}  // namespace platform
