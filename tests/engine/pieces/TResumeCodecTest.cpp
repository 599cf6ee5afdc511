// Saving and restoring the piece state and the file selection.

#include "engine/pieces/TResumeCodec.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "engine/pieces/TSha1State.h"
#include "tests/engine/pieces/PiecesFixture.h"

namespace engine::testing_pieces {
namespace {

constexpr int64_t KiB = 1024;

// Pieces 1 and 3 done, piece 0 with 128 KiB written (one flush unit), file 2
// deselected and never created.
class Resume : public PiecesFixture {
protected:
    static std::string DeselectThird() { return "l9:file0.binde9:file1.binde9:file2.bini1edee"; }

    void SaveProgress() {
        Build(MakeTorrent(256 * KiB, {1024 * KiB, 512 * KiB, 300 * KiB}), "", DeselectThird());
        OfferPiece(1, nullptr);
        OfferPiece(3, nullptr);
        pieces->FlushComplete();
        for (int64_t b = 0; b < 8; ++b) Offer(b, nullptr);
        owner.now += TPieces::IdleFlushSeconds + 1;
        pieces->MaintainCache();
        ASSERT_EQ(pieces->Piece(0)->WrittenPrefix(), 128 * KiB);
        pieces->CloseFiles(true, false);
        saved = owner.bits;
        ASSERT_FALSE(saved.empty());
        pieces.reset();
    }

    void Restart(const std::string& bits) {
        owner.events.clear();
        Build(torrent, bits, DeselectThird());
    }

    std::string Done() const {
        std::string s;
        for (int64_t p = 0; p < pieces->PieceCount(); ++p) s += pieces->IsPieceDone(p) ? '1' : '0';
        return s;
    }

    std::string saved;
};

TEST_F(Resume, RestoresDonePiecesAndAPartialPieceZero) {
    SaveProgress();
    // Piece 0's index, a zero priority and a missing file's zero times are
    // written without integers.
    EXPECT_NE(saved.find("d5:Index4:Parti131072e6:Status104:"), std::string::npos);
    EXPECT_NE(saved.find("8:Priority"), std::string::npos);
    EXPECT_NE(saved.find("file2.bin.twtmp3:Low4:High4:Sizei-1e8:Priorityi-3e"), std::string::npos);

    Restart(saved);
    EXPECT_EQ(Done(), "01010000");
    TPiece& piece = *pieces->Piece(0);
    EXPECT_EQ(piece.WrittenPrefix(), 128 * KiB);
    EXPECT_EQ(pieces->PartialPieces(), std::vector<int32_t>{0});
    EXPECT_TRUE(pieces->HasBlock(7)) << "the written prefix counts as present";
    EXPECT_FALSE(pieces->File(2)->IsSelected());
    // The restored SHA-1 state is right: the rest of the piece completes it.
    for (int64_t b = 8; b < 16; ++b) Offer(b, nullptr);
    EXPECT_TRUE(piece.IsCompleteInMemory());
    pieces->FlushComplete();
    EXPECT_EQ(Done(), "11010000");
}

std::string ReplaceCrc(std::string blob) {
    const size_t at = blob.find("5:CRC32i") + 8;
    blob[at] = blob[at] == '9' ? '1' : static_cast<char>(blob[at] + 1);
    return blob;
}

std::string PrefixOfOneBlock(std::string blob) {
    // A well-formed state for 16 KiB: valid in itself, but not a whole flush
    // unit of the piece.
    std::string data(16384, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(StreamByte(static_cast<int64_t>(i)));
    uint8_t state[TSha1State::Size];
    TSha1State::Reset(state);
    TSha1State::Update(state, data.data(), data.size());
    const std::string entry = "d5:Index4:Parti16384e6:Status104:" +
                              std::string(reinterpret_cast<const char*>(state), sizeof state) + "5:CRC32i" +
                              std::to_string(TResumeCodec::StateChecksum(0, state)) + "ee";
    const size_t start = blob.find("d5:Index");
    const size_t end = blob.find("e", blob.find("5:CRC32i", start) + 8) + 2;
    return blob.replace(start, end - start, entry);
}

std::string FlipBitfield(std::string blob) {
    const size_t at = blob.find("8:BitField1:") + 12;
    blob[at] = static_cast<char>(0xff);
    return blob;
}

TEST_F(Resume, PassesOverAPartialPieceItCannotTrust) {
    SaveProgress();
    struct Case {
        const char* name;
        std::function<std::string(std::string)> damage;
    };
    // The file keeps its size, so the state matches the files; only the
    // prefix's bytes tell.
    const auto change_prefix_on_disk = [this](std::string blob) {
        std::string path = sandbox.File("file0.bin");
        if (!std::filesystem::exists(path)) path += ".twtmp";
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(1000);
        file.put(static_cast<char>(StreamByte(1000) ^ 0x5a));
        return blob;
    };
    for (const Case& c : {Case{"wrong CRC32", ReplaceCrc}, Case{"prefix not a flush unit", PrefixOfOneBlock},
                          Case{"prefix changed on disk", change_prefix_on_disk}}) {
        SCOPED_TRACE(c.name);
        Restart(c.damage(saved));
        EXPECT_EQ(Done(), "01010000") << "the rest of the state is restored";
        EXPECT_EQ(pieces->Piece(0)->WrittenPrefix(), 0) << "fetched again from its start";
        EXPECT_EQ(pieces->Piece(0)->HashState(), nullptr);
        EXPECT_TRUE(pieces->PartialPieces().empty());
        pieces.reset();
    }
}

TEST_F(Resume, RestoresNothingWhenTheFilesOrTheBitfieldDoNotMatch) {
    struct Case {
        const char* name;
        std::function<void()> change;
        const char* rechecked;
    };
    const std::string file0 = "file0.bin.twtmp";
    const std::string file1 = "file1.bin.twtmp";
    const Case cases[] = {
        {"file deleted", [&] { std::filesystem::remove(sandbox.File(file1)); }, "01010000"},
        {"file resized", [&] { std::filesystem::resize_file(sandbox.File(file0), 512 * KiB); },
         "01000000"},
        {"bitfield damaged", [this] { saved = FlipBitfield(saved); }, "01010000"},
        {"another torrent", [this] { torrent.info_hash = std::string(20, '\x01'); }, "01010000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SaveProgress();
        c.change();
        Restart(saved);
        // The recheck finds what the disk really holds, and no written prefix.
        EXPECT_EQ(Done(), c.rechecked);
        EXPECT_EQ(pieces->Piece(0)->WrittenPrefix(), 0);
        EXPECT_TRUE(pieces->PartialPieces().empty());
        pieces.reset();
        std::filesystem::remove_all(sandbox.Path());
        std::filesystem::create_directories(sandbox.Path());
    }
}

TEST_F(Resume, SelectionListRoundTrips) {
    Build(MakeTorrent(256 * KiB, {256 * KiB, 256 * KiB}));
    ASSERT_TRUE(pieces->SaveSelectionList());
    EXPECT_EQ(owner.part, "l9:file0.binde9:file1.bindee") << "all selected: no integers";
    pieces->SelectFile(0, true);
    ASSERT_TRUE(pieces->SaveSelectionList());
    EXPECT_EQ(owner.part, "l9:file0.bini1ede9:file1.bindee");
    const std::string part = owner.part;
    pieces.reset();
    Build(torrent, "", part);
    EXPECT_FALSE(pieces->File(0)->IsSelected());
    EXPECT_TRUE(pieces->File(1)->IsSelected());
    pieces.reset();
    Build(torrent, "", "l9:file0.binde9:file1.bindee");
    EXPECT_TRUE(pieces->File(0)->IsSelected());
    EXPECT_TRUE(pieces->File(1)->IsSelected());
}

}  // namespace
}  // namespace engine::testing_pieces
