#pragma once
// The effective policy: the component's section, read from the policy
// component once it serves, and applied like a configuration message.
#include "vrpolicyapi.h"

#include <windows.h>
#include <string>

// Start-up: queues the task that waits for the policy.
void InitEffectivePolicyLoading();
void wait_PMC_and_load_policy(HANDLE stopEvent, void* data);
// One poll: true when text now holds a non-empty policy; raises for any
// failure other than "not listening yet" (1715).
bool call_for_policy_value(std::wstring& text);
DWORD get_effective_policy_value(std::wstring& text);

class CVrsPolicyHandle {
public:
    CVrsPolicyHandle();
    ~CVrsPolicyHandle();
    CVrsPolicyHandle(const CVrsPolicyHandle&) = delete;
    CVrsPolicyHandle& operator=(const CVrsPolicyHandle&) = delete;
    VRS_HPOLICY get() const { return m_handle; }

private:
    VRS_HPOLICY m_handle = nullptr;
};
