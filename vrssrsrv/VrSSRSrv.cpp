// Process entry of the scan service: hands the main thread to the service
// control manager; there is no console mode. Started by hand, it says so.
#include "ssr_service.h"

#include "Com/com_init.h"
#include "vrbase/minidump.h"
#include "vrbase/module_path.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/tool_cli.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <tlhelp32.h>

#include <cstdio>
#include <string>

VR_DEFINE_MODULE_TRACE(L"VrSSRSrv")

namespace {

const wchar_t kByHand[] =
    L"VrSSRSrv.exe is the VrSoftwareState service: the service control manager starts it, not a command line.\n"
    L"Install it with \"vrssr-setup install\" (beside this program), then \"sc start VrSoftwareState\";\n"
    L"\"sc query VrSoftwareState\" shows its state and \"sc stop VrSoftwareState\" stops it.\n";

// The image name of the process that started this one; empty when it cannot
// be told (it may have ended already).
std::wstring ParentImageName() {
    VrBase::unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return std::wstring();
    const DWORD self = ::GetCurrentProcessId();
    DWORD parent = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry))
        if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
    if (parent == 0) return std::wstring();
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry))
        if (entry.th32ProcessID == parent) return entry.szExeFile;
    return std::wstring();
}

// Only services.exe starts services; anyone else would wait for a dispatcher
// connection that never comes (some 10 s under Wine) and learn nothing.
bool StartedByHand() {
    const std::wstring parent = ParentImageName();
    return !parent.empty() && _wcsicmp(parent.c_str(), L"services.exe") != 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    VrBase::RestrictDllSearch();
    VrBase::SetMiniDumpFolder(std::wstring());  // none until the service's own folder is ready
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    if (argc == 2 && VrBase::IsHelpArgument(argv[1])) return VrBase::ToolHelp(kByHand);
    if (StartedByHand()) {
        VrBase::ToolPrintError(L"%ls", kByHand);
        return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    }
    return static_cast<int>(VrBase::GuardCode(L"wmain", [] {
        Com::CInitializeThread com(COINIT_APARTMENTTHREADED);
        Com::InitializeSecurity(nullptr, -1, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                                EOAC_NONE);
        wchar_t name[] = L"VrSoftwareState";
        SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
        if (!::StartServiceCtrlDispatcherW(table)) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) VrBase::ToolPrintError(L"%ls", kByHand);
            VR_RAISE(code, L"wmain");
        }
        return 0;
    }));
}
