#include "platform/Memory.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#define TIDEWELL_STREAMING_STORES 1
#endif

namespace platform {

namespace {

// Returns whether the stores went around the caches (and need a fence).
bool CopyStreaming(void* dst, const void* src, size_t length) {
    // memcpy must not see the null pointers an empty range may carry.
    if (length == 0) return false;
#ifdef TIDEWELL_STREAMING_STORES
    // Streaming stores need 16-byte aligned targets; whole 64-byte lines
    // keep the write-combining buffers full.
    auto* d = static_cast<uint8_t*>(dst);
    const auto* s = static_cast<const uint8_t*>(src);
    if ((reinterpret_cast<uintptr_t>(d) & 15) == 0 && length >= 64) {
        const size_t whole = length & ~static_cast<size_t>(63);
        for (size_t i = 0; i < whole; i += 64) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 16));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 32));
            const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 48));
            _mm_stream_si128(reinterpret_cast<__m128i*>(d + i), a);
            _mm_stream_si128(reinterpret_cast<__m128i*>(d + i + 16), b);
            _mm_stream_si128(reinterpret_cast<__m128i*>(d + i + 32), c);
            _mm_stream_si128(reinterpret_cast<__m128i*>(d + i + 48), e);
        }
        if (whole < length) std::memcpy(d + whole, s + whole, length - whole);
        return true;
    }
#endif
    std::memcpy(dst, src, length);
    return false;
}

}  // namespace

void CopyAroundCache(void* dst, const void* src, size_t length) {
    // Streaming stores are weakly ordered: fence them before the memory is
    // handed to another thread.
    if (CopyStreaming(dst, src, length)) FenceCopies();
}

void CopyAroundCacheUnfenced(void* dst, const void* src, size_t length) { CopyStreaming(dst, src, length); }

void FenceCopies() {
#ifdef TIDEWELL_STREAMING_STORES
    _mm_sfence();
#endif
}

}  // namespace platform
