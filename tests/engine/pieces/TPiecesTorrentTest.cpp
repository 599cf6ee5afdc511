// Building the piece map from loaded metainfo, and rebuilding it when new
// metainfo with another piece length arrives.

#include <gtest/gtest.h>

#include "engine/meta/TTorrent.h"
#include "engine/pieces/TPieces.h"
#include "platform/File.h"
#include "tests/engine/pieces/PiecesTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::TPieces;
using pieces_test::MakeData;
using pieces_test::RecordingOwner;
using testing_support::Sandbox;

std::string Str(const std::string& s) { return std::to_string(s.size()) + ":" + s; }

// pkg/a (40000 bytes), pkg/empty (0), pkg/sub/b (30000).
std::string MultiFileTorrent(const std::string& data, int64_t piece_length) {
    const std::string digests = pieces_test::DigestsOf(data, piece_length);
    return "d4:infod5:filesl"
           "d6:lengthi40000e4:pathl1:aee"
           "d6:lengthi0e4:pathl5:emptyee"
           "d6:lengthi30000e4:pathl3:sub1:bee"
           "e4:name3:pkg12:piece lengthi" + std::to_string(piece_length) + "e6:pieces" + Str(digests) + "ee";
}

void WriteAll(TPieces& pieces, const std::string& data) {
    const int64_t L = pieces.PieceLength();
    for (int64_t p = 0; p < pieces.PieceCount(); ++p) {
        const int32_t size = pieces.Piece(p)->Size();
        ASSERT_EQ(pieces.WritePieceRange(p, reinterpret_cast<const uint8_t*>(data.data()) + p * L, size, 0, false).outcome,
                  engine::BlockOutcome::PieceVerified);
    }
}

TEST(TPiecesFromTorrent, FilesOfALoadedTorrentAreWrittenAndRebuiltWithANewPieceLength) {
    Sandbox box;
    RecordingOwner owner;
    const std::string data = MakeData(70000, 31);
    engine::TTorrent torrent;
    torrent.SetSaveFolder(box.Path().string());
    ASSERT_TRUE(torrent.LoadFromBytes(MultiFileTorrent(data, 16384)));
    TPieces pieces(&owner);
    ASSERT_TRUE(pieces.BuildFromTorrent(torrent.Layout(), nullptr));
    ASSERT_EQ(pieces.FileCount(), 3u);
    EXPECT_EQ(pieces.File(2)->m_display_name, "pkg/sub/b");
    WriteAll(pieces, data);
    pieces.CloseFiles(true, true);
    const std::string a = box.File("pkg/a"), empty = box.File("pkg/empty"), b = box.File("pkg/sub/b");
    EXPECT_EQ(Sandbox::Read(a), data.substr(0, 40000));
    EXPECT_TRUE(platform::Exists(empty));
    EXPECT_EQ(platform::FileSize(empty), 0);
    EXPECT_EQ(Sandbox::Read(b), data.substr(40000));

    // New metainfo for the same bytes, cut into 32 KiB pieces: the data on
    // disk carries over, nothing is fetched again.
    engine::TTorrent next;
    next.SetSaveFolder(box.Path().string());
    ASSERT_TRUE(next.LoadFromBytes(MultiFileTorrent(data, 32768)));
    TPieces rebuilt(&owner);
    ASSERT_TRUE(rebuilt.BuildFromTorrent(next.Layout(), &pieces));
    EXPECT_EQ(rebuilt.Bitfield().ToString(), "111");
    EXPECT_TRUE(rebuilt.IsAllDone());
    EXPECT_EQ(Sandbox::Read(a), data.substr(0, 40000));
    EXPECT_EQ(Sandbox::Read(b), data.substr(40000));
}

TEST(TPiecesFromTorrent, InvalidLayoutBuildsNothing) {
    RecordingOwner owner;
    engine::TTorrent torrent;
    EXPECT_FALSE(torrent.LoadFromBytes(std::string("d4:infod4:name1:xee")));
    TPieces pieces(&owner);
    EXPECT_FALSE(pieces.BuildFromTorrent(torrent.Layout(), nullptr));
    EXPECT_FALSE(pieces.IsLayoutValid());
}

}  // namespace
