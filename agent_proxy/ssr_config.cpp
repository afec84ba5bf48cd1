#include "ssr_config.h"

#include "ssr_msg_sender.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <map>

using namespace VrBase;

namespace {

using ConfigSetter = void (*)(const std::wstring&);

// Built once; a function-local static is safe when two first calls meet.
const std::map<std::wstring, ConfigSetter>& config_sets() {
    static const std::map<std::wstring, ConfigSetter> sets = {
        {L"", &set_full_cfg},
        {L"full", &set_full_cfg},
    };
    return sets;
}

} // namespace

void set_full_cfg(const std::wstring& configuration) { ssr_send_full_config(configuration); }

HRESULT set_ssr_cfg(const std::wstring& setName, const std::wstring& configuration) {
    const wchar_t* const fn = L"set_ssr_cfg";
    CTraceFuncInOut inOut(fn);
    return GuardHResult(fn, [&] {
        auto it = config_sets().find(setName);
        if (it == config_sets().end()) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
        it->second(configuration);
    });
}
