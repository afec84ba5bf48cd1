#include "vrbasecrypt/crypto_objects.h"

#include "vrbase/vr_error.h"

#include <cstring>

namespace VrBase {
namespace {

// Asks the memory manager instead of probing by writing, which would fault,
// trip guard pages and race with other threads.
bool IsWritableRange(void* start, size_t size) {
    auto* p = static_cast<BYTE*>(start);
    const uintptr_t end = reinterpret_cast<uintptr_t>(p) + size;
    if (end < reinterpret_cast<uintptr_t>(p)) return false;
    const DWORD writable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    while (reinterpret_cast<uintptr_t>(p) < end) {
        MEMORY_BASIC_INFORMATION info;
        if (::VirtualQuery(p, &info, sizeof(info)) == 0) return false;
        if (info.State != MEM_COMMIT || (info.Protect & PAGE_GUARD) || !(info.Protect & writable)) return false;
        p = static_cast<BYTE*>(info.BaseAddress) + info.RegionSize;
    }
    return true;
}

} // namespace

void CCryptoKey::Set(DWORD algId, const void* algParams, DWORD keyLength, const void* keyData,
                     DWORD keyDataLength) {
    const DWORD code =
        CCryptoDll::Instance().SetKey(algId, algParams, keyLength, keyData, keyDataLength, m_handle.put());
    if (code != 0) VR_RAISE(code, L"CCryptoKey::Set");
}

void CCryptoBuffer::Get(void* destination, size_t destinationSize) const {
    if (destination == nullptr || destinationSize < m_bytes.size() ||
        !IsWritableRange(destination, m_bytes.size()))
        VR_RAISE(ERROR_INSUFFICIENT_BUFFER, L"CCryptoBuffer::Get");
    std::memcpy(destination, m_bytes.data(), m_bytes.size());
}

void CCryptoContext::Create(const CCryptoKey& key, DWORD mode) {
    const DWORD code = CCryptoDll::Instance().CreateContext(key.Handle(), mode, m_handle.put(), nullptr, 0);
    if (code != 0) VR_RAISE(code, L"CCryptoContext::Create");
}

void CCryptoContext::MakeAction(DWORD action, const void* iv, DWORD ivLength, const void* data, DWORD dataLength,
                                CCryptoBuffer* out) {
    const DWORD code = CCryptoDll::Instance().MakeAction(action, m_handle.get(), iv, ivLength, data, dataLength,
                                                         out ? out->Data() : nullptr, out ? out->Size() : 0);
    if (code != 0) VR_RAISE(code, L"CCryptoContext::MakeAction");
}

} // namespace VrBase
