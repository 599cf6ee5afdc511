#include "engine/pieces/TSha1State.h"

// The stored form needs libcrypto's plain context, which OpenSSL 3 still
// ships but marks deprecated in favour of the opaque EVP interface.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

#include "platform/Memory.h"

namespace engine {

namespace {

constexpr size_t HashAt = 0;
constexpr size_t LengthLowAt = 20;
constexpr size_t LengthHighAt = 24;
constexpr size_t IndexAt = 28;
constexpr size_t BlockAt = 30;
constexpr size_t ComputedAt = 96;
constexpr size_t CorruptedAt = 100;
constexpr size_t BlockBytes = 64;

uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void ToContext(const uint8_t* state, SHA_CTX& ctx) {
    std::memset(&ctx, 0, sizeof ctx);
    ctx.h0 = Get32(state + HashAt);
    ctx.h1 = Get32(state + HashAt + 4);
    ctx.h2 = Get32(state + HashAt + 8);
    ctx.h3 = Get32(state + HashAt + 12);
    ctx.h4 = Get32(state + HashAt + 16);
    ctx.Nl = Get32(state + LengthLowAt);
    ctx.Nh = Get32(state + LengthHighAt);
    ctx.num = Get16(state + IndexAt);
    // libcrypto keeps the pending bytes in their input order.
    std::memcpy(ctx.data, state + BlockAt, BlockBytes);
}

void FromContext(const SHA_CTX& ctx, uint8_t* state) {
    std::memset(state, 0, TSha1State::Size);
    Put32(state + HashAt, ctx.h0);
    Put32(state + HashAt + 4, ctx.h1);
    Put32(state + HashAt + 8, ctx.h2);
    Put32(state + HashAt + 12, ctx.h3);
    Put32(state + HashAt + 16, ctx.h4);
    Put32(state + LengthLowAt, ctx.Nl);
    Put32(state + LengthHighAt, ctx.Nh);
    state[IndexAt] = static_cast<uint8_t>(ctx.num);
    state[IndexAt + 1] = static_cast<uint8_t>(ctx.num >> 8);
    // Only the pending bytes mean anything; the rest stays zero so equal
    // states store equal bytes.
    std::memcpy(state + BlockAt, ctx.data, ctx.num);
}

}  // namespace

void TSha1State::Reset(uint8_t* state) {
    SHA_CTX ctx;
    SHA1_Init(&ctx);
    FromContext(ctx, state);
}

bool TSha1State::IsUsable(const uint8_t* state) {
    const uint32_t low = Get32(state + LengthLowAt);
    const uint16_t index = Get16(state + IndexAt);
    return index < BlockBytes && low % 8 == 0 && (low / 8) % BlockBytes == index &&
           Get32(state + ComputedAt) == 0 && Get32(state + CorruptedAt) == 0;
}

uint64_t TSha1State::LengthBytes(const uint8_t* state) {
    const uint64_t bits = static_cast<uint64_t>(Get32(state + LengthHighAt)) << 32 | Get32(state + LengthLowAt);
    return bits / 8;
}

bool TSha1State::Update(uint8_t* state, const void* data, size_t length) {
    if (!IsUsable(state)) return false;
    SHA_CTX ctx;
    ToContext(state, ctx);
    SHA1_Update(&ctx, data, length);
    FromContext(ctx, state);
    return true;
}

bool TSha1State::UpdateCopying(uint8_t* state, const void* data, uint8_t* copy, size_t length) {
    if (!IsUsable(state)) return false;
    // A slice's stores fit the processor's store queue, so they retire
    // while the next slice is hashed instead of stalling it.
    constexpr size_t Slice = 1024;
    SHA_CTX ctx;
    ToContext(state, ctx);
    const auto* from = static_cast<const uint8_t*>(data);
    for (size_t at = 0; at < length; at += Slice) {
        const size_t n = std::min(Slice, length - at);
        platform::CopyAroundCacheUnfenced(copy + at, from + at, n);
        SHA1_Update(&ctx, from + at, n);
    }
    platform::FenceCopies();
    FromContext(ctx, state);
    return true;
}

bool TSha1State::Final(const uint8_t* state, Digest& out) {
    if (!IsUsable(state)) return false;
    SHA_CTX ctx;
    ToContext(state, ctx);
    SHA1_Final(out.data(), &ctx);
    return true;
}

}  // namespace engine
