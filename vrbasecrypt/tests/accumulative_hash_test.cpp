// GOST R 34.11-94 through the binding and the real provider beside the test
// program: the box block, the checksum text, the published digests, and the
// errors a caller can provoke.
#include "vrbasecrypt/gost_r_3411_1994.h"

#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using GOST_R_3411_1994::CAccumulativeHash;
using VrBase::CVrError;

std::string Hex(const BYTE* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {digits[p[i] >> 4], digits[p[i] & 15]};
    return s;
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The checksum text as a scan writes it: test boxes, no start vector.
std::string Checksum(const std::string& data, const std::vector<size_t>& pieces = {}) {
    CAccumulativeHash hash(nullptr, GOST_R_3411_1994::test_param_block());
    size_t off = 0;
    for (size_t piece : pieces) {
        hash.Add(data.data() + off, piece);
        off += piece;
    }
    hash.Add(data.data() + off, data.size() - off);
    BYTE digest[32];
    hash.Finish(digest, sizeof(digest));
    return Narrow(GOST_R_3411_1994::checksum_text(digest));
}

// rhash's printing order, the digest bytes as the provider returns them.
std::string Reversed(const std::string& hex) {
    std::string out;
    for (size_t i = hex.size(); i >= 2; i -= 2) out += hex.substr(i - 2, 2);
    for (auto& c : out) c = static_cast<char>(toupper(c));
    return out;
}

template <class F>
CVrError Raised(F&& f) {
    try {
        f();
    } catch (CVrError& e) {
        return e;
    }
    ADD_FAILURE() << "nothing raised";
    return CVrError(0, nullptr, 0, nullptr);
}

TEST(ParamBlock, TestBoxesPackedNibbleByNibble) {
    // Derived by hand from the published K1..K8: group 0 holds K1[0]=4,
    // K2[0]=E -> E4, K3[0]=5, K4[0]=7 -> 75, and so on.
    EXPECT_EQ(Hex(GOST_R_3411_1994::test_param_block(), 64),
              "E475461DBAD8BCFB49A1A7D4C21D01016D0A7553D8832F7FF0941DA5AEF2D849"
              "26EE34903B4F6A2A816C893E1CC75EE707B690667F20C3B85559FB82933BE2CC");
}

TEST(AccumulativeHash, PublishedDigestsAsChecksumTexts) {
    // The pinned example: the checksum text is the provider's bytes reversed.
    EXPECT_EQ(Checksum("This is message, length=32 bytes"),
              "FAFF37A615A816691CFF3EF8B68CA247E09525F39F8119832EB81975D366C4B1");
    const struct {
        std::string msg;
        const char* rhash;
    } cases[] = {
        {"", "ce85b99cc46752fffee35cab9a7b0278abb4c2d2055cff685af4912c49490f8d"},
        {"a", "d42c539e367c66e9c88a801f6649349c21871b4344c6a573f849fdce62f314dd"},
        {"abc", "f3134348c44fb1b2a277729e2285ebb5cb5e0f29c975bc753b70497c06a4d51d"},
        {"message digest", "ad4434ecb18f2c99b60cbe59ec3d2469582b65273f48de72db2fde16a4889a4d"},
        {"Suppose the original message has length = 50 bytes",
         "471aba57a60a770d3a76130635c1fbea4ef14de51f78b4ae57dd893b62f55208"},
        {std::string(128, 'U'), "53a3a3ed25180cef0c1d85a074273e551c25660a87062a52d926a9e8fe5733a4"},
        {std::string(1000000, 'a'), "5c00ccc2734cdd3332d3d4749576e3c1a7dbaf0e7ea74e9fa602413c90a129fa"},
    };
    for (const auto& c : cases) EXPECT_EQ(Checksum(c.msg), Reversed(c.rhash)) << c.msg.size() << " bytes";
}

TEST(AccumulativeHash, RandomPiecesGiveTheSameHash) {
    std::mt19937_64 rng(20240611);
    for (size_t size : {size_t(0), size_t(1), size_t(31), size_t(32), size_t(33), size_t(1000),
                        size_t(1 << 20) + 1, size_t(rng() % (3u << 20))}) {
        std::string data(size, '\0');
        for (auto& c : data) c = static_cast<char>(rng());
        const std::string whole = Checksum(data);
        for (int round = 0; round < 3; ++round) {
            // Empty pieces included; short ones cross every block offset.
            std::vector<size_t> pieces;
            size_t left = size;
            const size_t most = round == 0 ? 5 : round == 1 ? 100 : 300000;
            while (left > 0) {
                const size_t n = std::min<size_t>(left, rng() % (most + 1));
                pieces.push_back(n);
                left -= n;
            }
            EXPECT_EQ(Checksum(data, pieces), whole) << size << " bytes, round " << round;
        }
    }
}

TEST(AccumulativeHash, StartVectorAndBoxesReachTheProvider) {
    // CryptoPro boxes packed by hand; digest of "abc" from rhash --gost94-cryptopro.
    const char* cryptoPro =
        "5A47771DF4AF663E457C24A406CE4B912809D957D1F49CB0B321F24597800AFA"
        "1DE3A1837C1B186C6E6550783052BEEFC9D68FD6E2BAED02AB98C3298F3D35CB";
    BYTE block[64];
    for (int i = 0; i < 64; ++i) block[i] = static_cast<BYTE>(std::stoi(std::string(cryptoPro + 2 * i, 2), nullptr, 16));
    auto digest = [](const BYTE* sv, const BYTE* boxes) {
        CAccumulativeHash hash(sv, boxes);
        hash.Add("abc", 3);
        BYTE out[32];
        hash.Finish(out, sizeof(out));
        return Hex(out, 32);
    };
    EXPECT_EQ(digest(nullptr, block), "B285056DBF18D7392D7677369524DD14747459ED8143997E163B2986F92FD42C");
    const BYTE zero[32] = {}, one[32] = {1};
    const std::string plain = digest(nullptr, GOST_R_3411_1994::test_param_block());
    EXPECT_EQ(digest(zero, GOST_R_3411_1994::test_param_block()), plain);
    EXPECT_NE(digest(one, GOST_R_3411_1994::test_param_block()), plain);
    // No block: the provider's default boxes are the test set.
    EXPECT_EQ(digest(nullptr, nullptr), plain);
}

TEST(AccumulativeHash, BadDestinationsAndLateCallsRaise) {
    CAccumulativeHash hash;
    CVrError e = Raised([&] { hash.Finish(nullptr, 32); });
    EXPECT_EQ(e.GetCode(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_STREQ(e.Field(L"Function"), L"CCryptoBuffer::Get");
    // The provider finished before the copy failed: a second finish or more
    // data is an error, never a second, different hash.
    BYTE out[32] = {};
    e = Raised([&] { hash.Finish(out, sizeof(out)); });
    EXPECT_EQ(e.GetCode(), DWORD(ERROR_INVALID_STATE));
    EXPECT_STREQ(e.Field(L"Function"), L"CCryptoContext::MakeAction");
    EXPECT_EQ(Raised([&] { hash.Add("a", 1); }).GetCode(), DWORD(ERROR_INVALID_STATE));

    EXPECT_EQ(Raised([&] { CAccumulativeHash().Finish(out, 31); }).GetCode(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    // Mapped but not writable, and a writable page whose last 16 bytes run
    // into a reserved one: refused without a fault.
    BYTE* pages = static_cast<BYTE*>(::VirtualAlloc(nullptr, 8192, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(pages, nullptr);
    ASSERT_NE(::VirtualAlloc(pages, 4096, MEM_COMMIT, PAGE_READONLY), nullptr);
    EXPECT_EQ(Raised([&] { CAccumulativeHash().Finish(pages, 32); }).GetCode(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    DWORD old = 0;
    ASSERT_TRUE(::VirtualProtect(pages, 4096, PAGE_READWRITE, &old));
    EXPECT_EQ(Raised([&] { CAccumulativeHash().Finish(pages + 4096 - 16, 32); }).GetCode(),
              DWORD(ERROR_INSUFFICIENT_BUFFER));
    CAccumulativeHash().Finish(pages + 4096 - 32, 32);  // exactly fits
    ::VirtualFree(pages, 0, MEM_RELEASE);
}

TEST(AccumulativeHash, FirstUseFromManyThreadsAtOnce) {
    // Each test runs in a fresh process, so these threads race to load the
    // provider and build the box block.
    const std::string expected = Reversed("f3134348c44fb1b2a277729e2285ebb5cb5e0f29c975bc753b70497c06a4d51d");
    std::vector<std::string> got(8);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < got.size(); ++t)
        threads.emplace_back([&, t] {
            try {
                for (int i = 0; i < 50; ++i) got[t] = Checksum("abc");
            } catch (CVrError& e) {
                got[t] = Narrow(e.GetDescription());
            }
        });
    for (auto& th : threads) th.join();
    for (const auto& g : got) EXPECT_EQ(g, expected);
}

} // namespace
