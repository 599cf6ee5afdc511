// The block dump: unfinished pieces' blocks survive a restart, and a damaged
// dump restores nothing it cannot vouch for.

#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/engine/pieces/PiecesFixture.h"

namespace engine::testing_pieces {
namespace {

constexpr int64_t KiB = 1024;

class BlockDump : public PiecesFixture {
protected:
    // Piece 0 with 5 blocks, piece 2 with all its blocks but one.
    std::string SaveDump() {
        Build(MakeTorrent(128 * KiB, {512 * KiB}));
        for (int64_t b = 0; b < 5; ++b) Offer(b, nullptr);
        for (int64_t b = 16; b < 23; ++b) Offer(b, nullptr);
        EXPECT_TRUE(pieces->SaveBlockDump());
        pieces.reset();
        return testing_support::Sandbox::Read(sandbox.File("task.twinfodf"));
    }
};

TEST_F(BlockDump, RestoresTheBlocksOfUnfinishedPieces) {
    const std::string dump = SaveDump();
    // Two entries: header + blob header + records of 16400 bytes.
    EXPECT_EQ(dump.size(), 2 * (16 + 16) + 12 * 16400u);
    Build(torrent);
    EXPECT_TRUE(pieces->LoadBlockDump());
    EXPECT_EQ(pieces->Piece(0)->BufferedBytes(), 5 * 16384);
    EXPECT_EQ(pieces->Piece(2)->BufferedBytes(), 7 * 16384);
    Offer(23, nullptr);
    EXPECT_TRUE(pieces->Piece(2)->IsCompleteInMemory()) << "restored bytes verify with the last block";
}

TEST_F(BlockDump, StopsAtADamagedEntryAndNeverTrustsUnverifiedBytes) {
    const std::string dump = SaveDump();
    struct Case {
        const char* name;
        size_t at;  // byte to flip
        int64_t piece0_bytes;
        int64_t piece2_bytes;
    };
    const size_t second_entry = 16 + 16 + 5 * 16400;
    const Case cases[] = {
        {"first checksum", 4, 0, 0},
        {"first length", 1, 0, 0},
        {"data of the second entry", second_entry + 16 + 16 + 8 + 100, 5 * 16384, 0},
        {"index of the second entry", second_entry + 8, 5 * 16384, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bad = dump;
        bad[c.at] = static_cast<char>(bad[c.at] ^ 0x40);
        sandbox.Write("task.twinfodf", bad);
        Build(torrent);
        pieces->LoadBlockDump();
        EXPECT_EQ(pieces->Piece(0)->BufferedBytes(), c.piece0_bytes);
        EXPECT_EQ(pieces->Piece(2)->BufferedBytes(), c.piece2_bytes);
        pieces.reset();
    }
}

TEST_F(BlockDump, ADumpedCompletePieceIsVerifiedBeforeItCounts) {
    Build(MakeTorrent(128 * KiB, {512 * KiB}));
    for (int64_t b = 8; b < 16; ++b) Offer(b, nullptr);
    ASSERT_TRUE(pieces->Piece(1)->IsCompleteInMemory());
    ASSERT_TRUE(pieces->SaveBlockDump());
    pieces.reset();
    // Damage one data byte and give the entry a matching checksum, as a
    // dump written by a faulty build would have.
    std::string dump = testing_support::Sandbox::Read(sandbox.File("task.twinfodf"));
    dump[16 + 16 + 8 + 5] ^= 0x01;
    const std::string hash = torrent.info_hash;
    uLong sum = adler32(1, reinterpret_cast<const Bytef*>(hash.data()), 20);
    sum = adler32(sum, reinterpret_cast<const Bytef*>(dump.data() + 16), static_cast<uInt>(dump.size() - 16));
    for (int k = 0; k < 4; ++k) dump[4 + static_cast<size_t>(k)] = static_cast<char>(sum >> (8 * k));
    sandbox.Write("task.twinfodf", dump);
    Build(torrent);
    pieces->LoadBlockDump();
    EXPECT_FALSE(pieces->Piece(1)->IsCompleteInMemory());
    EXPECT_EQ(pieces->Piece(1)->BufferedBytes(), 0);
    EXPECT_FALSE(pieces->IsPieceDone(1));
}

}  // namespace
}  // namespace engine::testing_pieces
