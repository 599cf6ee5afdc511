// Block dumps: entries are checked and restored into the piece buffers of a
// freshly examined piece map. Never crashes, leaks or hangs, and never lets a
// piece count as complete or done whose bytes do not verify.
//
// TIDEWELL_WRITE_SEEDS=<folder> writes a seed dump made by the real save path
// and exits.

#include <cstdlib>

#include "tests/fuzz/FuzzPieces.h"

using namespace fuzz_pieces;

namespace {

Fixture& TheFixture() {
    static auto* fixture = new Fixture("block_dump");
    return *fixture;
}

void WriteSeed(const std::string& folder) {
    Fixture& f = TheFixture();
    f.ResetDisk();
    f.Build("", "");
    f.Offer(48);  // one block of piece 3
    f.Offer(49);
    f.pieces->SaveBlockDump();
    std::string bytes;
    platform::ReadWholeFile(f.Path("t.twinfodf"), &bytes);
    platform::WriteFileAtomic(folder + "/two_blocks.df", bytes);
    f.pieces.reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* out = std::getenv("TIDEWELL_WRITE_SEEDS")) {
        WriteSeed(out);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fixture& f = TheFixture();
    f.ResetDisk();
    f.Build("", "");
    std::ofstream(f.Path("t.twinfodf"), std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    f.pieces->LoadBlockDump();
    f.CheckNothingUnverifiedIsDone();
    f.pieces->FlushComplete();
    f.CheckNothingUnverifiedIsDone();
    f.pieces.reset();
    return 0;
}
