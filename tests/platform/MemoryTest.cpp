#include "platform/Memory.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Every split of the fast path (aligned whole lines, a tail, unaligned or
// short targets) copies exactly the bytes asked for and nothing around them.
TEST(CopyAroundCache, CopiesExactlyTheRangeWhateverItsAlignmentAndLength) {
    struct Case {
        size_t dst_offset;
        size_t src_offset;
        size_t length;
    };
    const Case cases[] = {{0, 0, 16384}, {0, 3, 16384}, {0, 0, 16384 + 17}, {0, 0, 63},
                          {8, 0, 16384}, {16, 1, 100},   {0, 0, 1},         {0, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.dst_offset << "/" << c.src_offset << "/" << c.length);
        std::vector<unsigned char> src(c.src_offset + c.length);
        for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 131 + 7);
        alignas(64) static unsigned char dst[16384 + 256];
        std::fill(std::begin(dst), std::end(dst), 0xee);
        platform::CopyAroundCache(dst + c.dst_offset, src.data() + c.src_offset, c.length);
        for (size_t i = 0; i < sizeof dst; ++i) {
            const bool inside = i >= c.dst_offset && i < c.dst_offset + c.length;
            const unsigned char want = inside ? src[c.src_offset + i - c.dst_offset] : 0xee;
            ASSERT_EQ(dst[i], want) << "byte " << i;
        }
    }
}

}  // namespace
