#include "ssr_service_status.h"

#include "vrbase/trace.h"

CServiceStatus& CServiceStatus::instance() {
    static CServiceStatus status;
    return status;
}

void CServiceStatus::init_fixed_fields() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    m_status.dwServiceSpecificExitCode = 0;
}

void CServiceStatus::report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode, int line) {
    send([&] {
        m_status.dwCurrentState = state;
        m_status.dwCheckPoint = checkPoint;
        m_status.dwWaitHint = waitHint;
        m_status.dwWin32ExitCode = exitCode;
    }, line);
}

void CServiceStatus::report_current(int line) {
    send([] {}, line);
}

void CServiceStatus::send(const std::function<void()>& change, int line) {
    SERVICE_STATUS copy;
    std::function<void(const SERVICE_STATUS&)> observer;
    {
        // Reports come from the dispatcher, the service thread and workers;
        // the record is written and sent whole under one lock.
        std::lock_guard<std::mutex> lock(m_mutex);
        change();
        copy = m_status;
        observer = m_observer;
        VR_TRACE(VrBase::TL_DETAIL, L"CServiceStatus::report", L"state %u, check point %u, wait hint %u, exit code %u",
                 copy.dwCurrentState, copy.dwCheckPoint, copy.dwWaitHint, copy.dwWin32ExitCode);
        if (!::SetServiceStatus(m_handle, &copy))
            VR_TRACE(VrBase::TL_ERROR, L"CServiceStatus::report", L"(%d) err = %d", line,
                     static_cast<int>(::GetLastError()));
    }
    if (observer) observer(copy);
}

void CServiceStatus::report_next(DWORD state, DWORD waitHint, int line) {
    send([&] {
        m_status.dwCurrentState = state;
        ++m_status.dwCheckPoint;
        m_status.dwWaitHint = waitHint;
        m_status.dwWin32ExitCode = 0;
    }, line);
}

DWORD CServiceStatus::state() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_status.dwCurrentState;
}

DWORD CServiceStatus::check_point() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_status.dwCheckPoint;
}

void CServiceStatus::set_observer(std::function<void(const SERVICE_STATUS&)> observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observer = std::move(observer);
}
