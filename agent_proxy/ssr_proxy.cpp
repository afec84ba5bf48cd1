#include "ssr_proxy.h"

#include "caller_identity.h"
#include "ssr_command.h"
#include "ssr_config.h"
#include "ssr_state.h"
#include "svc_helper.h"
#include "user_acc_helper.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <cstring>

using namespace VrBase;

namespace {

[[noreturn]] void raise_null(const wchar_t* fn, const wchar_t* name) {
    VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, name, L"NULL");
}

// Failures of the work thread come back as the guard's HRESULT.
void check(HRESULT hr, const wchar_t* fn) {
    if (FAILED(hr)) VR_RAISE(static_cast<DWORD>(hr), fn);
}

} // namespace

CSSRProxy::CSSRProxy() : CBaseAgentProxy(kSsrComponentName, {}, {L"status"}) {}

HRESULT CSSRProxy::GetState(const wchar_t* pSetName, IVRReadStream** ppSetData) {
    const wchar_t* const fn = L"CSSRProxy::GetState";
    CTraceFuncInOut inOut(fn);
    return GuardHResult(fn, [&] {
        if (!pSetName) raise_null(fn, L"pSetName");
        if (!ppSetData) raise_null(fn, L"ppSetData");
        if (!has_state_name(pSetName)) VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, L"pSetName", pSetName);
        std::wstring document;
        check(run_as_caller_in_sta([&] { return get_ssr_state(document); }), fn);
        VR_TRACE(TL_INFO, fn, L"%ls", document.c_str());
        *ppSetData = new CReadStreamString(document);
    });
}

HRESULT CSSRProxy::GetInformation(VR_COMPONENT_INFORMATION* pInformation) {
    const wchar_t* const fn = L"CSSRProxy::GetInformation";
    CTraceFuncInOut inOut(fn);
    return GuardHResult(fn, [&] {
        if (!pInformation) raise_null(fn, L"pInformation");
        std::memset(pInformation, 0, sizeof(*pInformation));
        pInformation->On = check_service_existance() && get_service_startup_type() != SERVICE_DISABLED ? 1 : 0;
        VR_TRACE(TL_INFO, fn, L"status: %ls", pInformation->On ? L"ON" : L"OFF");
    });
}

HRESULT CSSRProxy::SetConfiguration(const wchar_t* pSetName, const wchar_t* pVersion, IVRReadStream* pSetData) {
    const wchar_t* const fn = L"CSSRProxy::SetConfiguration";
    CTraceFuncInOut inOut(fn);
    return GuardHResult(fn, [&] {
        if (!pSetName) raise_null(fn, L"pSetName");
        if (!pVersion) raise_null(fn, L"pVersion");
        if (!pSetData) raise_null(fn, L"pSetData");
        const std::wstring configuration = get_wstrig_4m_rdstream(pSetData);
        VR_TRACE(TL_DETAIL, fn, L"Set cfg params:");
        VR_TRACE(TL_DETAIL, fn, L"Name: %ls", pSetName);
        VR_TRACE(TL_DETAIL, fn, L"%ls", configuration.c_str());
        if (!IsUserLocalAdmin()) VR_RAISE(ERROR_ACCESS_DENIED, fn);
        const std::wstring setName = pSetName;
        check(run_as_caller_in_sta([&] { return set_ssr_cfg(setName, configuration); }), fn);
    });
}

HRESULT CSSRProxy::InvokeCommand(const wchar_t* pCommandName, IVRReadStream* pCommandParams,
                                 const wchar_t* pCompletionKey, IVRReadStream** ppResult) {
    const wchar_t* const fn = L"CSSRProxy::InvokeCommand";
    CTraceFuncInOut inOut(fn);
    return GuardHResultOf(fn, [&]() -> HRESULT {
        if (!pCommandName) raise_null(fn, L"pCommandName");
        if (!ppResult) raise_null(fn, L"ppResult");
        const std::wstring parameters = pCommandParams ? get_wstrig_4m_rdstream(pCommandParams) : std::wstring();
        VR_TRACE(TL_DETAIL, fn, L"Invoke command params:");
        VR_TRACE(TL_DETAIL, fn, L"cmd name: %ls", pCommandName);
        VR_TRACE(TL_DETAIL, fn, L"Cmd params: %ls", parameters.c_str());
        VR_TRACE(TL_DETAIL, fn, L"Cmd completion key: %ls", pCompletionKey ? pCompletionKey : L"(null)");
        const std::wstring name = pCommandName;
        std::wstring report;
        const HRESULT hr = run_as_caller_in_sta([&] { return invoke_cmd(name, parameters, report); });
        VR_TRACE(TL_INFO, fn, L"hr: 0x%X", static_cast<unsigned>(hr));
        if (!report.empty()) {
            VR_TRACE(TL_INFO, fn, L"result: %ls", report.c_str());
            *ppResult = new CReadStreamString(report);
        }
        check(hr, fn);
        return hr;
    });
}
