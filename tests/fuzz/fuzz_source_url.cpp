// Feeds arbitrary text to the source URL parser (without name resolution, so
// no thread or DNS query per input) and to the percent coders, and checks
// their promises: bounded texts, no NUL from decoding, nothing left
// unescaped by encoding, and a known kind whenever the parse succeeds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/net/SourceUrl.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

bool Bounded(const std::string& text) { return text.size() <= engine::UrlTextLimit; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::string encoded = engine::PercentEncodeUrl(text);
    Check(Bounded(encoded));
    for (unsigned char c : encoded) Check(c > ' ' && c < 0x7F);
    const std::string decoded = engine::PercentDecodeUrl(text);
    Check(Bounded(decoded) && decoded.find('\0') == std::string::npos);

    engine::TSourceFields fields;
    engine::TSourceInfo info;
    if (engine::ParseSourceUrlText(text, fields, info)) {
        const auto kind = fields.kind;
        Check(kind == engine::SourceKind::Http || kind == engine::SourceKind::Ftp ||
              kind == engine::SourceKind::Tracker || kind == engine::SourceKind::BitTorrentPeer);
        Check(fields.port >= 0);
        Check(Bounded(info.host) && Bounded(info.path) && Bounded(info.request_path) &&
              Bounded(info.user) && Bounded(info.password) && Bounded(info.file_name));
        if (kind == engine::SourceKind::Tracker) Check(fields.extra == 0 || fields.extra == 1);
    }
    (void)engine::ParseDottedAddress(text);
    return 0;
}
