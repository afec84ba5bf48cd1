// VrPolicyApi.dll: a policy handle is a local record that keeps every text
// it handed out until it is closed; each read asks the core.
#include "vrpolicyapi.h"

#include "client_support.h"
#include "handle_table.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"

#include <list>
#include <map>
#include <memory>
#include <mutex>

VR_DEFINE_MODULE_TRACE(L"VrPolicyApi")

using namespace vrcc;

namespace {

struct Policy {
    std::mutex mutex;
    std::list<std::wstring> texts;  // a list never moves what it holds
};

CHandleTable<Policy>& Policies() {
    static auto* t = new CHandleTable<Policy>(0x30000);
    return *t;
}

} // namespace

extern "C" {

DWORD WINAPI VrsOpenPolicy(DWORD Flags, VRS_HPOLICY* Policy) {
    return VrBase::GuardCode(L"VrsOpenPolicy", [&]() -> DWORD {
        if (Flags != 0 || !Policy) return ERROR_INVALID_PARAMETER;
        *Policy = Policies().Add(std::make_shared<::Policy>());
        return 0;
    });
}

DWORD WINAPI VrsReadPolicySection(VRS_HPOLICY Policy, const WCHAR* Section, const WCHAR** Text) {
    return VrBase::GuardCode(L"VrsReadPolicySection", [&]() -> DWORD {
        std::shared_ptr<::Policy> p = Policies().Find(Policy);
        if (!p) return ERROR_INVALID_HANDLE;
        if (!Section || !Section[0] || !Text || wcsnlen(Section, kMaxNameChars + 1) > kMaxNameChars)
            return ERROR_INVALID_PARAMETER;
        *Text = nullptr;
        PayloadWriter w;
        w.str(Section);
        Frame answer;
        CallOptions options;
        options.downCode = kErrPolicyNotServing;
        options.lostIsDown = true;
        if (DWORD e = CoreCall(CmdPolicyRead, w.data(), answer, options)) return e;
        PayloadReader r(answer.payload);
        std::wstring text = r.str(kMaxData / sizeof(wchar_t));
        std::lock_guard<std::mutex> lock(p->mutex);
        p->texts.push_back(std::move(text));
        *Text = p->texts.back().c_str();
        return 0;
    });
}

DWORD WINAPI VrsClosePolicy(VRS_HPOLICY Policy) {
    return Policies().Remove(Policy) ? 0 : ERROR_INVALID_HANDLE;
}

} // extern "C"
