#pragma once
// Binding to the outside crypto provider "Vr5CryptoApi.dll", loaded by name
// when the first key, context or data handle is made.
#include <windows.h>

#include "Vr5CryptoApi.h"

#include <atomic>
#include <mutex>

namespace VrBase {

constexpr DWORD kErrCryptoNotLoaded = 0xE6080002;  // the provider cannot be loaded
constexpr DWORD kErrCryptoDevice = 0xE6080008;     // the provider's 1167: device not connected
constexpr DWORD kErrExportMissing = 0xE6010032;    // a function the binding needs is not exported

class CCryptoDll {
public:
    static CCryptoDll& Instance();

    // Loads the provider and binds its exports unless that is done already.
    // On failure the library is freed again, so the next call retries, and
    // CVrError is raised with 0xE6080002 or 0xE6010032 (export name as insert).
    void Initialize();
    bool IsLoaded() const noexcept { return m_loaded.load(std::memory_order_acquire); }

    // The provider's result, 1167 given as 0xE6080008; it is also left as
    // the thread's last error.
    DWORD SetKey(DWORD algId, const void* algParams, DWORD keyLength, const void* keyData, DWORD keyDataLength,
                 HVRKEY* key);
    DWORD CreateContext(HVRKEY key, DWORD mode, HVRCONTEXT* context, const void* params, DWORD paramsLength);
    DWORD MakeAction(DWORD action, HVRCONTEXT context, const void* iv, DWORD ivLength, const void* data,
                     DWORD dataLength, void* out, DWORD outLength);
    // These answer 1 without calling while the provider is not loaded.
    DWORD DestroyKey(HVRKEY key);
    DWORD DestroyContext(HVRCONTEXT context);
    DWORD DestroyNameData(HVRDATA data);

    CCryptoDll(const CCryptoDll&) = delete;
    CCryptoDll& operator=(const CCryptoDll&) = delete;

private:
    CCryptoDll() = default;
    template <class F>
    F Export(int index) const;

    enum { kExportCount = 18 };
    std::mutex m_lock;
    std::atomic<bool> m_loaded{false};
    FARPROC m_exports[kExportCount] = {};
};

} // namespace VrBase
