#pragma once
// GOST R 34.11-94 hashing through the crypto provider, and the checksum text
// the software state document carries.
#include "vrbasecrypt/crypto_objects.h"

#include <string>

namespace GOST_R_3411_1994 {

enum : size_t { HashSize = 32, StartVectorSize = 32, ParamBlockSize = 64 };

// The boxes of the test parameter set (RFC 4357 id-GostR3411-94-TestParamSet)
// packed as the provider takes them: group i (bytes 4i..4i+3) holds the
// outputs for input i, byte j of it K(2j+1)[i] in the low nibble and
// K(2j+2)[i] in the high one. Built once per process, on first use.
const BYTE* test_param_block();

// The hash bytes from last to first, two upper-case hexadecimal digits each.
std::wstring checksum_text(const BYTE (&hash)[HashSize]);

// One message: construct, add its bytes in any number of pieces, finish.
class CAccumulativeHash {
public:
    // startVector: 32 bytes or null (the provider's default start value);
    // paramBlock: 64 bytes or null (the provider's default boxes).
    explicit CAccumulativeHash(const BYTE* startVector = nullptr, const BYTE* paramBlock = nullptr);
    void Add(const void* data, size_t size);
    // Writes the 32-byte hash; raises 122 for a bad destination.
    void Finish(void* hash, size_t size);

private:
    VrBase::CCryptoContext m_context;
};

} // namespace GOST_R_3411_1994
