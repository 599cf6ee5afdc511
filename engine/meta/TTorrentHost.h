#pragma once
// TTorrentHost: what a TTorrent needs from the task that owns it while it
// loads metainfo: the task's phase, its error code and a stop request. The
// task work thread implements it; a TTorrent without a host simply loads.
// Thread: called on the task's work thread only.

namespace engine {

class TTorrentHost {
public:
    virtual ~TTorrentHost() = default;
    virtual void SetMetainfoPhase(int phase) = 0;
    virtual void SetTaskError(int code) = 0;
    virtual void RequestStop() = 0;
};

}  // namespace engine
