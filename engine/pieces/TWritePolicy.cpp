#include "engine/pieces/TWritePolicy.h"

namespace engine {

namespace {

// Cache size bounds, in units of 256 KiB: at least 1 MiB, at most ~2 GiB.
constexpr int32_t CacheSizeMin = 4;
constexpr int32_t CacheSizeMax = 8000;

}  // namespace

void TWritePolicy::SetCacheSize(int32_t option) { m_cache_size = std::min(CacheSizeMax, std::max(option, CacheSizeMin)); }

}  // namespace engine
