#pragma once
// TWritePolicy: when the piece bytes held in memory go to disk. Every "write
// it now or keep it in memory" decision of the piece cache is asked here, so
// the rules stand in one place:
//
//  - A piece verified on its last block goes to disk at once when nobody
//    could read it back from memory (the task has no BitTorrent peer:
//    write-on-completion), or when the complete pieces in memory would pass
//    half the cache. Such a piece is queued for the piece writer while it is
//    hashed.
//  - Otherwise complete pieces wait in memory for their upload reads until
//    the 5-second upkeep, which keeps the newest within a budget and writes
//    the rest; and once every wanted piece is verified, all of them are
//    written (the download must not wait for the next save).
//  - A partial piece idle for IdleFlushSeconds writes its contiguous prefix
//    once that is at least one flush unit.
//  - The write queue holds piece memory: past its limit the work thread waits
//    for the writer.
//
// Owner: the piece cache. Thread: the task's work thread. No lock.

#include <algorithm>
#include <cstdint>

namespace engine {

class TWritePolicy {
public:
    // Seconds a cached piece stays useful.
    static constexpr int64_t CacheLifetimeSeconds = 3600;
    // The idle age after which a piece still being received writes what it
    // has: a sixth of the lifetime, at least 15 seconds.
    static constexpr int64_t IdleFlushSeconds = std::max<int64_t>(CacheLifetimeSeconds / 6, 15);
    // An idle partial piece writes once it holds this much: one full flush
    // unit.
    static constexpr int32_t IdleFlushMinimum = 131072;
    // The cache size is counted in units of 256 KiB.
    static constexpr int64_t CacheUnitBytes = 262144;

    // From the task's cache-size option, in units of 256 KiB (1 MiB … ~2 GiB).
    void SetCacheSize(int32_t option);
    int32_t CacheSize() const { return m_cache_size; }
    int64_t CacheLimit() const { return static_cast<int64_t>(m_cache_size) * CacheUnitBytes; }
    // Set by the task when no BitTorrent peer could read a piece back.
    void SetWriteOnCompletion(bool on) { m_write_on_completion = on; }
    bool WriteOnCompletion() const { return m_write_on_completion; }

    // A piece complete in memory, with `complete_bytes` complete in memory
    // counting it: whether it goes to disk now. `just_completed`: this block
    // completed it (the cache-pressure rule applies only then; a piece
    // already waiting is left to the upkeep).
    bool GoesToDiskNow(int64_t complete_bytes, bool just_completed) const {
        return m_write_on_completion || (just_completed && complete_bytes > CacheLimit() / 2);
    }
    // A piece kept in memory is announced to the peers at once (they read it
    // from there), not when it reaches the disk.
    bool AnnouncesFromMemory() const { return !m_write_on_completion; }
    // Once every wanted piece is verified, the ones in memory are written.
    bool WritesAllWhenVerified() const { return !m_write_on_completion; }
    // Bytes of complete pieces the upkeep keeps in memory; the rest is
    // written. Less when the cache is already half full.
    int64_t UpkeepBudget(int64_t cached_bytes) const {
        return cached_bytes >= CacheLimit() / 2 ? CacheLimit() / 5 : CacheLimit() / 2;
    }
    // A partial piece with `buffered` bytes, last touched at `last_access`,
    // writes its prefix at `now`.
    bool IdleFlushDue(int32_t buffered, int64_t last_access, int64_t now) const {
        return buffered >= IdleFlushMinimum && now - last_access > IdleFlushSeconds;
    }
    // Bytes of queued writes beyond which the work thread waits for the
    // writer (until half of them are written).
    int64_t WriteQueueLimit(int32_t piece_length) const { return std::max<int64_t>(CacheLimit() / 4, piece_length); }
    // Queued bytes at which a sleeping writer is woken.
    int64_t WriteWakeBytes(int32_t piece_length) const {
        return std::min<int64_t>(1048576, WriteQueueLimit(piece_length) / 2);
    }

private:
    int32_t m_cache_size = 32;  // 8 MiB until the task's option arrives
    bool m_write_on_completion = false;
};

}  // namespace engine
