#include "policy_helper.h"

#include "ssr_communication.h"
#include "ssr_wrk_pool.h"

#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

namespace {
constexpr DWORD kPolicyPollMs = 3000;
constexpr const wchar_t* kPolicySection = L"ROZEDURI";
} // namespace

CVrsPolicyHandle::CVrsPolicyHandle() {
    if (DWORD result = ::VrsOpenPolicy(0, &m_handle)) VR_RAISE(result, L"CVrsPolicyHandle::CVrsPolicyHandle");
}

CVrsPolicyHandle::~CVrsPolicyHandle() {
    if (!m_handle) return;
    if (DWORD result = ::VrsClosePolicy(m_handle))
        VR_TRACE(VrBase::TL_WARNING, L"CVrsPolicyHandle::~CVrsPolicyHandle", L"err %d", static_cast<int>(result));
}

DWORD get_effective_policy_value(std::wstring& text) {
    return VrBase::GuardCode(L"get_effective_policy_value", [&] {
        CVrsPolicyHandle policy;
        const WCHAR* section = nullptr;
        if (DWORD result = ::VrsReadPolicySection(policy.get(), kPolicySection, &section))
            VR_RAISE(result, L"get_effective_policy_value");
        text = section ? section : L"";
        return ERROR_SUCCESS;
    });
}

bool call_for_policy_value(std::wstring& text) {
    DWORD code = get_effective_policy_value(text);
    if (code != ERROR_SUCCESS && code != RPC_S_NOT_LISTENING)
        VR_RAISE_ITEM(code, L"call_for_policy_value", L"msg: ",
                      L"Calling for effective policy failed. The poll is stopped.");
    return !text.empty();
}

void wait_PMC_and_load_policy(HANDLE stopEvent, void*) {
    VrBase::GuardVoid(L"wait_PMC_and_load_policy", [&] {
        for (;;) {
            DWORD wait = ::WaitForSingleObject(stopEvent, kPolicyPollMs);
            if (wait == WAIT_OBJECT_0) {
                VR_TRACE(VrBase::TL_INFO, L"wait_PMC_and_load_policy", L"Stop event in signal state.");
                return;
            }
            if (wait == WAIT_FAILED) VR_RAISE_LAST_ERROR(L"wait_PMC_and_load_policy");
            if (wait != WAIT_TIMEOUT) {
                VR_TRACE(VrBase::TL_INFO, L"wait_PMC_and_load_policy", L"DBG OUT: wait result = %d",
                         static_cast<int>(wait));
                continue;
            }
            std::wstring policy;
            if (!call_for_policy_value(policy)) continue;
            if (DWORD result = CSSRCommunication::instance().setup_new_full_config(policy))
                VR_RAISE(result, L"wait_PMC_and_load_policy");
            return;
        }
    });
}

void InitEffectivePolicyLoading() {
    VrBase::unique_handle stop = create_task_stop_event();
        if (!stop) VR_RAISE_LAST_ERROR(L"InitEffectivePolicyLoading");
    CWrkThreadPoolLocker lock;
    CWrkThreadPool::instance().run_thread(&wait_PMC_and_load_policy, stop.get(), nullptr, 0);
}
