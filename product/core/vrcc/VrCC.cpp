// VrCC.exe: the core service. Under the service control manager it is the
// service "VrCC"; with --console it serves from a console window (tests,
// debugging) until Ctrl+C or until it is ended.
#include "core_server.h"
#include "core_wire.h"
#include "vrbase/module_path.h"
#include "vrbase/error_description.h"
#include "vrbase/exception_guard.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/tool_cli.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"


#include <cstdio>
#include <mutex>

VR_DEFINE_MODULE_TRACE(L"VrCC")

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
std::mutex g_statusMutex;
HANDLE g_stopEvent = nullptr;  // lives as long as the process

void Report(DWORD state, DWORD exitCode = 0, DWORD waitHint = 0) {
    std::lock_guard<std::mutex> lock(g_statusMutex);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    if (exitCode > 0xFFFF) {
        g_status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        g_status.dwServiceSpecificExitCode = exitCode;
    } else {
        g_status.dwWin32ExitCode = exitCode;
        g_status.dwServiceSpecificExitCode = 0;
    }
    g_status.dwWaitHint = waitHint;
    g_status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : g_status.dwCheckPoint + 1;
    if (g_statusHandle && !::SetServiceStatus(g_statusHandle, &g_status))
        VR_TRACE(VrBase::TL_ERROR, L"Report", L"SetServiceStatus failed, err %u", ::GetLastError());
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, 0, 20000);
        ::SetEvent(g_stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Serves until the stop event; the server's failure to start is the result.
DWORD Serve(bool service) {
    return VrBase::GuardCode(L"Serve", [&] {
        vrcc::CCoreServer server(vrcc::ReadCoreParameters());
        server.Start();
        if (service) {
            Report(SERVICE_RUNNING);
        } else {
            VrBase::ToolPrint(L"VrCC: serving %ls; Ctrl+C stops\n", vrcc::kPipeName);
        }
        ::WaitForSingleObject(g_stopEvent, INFINITE);
        if (service) Report(SERVICE_STOP_PENDING, 0, 20000);
        server.Stop();
        return 0;
    });
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    g_statusHandle = ::RegisterServiceCtrlHandlerExW(vrcc::kServiceName, &ControlHandler, nullptr);
    if (!g_statusHandle) {
        VR_TRACE(VrBase::TL_ERROR, L"ServiceMain", L"RegisterServiceCtrlHandlerExW failed, err %u", ::GetLastError());
        return;
    }
    Report(SERVICE_START_PENDING, 0, 10000);
    DWORD e = Serve(true);
    Report(SERVICE_STOPPED, e);
}

BOOL WINAPI ConsoleHandler(DWORD) {
    ::SetEvent(g_stopEvent);
    return TRUE;
}

void Usage() {
    VrBase::ToolPrintError(L"usage: VrCC.exe             run as the service \"VrCC\" (started by the service control manager)\n"
             L"       VrCC.exe --console   serve from this window until Ctrl+C\n"
             L"Install the service with: vrcc-ctl install [--start=auto|demand]\n");
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    VrBase::RestrictDllSearch();
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    g_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_stopEvent) return static_cast<int>(::GetLastError());
    if (argc == 1) {
        wchar_t name[] = L"VrCC";
        SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
        if (::StartServiceCtrlDispatcherW(table)) return 0;
        DWORD e = ::GetLastError();
        if (e == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            VrBase::ToolPrintError(L"VrCC: not started as a service.\n");
            Usage();
        } else {
            VrBase::ToolPrintError(L"VrCC: %ls (%u)\n", VrBase::DescribeCode(e).c_str(), e);
        }
        return static_cast<int>(e);
    }
    if (argc == 2 && wcscmp(argv[1], L"--console") == 0) {
        ::SetConsoleCtrlHandler(&ConsoleHandler, TRUE);
        DWORD e = Serve(false);
        if (e) VrBase::ToolPrintError(L"VrCC: cannot serve: %ls (%u)\n", VrBase::DescribeCode(e).c_str(), e);
        return static_cast<int>(e);
    }
    Usage();
    return ERROR_INVALID_PARAMETER;
}
