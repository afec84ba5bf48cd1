#include "gost94_core.h"

#include <cstring>
#include <utility>

namespace gost94 {

namespace {

// K1..K8 of the test parameter set.
const uint8_t kTestBoxes[8][16] = {
    {4, 10, 9, 2, 13, 8, 0, 14, 6, 11, 1, 12, 7, 15, 5, 3},
    {14, 11, 4, 12, 6, 13, 15, 10, 2, 3, 8, 1, 0, 7, 5, 9},
    {5, 8, 1, 13, 10, 3, 4, 2, 14, 15, 12, 7, 6, 0, 9, 11},
    {7, 13, 10, 1, 0, 8, 9, 15, 14, 4, 6, 12, 11, 2, 5, 3},
    {6, 12, 7, 1, 5, 15, 13, 8, 4, 10, 9, 14, 0, 3, 11, 2},
    {4, 11, 10, 0, 7, 2, 1, 13, 3, 6, 8, 5, 9, 12, 15, 14},
    {13, 11, 4, 1, 3, 15, 5, 9, 0, 10, 14, 7, 6, 8, 2, 12},
    {1, 15, 13, 0, 5, 7, 10, 4, 9, 2, 3, 14, 6, 11, 8, 12},
};

inline uint64_t load_le64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline void store_le64(uint8_t* p, uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    std::memcpy(p, &v, 8);
}

inline uint32_t rotl32(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

// Key word j collects byte j of each of the four 64-bit words, i.e. an 8x4
// byte transpose; done with masks so no byte ever goes through memory.
inline void transpose_key(uint64_t w0, uint64_t w1, uint64_t w2, uint64_t w3,
                          uint32_t k[8]) {
    const uint64_t m8 = 0x00ff00ff00ff00ffULL;
    const uint64_t m16 = 0x0000ffff0000ffffULL;
    const uint64_t a = (w0 & m8) | ((w1 & m8) << 8);
    const uint64_t b = ((w0 >> 8) & m8) | (w1 & ~m8);
    const uint64_t c = (w2 & m8) | ((w3 & m8) << 8);
    const uint64_t d = ((w2 >> 8) & m8) | (w3 & ~m8);
    const uint64_t k04 = (a & m16) | ((c & m16) << 16);
    const uint64_t k26 = ((a >> 16) & m16) | (c & ~m16);
    const uint64_t k15 = (b & m16) | ((d & m16) << 16);
    const uint64_t k37 = ((b >> 16) & m16) | (d & ~m16);
    k[0] = static_cast<uint32_t>(k04);
    k[4] = static_cast<uint32_t>(k04 >> 32);
    k[1] = static_cast<uint32_t>(k15);
    k[5] = static_cast<uint32_t>(k15 >> 32);
    k[2] = static_cast<uint32_t>(k26);
    k[6] = static_cast<uint32_t>(k26 >> 32);
    k[3] = static_cast<uint32_t>(k37);
    k[7] = static_cast<uint32_t>(k37 >> 32);
}

inline uint32_t sub_rot(const uint32_t (*t)[256], uint32_t x) {
    const uint32_t hi = x >> 16;
    return (t[0][x & 0xff] ^ t[1][(x >> 8) & 0xff]) ^
           (t[2][hi & 0xff] ^ t[3][hi >> 8]);
}

// Four independent block encryptions, one per quarter of the chaining value.
// Interleaving them lets the table lookups of one overlap the others'
// latency; a single encryption is a strictly serial chain of 32 rounds.
void encrypt4(const uint32_t (*t)[256], const uint32_t (*k)[8],
              uint64_t s[4]) {
    uint32_t a1 = static_cast<uint32_t>(s[0]), a2 = static_cast<uint32_t>(s[0] >> 32);
    uint32_t b1 = static_cast<uint32_t>(s[1]), b2 = static_cast<uint32_t>(s[1] >> 32);
    uint32_t c1 = static_cast<uint32_t>(s[2]), c2 = static_cast<uint32_t>(s[2] >> 32);
    uint32_t d1 = static_cast<uint32_t>(s[3]), d2 = static_cast<uint32_t>(s[3] >> 32);
    const uint32_t* ka = k[0];
    const uint32_t* kb = k[1];
    const uint32_t* kc = k[2];
    const uint32_t* kd = k[3];

#define GOST94_ROUND(x, y, i)             \
    do {                                  \
        a##y ^= sub_rot(t, a##x + ka[i]); \
        b##y ^= sub_rot(t, b##x + kb[i]); \
        c##y ^= sub_rot(t, c##x + kc[i]); \
        d##y ^= sub_rot(t, d##x + kd[i]); \
    } while (0)

    for (int r = 0; r < 3; ++r) {
        GOST94_ROUND(1, 2, 0);
        GOST94_ROUND(2, 1, 1);
        GOST94_ROUND(1, 2, 2);
        GOST94_ROUND(2, 1, 3);
        GOST94_ROUND(1, 2, 4);
        GOST94_ROUND(2, 1, 5);
        GOST94_ROUND(1, 2, 6);
        GOST94_ROUND(2, 1, 7);
    }
    GOST94_ROUND(1, 2, 7);
    GOST94_ROUND(2, 1, 6);
    GOST94_ROUND(1, 2, 5);
    GOST94_ROUND(2, 1, 4);
    GOST94_ROUND(1, 2, 3);
    GOST94_ROUND(2, 1, 2);
    GOST94_ROUND(1, 2, 1);
    GOST94_ROUND(2, 1, 0);
#undef GOST94_ROUND

    // The last round does not swap the halves.
    s[0] = a2 | (static_cast<uint64_t>(a1) << 32);
    s[1] = b2 | (static_cast<uint64_t>(b1) << 32);
    s[2] = c2 | (static_cast<uint64_t>(c1) << 32);
    s[3] = d2 | (static_cast<uint64_t>(d1) << 32);
}

// psi shifts the value down by one 16-bit word and feeds in
// y0^y1^y2^y3^y12^y15 at the top. It never mixes bits within a word, so any
// power of it is a 16x16 0/1 matrix over words; rows are built at compile
// time and the XORs unrolled from them.
struct WordMap {
    uint16_t row[16];  // bit i of row[j]: input word i feeds output word j
};

constexpr WordMap psi_power(int n) {
    WordMap m{};
    for (int i = 0; i < 16; ++i) m.row[i] = static_cast<uint16_t>(1u << i);
    for (int k = 0; k < n; ++k) {
        const uint16_t top = static_cast<uint16_t>(m.row[0] ^ m.row[1] ^ m.row[2] ^
                                                   m.row[3] ^ m.row[12] ^ m.row[15]);
        for (int i = 0; i < 15; ++i) m.row[i] = m.row[i + 1];
        m.row[15] = top;
    }
    return m;
}

// H' = psi^61(H ^ psi(M ^ psi^12(S))) = psi^61(H ^ psi(M)) ^ psi^74(S):
// the first term does not wait for the encryptions.
constexpr WordMap kPsi61 = psi_power(61);
constexpr WordMap kPsi74 = psi_power(74);

// Word I of a 256-bit value, with whatever lies above it left in place:
// the XORs never look at those bits and the result is masked once.
template <size_t I>
inline uint64_t word(const uint64_t* v) {
    return v[I / 4] >> (16 * (I % 4));
}

template <uint16_t Row, size_t... I>
inline uint64_t xor_row(const uint64_t* v, std::index_sequence<I...>) {
    return (uint64_t(0) ^ ... ^ (((Row >> I) & 1) ? word<I>(v) : uint64_t(0)));
}

template <const WordMap& M, size_t L>
inline uint64_t map_lane(const uint64_t* v) {
    const auto all = std::make_index_sequence<16>();
    return (xor_row<M.row[4 * L]>(v, all) & 0xffff) |
           ((xor_row<M.row[4 * L + 1]>(v, all) & 0xffff) << 16) |
           ((xor_row<M.row[4 * L + 2]>(v, all) & 0xffff) << 32) |
           (xor_row<M.row[4 * L + 3]>(v, all) << 48);
}

template <const WordMap& M>
inline void apply_map(const uint64_t v[4], uint64_t out[4]) {
    out[0] = map_lane<M, 0>(v);
    out[1] = map_lane<M, 1>(v);
    out[2] = map_lane<M, 2>(v);
    out[3] = map_lane<M, 3>(v);
}

}  // namespace

SBoxBlock pack_sboxes(const uint8_t boxes[8][16]) {
    SBoxBlock out;
    for (int i = 0; i < 16; ++i)
        for (int j = 0; j < 4; ++j)
            out.bytes[4 * i + j] = static_cast<uint8_t>(
                (boxes[2 * j][i] & 0x0f) | ((boxes[2 * j + 1][i] & 0x0f) << 4));
    return out;
}

const uint8_t* test_param_set_block() {
    static const SBoxBlock block = pack_sboxes(kTestBoxes);
    return block.bytes;
}

Hasher::Hasher(const uint8_t* param_block64, const uint8_t* start_vector32) {
    const uint8_t* p = param_block64 ? param_block64 : test_param_set_block();
    uint8_t box[8][16];
    for (int i = 0; i < 16; ++i)
        for (int j = 0; j < 4; ++j) {
            box[2 * j][i] = p[4 * i + j] & 0x0f;
            box[2 * j + 1][i] = p[4 * i + j] >> 4;
        }
    for (int b = 0; b < 4; ++b)
        for (uint32_t x = 0; x < 256; ++x) {
            const uint32_t v = box[2 * b][x & 0x0f] | (box[2 * b + 1][x >> 4] << 4);
            table_[b][x] = rotl32(v << (8 * b), 11);
        }
    reset(start_vector32);
}

void Hasher::reset(const uint8_t* start_vector32) {
    for (int i = 0; i < 4; ++i) {
        h_[i] = start_vector32 ? load_le64(start_vector32 + 8 * i) : 0;
        sigma_[i] = 0;
    }
    length_ = 0;
    buf_len_ = 0;
    finished_ = false;
}

void Hasher::compress(const uint64_t m[4]) {
    // Key schedule. U walks from H, V from M; A(y3,y2,y1,y0) =
    // (y0^y1, y3, y2, y1) in 64-bit words, lowest first in the arrays.
    uint32_t key[4][8];
    uint64_t u0 = h_[0], u1 = h_[1], u2 = h_[2], u3 = h_[3];
    uint64_t v0 = m[0], v1 = m[1], v2 = m[2], v3 = m[3];
    transpose_key(u0 ^ v0, u1 ^ v1, u2 ^ v2, u3 ^ v3, key[0]);
    for (int j = 1; j < 4; ++j) {
        const uint64_t nu3 = u0 ^ u1;
        u0 = u1; u1 = u2; u2 = u3; u3 = nu3;
        if (j == 2) {
            // The only non-zero round constant, C3.
            u0 ^= 0xff00ff00ff00ff00ULL;
            u1 ^= 0x00ff00ff00ff00ffULL;
            u2 ^= 0xff0000ff00ffff00ULL;
            u3 ^= 0xff00ffff000000ffULL;
        }
        const uint64_t nv2 = v0 ^ v1, nv3 = v1 ^ v2;
        v0 = v2; v1 = v3; v2 = nv2; v3 = nv3;
        transpose_key(u0 ^ v0, u1 ^ v1, u2 ^ v2, u3 ^ v3, key[j]);
    }

    uint64_t s[4] = {h_[0], h_[1], h_[2], h_[3]};
    encrypt4(table_, key, s);

    // H ^ psi(M): psi is a one-word shift of the whole value plus the feedback.
    const uint64_t fb = (m[0] ^ (m[0] >> 16) ^ (m[0] >> 32) ^ (m[0] >> 48) ^
                         m[3] ^ (m[3] >> 48)) & 0xffff;
    const uint64_t y[4] = {
        h_[0] ^ (m[0] >> 16) ^ (m[1] << 48),
        h_[1] ^ (m[1] >> 16) ^ (m[2] << 48),
        h_[2] ^ (m[2] >> 16) ^ (m[3] << 48),
        h_[3] ^ (m[3] >> 16) ^ (fb << 48),
    };
    uint64_t pre[4], post[4];
    apply_map<kPsi61>(y, pre);
    apply_map<kPsi74>(s, post);
    for (int i = 0; i < 4; ++i) h_[i] = pre[i] ^ post[i];
}

void Hasher::absorb(const uint8_t* block) {
    uint64_t m[4];
    uint64_t carry = 0;
    for (int i = 0; i < 4; ++i) {
        m[i] = load_le64(block + 8 * i);
        const uint64_t a = sigma_[i] + m[i];
        const uint64_t c1 = a < m[i];
        sigma_[i] = a + carry;
        carry = c1 | (sigma_[i] < carry);
    }
    compress(m);
}

bool Hasher::update(const void* data, size_t len) {
    if (finished_) return false;
    if (len == 0) return true;  // data may be null then
    const uint8_t* p = static_cast<const uint8_t*>(data);
    length_ += len;
    if (buf_len_ != 0) {
        const size_t take = len < kBlockSize - buf_len_ ? len : kBlockSize - buf_len_;
        std::memcpy(buf_ + buf_len_, p, take);
        buf_len_ += take;
        p += take;
        len -= take;
        if (buf_len_ < kBlockSize) return true;
        absorb(buf_);
        buf_len_ = 0;
    }
    for (; len >= kBlockSize; p += kBlockSize, len -= kBlockSize) absorb(p);
    if (len != 0) {
        std::memcpy(buf_, p, len);
        buf_len_ = len;
    }
    return true;
}

bool Hasher::final(uint8_t out[kDigestSize]) {
    if (finished_) return false;
    if (buf_len_ != 0) {
        // The short last block is padded with zeros at its high end.
        std::memset(buf_ + buf_len_, 0, kBlockSize - buf_len_);
        absorb(buf_);
        buf_len_ = 0;
    }
    const uint64_t bits[4] = {length_ << 3, length_ >> 61, 0, 0};
    compress(bits);
    const uint64_t sum[4] = {sigma_[0], sigma_[1], sigma_[2], sigma_[3]};
    compress(sum);
    for (int i = 0; i < 4; ++i) store_le64(out + 8 * i, h_[i]);
    finished_ = true;
    return true;
}

}  // namespace gost94
