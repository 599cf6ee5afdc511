// The piece map: layout checks, done bits and counters, block arithmetic and
// file selection.

#include <gtest/gtest.h>

#include <array>

#include "engine/pieces/TPieces.h"
#include "engine/pieces/TSha1State.h"
#include "tests/engine/pieces/PiecesTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::TPieces;
using pieces_test::MakeData;
using pieces_test::MakeLayout;
using pieces_test::RecordingOwner;
using testing_support::Sandbox;

TEST(TPiecesLayout, PieceCountMustFitTheTotal) {
    struct Case {
        const char* name;
        int64_t total;
        int64_t piece_length;
        size_t digests;  // pieces announced
        bool valid;
    };
    const std::array<Case, 4> cases{{
        {.name = "exact", .total = 65536, .piece_length = 32768, .digests = 2, .valid = true},
        {.name = "last shorter", .total = 70000, .piece_length = 32768, .digests = 3, .valid = true},
        {.name = "too few pieces", .total = 70000, .piece_length = 32768, .digests = 2, .valid = false},
        {.name = "a whole piece too many", .total = 65536, .piece_length = 32768, .digests = 3, .valid = false},
    }};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        RecordingOwner owner;
        auto layout = MakeLayout(box.Path().string(), {c.total}, c.piece_length, MakeData(static_cast<size_t>(c.total)));
        layout.digests.assign(c.digests * 20, 'd');
        TPieces pieces(&owner);
        EXPECT_EQ(pieces.BuildFromLayout(layout, nullptr), c.valid);
        EXPECT_EQ(pieces.IsLayoutValid(), c.valid);
    }
}

TEST(TPiecesLayout, BlockNumbersMapToPieceAndOffset) {
    Sandbox box;
    RecordingOwner owner;
    const int64_t L = 16384 * 3;
    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromLayout(MakeLayout(box.Path().string(), {L * 4}, L, MakeData(L * 4)), nullptr));
    EXPECT_EQ(pieces.PieceOfBlock(4), 1);
    EXPECT_EQ(pieces.OffsetOfBlock(4), 16384);
    EXPECT_EQ(pieces.Piece(3)->Size(), L);
    EXPECT_EQ(pieces.Piece(4), nullptr);
}

class TPiecesMap : public ::testing::Test {
protected:
    void Build(const std::vector<int64_t>& sizes, int64_t piece_length) {
        data = MakeData(static_cast<size_t>(pieces_test::Sum(sizes)));
        ASSERT_TRUE(pieces.BuildFromLayout(MakeLayout(box.Path().string(), sizes, piece_length, data), nullptr));
        owner.events.clear();
    }
    std::string Skipped() {
        std::string s;
        for (int64_t p = 0; p < pieces.PieceCount(); ++p) s.push_back(pieces.Piece(p)->IsSkipped() ? 's' : '.');
        return s;
    }
    Sandbox box;
    RecordingOwner owner;
    TPieces pieces{&owner};
    std::string data;
};

TEST_F(TPiecesMap, SetPieceDoneCountsOnceAndReportsOnlyChanges) {
    Build({100000}, 16384);
    pieces.SetPieceDone(6, true);
    pieces.SetPieceDone(6, true);
    EXPECT_EQ(pieces.DoneOrSkipped(), 1);
    EXPECT_EQ(pieces.CompletedBytes(), 100000 - 6 * 16384);
    EXPECT_EQ(pieces.LastCompletedPiece(), 6);
    pieces.SetPieceDone(2, false);
    ASSERT_EQ(owner.events.size(), 1u);
    EXPECT_EQ(owner.events[0].code, engine::PiecesEventCode::PieceChanged);
    EXPECT_EQ(owner.events[0].flag, 1);
    EXPECT_EQ(owner.events[0].argument, 4);
    EXPECT_EQ(owner.events[0].value, 6);
    pieces.SetPieceDone(6, false);
    EXPECT_EQ(pieces.DoneOrSkipped(), 0);
    EXPECT_EQ(pieces.CompletedBytes(), 0);
    EXPECT_EQ(pieces.LastCompletedPiece(), -1);
    EXPECT_EQ(owner.events.size(), 2u);
    pieces.SetPieceDone(99, true);  // not a piece: ignored
    EXPECT_EQ(owner.events.size(), 2u);
}

TEST_F(TPiecesMap, DeselectedMiddleFileKeepsSharedBoundaryPiecesWanted) {
    // Pieces of 16 KiB: f0 [0, 20000) f1 [20000, 70000) f2 [70000, 90000).
    Build({20000, 50000, 20000}, 16384);
    pieces.SelectFile(1, true);
    // Piece 1 [16384, 32768) and piece 4 [65536, 81920) hold bytes of f0/f2.
    EXPECT_EQ(Skipped(), "..ss..");
    EXPECT_TRUE(pieces.IsPieceWanted(1));
    EXPECT_TRUE(pieces.IsPieceWanted(4));
    EXPECT_FALSE(pieces.IsPieceWanted(2));
    EXPECT_EQ(pieces.WantedBytes(), 40000);
    EXPECT_EQ(pieces.WantedPieces(), 4);
    EXPECT_EQ(pieces.DoneOrSkipped(), 2);
    // Deselecting again changes nothing.
    pieces.SelectFile(1, true);
    EXPECT_EQ(pieces.WantedBytes(), 40000);
    // Then a neighbour: the pieces it shared with f1 become skipped too.
    pieces.SelectFile(2, true);
    EXPECT_EQ(Skipped(), "..ssss");
    pieces.SelectFile(1, false);
    EXPECT_EQ(Skipped(), ".....s");
    EXPECT_EQ(pieces.WantedBytes(), 70000);
    EXPECT_EQ(pieces.DoneOrSkipped(), 1);
}

TEST_F(TPiecesMap, FileInsideOnePieceNeverSkipsItWhileANeighbourNeedsIt) {
    // f1 lies inside piece 0 with selected bytes of f0 and f2 around it.
    Build({1000, 2000, 40000}, 16384);
    pieces.SelectFile(1, true);
    EXPECT_EQ(Skipped(), "...");
    EXPECT_EQ(pieces.WantedBytes(), 41000);
}

TEST_F(TPiecesMap, SelectAllAfterDeselectAllRestoresEverything) {
    Build({30000, 30000}, 16384);
    pieces.SetPieceDone(0, true);
    pieces.SelectAll(true);
    EXPECT_EQ(pieces.WantedBytes(), 0);
    EXPECT_EQ(pieces.WantedPieces(), 0);
    EXPECT_EQ(pieces.DoneOrSkipped(), 4);
    EXPECT_FALSE(pieces.File(0)->IsSelected());
    pieces.SelectAll(false);
    EXPECT_EQ(pieces.WantedBytes(), 60000);
    EXPECT_EQ(pieces.WantedPieces(), 4);
    EXPECT_EQ(pieces.DoneOrSkipped(), 1);
}

TEST_F(TPiecesMap, ResetPieceLeavesDonePiecesAlone) {
    Build({50000}, 16384);
    // Written prefixes, as partial pieces resumed from a previous run have.
    uint8_t state[engine::TSha1State::Size];
    engine::TSha1State::Reset(state);
    ASSERT_TRUE(pieces.Piece(1)->RestorePrefix(16384, state));
    pieces.AddPartialPiece(1);
    pieces.ResetPiece(1);
    EXPECT_EQ(pieces.Piece(1)->WrittenPrefix(), 0);
    EXPECT_EQ(pieces.Piece(1)->HashState(), nullptr);
    EXPECT_TRUE(pieces.PartialPieces().empty());
    pieces.SetPieceDone(2, true);
    ASSERT_TRUE(pieces.Piece(2)->RestorePrefix(16384, state));
    pieces.ResetPiece(2);
    EXPECT_EQ(pieces.Piece(2)->WrittenPrefix(), 16384);
}

TEST_F(TPiecesMap, FindFileByNameIsExactAndCaseSensitive) {
    Build({100, 100}, 16384);
    EXPECT_EQ(pieces.FindFileByName("pkg/f1"), pieces.File(1));
    EXPECT_EQ(pieces.FindFileByName("PKG/f1"), nullptr);
}

}  // namespace
