// A DLL that arms the exception catcher, as the proxy DLL and the core's
// client libraries do; the host loads and frees it.
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"

#include <windows.h>

VR_DEFINE_MODULE_TRACE(L"VrBaseSehModule")

extern "C" __declspec(dllexport) BOOL ArmCatcher() {
    VrBase::CSehCatcher seh;
    return VrBase::CSehCatcher::IsArmed();
}
