#include "probe_service.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace proxytest {

namespace {

// Stops it, or ends the process the SCM started for it.
void StopOrEnd(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    auto query = [&] {
        return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof(s),
                                      &needed) != FALSE;
    };
    if (!query() || s.dwCurrentState == SERVICE_STOPPED) return;
    SERVICE_STATUS plain{};
    ::ControlService(service, SERVICE_CONTROL_STOP, &plain);
    for (int i = 0; i < 200 && query() && s.dwCurrentState != SERVICE_STOPPED; ++i) ::Sleep(50);
    if (query() && s.dwCurrentState != SERVICE_STOPPED && s.dwProcessId) {
        VrBase::unique_handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, s.dwProcessId));
        if (process) {
            ::TerminateProcess(process.get(), 1);
            ::WaitForSingleObject(process.get(), 10000);
        }
    }
}

} // namespace

void RemoveService(const std::wstring& name) {
    VrBase::unique_schandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) return;
    {
        VrBase::unique_schandle service(::OpenServiceW(scm.get(), name.c_str(), SERVICE_ALL_ACCESS));
        if (!service) return;
        StopOrEnd(service.get());
        ::DeleteService(service.get());
    }
    for (int i = 0; i < 100; ++i) {
        VrBase::unique_schandle gone(::OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_STATUS));
        if (!gone) return;
        ::Sleep(50);
    }
}

ProbeService::ProbeService(const std::wstring& arguments, DWORD startType, const std::wstring& name,
                           const std::wstring& dependsOn)
    : m_name(name) {
    RemoveService(name);
    m_scm.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!m_scm) throw std::runtime_error("cannot open the SCM");
    const std::wstring binary = L"\"" + vrtest::ModuleFolder() + L"svc_probe.exe\" " + name + L" " + arguments;
    std::vector<wchar_t> dependencies(dependsOn.begin(), dependsOn.end());
    dependencies.push_back(L'\0');
    dependencies.push_back(L'\0');
    m_service.reset(::CreateServiceW(m_scm.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL, binary.c_str(),
                                     nullptr, nullptr, dependsOn.empty() ? nullptr : dependencies.data(), nullptr,
                                     nullptr));
    if (!m_service) throw std::runtime_error("cannot install the probe service: " + std::to_string(::GetLastError()));
}

ProbeService::~ProbeService() {
    m_service.reset();
    m_scm.reset();
    RemoveService(m_name);
}

SERVICE_STATUS_PROCESS ProbeService::Query() const {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    EXPECT_TRUE(::QueryServiceStatusEx(m_service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s),
                                       sizeof(s), &needed));
    return s;
}

DWORD ProbeService::StartType() const {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    EXPECT_TRUE(::QueryServiceConfigW(m_service.get(), config, static_cast<DWORD>(buffer.size()), &needed));
    return config->dwStartType;
}

void ProbeService::Start() const { ASSERT_TRUE(::StartServiceW(m_service.get(), 0, nullptr)) << ::GetLastError(); }

bool ProbeService::WaitState(DWORD state, DWORD ms) const {
    for (DWORD waited = 0; waited < ms; waited += 20) {
        if (State() == state) return true;
        ::Sleep(20);
    }
    return false;
}

} // namespace proxytest
