// Feeds arbitrary datagrams to the LAN discovery message parser and checks
// its promises: a parsed message names a reachable sender and a known kind,
// and building it again gives back the first 56 bytes except the two bytes
// after the port, which the parser does not read.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/udp/LanMessage.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    engine::LanParseError error = engine::LanParseError::None;
    const std::optional<engine::LanMessage> m = engine::ParseLanMessage(data, size, &error);
    Check(m.has_value() == (error == engine::LanParseError::None));
    if (!m) return 0;
    Check(size >= engine::LanMessageSize);
    Check(m->address != 0 && m->port != 0);
    Check(m->kind == engine::LanMessageKind::Announcement || m->kind == engine::LanMessageKind::Answer);
    engine::LanDatagram again = engine::BuildLanMessage(*m);
    Check(std::memcmp(again.data(), data, 10) == 0);
    Check(std::memcmp(again.data() + 12, data + 12, engine::LanMessageSize - 12) == 0);
    Check(engine::ParseLanMessage(again.data(), again.size()) == m);
    return 0;
}
