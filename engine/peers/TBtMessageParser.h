#pragma once
// TBtMessageParser: splits the bytes a BitTorrent peer sent after its
// handshake into messages (BEP 3: "<length prefix><message ID><payload>",
// length prefix a 4-byte big-endian value counting the id and the payload;
// length 0 is a keep-alive). No I/O and no state between calls: the caller
// hands it the buffered input and consumes what it reports.
//
// Limits are checked on the length prefix alone, before the body is waited
// for, so a hostile length never makes anyone buffer it: above
// MaxMessageLength (or with the sign bit set) the connection is to be closed.
//
// Owner: none (static functions). Thread: any.

#include <cstddef>
#include <cstdint>

namespace engine {

enum class BtMessageId : int32_t {
    KeepAlive = -1,
    Choke = 0,
    Unchoke = 1,
    Interested = 2,
    NotInterested = 3,
    Have = 4,
    Bitfield = 5,
    Request = 6,
    Piece = 7,
    Cancel = 8,
};

struct BtMessage {
    int32_t id = -1;              // BtMessageId value, or any other byte (skipped)
    const uint8_t* payload = nullptr;
    uint32_t payload_size = 0;    // bytes after the id
    // HAVE: index. REQUEST/CANCEL: index, begin, length. PIECE: index, begin
    // and the data (payload + 8, data_size bytes).
    uint32_t index = 0;
    uint32_t begin = 0;
    uint32_t length = 0;
    const uint8_t* data = nullptr;
    uint32_t data_size = 0;
};

enum class BtParseStatus {
    Message,       // one whole message in `message`, `consumed` bytes long
    NeedMore,      // the next message is not complete yet
    PartialPiece,  // a PIECE whose index and begin are known but whose data is still arriving
    TooLong,       // length prefix above the limit or negative: close the connection
    Malformed,     // HAVE, REQUEST or CANCEL with the wrong payload size: count a bad
                   // message and drop what is buffered
    BadPiece,      // PIECE whose data length is outside 1..MaxPieceData: close
};

class TBtMessageParser {
public:
    // No message the engine speaks is longer than a 512 KiB bitfield
    // (4 million pieces); anything longer is an attack or garbage.
    static constexpr uint32_t MaxMessageLength = 524288;
    // A PIECE carries at most 128 KiB of data (requests are 16 KiB; some
    // peers accept larger ones from others).
    static constexpr uint32_t MaxPieceData = 131072;
    static constexpr size_t PrefixSize = 4;

    // Examines the message at the start of `data`. On Message, `consumed` is
    // its whole size; on PartialPiece, `message` holds the index and begin and
    // `consumed` the bytes of the message buffered so far.
    static BtParseStatus Next(const uint8_t* data, size_t size, BtMessage* message, size_t* consumed);
};

}  // namespace engine
