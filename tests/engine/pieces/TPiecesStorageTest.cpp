// Storage: bytes land at the right offsets of the right files, temporary
// names, truncation and the fault events of unusable files.

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "engine/pieces/TDiskLockHolder.h"
#include "engine/pieces/TPieceScheduler.h"
#include "engine/pieces/TPieces.h"
#include "platform/File.h"
#include "tests/engine/pieces/PiecesTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::BlockOutcome;
using engine::TPieces;
using pieces_test::MakeData;
using pieces_test::MakeLayout;
using pieces_test::RecordingOwner;
using testing_support::Sandbox;

constexpr int64_t L = 32768;

std::string FileBytes(const std::string& path) { return Sandbox::Read(path); }

// Writes every piece through the storage path: pieces in reverse order, each
// in two ranges from its start (as flushes do).
void WriteAllPieces(TPieces& pieces, const std::string& data) {
    for (int64_t p = pieces.PieceCount() - 1; p >= 0; --p) {
        const int32_t size = pieces.Piece(p)->Size();
        const auto* base = reinterpret_cast<const uint8_t*>(data.data()) + p * L;
        const int32_t half = size / 2;
        if (half > 0) {
            ASSERT_EQ(pieces.WritePieceRange(p, base, half, 0, false).outcome, BlockOutcome::Stored) << "piece " << p;
        }
        ASSERT_EQ(pieces.WritePieceRange(p, base + half, size - half, half, false).outcome,
                  BlockOutcome::PieceVerified)
            << "piece " << p;
        ASSERT_TRUE(pieces.IsPieceDone(p)) << "piece " << p;
    }
}

struct LayoutCase {
    const char* name;
    std::vector<int64_t> sizes;
};

TEST(TPiecesStorage, EveryByteLandsAtItsOffsetInItsFile) {
    const std::array<LayoutCase, 5> cases{{
        {.name = "piece spans three files", .sizes = {20000, 10000, 40000}},
        {.name = "empty files at start, middle and end", .sizes = {0, 50000, 0, 30000, 0}},
        {.name = "empty file inside one piece", .sizes = {10000, 0, 60000}},
        {.name = "last piece shorter", .sizes = {100000}},
        {.name = "whole pieces per file", .sizes = {65536, 65536}},
    }};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        RecordingOwner owner;
        const std::string data = MakeData(static_cast<size_t>(pieces_test::Sum(c.sizes)), 7);
        TPieces pieces(&owner);
        auto layout = MakeLayout(box.Path().string(), c.sizes, L, data);
        ASSERT_TRUE(pieces.BuildFromLayout(layout, nullptr));
        ASSERT_EQ(pieces.CompletedBytes(), 0);
        WriteAllPieces(pieces, data);
        EXPECT_TRUE(pieces.IsAllDone());

        // Read back through the map, then from the files themselves.
        for (int64_t p = 0; p < pieces.PieceCount(); ++p) {
            std::string got(static_cast<size_t>(pieces.Piece(p)->Size()), '\0');
            ASSERT_EQ(pieces.ReadPieceRange(p, reinterpret_cast<uint8_t*>(got.data()), pieces.Piece(p)->Size(), 0),
                      pieces.Piece(p)->Size());
            EXPECT_EQ(got, data.substr(static_cast<size_t>(p * L), got.size())) << "piece " << p;
        }
        pieces.CloseFiles(true, true);
        int64_t offset = 0;
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            const std::string& path = layout.files[i].path;
            EXPECT_FALSE(platform::Exists(path + engine::TempExtension)) << path;
            EXPECT_EQ(FileBytes(path), data.substr(static_cast<size_t>(offset), static_cast<size_t>(c.sizes[i])))
                << path;
            offset += c.sizes[i];
        }
    }
}

TEST(TPiecesStorage, PieceOverEmptyMiddleFileMapsToItsNeighbours) {
    Sandbox box;
    RecordingOwner owner;
    const std::vector<int64_t> sizes{10000, 0, 60000};
    const std::string data = MakeData(70000);
    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromLayout(MakeLayout(box.Path().string(), sizes, L, data), nullptr));
    std::vector<engine::TFileEntry*> files;
    ASSERT_TRUE(pieces.MapPieceToFiles(*pieces.Piece(0), files));
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0]->m_index, 0);
    EXPECT_EQ(files[1]->m_index, 2);
    // Piece 1 starts 22768 bytes into the third file.
    ASSERT_TRUE(pieces.MapPieceToFiles(*pieces.Piece(1), files));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(pieces.Piece(1)->FileOffset(), L - 10000);
}

TEST(TPiecesStorage, ABlockOverThreeFilesIsWrittenAndReadBackInPartsThroughTheSameWalk) {
    Sandbox box;
    RecordingOwner owner;
    // One-block pieces; block 0 lies in all three files.
    const std::vector<int64_t> sizes{5000, 6000, 21768};
    const std::string data = MakeData(32768, 12);
    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromLayout(MakeLayout(box.Path().string(), sizes, 16384, data), nullptr));
    pieces.SetWriteOnCompletion(true);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    EXPECT_EQ(pieces.WriteBlock(0, 16384, bytes, nullptr).outcome, engine::BlockOutcome::PieceVerified);
    pieces.DrainWrites();
    ASSERT_TRUE(pieces.IsPieceDone(0));
    // Ranges that start and end inside different files.
    struct Range {
        const char* name;
        int32_t offset;
        int32_t length;
    };
    const std::array<Range, 4> ranges{{
        {"all three files", 0, 16384},
        {"middle of the first to middle of the last", 4000, 8000},
        {"exactly the middle file", 5000, 6000},
        {"the last file's share", 11000, 5384},
    }};
    for (const Range& r : ranges) {
        SCOPED_TRACE(r.name);
        std::string got(static_cast<size_t>(r.length), '\0');
        ASSERT_EQ(pieces.ReadPieceRange(0, reinterpret_cast<uint8_t*>(got.data()), r.length, r.offset), r.length);
        EXPECT_EQ(got, data.substr(static_cast<size_t>(r.offset), static_cast<size_t>(r.length)));
    }
    pieces.CloseFiles(false, false);
    EXPECT_EQ(FileBytes(pieces.File(0)->m_path), data.substr(0, 5000));
    EXPECT_EQ(FileBytes(pieces.File(1)->m_path), data.substr(5000, 6000));
    EXPECT_EQ(FileBytes(pieces.File(2)->m_path).substr(0, 5384), data.substr(11000, 5384));
}

TEST(TPiecesStorage, AWriteThatFailsDropsThePieceAndReportsTheFile) {
    Sandbox box;
    RecordingOwner owner;
    // A plain web download: no digests, and a complete piece goes to disk at
    // once, written behind the work thread.
    const std::vector<int64_t> sizes{20000, 20000};
    const std::string data = MakeData(40000, 13);
    auto layout = MakeLayout(box.Path().string(), sizes, L, data);
    layout.without_digests = true;
    layout.digests.clear();
    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromLayout(layout, nullptr));
    pieces.SetWriteOnCompletion(true);
    // The second file's place is taken by a folder after the build.
    const std::string second = pieces.File(1)->m_path;
    platform::RemoveFile(second);
    ASSERT_TRUE(platform::CreateDirectories(second));
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    EXPECT_EQ(pieces.WriteBlock(0, 16384, bytes, nullptr).outcome, engine::BlockOutcome::Stored);
    const engine::TBlockResult last = pieces.WriteBlock(1, 16384, bytes + 16384, nullptr);
    EXPECT_EQ(last.piece, 0);
    EXPECT_NE(last.outcome, engine::BlockOutcome::PieceFailed);
    // Whether the failure shows in the block's answer (a write made at once)
    // or when the queued write is collected, the piece ends up not done,
    // without its bytes, and the task hears of the file.
    pieces.DrainWrites();
    if (last.outcome == engine::BlockOutcome::DiskError) {
        EXPECT_EQ(last.file, second);
    }
    EXPECT_FALSE(pieces.IsPieceDone(0));
    EXPECT_FALSE(pieces.HasBlock(0)) << "its bytes are dropped: the piece is fetched again";
    EXPECT_EQ(owner.Count(engine::PiecesEventCode::FileUnusable), 1);
}

TEST(TPiecesStorage, NewFilesUseTemporaryNamesExistingFilesAreWrittenInPlace) {
    Sandbox box;
    RecordingOwner owner;
    const std::vector<int64_t> sizes{40000, 40000};
    const std::string data = MakeData(80000, 3);
    auto layout = MakeLayout(box.Path().string(), sizes, L, data);
    // The first file exists under its final name (with wrong bytes).
    box.Write("pkg/f0", std::string(40000, 'x'));
    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromLayout(layout, nullptr));
    EXPECT_FALSE(pieces.File(0)->m_temp_name);
    EXPECT_TRUE(pieces.File(1)->m_temp_name);
    EXPECT_TRUE(platform::Exists(layout.files[1].path + ".twtmp"));
    EXPECT_FALSE(platform::Exists(layout.files[1].path));

    WriteAllPieces(pieces, data);
    EXPECT_FALSE(platform::Exists(layout.files[1].path)) << "renamed only at the finish";
    pieces.CloseFiles(true, true);
    EXPECT_FALSE(platform::Exists(layout.files[0].path + ".twtmp"));
    EXPECT_FALSE(platform::Exists(layout.files[1].path + ".twtmp"));
    EXPECT_EQ(FileBytes(layout.files[0].path), data.substr(0, 40000));
    EXPECT_EQ(FileBytes(layout.files[1].path), data.substr(40000));
}

TEST(TPiecesStorage, FailedRenameIsRetriedAtTheNextFinish) {
    Sandbox box;
    RecordingOwner owner;
    const std::string data = MakeData(50000, 4);
    auto layout = MakeLayout(box.Path().string(), {50000}, L, data);
    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromLayout(layout, nullptr));
    WriteAllPieces(pieces, data);
    // Something else took the final name meanwhile: the move must not replace it.
    box.Write("pkg/f0", "someone else's");
    pieces.CloseFiles(true, true);
    EXPECT_TRUE(pieces.File(0)->m_temp_name);
    EXPECT_EQ(FileBytes(layout.files[0].path), "someone else's");
    EXPECT_EQ(FileBytes(layout.files[0].path + ".twtmp"), data);

    platform::RemoveFile(layout.files[0].path);
    pieces.CloseFiles(true, true);
    EXPECT_FALSE(pieces.File(0)->m_temp_name);
    EXPECT_EQ(pieces.File(0)->m_path, layout.files[0].path);
    EXPECT_EQ(FileBytes(layout.files[0].path), data);
}

TEST(TPiecesStorage, LongerFileIsTruncatedToItsSize) {
    Sandbox box;
    RecordingOwner owner;
    const std::string data = MakeData(40000, 5);
    auto layout = MakeLayout(box.Path().string(), {40000}, L, data);
    box.Write("pkg/f0", data + "0123456789");
    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromLayout(layout, nullptr));
    EXPECT_EQ(platform::FileSize(layout.files[0].path), 40000);
    // The recheck saw the right bytes before the extra ten were cut.
    EXPECT_TRUE(pieces.IsAllDone());
}

TEST(TPiecesStorage, ShortWriteRangeLeavesPieceNotDoneAndWrongBytesFailVerification) {
    Sandbox box;
    RecordingOwner owner;
    const std::string data = MakeData(70000, 6);
    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromLayout(MakeLayout(box.Path().string(), {70000}, L, data), nullptr));
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    EXPECT_EQ(pieces.WritePieceRange(0, bytes, 1000, 0, false).outcome, BlockOutcome::Stored);
    EXPECT_FALSE(pieces.IsPieceDone(0));
    std::string wrong = data.substr(0, L);
    wrong[100] ^= 1;
    EXPECT_EQ(pieces.WritePieceRange(0, reinterpret_cast<const uint8_t*>(wrong.data()), L, 0, false).outcome,
              BlockOutcome::PieceFailed);
    EXPECT_FALSE(pieces.IsPieceDone(0));
    EXPECT_EQ(pieces.WritePieceRange(0, bytes, L, 0, false).outcome, BlockOutcome::PieceVerified);
    EXPECT_TRUE(pieces.IsPieceDone(0));
    // Bad arguments.
    EXPECT_EQ(pieces.WritePieceRange(0, nullptr, 10, 0, false).outcome, BlockOutcome::Rejected);
    EXPECT_EQ(pieces.WritePieceRange(0, bytes, 0, 0, false).outcome, BlockOutcome::Rejected);
    EXPECT_EQ(pieces.WritePieceRange(0, bytes, 10, -1, false).outcome, BlockOutcome::Rejected);
    EXPECT_EQ(pieces.WritePieceRange(99, bytes, 10, 0, false).outcome, BlockOutcome::Rejected);
}

// Root ignores permission bits, so the unusable path is one whose parent is a
// regular file: creating it fails with ENOTDIR for everyone.
TEST(TPiecesStorage, FileThatCannotBeCreatedReports20215AndStopsTheTask) {
    struct Task : engine::TPieceTask {
        void SetErrorCode(int32_t c) override { code = c; }
        void RequestStop() override { stop = true; }
        bool IsStopping() const override { return stop; }
        bool IsMetadataReady() const override { return true; }
        int32_t PeerObjectCount() const override { return 0; }
        void PublishStatus(bool) override {}
        int64_t NowSeconds() const override { return 0; }
        uint32_t TickCount() const override { return 0; }
        void PauseForDiskSpace(uint32_t) override {}
        int32_t code = 0;
        bool stop = false;
    } task;
    Sandbox box;
    const std::string blocker = box.Write("blocker", "a regular file");
    engine::TPieceScheduler scheduler(&task);
    TPieces pieces(&scheduler);
    scheduler.SetPieces(&pieces);
    const std::string data = MakeData(40000);
    EXPECT_FALSE(pieces.BuildFromLayout(MakeLayout(blocker, {40000}, L, data), nullptr));
    EXPECT_EQ(task.code, engine::StateFileUnusable);
    EXPECT_TRUE(task.stop);
    EXPECT_TRUE(scheduler.HasDiskError());
}

TEST(TPiecesStorage, OpenFilesAreClosedInBulkAtTheLimit) {
    Sandbox box;
    RecordingOwner owner;
    // 16 KiB pieces allow 129 open files; 130 one-piece files exceed that.
    std::vector<int64_t> sizes(130, 16384);
    const std::string data = MakeData(static_cast<size_t>(pieces_test::Sum(sizes)), 8);
    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromLayout(MakeLayout(box.Path().string(), sizes, 16384, data), nullptr));
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    for (int64_t p = 0; p < 128; ++p) {
        ASSERT_EQ(pieces.WritePieceRange(p, bytes + p * 16384, 16384, 0, false).outcome, BlockOutcome::PieceVerified);
    }
    pieces.LimitOpenFiles();
    EXPECT_EQ(pieces.OpenFileCount(), 128);
    ASSERT_EQ(pieces.WritePieceRange(128, bytes + 128 * 16384, 16384, 0, false).outcome, BlockOutcome::PieceVerified);
    pieces.LimitOpenFiles();
    EXPECT_EQ(pieces.OpenFileCount(), 0);
}

}  // namespace
