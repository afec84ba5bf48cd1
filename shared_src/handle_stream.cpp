#include "handle_stream.h"

HRESULT CHandleStream::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialStream) {
        *out = static_cast<ISequentialStream*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG CHandleStream::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&m_refs)); }

ULONG CHandleStream::Release() {
    const LONG left = ::InterlockedDecrement(&m_refs);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

HRESULT CHandleStream::Read(void* buffer, ULONG size, ULONG* read) {
    DWORD got = 0;
    if (!::ReadFile(m_file, buffer, size, &got, nullptr)) return HRESULT_FROM_WIN32(::GetLastError());
    if (read) *read = got;
    return got == size ? S_OK : S_FALSE;
}

HRESULT CHandleStream::Write(const void* buffer, ULONG size, ULONG* written) {
    DWORD put = 0;
    if (!::WriteFile(m_file, buffer, size, &put, nullptr)) return HRESULT_FROM_WIN32(::GetLastError());
    if (written) *written = put;
    return put == size ? S_OK : STG_E_MEDIUMFULL;
}
