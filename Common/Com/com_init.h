#pragma once
// COM on the current thread, for the scope of one object, and the
// process-wide COM security.
#include <windows.h>
#include <objbase.h>

namespace Com {

class CInitializeThread {
public:
    explicit CInitializeThread(DWORD mode);
    ~CInitializeThread();
    CInitializeThread(const CInitializeThread&) = delete;
    CInitializeThread& operator=(const CInitializeThread&) = delete;

    bool IsUsable() const { return m_usable; }
    bool WillUninitialize() const { return m_uninitialize; }
    HRESULT Result() const { return m_hr; }

private:
    bool m_usable = false;
    bool m_uninitialize = false;
    HRESULT m_hr = E_FAIL;
};

// CoInitializeSecurity; "already called" is accepted, other failures raise.
void InitializeSecurity(PSECURITY_DESCRIPTOR descriptor, LONG authServiceCount, SOLE_AUTHENTICATION_SERVICE* authServices,
                        DWORD authLevel, DWORD impersonationLevel, void* authList, DWORD capabilities);

} // namespace Com
