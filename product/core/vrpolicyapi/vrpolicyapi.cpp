// VrPolicyApi.dll: a policy handle is a local record that keeps every text
// it handed out until it is closed; each read asks the core.
#include "vrpolicyapi.h"

#include "client_support.h"
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

class CPolicyTable {
public:
    HANDLE Add(std::shared_ptr<Policy> p) {
        std::lock_guard<std::mutex> lock(m_mutex);
        uintptr_t h = 0x30000 + (m_next++ << 3);
        m_items[h] = std::move(p);
        return reinterpret_cast<HANDLE>(h);
    }
    std::shared_ptr<Policy> Find(HANDLE h) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_items.find(reinterpret_cast<uintptr_t>(h));
        return it == m_items.end() ? nullptr : it->second;
    }
    bool Remove(HANDLE h) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.erase(reinterpret_cast<uintptr_t>(h)) > 0;
    }

private:
    std::mutex m_mutex;
    std::map<uintptr_t, std::shared_ptr<Policy>> m_items;
    uintptr_t m_next = 1;
};

CPolicyTable& Policies() {
    static auto* t = new CPolicyTable;
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
