#include "engine/peers/TBtMessageParser.h"

namespace engine {

namespace {

uint32_t ReadBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// HAVE carries "a single number, the index which that downloader just
// completed"; REQUEST and CANCEL "contain an index, begin, and length".
bool HasFixedPayload(int32_t id, uint32_t* expected) {
    switch (static_cast<BtMessageId>(id)) {
        case BtMessageId::Have: *expected = 4; return true;
        case BtMessageId::Request:
        case BtMessageId::Cancel: *expected = 12; return true;
        default: return false;
    }
}

// Index and begin of a PIECE: 8 bytes after the id.
constexpr uint32_t PieceHeader = 8;

}  // namespace

BtParseStatus TBtMessageParser::Next(const uint8_t* data, size_t size, BtMessage* message, size_t* consumed) {
    *message = BtMessage{};
    *consumed = 0;
    if (!data || size < PrefixSize) return BtParseStatus::NeedMore;
    const uint32_t length = ReadBe32(data);
    if (length > MaxMessageLength) return BtParseStatus::TooLong;  // also every "negative" length
    if (length == 0) {
        message->id = static_cast<int32_t>(BtMessageId::KeepAlive);
        *consumed = PrefixSize;
        return BtParseStatus::Message;
    }
    if (size < PrefixSize + 1) return BtParseStatus::NeedMore;
    message->id = data[PrefixSize];
    const uint32_t payload_size = length - 1;
    const uint8_t* payload = data + PrefixSize + 1;
    const size_t buffered_payload = size - PrefixSize - 1;

    uint32_t expected = 0;
    if (HasFixedPayload(message->id, &expected) && payload_size != expected) return BtParseStatus::Malformed;
    if (message->id == static_cast<int32_t>(BtMessageId::Piece)) {
        if (payload_size <= PieceHeader || payload_size - PieceHeader > MaxPieceData) return BtParseStatus::BadPiece;
        if (buffered_payload >= PieceHeader) {
            message->index = ReadBe32(payload);
            message->begin = ReadBe32(payload + 4);
            message->data_size = payload_size - PieceHeader;
        }
        if (buffered_payload < payload_size) {
            if (buffered_payload < PieceHeader) return BtParseStatus::NeedMore;
            *consumed = size;
            return BtParseStatus::PartialPiece;
        }
        message->data = payload + PieceHeader;
    } else if (buffered_payload < payload_size) {
        return BtParseStatus::NeedMore;
    }
    message->payload = payload;
    message->payload_size = payload_size;
    if (expected >= 4) message->index = ReadBe32(payload);
    if (expected == 12) {
        message->begin = ReadBe32(payload + 4);
        message->length = ReadBe32(payload + 8);
    }
    *consumed = PrefixSize + length;
    return BtParseStatus::Message;
}

}  // namespace engine
