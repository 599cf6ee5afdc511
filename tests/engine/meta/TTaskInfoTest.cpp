#include "engine/meta/TTaskInfo.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/Sandbox.h"

namespace engine {
namespace {

using Blob = TTaskInfo::Blob;

TEST(TTaskInfoFile, SavesOnlyWhatChangedAndReadsItBack) {
    testing_support::Sandbox box;
    const std::string path = box.File("TWInfo/pkg.twinfo");
    std::filesystem::create_directories(box.Path() / "TWInfo");
    TTaskInfo info;
    EXPECT_TRUE(info.Save(path));
    EXPECT_FALSE(std::filesystem::exists(path)) << "nothing dirty, nothing written";
    info.Set(Blob::Bits, "d3:abce");
    info.Set(Blob::Seeds, "opaque\x01\x02");
    info.Set(Blob::Torrent, "d4:infodee");
    ASSERT_TRUE(info.Save(path));
    EXPECT_FALSE(info.AnyDirty());
    EXPECT_EQ(testing_support::Sandbox::Read(path), "d4:bits7:d3:abce5:seeds8:opaque\x01\x02" "7:torrent10:d4:infodeee");
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(box.Path() / "TWInfo"), {}), 1);

    TTaskInfo loaded;
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_EQ(loaded.Get(Blob::Bits), "d3:abce");
    EXPECT_EQ(loaded.Get(Blob::Seeds), "opaque\x01\x02");
    EXPECT_EQ(loaded.Get(Blob::Torrent), "d4:infodee");
    EXPECT_TRUE(loaded.Get(Blob::Part).empty());
}

TEST(TTaskInfoFile, ShortOrBrokenValuesLeaveTheBlobsAlone) {
    testing_support::Sandbox box;
    struct Case {
        const char* name;
        std::string file;
        std::string part_after;
    };
    const Case cases[] = {
        {"part of 2 bytes", "d4:part2:le4:bits3:xyze", "kept"},
        {"unparsable", "d4:part", "kept"},
        {"empty", "", "kept"},
        {"not a dictionary", "l4:part5:abcdee", "kept"},
        {"part of 3 bytes", "d4:part3:leee", "lee"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = box.Write("t.twinfo", c.file);
        TTaskInfo info;
        info.Set(Blob::Part, "kept");
        info.Load(path);
        EXPECT_EQ(info.Get(Blob::Part), c.part_after);
    }
}

TEST(TTaskInfoFile, AFailedWriteKeepsTheDirtyFlagsAndTheOldFile) {
    testing_support::Sandbox box;
    TTaskInfo info;
    info.Set(Blob::Bits, "d3:abce");
    EXPECT_FALSE(info.Save(""));
    EXPECT_FALSE(info.Save(box.File("missing-folder/t.twinfo")));
    EXPECT_TRUE(info.IsDirty(Blob::Bits));
    const std::string path = box.Write("t.twinfo", "d4:bits3:olde");
    EXPECT_EQ(testing_support::Sandbox::Read(path), "d4:bits3:olde");
    ASSERT_TRUE(info.Save(path));
    EXPECT_EQ(testing_support::Sandbox::Read(path), "d4:bits7:d3:abcee");
}

}  // namespace
}  // namespace engine
