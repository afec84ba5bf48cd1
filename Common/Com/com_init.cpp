#include "com_init.h"

#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

namespace Com {

CInitializeThread::CInitializeThread(DWORD mode) {
    m_hr = ::CoInitializeEx(nullptr, mode);
    if (SUCCEEDED(m_hr)) {
        m_usable = m_uninitialize = true;
    } else if (m_hr == RPC_E_CHANGED_MODE) {
        // COM is there in the other model: usable, but not ours to undo.
        m_usable = true;
        VR_TRACE(VrBase::TL_WARNING, L"Com::CInitializeThread::CInitializeThread",
                 L"CoInitializeEx(0x%08X) COM-mode changed, 0x%08X", mode, static_cast<unsigned>(m_hr));
    } else {
        VR_TRACE(VrBase::TL_WARNING, L"Com::CInitializeThread::CInitializeThread", L"Initialize COM with 0x%08X, 0x%08X",
                 mode, static_cast<unsigned>(m_hr));
        VR_RAISE(static_cast<DWORD>(m_hr), L"Com::CInitializeThread::CInitializeThread");
    }
}

CInitializeThread::~CInitializeThread() {
    if (m_uninitialize) ::CoUninitialize();
}

void InitializeSecurity(PSECURITY_DESCRIPTOR descriptor, LONG authServiceCount, SOLE_AUTHENTICATION_SERVICE* authServices,
                        DWORD authLevel, DWORD impersonationLevel, void* authList, DWORD capabilities) {
    HRESULT hr = ::CoInitializeSecurity(descriptor, authServiceCount, authServices, nullptr, authLevel,
                                        impersonationLevel, authList, capabilities, nullptr);
    if (hr == RPC_E_TOO_LATE) {
        VR_TRACE(VrBase::TL_WARNING, L"Com::InitializeSecurity", L"CoInitializeSecurity() already called");
        return;
    }
    if (hr != S_OK) VR_TRACE(VrBase::TL_WARNING, L"Com::InitializeSecurity", L"CoInitializeSecurity(), 0x%08X",
                             static_cast<unsigned>(hr));
    if (FAILED(hr)) VR_RAISE(static_cast<DWORD>(hr), L"Com::InitializeSecurity");
}

} // namespace Com
