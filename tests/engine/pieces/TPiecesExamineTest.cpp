// Start-up examination: full recheck, quick verification and migration from
// a layout with another piece length.

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/pieces/TPieces.h"
#include "platform/File.h"
#include "tests/engine/pieces/PiecesTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::TPieces;
using pieces_test::MakeData;
using pieces_test::MakeLayout;
using pieces_test::RecordingOwner;
using testing_support::Sandbox;

TEST(TPiecesRecheck, OneCorruptByteInA100MiBFileRefetchesOnlyItsPiece) {
    constexpr int64_t L = 262144;
    constexpr int64_t Size = 100LL * 1024 * 1024;
    Sandbox box;
    RecordingOwner owner;
    const std::string data = MakeData(static_cast<size_t>(Size), 11);
    auto layout = MakeLayout(box.Path().string(), {Size}, L, data);
    std::string on_disk = data;
    const int64_t corrupt_at = 50LL * 1024 * 1024 + 123;
    on_disk[static_cast<size_t>(corrupt_at)] ^= 0x40;
    box.Write("pkg/f0", on_disk);

    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromLayout(layout, nullptr));
    const int64_t bad = corrupt_at / L;
    std::string expected(400, '1');
    expected[static_cast<size_t>(bad)] = '0';
    EXPECT_EQ(pieces.Bitfield().ToString(), expected);
    EXPECT_EQ(pieces.CompletedBytes(), Size - L);
    EXPECT_EQ(pieces.DoneOrSkipped(), 399);
    EXPECT_EQ(pieces.ScannedBytes(), Size);
    EXPECT_TRUE(pieces.IsPieceWanted(bad));
    EXPECT_FALSE(pieces.File(0)->m_temp_name) << "an existing file is examined and written in place";
}

struct PresentCase {
    const char* name;
    int64_t keep_middle;  // bytes of the middle file left on disk; -1 deletes it
};

// Independent expectation: a piece is done exactly when all of its bytes lie
// in ranges that are present on disk.
TEST(TPiecesRecheck, ShortAndMissingFilesLeaveExactlyTheirPiecesUndone) {
    constexpr int64_t L = 16384;
    const std::vector<int64_t> sizes{40000, 50000, 30000};
    const std::array<PresentCase, 3> cases{{
        {.name = "short middle file", .keep_middle = 20000},
        {.name = "missing middle file", .keep_middle = -1},
        {.name = "complete", .keep_middle = 50000},
    }};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        RecordingOwner owner;
        const std::string data = MakeData(120000, 12);
        auto layout = MakeLayout(box.Path().string(), sizes, L, data);
        box.Write("pkg/f0", data.substr(0, 40000));
        if (c.keep_middle >= 0) box.Write("pkg/f1", data.substr(40000, static_cast<size_t>(c.keep_middle)));
        box.Write("pkg/f2", data.substr(90000));
        const int64_t present_end = 40000 + std::max<int64_t>(c.keep_middle, 0);

        TPieces pieces(&owner);
        ASSERT_TRUE(pieces.BuildFromLayout(layout, nullptr));
        std::string expected;
        for (int64_t p = 0; p < pieces.PieceCount(); ++p) {
            const int64_t begin = p * L;
            const int64_t end = std::min<int64_t>(begin + L, 120000);
            const bool inside = present_end == 90000 || end <= present_end || begin >= 90000;
            expected.push_back(inside ? '1' : '0');
        }
        EXPECT_EQ(pieces.Bitfield().ToString(), expected);
        EXPECT_EQ(pieces.ScannedBytes(), 120000);
    }
}

TEST(TPiecesQuickVerification, AllFilesAtTheirSizesAreAcceptedWithoutHashing) {
    constexpr int64_t L = 16384;
    Sandbox box;
    RecordingOwner owner;
    const std::string data = MakeData(100000, 13);
    auto layout = MakeLayout(box.Path().string(), {60000, 40000}, L, data);
    // Wrong bytes of the right sizes: quick verification does not hash.
    box.Write("pkg/f0", std::string(60000, 'a'));
    box.Write("pkg/f1", std::string(40000, 'b'));
    TPieces pieces(&owner);
    pieces.SetQuickVerification(true);
    ASSERT_TRUE(pieces.BuildFromLayout(layout, nullptr));
    EXPECT_TRUE(pieces.IsAllDone());
    EXPECT_EQ(pieces.CompletedBytes(), 100000);
    EXPECT_EQ(owner.Count(engine::PiecesEventCode::QuickVerified), 1);
}

TEST(TPiecesQuickVerification, AMissingFileMarksNothingAndFailsTheBuild) {
    constexpr int64_t L = 16384;
    Sandbox box;
    RecordingOwner owner;
    const std::string data = MakeData(100000, 14);
    auto layout = MakeLayout(box.Path().string(), {60000, 40000}, L, data);
    box.Write("pkg/f0", data.substr(0, 60000));
    TPieces pieces(&owner);
    pieces.SetQuickVerification(true);
    EXPECT_FALSE(pieces.BuildFromLayout(layout, nullptr));
    EXPECT_EQ(pieces.Bitfield().CountSet(), 0);
    EXPECT_EQ(pieces.CompletedBytes(), 0);
    EXPECT_EQ(owner.Count(engine::PiecesEventCode::QuickVerified), 0);
}

TEST(TPiecesMigration, PiecesOfTheOldLayoutCarryOverToANewPieceLength) {
    Sandbox box;
    RecordingOwner owner;
    const std::vector<int64_t> sizes{70000, 50000};
    const std::string data = MakeData(120000, 15);
    TPieces old_map(&owner);
    ASSERT_TRUE(old_map.BuildFromLayout(MakeLayout(box.Path().string(), sizes, 16384, data), nullptr));
    // Old pieces 0..3 done: new (32 KiB) pieces 0 and 1 are covered in full.
    for (int64_t p = 0; p < 4; ++p) {
        ASSERT_EQ(old_map
                      .WritePieceRange(p, reinterpret_cast<const uint8_t*>(data.data()) + p * 16384, 16384, 0, false)
                      .outcome,
                  engine::BlockOutcome::PieceVerified);
    }
    old_map.CloseFiles(true, false);

    TPieces new_map(&owner);
    ASSERT_TRUE(new_map.BuildFromLayout(MakeLayout(box.Path().string(), sizes, 32768, data), &old_map));
    EXPECT_EQ(new_map.Bitfield().ToString(), "1100");
    EXPECT_EQ(new_map.File(0)->m_path, old_map.File(0)->m_path) << "the file keeps its name";
    EXPECT_EQ(old_map.TotalLength(), 0) << "the old map gives up its counters";
}

}  // namespace
