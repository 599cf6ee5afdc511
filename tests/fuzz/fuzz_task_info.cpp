// Task-information files: parsing, the piece state and the selection they
// carry, checked against files on disk. Never crashes, leaks or hangs, and
// never marks a piece done whose bytes do not verify.
//
// TIDEWELL_WRITE_SEEDS=<folder> writes a seed file made by the real save path
// and exits.

#include <cstdlib>

#include "engine/meta/TTaskInfo.h"
#include "tests/fuzz/FuzzPieces.h"

using namespace fuzz_pieces;

namespace {

Fixture& TheFixture() {
    static auto* fixture = new Fixture("task_info");
    return *fixture;
}

void WriteSeed(const std::string& folder) {
    Fixture& f = TheFixture();
    f.ResetDisk();
    f.Build("", "");  // the recheck finds pieces 0 and 1
    for (int64_t b = 32; b < 40; ++b) f.Offer(b);  // piece 2: one flush unit
    f.pieces->FlushPiece(2, 131072);
    f.pieces->SaveSelectionList();
    f.pieces->CloseFiles(true, false);
    TTaskInfo info;
    info.Set(TTaskInfo::Blob::Bits, f.owner.bits);
    info.Set(TTaskInfo::Blob::Part, "l2:f0de2:f1i1edee");
    info.Set(TTaskInfo::Blob::Seeds, "seeds");
    info.Save(folder + "/state.twinfo");
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
    const std::string path = f.Path("t.twinfo");
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    TTaskInfo info;
    info.Load(path);
    f.ResetDisk();
    f.Build(info.Get(TTaskInfo::Blob::Bits), info.Get(TTaskInfo::Blob::Part));
    f.CheckNothingUnverifiedIsDone();
    // Whatever partial state was restored must complete correctly or fail.
    for (int64_t b = 32; b < 64; ++b) f.Offer(b);
    f.pieces->FlushComplete();
    f.CheckNothingUnverifiedIsDone();
    f.pieces.reset();
    return 0;
}
