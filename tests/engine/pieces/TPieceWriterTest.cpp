// Pieces written behind the work thread: references on the files' handles, and the
// map settling queued writes before whatever depends on them.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "engine/pieces/QDiskFile.h"
#include "engine/pieces/TPieceWriter.h"
#include "tests/engine/pieces/PiecesFixture.h"

namespace engine::testing_pieces {
namespace {

constexpr int64_t KiB = 1024;
constexpr int64_t MiB = 1024 * KiB;

TEST(PieceWriter, AJobWritesThroughReferencesOnTheFilesHandles) {
    struct Case {
        const char* name;
        bool read_only;     // the file object was opened read-only: it lends no handle
        bool close_before;  // the file object is closed before the job runs
        bool missing_file;  // the second write has no handle
        int64_t expect_written;
        int32_t expect_failed_file;  // -1: the job succeeds
    };
    const Case cases[] = {
        {"open file", false, false, false, 8, -1},
        {"file closed by its owner meanwhile", false, true, false, 8, -1},
        {"read-only file", true, false, false, 0, 3},
        {"second write without a handle", false, false, true, 4, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::Sandbox box;
        const std::string path = box.File("f.bin");
        {
            QDiskFile create;
            ASSERT_TRUE(create.Create(path));
            ASSERT_EQ(create.Write("........", 8, 0), 8);
        }
        QDiskFile file;
        ASSERT_TRUE(file.Open(path, c.read_only));
        const std::string data = "abcdefgh";
        const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
        std::vector<TPieceWriter::Write> writes(2);
        // Two buffers gathered into one write of the second half.
        writes[0] = {file.SharedHandle(), 3, 4, {{bytes + 4, 2}, {bytes + 6, 2}}};
        writes[1] = {c.missing_file ? nullptr : file.SharedHandle(), 4, 0, {{bytes, 4}}};
        TPieceWriter writer;
        TPieceWriter::Job job = TPieceWriter::MakeJob(7, 0, std::move(writes));
        EXPECT_EQ(job.bytes, 8);
        if (c.close_before) file.Close();
        ASSERT_TRUE(writer.Queue(std::move(job), true));
        std::vector<TPieceWriter::Job> done;
        writer.Collect(done, true);
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].piece, 7);
        EXPECT_EQ(done[0].written, c.expect_written);
        EXPECT_EQ(done[0].failed, c.expect_failed_file >= 0);
        EXPECT_EQ(done[0].failed_file, c.expect_failed_file);
        EXPECT_TRUE(done[0].writes.empty()) << "the handle references are let go once written";
        EXPECT_EQ(writer.QueuedBytes(), 0);
        const std::string expect = c.expect_written == 8 ? "abcdefgh" : c.expect_written == 4 ? "....efgh" : "........";
        EXPECT_EQ(testing_support::Sandbox::Read(path), expect);
    }
}

class WriteQueue : public PiecesFixture {
protected:
    // A download without peers: every piece's write is queued as it completes.
    void BuildWebOnly() {
        cache_units = 16;  // a 1 MiB queue: the writer is woken once per 4 pieces
        Build(MakeTorrent(256 * KiB, {3 * MiB}));
        pieces->SetWriteOnCompletion(true);
    }
    bool DiskHoldsPiece(int64_t p) const {
        const size_t at = static_cast<size_t>(p * torrent.piece_length);
        return ReadDisk(0).substr(at, 256 * KiB) == torrent.data.substr(at, 256 * KiB);
    }
};

TEST_F(WriteQueue, QueuedPiecesAreSettledBeforeWhatDependsOnThem) {
    struct Case {
        const char* name;
        std::function<void(TPieces&)> act;
    };
    const Case cases[] = {
        {"reset of a queued piece", [](TPieces& p) { p.ResetPiece(2); }},
        {"closing the files", [](TPieces& p) { p.CloseFiles(false, false); }},
        {"saving the piece state", [](TPieces& p) { p.SavePieceState(); }},
        {"cache upkeep", [](TPieces& p) { p.MaintainCache(); }},
        {"flushing", [](TPieces& p) { p.FlushComplete(); }},
        {"the block dump", [](TPieces& p) { p.SaveBlockDump(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BuildWebOnly();
        for (int64_t p = 0; p < 3; ++p) OfferPiece(p, nullptr);
        // The last at least is queued and not collected (earlier ones may
        // be, when the writer thread picked them up as it started).
        ASSERT_GE(pieces->PendingWrites(), 1);
        EXPECT_TRUE(pieces->Piece(2)->IsCompleteInMemory());
        c.act(*pieces);
        EXPECT_EQ(pieces->PendingWrites(), 0);
        for (int64_t p = 0; p < 3; ++p) {
            EXPECT_TRUE(pieces->IsPieceDone(p)) << p;
            EXPECT_EQ(pieces->Piece(p)->Buffer().AllocatedChunks(), 0) << "freed once written";
            EXPECT_TRUE(DiskHoldsPiece(p)) << p;
        }
        EXPECT_EQ(pieces->CompleteInMemoryBytes(), 0);
        // The next case starts from an empty file.
        const std::string path = pieces->File(0)->m_path;
        pieces.reset();
        std::filesystem::remove(path);
    }
}

TEST_F(WriteQueue, APieceFailingItsCheckWaitsForItsWriteAndLeavesTheOthersDone) {
    BuildWebOnly();
    FakeSource web(BlockSourceKind::Http);
    OfferPiece(0, &web);
    OfferPiece(1, &web);
    for (int64_t b = 32; b < 48; ++b) Offer(b, &web, b == 40);  // piece 2, one block damaged
    EXPECT_FALSE(pieces->Piece(2)->IsVerifiedComplete());
    EXPECT_EQ(pieces->Piece(2)->Buffer().AllocatedChunks(), 0);
    EXPECT_EQ(pieces->PendingWrites(), 0) << "the failure waited for every queued write";
    EXPECT_TRUE(pieces->IsPieceDone(0));
    EXPECT_TRUE(pieces->IsPieceDone(1));
    EXPECT_FALSE(pieces->IsPieceDone(2));
    ASSERT_EQ(owner.failures.size(), 1u);
    OfferPiece(2, &web);
    pieces->DrainWrites();
    EXPECT_TRUE(pieces->IsPieceDone(2));
    EXPECT_TRUE(DiskHoldsPiece(2)) << "the good bytes over the bad ones written first";
    pieces.reset();  // holds a reference to the source
}

TEST_F(WriteQueue, APassWakesAWriterLeftAsleepOverAFewPieces) {
    BuildWebOnly();
    OfferPiece(0, nullptr);
    pieces->DrainWrites();  // the writer has started and sleeps now
    OfferPiece(1, nullptr);  // below the bytes that wake the writer at once
    ASSERT_EQ(pieces->PendingWrites(), 1);
    // Each pass of the work loop collects without waiting, and wakes the
    // writer when pieces wait for it.
    // (A write may wait long for the disk while other tests fill the page
    // cache: the bound is generous.)
    for (int i = 0; i < 3000 && pieces->PendingWrites() > 0; ++i) {
        pieces->CollectWrites(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(pieces->PendingWrites(), 0);
    EXPECT_TRUE(pieces->IsPieceDone(1));
    EXPECT_TRUE(DiskHoldsPiece(1));
}

TEST_F(WriteQueue, ADownloadEndsWithEveryPieceOnDiskAndTheQueueBounded) {
    BuildWebOnly();
    for (int64_t p = 0; p < torrent.PieceCount(); ++p) {
        OfferPiece(p, nullptr);
        EXPECT_LE(pieces->CompleteInMemoryBytes(), pieces->WriteQueueLimit() + 256 * KiB);
    }
    pieces->CloseFiles(false, false);
    EXPECT_TRUE(pieces->IsAllDone());
    EXPECT_EQ(ReadDisk(0), torrent.data);
}

}  // namespace
}  // namespace engine::testing_pieces
