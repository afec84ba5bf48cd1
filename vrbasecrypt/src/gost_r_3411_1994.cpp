#include "vrbasecrypt/gost_r_3411_1994.h"

#include <algorithm>

namespace GOST_R_3411_1994 {
namespace {

// K1..K8 of RFC 4357 id-GostR3411-94-TestParamSet, the example boxes of the
// standard.
const BYTE kTestBoxes[8][16] = {
    {0x4, 0xA, 0x9, 0x2, 0xD, 0x8, 0x0, 0xE, 0x6, 0xB, 0x1, 0xC, 0x7, 0xF, 0x5, 0x3},
    {0xE, 0xB, 0x4, 0xC, 0x6, 0xD, 0xF, 0xA, 0x2, 0x3, 0x8, 0x1, 0x0, 0x7, 0x5, 0x9},
    {0x5, 0x8, 0x1, 0xD, 0xA, 0x3, 0x4, 0x2, 0xE, 0xF, 0xC, 0x7, 0x6, 0x0, 0x9, 0xB},
    {0x7, 0xD, 0xA, 0x1, 0x0, 0x8, 0x9, 0xF, 0xE, 0x4, 0x6, 0xC, 0xB, 0x2, 0x5, 0x3},
    {0x6, 0xC, 0x7, 0x1, 0x5, 0xF, 0xD, 0x8, 0x4, 0xA, 0x9, 0xE, 0x0, 0x3, 0xB, 0x2},
    {0x4, 0xB, 0xA, 0x0, 0x7, 0x2, 0x1, 0xD, 0x3, 0x6, 0x8, 0x5, 0x9, 0xC, 0xF, 0xE},
    {0xD, 0xB, 0x4, 0x1, 0x3, 0xF, 0x5, 0x9, 0x0, 0xA, 0xE, 0x7, 0x6, 0x8, 0x2, 0xC},
    {0x1, 0xF, 0xD, 0x0, 0x5, 0x7, 0xA, 0x4, 0x9, 0x2, 0x3, 0xE, 0x6, 0xB, 0x8, 0xC},
};

struct ParamBlock {
    BYTE bytes[ParamBlockSize];
};

ParamBlock Pack(const BYTE (&boxes)[8][16]) {
    ParamBlock block{};
    for (int i = 0; i < 16; ++i)
        for (int j = 0; j < 4; ++j)
            block.bytes[4 * i + j] = static_cast<BYTE>(boxes[2 * j][i] | (boxes[2 * j + 1][i] << 4));
    return block;
}

// The provider takes lengths as DWORD; larger ranges go in pieces.
const size_t kMaxPiece = size_t(1) << 30;

} // namespace

const BYTE* test_param_block() {
    static const ParamBlock s_block = Pack(kTestBoxes);
    return s_block.bytes;
}

std::wstring checksum_text(const BYTE (&hash)[HashSize]) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(2 * HashSize);
    for (size_t i = HashSize; i-- > 0;) {
        text += kDigits[hash[i] >> 4];
        text += kDigits[hash[i] & 0x0F];
    }
    return text;
}

CAccumulativeHash::CAccumulativeHash(const BYTE* startVector, const BYTE* paramBlock) {
    {
        VrBase::CCryptoKey key;
        key.Set(VR_ALG_GOST_R_3411_94, nullptr, ParamBlockSize, nullptr, 0);
        m_context.Create(key, VR_MODE_HASH);
    }
    m_context.MakeAction(VR_ACTION_HASH_INIT, startVector, startVector ? DWORD(StartVectorSize) : 0, paramBlock,
                         paramBlock ? DWORD(ParamBlockSize) : 0);
}

void CAccumulativeHash::Add(const void* data, size_t size) {
    const BYTE* p = static_cast<const BYTE*>(data);
    while (size != 0) {
        const size_t piece = std::min(size, kMaxPiece);
        m_context.MakeAction(VR_ACTION_HASH_APPEND, nullptr, 0, p, static_cast<DWORD>(piece));
        p += piece;
        size -= piece;
    }
}

void CAccumulativeHash::Finish(void* hash, size_t size) {
    VrBase::CCryptoBuffer out(HashSize);
    m_context.MakeAction(VR_ACTION_HASH_FINISH, nullptr, 0, nullptr, 0, &out);
    out.Get(hash, size);
}

} // namespace GOST_R_3411_1994
