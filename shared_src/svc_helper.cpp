#include "svc_helper.h"

#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <vector>

using namespace VrBase;

namespace {

constexpr DWORD kScmAllAccess = SC_MANAGER_ALL_ACCESS;  // 0xF003F
constexpr DWORD kStopAccess = SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS;

SC_HANDLE open_scm(DWORD access, const wchar_t* fn) {
    SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, access);
    if (!scm) VR_RAISE_LAST_ERROR(fn);
    return scm;
}

SC_HANDLE open_service(SC_HANDLE scm, const wchar_t* name, DWORD access, const wchar_t* fn) {
    SC_HANDLE service = ::OpenServiceW(scm, name, access);
    if (!service) VR_RAISE_LAST_ERROR(fn);
    return service;
}

SERVICE_STATUS_PROCESS query_status(SC_HANDLE service, const wchar_t* fn) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                &needed))
        VR_RAISE_LAST_ERROR(fn);
    return status;
}

void send_stop(SC_HANDLE service, const wchar_t* fn) {
    SERVICE_STATUS status{};
    if (!::ControlService(service, SERVICE_CONTROL_STOP, &status)) VR_RAISE_LAST_ERROR(fn);
}

class CSystemWaitClock : public IServiceWaitClock {
public:
    DWORD tick() override { return ::GetTickCount(); }
    void sleep(DWORD ms) override { ::Sleep(ms); }
};

CSystemWaitClock g_systemClock;
std::atomic<IServiceWaitClock*> g_waitClock{&g_systemClock};

IServiceWaitClock& wait_clock() { return *g_waitClock.load(); }

const std::map<DWORD, DWORD>& pending_states() {
    static const std::map<DWORD, DWORD> map = {
        {SERVICE_STOPPED, SERVICE_STOP_PENDING},
        {SERVICE_RUNNING, SERVICE_START_PENDING},
        {SERVICE_PAUSED, SERVICE_PAUSE_PENDING},
    };
    return map;
}

} // namespace

void CServiceHandle::Close() noexcept {
    if (!m_handle) return;
    if (!::CloseServiceHandle(m_handle))
        VR_TRACE(TL_WARNING, L"CServiceHandle::Close", L" svc handle close failed. Error = %d", ::GetLastError());
    m_handle = nullptr;
}

void set_service_wait_clock(IServiceWaitClock* clock) { g_waitClock.store(clock ? clock : &g_systemClock); }

DWORD pending_state_for(DWORD desired) {
    auto it = pending_states().find(desired);
    return it == pending_states().end() ? 0 : it->second;
}

DWORD service_poll_interval(DWORD waitHint) { return std::min<DWORD>(std::max<DWORD>(waitHint / 10, 1000), 10000); }

void wait_service_status(SC_HANDLE service, DWORD desired) {
    const wchar_t* const fn = L"wait_service_status";
    SERVICE_STATUS_PROCESS status = query_status(service, fn);
    if (status.dwCurrentState == desired) return;
    const DWORD pending = pending_state_for(desired);
    if (!pending) {
        VR_TRACE(TL_WARNING, fn, L"Call to wait unsupported state: %d", desired);
        VR_RAISE(static_cast<DWORD>(E_NOTIMPL), fn);
    }
    IServiceWaitClock& clock = wait_clock();
    DWORD start = clock.tick();
    DWORD checkPoint = status.dwCheckPoint;
    while (status.dwCurrentState == pending) {
        VR_TRACE(TL_INFO, fn, L"Service pending (state %d)...", pending);
        clock.sleep(service_poll_interval(status.dwWaitHint));
        status = query_status(service, fn);
        if (status.dwCurrentState == desired) {
            VR_TRACE(TL_INFO, fn, L"Service state %d. Wait complete.", desired);
            return;
        }
        if (status.dwCurrentState != pending) break;  // the caller judges where it ended
        if (status.dwCheckPoint > checkPoint) {
            checkPoint = status.dwCheckPoint;
            start = clock.tick();
        } else if (clock.tick() - start > status.dwWaitHint) {
            VR_TRACE(TL_WARNING, fn, L"Service pending timeout! Waited state: %d Current state: ", desired);
            VR_RAISE(ERROR_SERVICE_REQUEST_TIMEOUT, fn);
        }
    }
}

namespace {

// A control is answered before the service has acted on it: give it a
// moment to leave the state it was in before its pending state is awaited.
void wait_to_leave(SC_HANDLE service, DWORD state, const wchar_t* fn) {
    const DWORD begin = ::GetTickCount();
    while (query_status(service, fn).dwCurrentState == state && ::GetTickCount() - begin < 5000) ::Sleep(50);
}

} // namespace

DWORD stop_dependent(SC_HANDLE service, SC_HANDLE scm) {
    const wchar_t* const fn = L"stop_dependent";
    return GuardCode(fn, [&]() -> DWORD {
        DWORD needed = 0, count = 0;
        if (::EnumDependentServicesW(service, SERVICE_ACTIVE, nullptr, 0, &needed, &count)) return 0;
        if (::GetLastError() != ERROR_MORE_DATA) VR_RAISE_LAST_ERROR(fn);
        std::vector<BYTE> buffer(needed, 0);
        auto* dependents = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data());
        if (!::EnumDependentServicesW(service, SERVICE_ACTIVE, dependents, needed, &needed, &count))
            VR_RAISE_LAST_ERROR(fn);
        for (DWORD i = 0; i < count; ++i) {
            VR_TRACE(TL_INFO, fn, L" processing service <%ls>", dependents[i].lpServiceName);
            CServiceHandle dependent(
                open_service(scm, dependents[i].lpServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS, fn));
            send_stop(dependent.get(), fn);
            wait_service_status(dependent.get(), SERVICE_STOPPED);
        }
        return 0;
    });
}

void stop_service() {
    const wchar_t* const fn = L"stop_service";
    CServiceHandle scm(open_scm(kScmAllAccess, fn));
    CServiceHandle service(open_service(scm.get(), kSsrServiceName, kStopAccess, fn));
    if (query_status(service.get(), fn).dwCurrentState == SERVICE_STOPPED) {
        VR_TRACE(TL_INFO, fn, L"Service <%ls> already stopped", kSsrServiceName);
        return;
    }
    wait_service_status(service.get(), SERVICE_STOPPED);
    if (stop_dependent(service.get(), scm.get()) != 0)
        VR_TRACE(TL_WARNING, fn, L"Not all dependent services has been stopped! Main service: %ls", kSsrServiceName);
    // The wait above may have ended in STOPPED: stopping again would fail
    // with 1062 although the service is where we want it.
    if (query_status(service.get(), fn).dwCurrentState == SERVICE_STOPPED) return;
    const DWORD before = query_status(service.get(), fn).dwCurrentState;
    send_stop(service.get(), fn);
    wait_to_leave(service.get(), before, fn);
    wait_service_status(service.get(), SERVICE_STOPPED);
    const SERVICE_STATUS_PROCESS status = query_status(service.get(), fn);
    if (status.dwCurrentState != SERVICE_STOPPED) {
        VR_TRACE(TL_WARNING, fn, L"Service <%ls> not stopped. Current state: %d", kSsrServiceName,
                 static_cast<int>(status.dwCurrentState));
        VR_RAISE(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, fn);
    }
}

void start_service() {
    const wchar_t* const fn = L"start_service";
    CServiceHandle scm(open_scm(kScmAllAccess, fn));
    CServiceHandle service(open_service(scm.get(), kSsrServiceName, SERVICE_ALL_ACCESS, fn));
    SERVICE_STATUS_PROCESS status = query_status(service.get(), fn);
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
        VR_TRACE(TL_INFO, fn, L"Service <%ls> already running", kSsrServiceName);
        return;
    }
    wait_service_status(service.get(), SERVICE_STOPPED);
    if (!::StartServiceW(service.get(), 0, nullptr)) VR_RAISE_LAST_ERROR(fn);
    VR_TRACE(TL_INFO, fn, L"Service <%ls> start pending...", kSsrServiceName);
    wait_to_leave(service.get(), SERVICE_STOPPED, fn);
    wait_service_status(service.get(), SERVICE_RUNNING);
    status = query_status(service.get(), fn);
    if (status.dwCurrentState == SERVICE_RUNNING) {
        VR_TRACE(TL_INFO, fn, L"Service <%ls> started successfully.", kSsrServiceName);
        return;
    }
    VR_TRACE(TL_WARNING, fn, L"Service <%ls> not started.", kSsrServiceName);
    VR_TRACE(TL_INFO, fn, L"Current State: %d", status.dwCurrentState);
    VR_TRACE(TL_INFO, fn, L"Exit Code:     %d", status.dwWin32ExitCode);
    VR_TRACE(TL_INFO, fn, L"Check Point:   %d", status.dwCheckPoint);
    VR_TRACE(TL_INFO, fn, L"Wait Hint:     %d", status.dwWaitHint);
    // A start that ended anywhere but RUNNING failed: its own exit code
    // tells why when it gave one.
    const DWORD code = status.dwWin32ExitCode && status.dwWin32ExitCode != ERROR_SERVICE_SPECIFIC_ERROR
                           ? status.dwWin32ExitCode
                           : static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE);
    VR_RAISE(code, fn);
}

DWORD get_service_current_state() {
    const wchar_t* const fn = L"get_service_current_state";
    CServiceHandle scm(open_scm(GENERIC_READ, fn));
    CServiceHandle service(open_service(scm.get(), kSsrServiceName, SERVICE_QUERY_STATUS, fn));
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(service.get(), &status)) VR_RAISE_LAST_ERROR(fn);
    return status.dwCurrentState;
}

DWORD get_service_startup_type() {
    const wchar_t* const fn = L"get_service_startup_type";
    CServiceHandle scm(open_scm(GENERIC_READ, fn));
    CServiceHandle service(open_service(scm.get(), kSsrServiceName, SERVICE_QUERY_CONFIG, fn));
    DWORD needed = 0;
    if (::QueryServiceConfigW(service.get(), nullptr, 0, &needed) || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        VR_RAISE_LAST_ERROR(fn);
    std::vector<BYTE> buffer(needed, 0);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.get(), config, needed, &needed)) VR_RAISE_LAST_ERROR(fn);
    return config->dwStartType;
}

bool check_service_existance() {
    const wchar_t* const fn = L"check_service_existance";
    CServiceHandle scm(open_scm(GENERIC_READ, fn));
    CServiceHandle service(::OpenServiceW(scm.get(), kSsrServiceName, SERVICE_QUERY_STATUS));
    if (service) return true;
    if (::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return false;
    VR_RAISE_LAST_ERROR(fn);
}

void set_startup_type(DWORD startType) {
    const wchar_t* const fn = L"set_startup_type";
    if (get_service_startup_type() == startType) return;
    CServiceHandle scm(open_scm(kScmAllAccess, fn));
    CServiceHandle service(open_service(scm.get(), kSsrServiceName, SERVICE_CHANGE_CONFIG, fn));
    if (!::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr))
        VR_RAISE_LAST_ERROR(fn);
}
