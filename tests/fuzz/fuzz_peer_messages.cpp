// Feeds arbitrary bytes to the peer-message parser the way a connection
// does (parse, consume, repeat) and checks its promises: a message never
// reaches past the buffered bytes, every step consumes something or stops,
// lengths above the cap are refused from the prefix alone, and the fixed
// payload sizes hold for the messages it accepts.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/peers/TBtMessageParser.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using engine::BtMessage;
    using engine::BtParseStatus;
    using engine::TBtMessageParser;
    size_t at = 0;
    while (at < size) {
        BtMessage m;
        size_t consumed = 0;
        const BtParseStatus s = TBtMessageParser::Next(data + at, size - at, &m, &consumed);
        Check(consumed <= size - at);
        if (s != BtParseStatus::Message) {
            if (s == BtParseStatus::PartialPiece) Check(consumed == size - at);
            break;
        }
        Check(consumed >= TBtMessageParser::PrefixSize);
        Check(consumed <= TBtMessageParser::PrefixSize + TBtMessageParser::MaxMessageLength);
        if (m.payload_size) Check(m.payload >= data + at && m.payload + m.payload_size <= data + at + consumed);
        if (m.id == 4) Check(m.payload_size == 4);
        if (m.id == 6 || m.id == 8) Check(m.payload_size == 12);
        if (m.id == 7) {
            Check(m.data_size >= 1 && m.data_size <= TBtMessageParser::MaxPieceData);
            Check(m.data + m.data_size == data + at + consumed);
        }
        at += consumed;
    }
    return 0;
}
