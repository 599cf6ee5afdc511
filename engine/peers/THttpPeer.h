#pragma once
// THttpPeer: one connection to an HTTP web source. Each connection sends one
// open-ended ranged GET starting at the first block it has queued and reads
// the body sequentially, handing every wanted 16 KiB block to the piece map
// through ReceiveBlock; gaps of up to 128 KiB are read and dropped, larger
// ones reconnect with a new request. Several connections to one server work
// on different runs of pieces through the task's range claims (TWebPeer).
// A source can instead be fetched whole into memory (a metainfo source).
// Redirections become new candidates; 4xx removes the source, 5xx delays it.
//
// The reply must agree with what was asked: a Content-Range that starts
// elsewhere, a ranged request answered from the start, a chunked ranged body
// or bytes beyond the announced body end the connection (the source is
// delayed), so such bytes never reach a piece.
//
// Ranged requests ask for the run of open pieces ahead in the claim, up to a
// window, so the server sends little that is not used; when a reply has been
// read to its end, the next request goes out on the same connection.
//
// Owner: reference counted, in the task's active list or peer pool.
// Thread: the task's work thread only.

#include <cstdint>
#include <string>

#include "engine/peers/THttpReply.h"
#include "engine/peers/TWebPeer.h"

namespace engine {

class THttpPeer : public TWebPeer {
public:
    // Unwanted body bytes read and dropped rather than reconnecting.
    static constexpr int64_t MaxSkipBytes = 131072;
    // Length given to a body fetched whole when the server names none.
    static constexpr int64_t UnknownWholeLength = 2147483647;
    // How far ahead one ranged request asks at most (and at least, when the
    // run of open pieces is that long): about two seconds at the
    // connection's rate within these bounds.
    static constexpr int64_t MinRequestWindow = int64_t{8} << 20;
    static constexpr int64_t MaxRequestWindow = int64_t{64} << 20;

    THttpPeer() : TWebPeer(2) {}

    bool ConnectTo(TPeerId* candidate) override;
    bool ReadInput() override;
    bool RequestBlocks() override;
    bool FlushOutput() override;
    void ResetState() override;
    bool IsStalled() override;
    void ReleaseRange() override;

    bool HeaderReceived() const { return m_header_received; }
    int64_t Position() const { return m_position; }
    int64_t Skip() const { return m_skip; }
    int32_t Run() const { return m_run; }
    bool NoLength() const { return m_no_length; }
    const THttpReply& Reply() const { return m_reply; }

private:
    bool ReadHeader(bool* complete);
    bool OnReplyHeader();
    bool OnSuccess();
    bool OnRedirect();
    bool ReadWholeBody();
    bool ReadRangedBody();
    bool ReadRangedOnce(bool* progress);
    // One read straight into the piece memory of the run's next blocks, when
    // the socket's buffer holds less than a block and the task offers that
    // memory; `handled` tells whether it read (or tried to).
    bool ReadIntoPlace(int32_t budget, bool* progress, bool* handled);
    bool Reconnect();
    void CountDiscarded();
    // Drops the current reply: header, chunk state, body length and run.
    void ForgetReply();
    bool SendRangeRequest();
    // The byte after the last one this connection asks for: the end of the
    // run of open pieces in its claim from the first queued block, within
    // the request window (0: open-ended).
    int64_t RequestEnd();
    // The reply is read to its end and the connection may carry another.
    bool ReplyConsumed();
    bool RequestAgain();

    THttpReply m_reply;
    THttpChunkDecoder m_chunks;
    bool m_header_received = false;
    bool m_chunked = false;
    int64_t m_skip = 0;
    int64_t m_position = 0;
    bool m_no_length = false;
    int32_t m_run = 0;
    // Body bytes of the current reply still to come; -1 when not announced.
    int64_t m_body_left = -1;
    // The byte after the last one asked for (0: open-ended request).
    int64_t m_requested_end = 0;
};

}  // namespace engine
