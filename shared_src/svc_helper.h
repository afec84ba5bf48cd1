#pragma once
// The scan service "VrSoftwareState" under the service control manager:
// start, stop (dependents first), start type, state, existence.
#include <windows.h>
#include <winsvc.h>

constexpr const wchar_t* kSsrServiceName = L"VrSoftwareState";

// Owns one SCM or service handle; a failing close is traced, never raised.
class CServiceHandle {
public:
    CServiceHandle() = default;
    explicit CServiceHandle(SC_HANDLE handle) : m_handle(handle) {}
    ~CServiceHandle() { Close(); }
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;

    SC_HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    void Close() noexcept;

private:
    SC_HANDLE m_handle = nullptr;
};

// The pending state that leads to a state; 0 when there is none.
DWORD pending_state_for(DWORD desired);

// Waits while the service is in the pending state of the desired one,
// polling every tenth of its wait hint (1 s to 10 s); 1053 when the check
// point stops moving for longer than the hint, E_NOTIMPL for a state
// without a pending partner.
void wait_service_status(SC_HANDLE service, DWORD desired);
// The poll interval for a wait hint.
DWORD service_poll_interval(DWORD waitHint);

// The clock the waits read and sleep on: the system's, unless a test puts
// its own in its place (nullptr gives the system's back).
struct IServiceWaitClock {
    virtual ~IServiceWaitClock() = default;
    virtual DWORD tick() = 0;
    virtual void sleep(DWORD ms) = 0;
};
void set_service_wait_clock(IServiceWaitClock* clock);

// Stops the active services that depend on the service; 0 on success, else
// the failure's code (traced, not raised).
DWORD stop_dependent(SC_HANDLE service, SC_HANDLE scm);

void stop_service();
void start_service();
DWORD get_service_current_state();
DWORD get_service_startup_type();
bool check_service_existance();
void set_startup_type(DWORD startType);
