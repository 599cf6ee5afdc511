#pragma once
// TSha1State: the incremental SHA-1 state of an unfinished piece, kept in the
// stored form of RFC 3174's SHA1Context so that it can be written into the
// task-information file verbatim and read back on any machine. The hashing
// itself is libcrypto's; each call converts the stored form into libcrypto's
// context and back.
//
// Stored form, 104 bytes, little-endian:
//
//   0      20     24     28   30                      94  96        100       104
//   +------+------+------+----+-----------------------+---+---------+---------+
//   | H0-4 | LenL | LenH | Ix | Message_Block[64]     |pad| Computed|Corrupted|
//   +------+------+------+----+-----------------------+---+---------+---------+
//   H0-4: the five intermediate hash words; LenL/LenH: message length in bits;
//   Ix: bytes waiting in Message_Block (int16, 0..63).
//
// The state lives in a 104-byte buffer of the SHA-1 state pool owned by the
// piece. No object state here: every function works on such a buffer.
// Thread: the caller's.

#include <array>
#include <cstddef>
#include <cstdint>

namespace engine {

class TSha1State {
public:
    static constexpr size_t Size = 104;
    using Digest = std::array<uint8_t, 20>;

    // The state of the empty message.
    static void Reset(uint8_t* state);
    // Whether the bytes are a state this engine could have produced: block
    // index below 64 and in step with a whole-byte length, neither the
    // computed nor the corrupted flag set. Bytes from a file must pass this
    // before they are hashed further.
    static bool IsUsable(const uint8_t* state);
    // Bytes hashed so far.
    static uint64_t LengthBytes(const uint8_t* state);
    // Continues the hash with `length` bytes; false (state unchanged) for an
    // unusable state.
    static bool Update(uint8_t* state, const void* data, size_t length);
    // As Update, and copies the bytes to `copy` (which must not overlap
    // them) around the processor's caches on the way, in slices small
    // enough that the copy's stores drain while the hash of the next slice
    // is computed. False (state unchanged, nothing copied) for an unusable
    // state.
    static bool UpdateCopying(uint8_t* state, const void* data, uint8_t* copy, size_t length);
    // The digest of everything hashed so far; the state itself is unchanged.
    static bool Final(const uint8_t* state, Digest& out);
};

}  // namespace engine
