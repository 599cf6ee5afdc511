// Fuzz target for the torrent loader: any bytes load or fail cleanly; a loaded
// layout is consistent and keeps every path inside the save folder.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/meta/TTorrent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    engine::TTorrent torrent;
    torrent.SetSaveFolder("/save");
    if (!torrent.LoadFromBytes(reinterpret_cast<const char*>(data), static_cast<int64_t>(size))) return 0;
    const engine::TTorrentLayout& layout = torrent.Layout();
    if (torrent.InfoHashHex().size() != 40 || layout.PieceLength() <= 0 || layout.Files().empty()) abort();
    int64_t offset = 0;
    for (const auto& file : layout.Files()) {
        if (file.offset_bytes != offset || file.size_bytes < 0) abort();
        if (file.path.rfind("/save/", 0) != 0) abort();
        if (file.path.find("/../") != std::string::npos || file.path.find("/./") != std::string::npos) abort();
        offset += file.size_bytes;
    }
    if (offset != layout.TotalLength()) abort();
    if (layout.PieceCount() * layout.PieceLength() < offset) abort();
    return 0;
}
