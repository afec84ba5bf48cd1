#include "ssr_state.h"

#include "ssr_msg_sender.h"
#include "svc_helper.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

using namespace VrBase;

namespace {

HMODULE this_module() {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&this_module), &module))
        VR_RAISE_LAST_ERROR(L"load_builtin_state");
    return module;
}

} // namespace

std::wstring load_builtin_state(WORD resource) {
    const wchar_t* const fn = L"load_builtin_state";
    HMODULE module = this_module();
    HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(resource), L"XML");
    if (!found) VR_RAISE_LAST_ERROR(fn);
    HGLOBAL loaded = ::LoadResource(module, found);
    const DWORD size = ::SizeofResource(module, found);
    const auto* chars = static_cast<const wchar_t*>(::LockResource(loaded));
    if (!loaded || !chars) VR_RAISE_LAST_ERROR(fn);
    // The resource carries no terminator: stop at its end or its first NUL.
    std::wstring text(chars, size / sizeof(wchar_t));
    text.resize(wcsnlen(text.c_str(), text.size()));
    if (!text.empty() && (text[0] == 0xFEFF || text[0] == 0xFFFE)) text.erase(0, 1);
    return text;
}

HRESULT get_ssr_state(std::wstring& document) {
    const wchar_t* const fn = L"get_ssr_state";
    CTraceFuncInOut inOut(fn);
    return GuardHResult(fn, [&] {
        switch (get_service_current_state()) {
        case SERVICE_STOPPED:
        case SERVICE_STOP_PENDING:
            document = load_builtin_state(IDR_SSR_STATE_STOPPED);
            break;
        case SERVICE_START_PENDING:
            document = load_builtin_state(IDR_SSR_STATE_STARTING);
            break;
        default:
            document = ssr_request_state();
        }
    });
}
