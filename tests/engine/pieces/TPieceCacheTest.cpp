// Receiving, verifying, flushing and serving piece data through the buffers.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "engine/pieces/QBufferPool.h"
#include "engine/pieces/TSha1State.h"
#include "tests/engine/pieces/PiecesFixture.h"

namespace engine::testing_pieces {
namespace {

constexpr int64_t KiB = 1024;
constexpr int64_t MiB = 1024 * KiB;

class PieceCache : public PiecesFixture {};

TEST_F(PieceCache, APieceIsVerifiedOnItsLastBlockAndWrittenLater) {
    Build(MakeTorrent(256 * KiB, {1 * MiB}));
    FakeSource peer(BlockSourceKind::BitTorrent);
    for (int64_t b = 0; b < 15; ++b) Offer(b, &peer);
    TPiece& piece = *pieces->Piece(0);
    EXPECT_FALSE(piece.IsVerifiedComplete());
    EXPECT_EQ(piece.BufferedBytes(), 15 * 16384);
    EXPECT_EQ(piece.Buffer().AllocatedChunks(), 2) << "memory only for chunks that hold data";
    const TBlockResult last = Offer(15, &peer);
    EXPECT_EQ(last.outcome, BlockOutcome::PieceVerified);
    EXPECT_TRUE(last.piece_complete);
    EXPECT_EQ(last.piece, 0);
    EXPECT_TRUE(piece.IsCompleteInMemory());
    EXPECT_FALSE(pieces->IsPieceDone(0)) << "verified, but not on disk yet";
    EXPECT_EQ(pieces->CompleteInMemoryBytes(), 256 * KiB);

    pieces->MaintainCache();  // well within the cache: stays in memory
    EXPECT_TRUE(piece.IsCompleteInMemory());
    pieces->FlushComplete();
    EXPECT_TRUE(pieces->IsPieceDone(0));
    EXPECT_EQ(peer.delivered, 1);
    EXPECT_EQ(peer.refs, 0) << "the written piece releases its source";
    EXPECT_EQ(ReadDisk(0).substr(0, 256 * KiB), torrent.data.substr(0, 256 * KiB));

    // Upload reads of the written piece are served from its cached copy.
    std::string out(16384, '\0');
    EXPECT_EQ(pieces->ReadBlock(3, 16384, reinterpret_cast<uint8_t*>(out.data()), 0, false), 16384);
    EXPECT_EQ(out, torrent.data.substr(3 * 16384, 16384));
    EXPECT_EQ(pieces->CacheHits(), 1);
}

TEST_F(PieceCache, AVerifiedPieceStillInMemoryIsServedToUploadsAnUnverifiedOneIsNot) {
    Build(MakeTorrent(256 * KiB, {1 * MiB}));
    FakeSource peer(BlockSourceKind::BitTorrent);
    std::string out(16384, '\0');
    auto* p = reinterpret_cast<uint8_t*>(out.data());
    for (int64_t b = 0; b < 15; ++b) Offer(b, &peer);
    EXPECT_EQ(pieces->ReadBlock(3, 16384, p, 0, false), -1) << "a piece still being received";
    Offer(15, &peer);
    ASSERT_TRUE(pieces->Piece(0)->IsCompleteInMemory());
    ASSERT_FALSE(pieces->IsPieceDone(0));
    // Peers learn of it from the blocks we hold: a refusal would end their
    // connections.
    EXPECT_EQ(pieces->ReadBlock(3, 16384, p, 0, false), 16384);
    EXPECT_EQ(out, torrent.data.substr(3 * 16384, 16384));
    EXPECT_FALSE(pieces->IsPieceDone(0)) << "serving it does not write it";
    // A piece whose last block fails the check is not served either.
    for (int64_t b = 16; b < 32; ++b) Offer(b, &peer, b == 20);
    EXPECT_FALSE(pieces->Piece(1)->IsCompleteInMemory());
    EXPECT_EQ(pieces->ReadBlock(17, 16384, p, 0, false), -1);
    pieces.reset();  // holds references to the source
}

TEST_F(PieceCache, AnIdlePartOfABigPieceIsFlushedAndOnlyTheRestIsHashedLater) {
    // Two pieces: the first, once verified, is not the last one wanted and
    // waits in memory.
    Build(MakeTorrent(4 * MiB, {8 * MiB}));
    FakeSource web(BlockSourceKind::Http);
    for (int64_t b = 0; b < 64; ++b) Offer(b, &web);  // the first 1 MiB
    TPiece& piece = *pieces->Piece(0);
    owner.now += TPieces::IdleFlushSeconds;
    pieces->MaintainCache();
    EXPECT_EQ(piece.WrittenPrefix(), 0) << "not idle for more than 600 s yet";
    owner.now += 1;
    pieces->MaintainCache();
    EXPECT_EQ(piece.WrittenPrefix(), 1 * MiB);
    ASSERT_NE(piece.HashState(), nullptr);
    EXPECT_EQ(TSha1State::LengthBytes(piece.HashState()), static_cast<uint64_t>(1 * MiB));
    EXPECT_EQ(piece.BufferedBytes(), 0);
    EXPECT_EQ(piece.Buffer().AllocatedChunks(), 0);
    EXPECT_EQ(ReadDisk(0).substr(0, 1 * MiB), torrent.data.substr(0, 1 * MiB));

    // Below the written prefix: taken, not stored, not new.
    EXPECT_EQ(Offer(3, &web).outcome, BlockOutcome::Duplicate);
    EXPECT_EQ(piece.BufferedBytes(), 0);
    for (int64_t b = 64; b < 256; ++b) Offer(b, &web);
    EXPECT_TRUE(piece.IsCompleteInMemory());
    EXPECT_EQ(piece.BufferedBytes(), 3 * MiB);
    pieces->FlushComplete();
    EXPECT_TRUE(pieces->IsPieceDone(0));
    EXPECT_EQ(ReadDisk(0).substr(0, 4 * MiB), torrent.data.substr(0, 4 * MiB));
}

TEST_F(PieceCache, AFileRemovedOrReplacedUnderTheDownloadFailsItsNextWrite) {
    // The open handle would still take the bytes, into a file nobody can
    // find any more: the piece must stay missing.
    struct Case {
        const char* name;
        bool replace;  // another file of the same size put in its place
    };
    for (const Case& c : {Case{"removed", false}, Case{"replaced", true}}) {
        SCOPED_TRACE(c.name);
        pieces.reset();
        for (const char* name : {"file0.bin", "file0.bin.twtmp", "task.twinfodf"}) {
            std::filesystem::remove(sandbox.File(name));
        }
        Build(MakeTorrent(64 * KiB, {256 * KiB}));
        OfferPiece(0, nullptr);
        pieces->FlushComplete();
        ASSERT_TRUE(pieces->IsPieceDone(0));
        const std::string path = pieces->File(0)->m_path;
        std::filesystem::remove(path);
        if (c.replace) {
            const std::string other = path + ".other";
            std::ofstream(other, std::ios::binary).put('\0');
            std::filesystem::resize_file(other, 256 * KiB);
            std::filesystem::rename(other, path);
        }
        OfferPiece(1, nullptr);
        pieces->FlushComplete();
        EXPECT_FALSE(pieces->IsPieceDone(1));
    }
}

TEST_F(PieceCache, PiecesWaitingForUploadsAreAnnouncedAndAllWrittenWhenTheLastIsVerified) {
    Build(MakeTorrent(64 * KiB, {256 * KiB}));
    for (int64_t p = 0; p < 3; ++p) OfferPiece(p, nullptr);
    int announced = 0;
    for (int32_t code : owner.events) announced += code == PiecesEventCode::PieceVerifiedInMemory ? 1 : 0;
    EXPECT_EQ(announced, 3) << "peers may read them from memory at once";
    EXPECT_EQ(pieces->CompleteInMemoryBytes(), 3 * 64 * KiB);
    EXPECT_FALSE(pieces->IsPieceDone(0));
    const TBlockResult last = Offer(4 * 4 - 1, nullptr);
    EXPECT_EQ(last.outcome, BlockOutcome::Stored) << "piece 3 still lacks blocks";
    for (int64_t b = 12; b < 15; ++b) Offer(b, nullptr);
    EXPECT_TRUE(pieces->IsAllDone()) << "the last verified piece sent every piece to disk";
    EXPECT_EQ(pieces->CompleteInMemoryBytes(), 0);
    EXPECT_EQ(ReadDisk(0), torrent.data);
}

TEST_F(PieceCache, ACorruptedBlockFailsThePieceAndChargesItsSource) {
    struct Case {
        const char* name;
        int32_t kind;
        const char* event;
        const char* source_text;
        int32_t bad_pieces;
        bool write_on_completion = false;  // the piece is written while it is hashed
    };
    const std::array<Case, 3> cases{{
        {.name = "web source", .kind = BlockSourceKind::Http, .event = "11500101",
         .source_text = "http://127.0.0.1/pkg.zip", .bad_pieces = 1},
        {.name = "BitTorrent peer", .kind = BlockSourceKind::BitTorrent, .event = "11500102",
         .source_text = "127.0.0.9 : 6881", .bad_pieces = 0},
        {.name = "web source, written on completion", .kind = BlockSourceKind::Http, .event = "11500101",
         .source_text = "http://127.0.0.1/pkg.zip", .bad_pieces = 1, .write_on_completion = true},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        owner.failures.clear();
        owner.discarded_web = owner.discarded_peer = 0;
        Build(MakeTorrent(64 * KiB, {256 * KiB}));
        pieces->SetWriteOnCompletion(c.write_on_completion);
        FakeSource source(c.kind);
        EXPECT_EQ(Offer(4, &source, true).outcome, BlockOutcome::Stored);
        Offer(5, &source);
        // A second copy is not a second block kept.
        EXPECT_EQ(Offer(5, &source).outcome, BlockOutcome::Duplicate);
        Offer(6, &source);
        const TBlockResult last = Offer(7, &source);
        EXPECT_EQ(last.outcome, BlockOutcome::PieceFailed);
        EXPECT_EQ(last.piece, 1);
        EXPECT_FALSE(last.piece_complete);
        ASSERT_EQ(owner.failures.size(), 1u);
        EXPECT_STREQ(owner.failures[0].event_code, c.event);
        EXPECT_EQ(owner.failures[0].source, c.source_text);
        EXPECT_EQ(owner.failures[0].piece, 1);
        EXPECT_EQ(source.bad, c.bad_pieces);
        // The three blocks taken before the one that failed the check are
        // handed back to the kept-byte counts, under their source's kind.
        const bool web = c.kind & BlockSourceKind::WebMask;
        EXPECT_EQ(owner.discarded_web, web ? 3 * 16 * KiB : 0);
        EXPECT_EQ(owner.discarded_peer, web ? 0 : 3 * 16 * KiB);
        const TPiece& piece = *pieces->Piece(1);
        EXPECT_FALSE(piece.IsVerifiedComplete());
        EXPECT_FALSE(pieces->IsPieceDone(1));
        EXPECT_EQ(piece.BufferedBytes(), 0);
        EXPECT_EQ(piece.LastSource(), nullptr);
        EXPECT_EQ(source.refs, 0);
        // Fetched again from its start, it passes.
        OfferPiece(1, &source);
        EXPECT_EQ(source.bad, 0);
        if (c.write_on_completion) {
            // Its write was queued at once, over the bad bytes written the
            // first time; it is done when the write is collected.
            EXPECT_EQ(pieces->PendingWrites(), 1);
            pieces->DrainWrites();
            EXPECT_EQ(pieces->PendingWrites(), 0);
            EXPECT_TRUE(pieces->IsPieceDone(1));
            EXPECT_EQ(pieces->CompleteInMemoryBytes(), 0);
            EXPECT_EQ(pieces->Piece(1)->Buffer().AllocatedChunks(), 0);
            EXPECT_EQ(source.delivered, 2) << "the bad delivery and the good one";
            EXPECT_EQ(ReadDisk(0).substr(64 * KiB, 64 * KiB), torrent.data.substr(64 * KiB, 64 * KiB));
        } else {
            EXPECT_TRUE(pieces->Piece(1)->IsCompleteInMemory());
        }
        pieces.reset();  // holds a reference to the source
    }
}

TEST_F(PieceCache, HashingAsBlocksArriveChecksWhatThePieceHolds) {
    // Blocks in order are hashed as they come; the check must still judge
    // the bytes the piece holds at its end, whatever the order and however
    // often a block was replaced.
    struct Offer {
        int64_t block;
        bool corrupt;
    };
    struct Case {
        const char* name;
        std::vector<Offer> offers;
        BlockOutcome last;
    };
    const std::vector<Case> cases = {
        {"in order", {{0, false}, {1, false}, {2, false}, {3, false}}, BlockOutcome::PieceVerified},
        {"reversed", {{3, false}, {2, false}, {1, false}, {0, false}}, BlockOutcome::PieceVerified},
        {"a gap filled last", {{0, false}, {2, false}, {3, false}, {1, false}}, BlockOutcome::PieceVerified},
        {"corrupt in order", {{0, false}, {1, true}, {2, false}, {3, false}}, BlockOutcome::PieceFailed},
        {"corrupt copy replaces a hashed block",
         {{0, false}, {1, false}, {2, false}, {1, true}, {3, false}},
         BlockOutcome::PieceFailed},
        {"good copy replaces a corrupt block",
         {{0, false}, {1, true}, {2, false}, {1, false}, {3, false}},
         BlockOutcome::PieceVerified},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh file: an earlier case's written piece would count as done.
        pieces.reset();
        for (const char* name : {"file0.bin", "file0.bin.twtmp", "task.twinfodf"}) {
            std::filesystem::remove(sandbox.File(name));
        }
        Build(MakeTorrent(64 * KiB, {128 * KiB}));
        TBlockResult last;
        for (const Offer& o : c.offers) last = PiecesFixture::Offer(o.block, nullptr, o.corrupt);
        EXPECT_EQ(last.outcome, c.last);
        if (c.last == BlockOutcome::PieceVerified) {
            pieces->FlushComplete();
            EXPECT_EQ(ReadDisk(0).substr(0, 64 * KiB), torrent.data.substr(0, 64 * KiB));
        }
    }
}

TEST_F(PieceCache, BlocksCopiedWhileTheyAreHashedLandByteExact) {
    // In order, each block is copied into its piece as it is hashed; the
    // torrent ends in a short block, and a block arriving ahead of its turn
    // is copied first and hashed later.
    Build(MakeTorrent(64 * KiB, {128 * KiB - 1000}));
    OfferPiece(0, nullptr);
    for (int64_t b : {4, 6, 5, 7}) Offer(b, nullptr);
    pieces->FlushComplete();
    EXPECT_TRUE(pieces->IsAllDone());
    EXPECT_EQ(ReadDisk(0), torrent.data);
}

TEST_F(PieceCache, ABlockFilledInItsPlaceIsStoredWithoutACopy) {
    Build(MakeTorrent(256 * KiB, {512 * KiB}));
    Offer(2, nullptr);
    int32_t room = 0;
    // Up to the block already held.
    uint8_t* place = pieces->BlockPlace(0, &room);
    ASSERT_NE(place, nullptr);
    EXPECT_EQ(room, 2 * 16384);
    EXPECT_EQ(pieces->BlockPlace(2, &room), nullptr) << "a held block has no place";
    // Up to the chunk's end.
    ASSERT_NE(pieces->BlockPlace(3, &room), nullptr);
    EXPECT_EQ(room, 5 * 16384);
    std::memcpy(place, torrent.data.data(), 2 * 16384);
    EXPECT_EQ(pieces->WriteBlock(0, 16384, place, nullptr).outcome, BlockOutcome::Stored);
    EXPECT_EQ(pieces->WriteBlock(1, 16384, place + 16384, nullptr).outcome, BlockOutcome::Stored);
    for (int64_t b = 3; b < 16; ++b) Offer(b, nullptr);
    EXPECT_TRUE(pieces->Piece(0)->IsCompleteInMemory());
    EXPECT_EQ(pieces->BlockPlace(5, &room), nullptr) << "a whole piece takes nothing more";
    pieces->FlushComplete();
    EXPECT_EQ(ReadDisk(0).substr(0, 256 * KiB), torrent.data.substr(0, 256 * KiB));
    // A place asked for and left unfilled gives its memory back.
    ASSERT_NE(pieces->BlockPlace(16, &room), nullptr);
    EXPECT_EQ(pieces->Piece(1)->Buffer().AllocatedChunks(), 1);
    pieces->ReleasePlace(16);
    EXPECT_EQ(pieces->Piece(1)->Buffer().AllocatedChunks(), 0);
}

TEST_F(PieceCache, ABlockOfferedTwiceCountsOnce) {
    Build(MakeTorrent(256 * KiB, {256 * KiB}));
    Offer(2, nullptr);
    Offer(2, nullptr);
    EXPECT_EQ(pieces->Piece(0)->BufferedBytes(), 16384);
    EXPECT_TRUE(pieces->HasBlock(2));
    EXPECT_FALSE(pieces->HasBlock(3));
}

TEST_F(PieceCache, TheLastShortPieceCompletes) {
    Build(MakeTorrent(256 * KiB, {300000}));
    OfferPiece(1, nullptr);
    EXPECT_TRUE(pieces->Piece(1)->IsCompleteInMemory());
    EXPECT_EQ(pieces->Piece(1)->BufferedBytes(), 300000 - 256 * KiB);
    OfferPiece(0, nullptr);
    pieces->FlushComplete();
    EXPECT_TRUE(pieces->IsAllDone());
    EXPECT_EQ(ReadDisk(0), torrent.data);
}

TEST_F(PieceCache, BuffersStayWithinTheCacheLimitForALongDownload) {
    struct Case {
        const char* name;
        int32_t units;
        int64_t pieces_per_upkeep;  // 0: no upkeep pass during the download
    };
    // With upkeep passes in between, written pieces stay behind as cached
    // copies while new ones complete: both together must fit the cache.
    const Case cases[] = {{"no upkeep", 4, 0}, {"upkeep every 4 pieces", 4, 4}, {"upkeep every 32 pieces", 16, 32}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cache_units = c.units;
        // Two files, so that some writes span a file boundary.
        Build(MakeTorrent(256 * KiB, {20 * MiB + 5000, 12 * MiB - 5000}));
        int64_t pool_in_use_before = 0;
        BufferPools::PieceBuffers().Usage(&pool_in_use_before);
        int64_t peak = 0;
        for (int64_t p = 0; p < torrent.PieceCount(); ++p) {
            OfferPiece(p, nullptr);
            int64_t in_use = 0;
            BufferPools::PieceBuffers().Usage(&in_use);
            peak = std::max(peak, in_use - pool_in_use_before);
            // Complete pieces wait in memory up to half the cache; beyond,
            // they are queued for writing, and the queue is bounded too.
            EXPECT_LE(pieces->CompleteInMemoryBytes(),
                      pieces->CacheLimit() / 2 + pieces->WriteQueueLimit() + 256 * KiB);
            if (c.pieces_per_upkeep > 0 && (p + 1) % c.pieces_per_upkeep == 0) {
                owner.now += 5;
                pieces->MaintainCache();
            }
        }
        EXPECT_LE(peak, pieces->CacheLimit());
        pieces->FlushComplete();
        EXPECT_TRUE(pieces->IsAllDone());
        EXPECT_EQ(ReadDisk(0) + ReadDisk(1), torrent.data);
        // The next case starts from empty files.
        const std::string paths[] = {pieces->File(0)->m_path, pieces->File(1)->m_path};
        pieces.reset();
        for (const std::string& path : paths) std::filesystem::remove(path);
    }
}

TEST_F(PieceCache, UploadReadsFillTheCacheFromDiskWithReadAhead) {
    Build(MakeTorrent(256 * KiB, {512 * KiB}));
    OfferPiece(0, nullptr);
    pieces->FlushComplete();
    pieces->Piece(0)->DropBuffer();
    std::string out(16384, '\0');
    auto* p = reinterpret_cast<uint8_t*>(out.data());
    EXPECT_EQ(pieces->ReadBlock(1, 16384, p, 0, false), 16384);
    EXPECT_EQ(out, torrent.data.substr(16384, 16384));
    // 16 KiB asked + 64 KiB read ahead, in whole blocks.
    EXPECT_EQ(pieces->Piece(0)->BufferedBytes(), 80 * KiB);
    EXPECT_EQ(pieces->ReadBlock(5, 16384, p, 0, false), 16384);
    EXPECT_EQ(pieces->CacheHits(), 1);
    EXPECT_EQ(pieces->ReadBlock(17, 16384, p, 0, false), -1) << "piece 1 is not done";
}

TEST_F(PieceCache, AnUploadReadWithTheRestOfThePieceAskedForReadsThePieceOnce) {
    Build(MakeTorrent(256 * KiB, {512 * KiB}));
    OfferPiece(1, nullptr);
    pieces->FlushComplete();
    pieces->Piece(1)->DropBuffer();
    std::string out(16384, '\0');
    auto* p = reinterpret_cast<uint8_t*>(out.data());
    // Piece 1 is blocks 16 to 31; each read knows the blocks asked after it.
    for (int32_t b = 16; b < 32; ++b) {
        ASSERT_EQ(pieces->ReadBlock(b, 16384, p, (31 - b) * 16384, false), 16384);
        ASSERT_EQ(out, torrent.data.substr(static_cast<size_t>(b) * 16384, 16384));
    }
    EXPECT_EQ(pieces->ReadRequests() - pieces->CacheHits(), 1) << "one read from disk";
}

TEST_F(PieceCache, UploadReadsOfAFileManyTimesTheCacheStayWithinIt) {
    cache_units = 4;  // 1 MiB
    Build(MakeTorrent(256 * KiB, {12 * MiB}));
    for (int64_t p = 0; p < torrent.PieceCount(); ++p) OfferPiece(p, nullptr);
    pieces->FlushComplete();
    for (int64_t p = 0; p < torrent.PieceCount(); ++p) pieces->Piece(p)->DropBuffer();
    int64_t pool_in_use_before = 0;
    BufferPools::PieceBuffers().Usage(&pool_in_use_before);
    int64_t peak = 0;
    std::string out(16384, '\0');
    auto* p = reinterpret_cast<uint8_t*>(out.data());
    // A seeder's reads, piece after piece, with no upkeep pass in between.
    for (int64_t b = 0; b < 12 * MiB / 16384; ++b) {
        ASSERT_EQ(pieces->ReadBlock(b, 16384, p, static_cast<int32_t>(15 - b % 16) * 16384, false), 16384);
        ASSERT_EQ(out, torrent.data.substr(static_cast<size_t>(b) * 16384, 16384));
        int64_t in_use = 0;
        BufferPools::PieceBuffers().Usage(&in_use);
        peak = std::max(peak, in_use - pool_in_use_before);
    }
    EXPECT_LE(peak, pieces->CacheLimit() + 256 * KiB);
}

}  // namespace
}  // namespace engine::testing_pieces
