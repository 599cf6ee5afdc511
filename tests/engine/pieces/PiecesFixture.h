#pragma once
// A piece map over real files in a sandbox, with a recording owner and a
// scriptable block source, for the buffer, cache and resume tests.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/pieces/TBlockSource.h"
#include "engine/pieces/TPieces.h"
#include "engine/pieces/TResumeCodec.h"
#include "engine/meta/QSha1.h"
#include "tests/support/Sandbox.h"

namespace engine::testing_pieces {

class RecordingOwner : public TPiecesOwner {
public:
    void OnPiecesEvent(const TPiecesEvent& e) override {
        events.push_back(e.code);
        const std::string blob = e.data ? std::string(reinterpret_cast<const char*>(e.data), e.argument) : "";
        if (e.code == PiecesEventCode::PieceStateSaved) bits = blob;
        if (e.code == PiecesEventCode::SelectionSaved) part = blob;
    }
    bool IsStopping() const override { return false; }
    bool IsMetadataReady() const override { return true; }
    int64_t NowSeconds() const override { return now; }
    void PauseForDiskSpace(uint32_t) override {}
    void OnVerifyFailure(const TVerifyFailure& f) override { failures.push_back(f); }
    void OnKeptBytesDiscarded(int64_t web, int64_t peer) override {
        discarded_web += web;
        discarded_peer += peer;
    }

    int64_t now = 100000;
    std::vector<int32_t> events;
    std::vector<TVerifyFailure> failures;
    int64_t discarded_web = 0;
    int64_t discarded_peer = 0;
    std::string bits;
    std::string part;
};

class FakeSource : public TBlockSource {
public:
    explicit FakeSource(int32_t source_kind) : kind(source_kind) {}
    void AddRef() override { ++refs; }
    void Release() override { --refs; }
    int32_t Kind() const override { return kind; }
    uint32_t AddressV4() const override {
        const uint8_t b[4] = {127, 0, 0, 9};
        uint32_t v;
        std::memcpy(&v, b, 4);
        return v;
    }
    uint16_t Port() const override { return 6881; }
    std::string Url() const override { return "http://127.0.0.1/pkg.zip"; }
    void AddPieceDelivered() override { ++delivered; }
    void AddBadPiece() override { ++bad; }
    void ClearBadPieces() override { bad = 0; }

    int32_t kind;
    int32_t refs = 0;
    int32_t delivered = 0;
    int32_t bad = 0;
};

// Deterministic content: byte i of the stream.
inline uint8_t StreamByte(int64_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 13); }

struct Torrent {
    int64_t piece_length = 0;
    std::vector<int64_t> file_sizes;
    std::string data;  // the whole stream
    std::string info_hash = std::string(20, '\x5a');

    int64_t Total() const { return static_cast<int64_t>(data.size()); }
    int64_t PieceCount() const { return (Total() + piece_length - 1) / piece_length; }
};

inline Torrent MakeTorrent(int64_t piece_length, std::vector<int64_t> file_sizes) {
    Torrent t;
    t.piece_length = piece_length;
    t.file_sizes = std::move(file_sizes);
    int64_t total = 0;
    for (int64_t s : t.file_sizes) total += s;
    t.data.resize(static_cast<size_t>(total));
    for (int64_t i = 0; i < total; ++i) t.data[static_cast<size_t>(i)] = static_cast<char>(StreamByte(i));
    return t;
}

// The torrent's pieces, files and resume settings over one sandbox folder.
class PiecesFixture : public ::testing::Test {
protected:
    void Build(const Torrent& t, const std::string& bits = "", const std::string& part = "") {
        torrent = t;
        pieces = std::make_unique<TPieces>(&owner);
        pieces->SetStateCodec(&codec);
        pieces->SetInfoHash(t.info_hash);
        pieces->SetPieceStateBlob(bits);
        pieces->SetSelectionBlob(part);
        pieces->SetBlockDumpPath(sandbox.File("task.twinfodf"));
        pieces->SetCacheSize(cache_units);
        TPiecesLayout layout;
        layout.save_folder = sandbox.Path().string();
        layout.name = "pkg";
        layout.piece_length = t.piece_length;
        for (int64_t p = 0; p < t.PieceCount(); ++p) {
            const int64_t start = p * t.piece_length;
            const auto d = QSha1::Digest(t.data.data() + start,
                                     static_cast<size_t>(std::min(t.piece_length, t.Total() - start)));
            layout.digests.append(reinterpret_cast<const char*>(d.data()), d.size());
        }
        for (size_t i = 0; i < t.file_sizes.size(); ++i) {
            const std::string name = "file" + std::to_string(i) + ".bin";
            layout.files.push_back({sandbox.File(name), name, t.file_sizes[i]});
        }
        ASSERT_TRUE(pieces->BuildFromLayout(layout, nullptr));
    }

    // Offers block b (of the whole stream), optionally corrupted.
    TBlockResult Offer(int64_t b, TBlockSource* source, bool corrupt = false) {
        const int64_t at = b * 16384;
        std::string block = torrent.data.substr(static_cast<size_t>(at), 16384);
        if (corrupt) block[0] = static_cast<char>(block[0] ^ 0xff);
        return pieces->WriteBlock(b, static_cast<int32_t>(block.size()),
                                  reinterpret_cast<const uint8_t*>(block.data()), source);
    }

    void OfferPiece(int64_t p, TBlockSource* source) {
        const int64_t first = p * torrent.piece_length / 16384;
        const int64_t end = std::min((p + 1) * torrent.piece_length, torrent.Total());
        for (int64_t b = first; b * 16384 < end; ++b) Offer(b, source);
    }

    std::string ReadDisk(size_t file) const {
        TFileEntry* f = pieces->File(file);
        return testing_support::Sandbox::Read(f->m_path);
    }

    testing_support::Sandbox sandbox;
    RecordingOwner owner;
    TResumeCodec codec;
    Torrent torrent;
    int32_t cache_units = 64;
    std::unique_ptr<TPieces> pieces;
};

}  // namespace engine::testing_pieces
