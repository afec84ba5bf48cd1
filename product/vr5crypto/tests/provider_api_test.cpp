// Vr5CryptoApi.dll through its exports: every kind of bad call is refused
// with a code, never a crash. Its digests are checked through the binding
// (vrbasecrypt/tests) and against rhash (vrhash_rhash_check.sh).
#include "Vr5CryptoApi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

HVRCONTEXT NewContext() {
    HVRKEY key = nullptr;
    HVRCONTEXT ctx = nullptr;
    EXPECT_EQ(vrSetKey(VR_ALG_GOST_R_3411_94, nullptr, 64, nullptr, 0, &key), 0u);
    EXPECT_EQ(vrCreateContext(key, VR_MODE_HASH, &ctx, nullptr, 0), 0u);
    EXPECT_EQ(vrDestroyKey(key), 0u);  // the context must outlive its key
    return ctx;
}

TEST(ProviderArguments, BadArgumentsGiveCodes) {
    HVRKEY key = reinterpret_cast<HVRKEY>(1);
    EXPECT_EQ(vrSetKey(VR_ALG_GOST_R_3411_94, nullptr, 64, nullptr, 0, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(vrSetKey(7, nullptr, 64, nullptr, 0, &key), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(key, nullptr);  // no stale value left for the caller to destroy
    EXPECT_EQ(vrSetKey(VR_ALG_GOST_R_3411_94, nullptr, 32, nullptr, 0, &key), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(vrSetKey(VR_ALG_GOST_R_3411_94, nullptr, 64, nullptr, 16, &key), DWORD(ERROR_INVALID_PARAMETER));

    ASSERT_EQ(vrSetKey(VR_ALG_GOST_R_3411_94, nullptr, 64, nullptr, 0, &key), 0u);
    HVRCONTEXT ctx = nullptr;
    EXPECT_EQ(vrCreateContext(key, VR_MODE_HASH, nullptr, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(vrCreateContext(key, 3, &ctx, nullptr, 0), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(vrCreateContext(key, VR_MODE_HASH, &ctx, nullptr, 8), DWORD(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(vrCreateContext(key, VR_MODE_HASH, &ctx, nullptr, 0), 0u);
    EXPECT_EQ(vrDestroyKey(key), 0u);

    const BYTE block[64] = {}, iv[32] = {};
    BYTE out[32];
    // Start vector and box block: exact lengths, pointer and length agreeing.
    EXPECT_EQ(vrMakeAction(1, ctx, iv, 16, nullptr, 0, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(vrMakeAction(1, ctx, nullptr, 32, nullptr, 0, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(vrMakeAction(1, ctx, iv, 0, nullptr, 0, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(vrMakeAction(1, ctx, nullptr, 0, block, 63, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(vrMakeAction(1, ctx, nullptr, 0, nullptr, 64, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(vrMakeAction(2, ctx, nullptr, 0, nullptr, 0, nullptr, 0), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(vrMakeAction(0xFFFFFFFF, ctx, nullptr, 0, nullptr, 0, out, 32), DWORD(ERROR_NOT_SUPPORTED));

    ASSERT_EQ(vrMakeAction(1, ctx, nullptr, 0, block, 64, nullptr, 0), 0u);
    EXPECT_EQ(vrMakeAction(5, ctx, nullptr, 0, nullptr, 10, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(vrMakeAction(5, ctx, nullptr, 0, nullptr, 0, nullptr, 0), 0u);  // nothing to add is fine
    EXPECT_EQ(vrMakeAction(9, ctx, nullptr, 0, nullptr, 0, nullptr, 32), DWORD(ERROR_INVALID_PARAMETER));
    out[31] = 0x5A;
    EXPECT_EQ(vrMakeAction(9, ctx, nullptr, 0, nullptr, 0, out, 31), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(out[31], 0x5A);
    // The refused finishes left the hash open.
    EXPECT_EQ(vrMakeAction(9, ctx, nullptr, 0, nullptr, 0, out, 32), 0u);
    EXPECT_EQ(vrDestroyContext(ctx), 0u);
}

TEST(ProviderHandles, StaleForeignAndForgedHandlesAreRefused) {
    HVRKEY key = nullptr;
    ASSERT_EQ(vrSetKey(VR_ALG_GOST_R_3411_94, nullptr, 64, nullptr, 0, &key), 0u);
    HVRCONTEXT ctx = nullptr;
    ASSERT_EQ(vrCreateContext(key, VR_MODE_HASH, &ctx, nullptr, 0), 0u);

    // A key is not a context and the other way round.
    EXPECT_EQ(vrMakeAction(1, reinterpret_cast<HVRCONTEXT>(key), nullptr, 0, nullptr, 0, nullptr, 0),
              DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(vrDestroyContext(reinterpret_cast<HVRCONTEXT>(key)), DWORD(ERROR_INVALID_HANDLE));
    HVRCONTEXT other = nullptr;
    EXPECT_EQ(vrCreateContext(reinterpret_cast<HVRKEY>(ctx), VR_MODE_HASH, &other, nullptr, 0),
              DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(other, nullptr);

    EXPECT_EQ(vrDestroyKey(key), 0u);
    EXPECT_EQ(vrDestroyKey(key), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(vrCreateContext(key, VR_MODE_HASH, &other, nullptr, 0), DWORD(ERROR_INVALID_HANDLE));

    EXPECT_EQ(vrDestroyContext(ctx), 0u);
    BYTE out[32];
    EXPECT_EQ(vrMakeAction(1, ctx, nullptr, 0, nullptr, 0, nullptr, 0), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(vrMakeAction(9, ctx, nullptr, 0, nullptr, 0, out, 32), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(vrDestroyContext(ctx), DWORD(ERROR_INVALID_HANDLE));

    // Values that were never handles, including addresses of real memory.
    for (uintptr_t forged : {uintptr_t(0), uintptr_t(1), uintptr_t(0xFFFFFFFFFFFFFFFFull),
                             reinterpret_cast<uintptr_t>(out)}) {
        EXPECT_EQ(vrMakeAction(5, reinterpret_cast<HVRCONTEXT>(forged), nullptr, 0, out, 32, nullptr, 0),
                  DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(vrDestroyKey(reinterpret_cast<HVRKEY>(forged)), DWORD(ERROR_INVALID_HANDLE));
    }
}

TEST(ProviderState, ActionsOutOfOrderAreRefused) {
    HVRCONTEXT ctx = NewContext();
    BYTE out[32];
    EXPECT_EQ(vrMakeAction(5, ctx, nullptr, 0, "a", 1, nullptr, 0), DWORD(ERROR_INVALID_STATE));
    EXPECT_EQ(vrMakeAction(9, ctx, nullptr, 0, nullptr, 0, out, 32), DWORD(ERROR_INVALID_STATE));

    ASSERT_EQ(vrMakeAction(1, ctx, nullptr, 0, nullptr, 0, nullptr, 0), 0u);
    ASSERT_EQ(vrMakeAction(5, ctx, nullptr, 0, "x", 1, nullptr, 0), 0u);
    ASSERT_EQ(vrMakeAction(9, ctx, nullptr, 0, nullptr, 0, out, 32), 0u);
    EXPECT_EQ(vrMakeAction(5, ctx, nullptr, 0, "a", 1, nullptr, 0), DWORD(ERROR_INVALID_STATE));
    EXPECT_EQ(vrMakeAction(9, ctx, nullptr, 0, nullptr, 0, out, 32), DWORD(ERROR_INVALID_STATE));

    // A new init starts a fresh message on the same context.
    ASSERT_EQ(vrMakeAction(1, ctx, nullptr, 0, nullptr, 0, nullptr, 0), 0u);
    ASSERT_EQ(vrMakeAction(5, ctx, nullptr, 0, "abc", 3, nullptr, 0), 0u);
    ASSERT_EQ(vrMakeAction(9, ctx, nullptr, 0, nullptr, 0, out, 32), 0u);
    const BYTE abc[4] = {0xf3, 0x13, 0x43, 0x48};  // rhash's digest of "abc" begins so
    EXPECT_EQ(memcmp(out, abc, 4), 0);
    EXPECT_EQ(vrDestroyContext(ctx), 0u);
}

TEST(ProviderThreads, DestroyWhileAnotherThreadAppendsIsSafe) {
    HVRCONTEXT ctx = NewContext();
    ASSERT_EQ(vrMakeAction(1, ctx, nullptr, 0, nullptr, 0, nullptr, 0), 0u);
    const std::string block(4096, 'z');
    std::atomic<bool> started{false};
    DWORD last = 0;
    std::thread appender([&] {
        while ((last = vrMakeAction(5, ctx, nullptr, 0, block.data(), 4096, nullptr, 0)) == 0) started = true;
    });
    while (!started) std::this_thread::yield();
    EXPECT_EQ(vrDestroyContext(ctx), 0u);
    appender.join();
    EXPECT_EQ(last, DWORD(ERROR_INVALID_HANDLE));
}

} // namespace
