// Fuzzes the HTTP reply-header parser and the chunked-body decoder with
// whatever a server might send: the header end is found within the limit,
// parsing and every lookup stay inside the input, and the decoder never
// consumes more than it was given.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/peers/THttpReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using engine::THttpReply;
    const int64_t end = THttpReply::FindHeaderEnd(data, size);
    if (end > static_cast<int64_t>(size) || end > static_cast<int64_t>(THttpReply::MaxHeaderBytes)) std::abort();
    const size_t header_size = end > 0 ? static_cast<size_t>(end) : size;
    THttpReply reply;
    if (reply.Parse(std::string_view(reinterpret_cast<const char*>(data), header_size))) {
        if (reply.Status() < 0 || reply.Status() > 999) std::abort();
        std::string value;
        reply.Find("Location", &value);
        (void)reply.ContentLength();
        (void)reply.RangeStart();
        (void)reply.BodyLength();
        (void)reply.IsChunked();
        reply.DispositionFileName(&value);
        std::string url = THttpReply::AbsoluteLocation(value, "h.test", 8080);
        if (url.empty()) std::abort();
    }
    engine::THttpChunkDecoder decoder;
    std::string body;
    size_t at = end > 0 ? static_cast<size_t>(end) : 0;
    while (at < size && !decoder.IsDone() && !decoder.IsError()) {
        const size_t used = decoder.Feed(data + at, size - at, body);
        if (used > size - at) std::abort();
        if (used == 0) break;
        at += used;
    }
    if (body.size() > size) std::abort();
    return 0;
}
