// The file object and the file entry's own rules: positions, read-only
// refusal, growth in both allocation modes and temporary names.

#include <gtest/gtest.h>

#include <array>

#include "engine/pieces/QDiskFile.h"
#include "engine/pieces/TFileEntry.h"
#include "platform/File.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::QDiskFile;
using engine::TFileEntry;
using testing_support::Sandbox;

TEST(QDiskFile, ReadsAndWritesAtOffsetsOrTheCurrentPosition) {
    Sandbox box;
    QDiskFile f;
    ASSERT_TRUE(f.Create(box.File("a")));
    EXPECT_EQ(f.Write("hello", 5, 10), 5);
    EXPECT_EQ(f.Write("!!", 2, -1), 2);  // continues at 15
    EXPECT_EQ(f.GetSize(), 17);
    char buf[8] = {};
    EXPECT_EQ(f.Read(buf, 7, 10), 7);
    EXPECT_EQ(std::string(buf, 7), "hello!!");
    EXPECT_EQ(f.Read(buf, 4, 100), 0);
    EXPECT_EQ(f.Read(buf, 4, -5), -3);
    f.Close();
    EXPECT_EQ(f.GetSize(), -1);
    EXPECT_EQ(f.Read(buf, 1, 0), -1);
}

TEST(QDiskFile, ReadOnlyFilesRefuseWritesAndGrowth) {
    Sandbox box;
    const std::string path = box.Write("a", "abc");
    QDiskFile f;
    EXPECT_FALSE(f.Open(box.File("missing"), true));
    ASSERT_TRUE(f.Open(path, true));
    EXPECT_TRUE(f.IsReadOnly());
    EXPECT_EQ(f.Write("x", 1, 0), -1);
    EXPECT_FALSE(f.SetLength(10));
    EXPECT_EQ(Sandbox::Read(path), "abc");
}

TEST(QDiskFile, GrowthReservesBlocksOnlyInPreallocationMode) {
    struct Case {
        const char* name;
        engine::DiskAllocationMode mode;
        bool reserved;
    };
    const std::array<Case, 2> cases{{
        {.name = "sparse", .mode = engine::DiskAllocationMode::Sparse, .reserved = false},
        {.name = "preallocate", .mode = engine::DiskAllocationMode::Preallocate, .reserved = true},
    }};
    Sandbox box;
    if (!platform::ProbeFallocate(box.Path().string())) GTEST_SKIP() << "no fallocate on this file system";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QDiskFile::SetAllocationMode(c.mode);
        QDiskFile f;
        const std::string path = box.File(c.name);
        ASSERT_TRUE(f.Open(path, false));
        ASSERT_TRUE(f.SetLength(4 << 20));
        EXPECT_EQ(f.GetSize(), 4 << 20);
        EXPECT_EQ(platform::AllocatedSize(path) >= (4 << 20), c.reserved);
        ASSERT_TRUE(f.SetLength(100));
        EXPECT_EQ(f.GetSize(), 100);
    }
    QDiskFile::SetAllocationMode(engine::DiskAllocationMode::Sparse);
}

TEST(TFileEntry, NewFilesTakeTheTemporaryNameExistingOnesKeepTheirs) {
    Sandbox box;
    TFileEntry fresh;
    fresh.m_path = box.File("new.bin");
    fresh.ApplyTempName();
    EXPECT_TRUE(fresh.m_temp_name);
    EXPECT_EQ(fresh.m_path, box.File("new.bin.twtmp"));
    EXPECT_EQ(fresh.m_final_path, box.File("new.bin"));
    fresh.ApplyTempName();  // applied once only
    EXPECT_EQ(fresh.m_path, box.File("new.bin.twtmp"));

    TFileEntry existing;
    existing.m_path = box.Write("old.bin", "x");
    existing.ApplyTempName();
    EXPECT_FALSE(existing.m_temp_name);
    EXPECT_EQ(existing.m_path, box.File("old.bin"));

    EXPECT_FALSE(fresh.FinishTempName()) << "no temporary file yet";
    box.Write("new.bin.twtmp", "data");
    EXPECT_TRUE(fresh.FinishTempName());
    EXPECT_FALSE(fresh.m_temp_name);
    EXPECT_EQ(fresh.m_path, box.File("new.bin"));
    EXPECT_TRUE(fresh.m_final_path.empty());
    EXPECT_EQ(Sandbox::Read(box.File("new.bin")), "data");
}

}  // namespace
