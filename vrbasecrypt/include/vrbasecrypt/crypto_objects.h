#pragma once
// Provider handles, keys, contexts and output buffers. Every failing
// provider call is raised as CVrError with the provider's code.
#include "vrbasecrypt/crypto_dll.h"

#include <vector>

namespace VrBase {

// Owns one provider handle. Making one loads the provider (and raises when
// that fails); the handle is destroyed with it.
template <class H, DWORD (CCryptoDll::*Destroy)(H)>
class CProviderHandle {
public:
    CProviderHandle() { CCryptoDll::Instance().Initialize(); }
    ~CProviderHandle() { reset(); }
    CProviderHandle(const CProviderHandle&) = delete;
    CProviderHandle& operator=(const CProviderHandle&) = delete;

    H get() const noexcept { return m_handle; }
    H* put() noexcept {
        reset();
        return &m_handle;
    }
    void reset() noexcept {
        if (m_handle) (CCryptoDll::Instance().*Destroy)(m_handle);
        m_handle = nullptr;
    }

private:
    H m_handle = nullptr;
};

using CKeyHandle = CProviderHandle<HVRKEY, &CCryptoDll::DestroyKey>;
using CContextHandle = CProviderHandle<HVRCONTEXT, &CCryptoDll::DestroyContext>;
using CDataHandle = CProviderHandle<HVRDATA, &CCryptoDll::DestroyNameData>;

class CCryptoKey {
public:
    void Set(DWORD algId, const void* algParams, DWORD keyLength, const void* keyData, DWORD keyDataLength);
    HVRKEY Handle() const noexcept { return m_handle.get(); }

private:
    CKeyHandle m_handle;
};

// Bytes the provider writes, handed on to the caller's memory.
class CCryptoBuffer {
public:
    explicit CCryptoBuffer(size_t size) : m_bytes(size) {}
    BYTE* Data() noexcept { return m_bytes.data(); }
    DWORD Size() const noexcept { return static_cast<DWORD>(m_bytes.size()); }
    // Raises 122 when the destination is null, shorter than the contents or
    // not writable memory.
    void Get(void* destination, size_t destinationSize) const;

private:
    std::vector<BYTE> m_bytes;
};

class CCryptoContext {
public:
    // The key may be destroyed once the context exists.
    void Create(const CCryptoKey& key, DWORD mode);
    void MakeAction(DWORD action, const void* iv, DWORD ivLength, const void* data, DWORD dataLength,
                    CCryptoBuffer* out = nullptr);

private:
    CContextHandle m_handle;
};

} // namespace VrBase
