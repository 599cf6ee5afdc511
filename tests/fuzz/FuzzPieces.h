#pragma once
// A small piece map over real files for the resume fuzz targets: four
// pieces of 256 KiB in two files, whose disk holds the right bytes for pieces
// 0 and 1 and wrong bytes for pieces 2 and 3. The oracle: whatever the input,
// no piece the map calls done (or complete in memory) may fail its digest.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/pieces/TPieces.h"
#include "engine/pieces/TResumeCodec.h"
#include "engine/meta/QSha1.h"
#include "platform/File.h"

namespace fuzz_pieces {

using namespace engine;

constexpr int64_t PieceLength = 262144;  // two flush units, so prefixes can be partial
constexpr int64_t PieceCount = 4;
constexpr int64_t FileSize = PieceLength * PieceCount / 2;

inline uint8_t TrueByte(int64_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 11); }

class Owner : public TPiecesOwner {
public:
    void OnPiecesEvent(const TPiecesEvent& e) override {
        if (e.code == PiecesEventCode::PieceStateSaved && e.data) bits.assign(reinterpret_cast<const char*>(e.data), e.argument);
    }
    bool IsStopping() const override { return false; }
    bool IsMetadataReady() const override { return true; }
    int64_t NowSeconds() const override { return 100000; }
    void PauseForDiskSpace(uint32_t) override {}
    std::string bits;
};

struct Fixture {
    std::string folder;
    std::string info_hash = std::string(20, '\x33');
    std::string digests;
    Owner owner;
    TResumeCodec codec;
    std::unique_ptr<TPieces> pieces;

    // A fixed folder per target, so that seed files (which name their data
    // files) match on every run; in memory when possible, as the state
    // writer syncs files.
    explicit Fixture(const std::string& name) {
        folder = (std::filesystem::exists("/dev/shm") ? std::string("/dev/shm") : std::string("/tmp")) +
                 "/tidewell-fuzz-" + name;
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        std::filesystem::create_directories(folder);
        for (int64_t p = 0; p < PieceCount; ++p) {
            std::string piece(PieceLength, '\0');
            for (int64_t i = 0; i < PieceLength; ++i) piece[static_cast<size_t>(i)] = static_cast<char>(TrueByte(p * PieceLength + i));
            const auto d = QSha1::Digest(piece.data(), piece.size());
            digests.append(reinterpret_cast<const char*>(d.data()), d.size());
        }
    }

    ~Fixture() {
        pieces.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::string Path(const std::string& name) const { return folder + "/" + name; }

    // Files as the fixture describes them, every time: a run may write.
    void ResetDisk() {
        for (int f = 0; f < 2; ++f) {
            std::string bytes(FileSize, '\0');
            for (int64_t i = 0; i < FileSize; ++i) {
                const int64_t at = f * FileSize + i;
                const bool right = at < 2 * PieceLength;
                bytes[static_cast<size_t>(i)] = static_cast<char>(right ? TrueByte(at) : TrueByte(at) ^ 0x5a);
            }
            std::ofstream(Path("f" + std::to_string(f)), std::ios::binary | std::ios::trunc) << bytes;
        }
        platform::RemoveFile(Path("f0.twtmp"));
        platform::RemoveFile(Path("f1.twtmp"));
    }

    TPieces& Build(const std::string& bits, const std::string& part) {
        pieces = std::make_unique<TPieces>(&owner);
        pieces->SetStateCodec(&codec);
        pieces->SetInfoHash(info_hash);
        pieces->SetPieceStateBlob(bits);
        pieces->SetSelectionBlob(part);
        pieces->SetBlockDumpPath(Path("t.twinfodf"));
        TPiecesLayout layout;
        layout.save_folder = folder;
        layout.name = "fuzz";
        layout.piece_length = PieceLength;
        layout.digests = digests;
        layout.files.push_back({Path("f0"), "f0", FileSize});
        layout.files.push_back({Path("f1"), "f1", FileSize});
        pieces->BuildFromLayout(layout, nullptr);
        return *pieces;
    }

    // Offers block b with its true bytes.
    void Offer(int64_t b) {
        std::string block(16384, '\0');
        for (int64_t i = 0; i < 16384; ++i) block[static_cast<size_t>(i)] = static_cast<char>(TrueByte(b * 16384 + i));
        pieces->WriteBlock(b, 16384, reinterpret_cast<const uint8_t*>(block.data()), nullptr);
    }

    // The oracle.
    void CheckNothingUnverifiedIsDone() {
        TPieces& map = *pieces;
        for (int64_t p = 0; p < map.PieceCount(); ++p) {
            TPiece* piece = map.Piece(p);
            if (!piece) continue;
            std::string bytes(PieceLength, '\0');
            auto* out = reinterpret_cast<uint8_t*>(bytes.data());
            bool claimed = false;
            if (map.IsPieceDone(p)) {
                claimed = true;
                if (map.ReadPieceRange(p, out, piece->Size(), 0) != piece->Size()) std::abort();
            } else if (piece->IsCompleteInMemory()) {
                claimed = true;
                const int32_t prefix = piece->WrittenPrefix();
                if (prefix > 0 && map.ReadPieceRange(p, out, prefix, 0) != prefix) std::abort();
                if (piece->Buffer().Read(out + prefix, piece->Size() - prefix, prefix, true) != piece->Size() - prefix) {
                    std::abort();
                }
            }
            const Sha1Digest d = QSha1::Digest(bytes.data(), static_cast<size_t>(piece->Size()));
            if (claimed && std::memcmp(d.data(), digests.data() + 20 * p, 20) != 0) {
                std::fprintf(stderr, "piece %lld claimed but does not verify\n", static_cast<long long>(p));
                std::abort();
            }
        }
    }
};

}  // namespace fuzz_pieces
