// A small service for the service-control tests: it reports the start and
// stop hints and the check-point progress its command line asks for.
//   svc_probe.exe NAME [--start-ms N|hold] [--start-hint MS] [--start-progress]
//                      [--start-steps EVENTS] [--stop-ms N] [--stop-hint MS] [--stop-progress]
// With --start-steps the start goes at the test's pace: each signal of the
// event EVENTS-step moves the check point on, EVENTS-done ends the start.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

struct Phase {
    DWORD ms = 0;
    DWORD hint = 0;
    bool progress = false;
    bool hold = false;
    std::wstring steps;  // the events' common name; empty when time drives it
};

std::wstring g_name;
Phase g_start, g_stop;
SERVICE_STATUS_HANDLE g_handle = nullptr;
HANDLE g_stopRequested = nullptr;

void report(DWORD state, DWORD checkPoint, DWORD hint) {
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_RUNNING || state == SERVICE_START_PENDING ? SERVICE_ACCEPT_STOP : 0;
    s.dwCheckPoint = checkPoint;
    s.dwWaitHint = hint;
    ::SetServiceStatus(g_handle, &s);
}

// Stays in the pending state for the phase's time; true when a stop came.
bool pend(DWORD state, const Phase& phase, bool stoppable) {
    DWORD checkPoint = 1;
    report(state, checkPoint, phase.hint);
    if (!phase.steps.empty()) {
        HANDLE events[] = {g_stopRequested,
                           ::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, (phase.steps + L"-step").c_str()),
                           ::OpenEventW(SYNCHRONIZE, FALSE, (phase.steps + L"-done").c_str())};
        if (!events[1] || !events[2]) return true;
        for (;;) {
            const DWORD signalled = ::WaitForMultipleObjects(3, events, FALSE, INFINITE);
            if (signalled == WAIT_OBJECT_0 + 1) report(state, ++checkPoint, phase.hint);
            else return signalled != WAIT_OBJECT_0 + 2;
        }
    }
    const ULONGLONG end = ::GetTickCount64() + phase.ms;
    while (phase.hold || ::GetTickCount64() < end) {
        if (stoppable && ::WaitForSingleObject(g_stopRequested, 250) == WAIT_OBJECT_0) return true;
        if (!stoppable) ::Sleep(250);
        if (phase.progress) report(state, ++checkPoint, phase.hint);
    }
    return false;
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
    if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN) {
        ::SetEvent(g_stopRequested);
        return NO_ERROR;
    }
    return code == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI service_main(DWORD, wchar_t**) {
    g_handle = ::RegisterServiceCtrlHandlerExW(g_name.c_str(), &control, nullptr);
    if (!g_handle) return;
    if (!pend(SERVICE_START_PENDING, g_start, true)) {
        report(SERVICE_RUNNING, 0, 0);
        ::WaitForSingleObject(g_stopRequested, INFINITE);
    }
    pend(SERVICE_STOP_PENDING, g_stop, false);
    report(SERVICE_STOPPED, 0, 0);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return ERROR_INVALID_PARAMETER;
    g_name = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::wstring a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == L"--start-ms" && hasValue) {
            if (std::wstring(argv[++i]) == L"hold") g_start.hold = true;
            else g_start.ms = wcstoul(argv[i], nullptr, 10);
        } else if (a == L"--start-hint" && hasValue) {
            g_start.hint = wcstoul(argv[++i], nullptr, 10);
        } else if (a == L"--start-steps" && hasValue) {
            g_start.steps = argv[++i];
        } else if (a == L"--start-progress") {
            g_start.progress = true;
        } else if (a == L"--stop-ms" && hasValue) {
            g_stop.ms = wcstoul(argv[++i], nullptr, 10);
        } else if (a == L"--stop-hint" && hasValue) {
            g_stop.hint = wcstoul(argv[++i], nullptr, 10);
        } else if (a == L"--stop-progress") {
            g_stop.progress = true;
        } else {
            return ERROR_INVALID_PARAMETER;
        }
    }
    g_stopRequested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYW table[] = {{&g_name[0], &service_main}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(::GetLastError());
}
