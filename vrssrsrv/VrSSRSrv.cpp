// Process entry of the scan service: hands the main thread to the service
// control manager; there is no console mode.
#include "ssr_service.h"

#include "Com/com_init.h"
#include "vrbase/exception_guard.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

VR_DEFINE_MODULE_TRACE(L"VrSSRSrv")

int wmain(int, wchar_t**) {
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    return static_cast<int>(VrBase::GuardCode(L"wmain", [] {
        Com::CInitializeThread com(COINIT_APARTMENTTHREADED);
        Com::InitializeSecurity(nullptr, -1, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                                EOAC_NONE);
        wchar_t name[] = L"VrSoftwareState";
        SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
        if (!::StartServiceCtrlDispatcherW(table)) VR_RAISE_LAST_ERROR(L"wmain");
        return 0;
    }));
}
