#pragma once
// svc_probe.exe installed under a service name for one test, removed again
// (stopped first, its process ended if it will not stop).
#include "vrbase/scope.h"

#include <windows.h>
#include <string>

namespace proxytest {

class ProbeService {
public:
    ProbeService(const std::wstring& arguments, DWORD startType = SERVICE_DEMAND_START,
                 const std::wstring& name = L"VrSoftwareState", const std::wstring& dependsOn = std::wstring());
    ~ProbeService();
    ProbeService(const ProbeService&) = delete;
    ProbeService& operator=(const ProbeService&) = delete;

    SC_HANDLE handle() const { return m_service.get(); }
    SERVICE_STATUS_PROCESS Query() const;
    DWORD State() const { return Query().dwCurrentState; }
    DWORD StartType() const;
    void Start() const;
    // Polls until the state is reached; false after ms.
    bool WaitState(DWORD state, DWORD ms = 30000) const;

private:
    std::wstring m_name;
    VrBase::unique_schandle m_scm, m_service;
};

// No service of that name remains registered.
void RemoveService(const std::wstring& name);

} // namespace proxytest
