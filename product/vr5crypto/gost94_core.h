// GOST R 34.11-94 hash, portable core shared by the crypto provider DLL and
// the native test/benchmark builds.
#ifndef VR5CRYPTO_GOST94_CORE_H
#define VR5CRYPTO_GOST94_CORE_H

#include <cstddef>
#include <cstdint>

namespace gost94 {

// Substitution boxes in the provider's 64-byte form: group i (bytes 4i..4i+3)
// holds the outputs of K1..K8 for input i; byte j of a group carries
// K(2j+1)[i] in its low nibble and K(2j+2)[i] in its high nibble.
struct SBoxBlock {
    uint8_t bytes[64];
};

// boxes[0..7] are K1..K8; only the low nibble of each entry is used.
SBoxBlock pack_sboxes(const uint8_t boxes[8][16]);

// The test parameter set (RFC 4357 id-GostR3411-94-TestParamSet).
const uint8_t* test_param_set_block();

enum : size_t { kDigestSize = 32, kBlockSize = 32, kParamBlockSize = 64 };

class Hasher {
public:
    // param_block64: nullptr selects the test parameter set.
    // start_vector32: nullptr means a zero start value.
    explicit Hasher(const uint8_t* param_block64,
                    const uint8_t* start_vector32 = nullptr);

    // Starts a new message with the same boxes.
    void reset(const uint8_t* start_vector32 = nullptr);

    // Both return false, and do nothing, once the hash has been finished;
    // a finished object must be reset before reuse.
    bool update(const void* data, size_t len);
    // out receives the digest little-endian (byte 0 is the least significant
    // byte of the 256-bit value), the order rhash prints.
    bool final(uint8_t out[kDigestSize]);

    bool finished() const { return finished_; }

private:
    void absorb(const uint8_t* block);
    void compress(const uint64_t m[4]);

    uint32_t table_[4][256];  // S-boxes folded with the rotation, per input byte
    uint64_t h_[4];
    uint64_t sigma_[4];
    uint64_t length_;  // bytes fed so far
    uint8_t buf_[kBlockSize];
    size_t buf_len_;
    bool finished_;
};

}  // namespace gost94

#endif
