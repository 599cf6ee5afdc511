#pragma once
// TBlockSource: what the piece buffers need from the connection that
// delivered a piece's blocks (a BitTorrent peer or a web source): a reference
// while it is the piece's last source, its kind and address for the
// verification-failure event, and the delivery counters of its source
// record. Peer objects implement it. Thread: the task's work thread.

#include <cstdint>
#include <string>

namespace engine {

namespace BlockSourceKind {
inline constexpr int32_t BitTorrent = 1;
inline constexpr int32_t Http = 2;
inline constexpr int32_t Ftp = 4;
inline constexpr int32_t Tracker = 8;
inline constexpr int32_t WebMask = Http | Ftp;
}  // namespace BlockSourceKind

class TBlockSource {
public:
    virtual ~TBlockSource() = default;
    virtual void AddRef() = 0;
    virtual void Release() = 0;
    virtual int32_t Kind() const = 0;
    // BitTorrent peers: IPv4 address in network byte order and port.
    virtual uint32_t AddressV4() const = 0;
    virtual uint16_t Port() const = 0;
    // Web sources: the address they read from.
    virtual std::string Url() const = 0;
    // A piece this source delivered in full was written.
    virtual void AddPieceDelivered() = 0;
    // A piece this web source delivered in full failed verification.
    virtual void AddBadPiece() = 0;
    // A piece from this source passed verification.
    virtual void ClearBadPieces() = 0;
};

}  // namespace engine
