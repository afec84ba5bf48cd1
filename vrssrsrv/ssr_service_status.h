#pragma once
// The service's status record and its reports to the service control manager.
#include <windows.h>
#include <functional>
#include <mutex>

class CServiceStatus {
public:
    static CServiceStatus& instance();

    void set_handle(SERVICE_STATUS_HANDLE handle) { m_handle = handle; }
    // Own process, stop and shut-down accepted from the first report on.
    void init_fixed_fields();
    // Writes the record and reports it whole; a failed report is traced
    // with the caller's source line and the sequence goes on.
    void report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode, int line);
    // Sends the record as it stands; read and sent under the record's lock,
    // so it never carries a state that a later report has replaced.
    void report_current(int line);
    // Reports the state again with the next check point.
    void report_next(DWORD state, DWORD waitHint, int line);

    DWORD state();
    DWORD check_point();

    // Sees every report; lets tests follow the sequence without an SCM.
    void set_observer(std::function<void(const SERVICE_STATUS&)> observer);

private:
    void send(const std::function<void()>& change, int line);

    SERVICE_STATUS m_status{};
    SERVICE_STATUS_HANDLE m_handle = nullptr;
    std::mutex m_mutex;
    std::function<void(const SERVICE_STATUS&)> m_observer;
};

#define SSR_REPORT(state, checkPoint, waitHint, exitCode) \
    CServiceStatus::instance().report((state), (checkPoint), (waitHint), (exitCode), __LINE__)
#define SSR_REPORT_CURRENT() CServiceStatus::instance().report_current(__LINE__)
#define SSR_REPORT_NEXT(state, waitHint) CServiceStatus::instance().report_next((state), (waitHint), __LINE__)
