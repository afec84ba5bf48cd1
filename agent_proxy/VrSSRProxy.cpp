// The management DLL: its entry and its one export.
#include "component_proxy.h"
#include "ssr_proxy.h"
#include "vrbase/exception_guard.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"

VR_DEFINE_MODULE_TRACE(L"VrSSRProxy")

extern "C" IVRESComponentProxy* __stdcall CreateComponentProxy(const wchar_t* componentName) {
    if (!componentName || _wcsicmp(componentName, kSsrComponentName) != 0) return nullptr;
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    IVRESComponentProxy* proxy = nullptr;
    VrBase::GuardVoid(L"CreateComponentProxyWrapper", [&] { proxy = (new CSSRProxy())->iface(); });
    return proxy;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(module);
        VR_TRACE(VrBase::TL_INFO, L"DllMain", L"agent-proxy SSR attach done. hModule = 0x%p", module);
    }
    return TRUE;
}
