#include "app/FileDigest.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"

namespace {

using testing_support::Sandbox;

TEST(Md5OfFile, MatchesReferenceDigests) {
    struct Case {
        const char* name;
        std::string content;
        const char* md5;
    };
    // RFC 1321, appendix A.5.
    const std::array<Case, 5> cases{{
        {.name = "empty", .content = "", .md5 = "d41d8cd98f00b204e9800998ecf8427e"},
        {.name = "abc", .content = "abc", .md5 = "900150983cd24fb0d6963f7d28e17f72"},
        {.name = "message digest", .content = "message digest", .md5 = "f96b697d7cb7938d525a2f31aaf161d0"},
        {.name = "alphabet", .content = "abcdefghijklmnopqrstuvwxyz", .md5 = "c3fcd3d76192e4007dfb496cca67e13b"},
        {.name = "digits",
         .content = "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         .md5 = "57edf4a22be3c955ac49da2e2107b67a"},
    }};
    Sandbox box;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(app::Md5OfFile(box.Write("f", c.content)), c.md5);
    }
}

TEST(Md5OfFile, FileOfManyReadsMatchesMd5sum) {
    Sandbox box;
    std::string content;
    for (uint32_t i = 0; content.size() < 3 * 1048576 + 5; ++i) content += std::to_string(i * 2654435761u) + ",";
    std::string path = box.Write("big", content);
    testing_support::ProgramResult reference = testing_support::RunProgram({"md5sum", path});
    ASSERT_EQ(reference.exit_code, 0) << reference.output;

    std::vector<uint32_t> progress;
    std::string digest = app::Md5OfFile(path, [&](uint32_t p) {
        progress.push_back(p);
        return true;
    });
    EXPECT_EQ(digest, reference.output.substr(0, 32));
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), app::DigestProgressAfter(content.size(), content.size()));
}

TEST(Md5OfFile, UnreadableOrAbandonedGivesEmptyText) {
    Sandbox box;
    EXPECT_EQ(app::Md5OfFile(box.File("missing")), "");
    EXPECT_EQ(app::Md5OfFile(box.Path().string()), "");  // a folder
    std::string path = box.Write("f", std::string(3 * 1048576, 'x'));
    int calls = 0;
    EXPECT_EQ(app::Md5OfFile(path, [&](uint32_t) { return ++calls < 2; }), "");
    EXPECT_EQ(calls, 2);
}

TEST(DigestProgressAfter, CountsStartedUnitsAgainstWholeUnits) {
    struct Case {
        uint64_t read;
        uint64_t size;
        uint32_t progress;
    };
    const std::array<Case, 7> cases{{
        {.read = 4096, .size = 10000, .progress = 5000},   // 1 of 2 whole units
        {.read = 8192, .size = 10000, .progress = 10000},
        {.read = 10000, .size = 10000, .progress = 15000},  // the partial third unit counts too
        {.read = 4095, .size = 4095, .progress = 0},        // under one unit: always 0
        {.read = 0, .size = 0, .progress = 0},
        {.read = 4096, .size = 3 * 4096, .progress = 3333},  // truncated toward zero
        {.read = 2147483648ull, .size = 2147483648ull, .progress = 10000},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.read) + " of " + std::to_string(c.size));
        EXPECT_EQ(app::DigestProgressAfter(c.read, c.size), c.progress);
    }
}

}  // namespace
