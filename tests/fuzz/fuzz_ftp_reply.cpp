// Fuzzes the FTP reply framing and the passive-mode address with whatever a
// control connection might carry: replies are taken one after another from
// the input as the control channel takes them, every reply stays inside the
// input, and an address that is accepted is well formed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/peers/FtpReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    while (at < size) {
        engine::FtpReply reply;
        const engine::FtpReplyScan scan = engine::FindFtpReply(data + at, size - at, &reply);
        if (scan.result != engine::FtpReplyScan::Result::Complete) break;
        if (scan.consumed == 0 || scan.consumed > size - at || scan.consumed > engine::MaxFtpReplyBytes) std::abort();
        if (reply.code < 0 || reply.code > 999 || reply.text.size() >= scan.consumed) std::abort();
        engine::PasvAddress address;
        if (engine::ParsePasvReply(reply.text, &address) && (address.port < 1 || address.port > 65535)) std::abort();
        if (engine::ParseFtpSize(reply.text) < -1) std::abort();
        at += scan.consumed;
    }
    return 0;
}
