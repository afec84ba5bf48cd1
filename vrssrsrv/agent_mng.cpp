#include "agent_mng.h"

#include "vrevtapi.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <mutex>

namespace {

std::mutex g_observerLock;
std::function<void(const wchar_t*)> g_observer;

void observe(const wchar_t* what) {
    std::function<void(const wchar_t*)> observer;
    {
        std::lock_guard<std::mutex> lock(g_observerLock);
        observer = g_observer;
    }
    if (observer) observer(what);
}

// One event source, registered for one notification and gone after it.
class CCoreHandleContainer {
public:
    explicit CCoreHandleContainer(HANDLE source) : m_source(source) {}
    ~CCoreHandleContainer() {
        if (m_source && !::VrDeregisterEventSource(m_source))
            VR_TRACE(VrBase::TL_WARNING, L"CCoreHandleContainer::~CCoreHandleContainer",
                     L"Event source source registration error. Code %d", static_cast<int>(::GetLastError()));
    }
    CCoreHandleContainer(const CCoreHandleContainer&) = delete;
    CCoreHandleContainer& operator=(const CCoreHandleContainer&) = delete;
    HANDLE get() const { return m_source; }

private:
    HANDLE m_source;
};

CCoreHandleContainer register_source(const wchar_t* fn) {
    HANDLE source = ::VrRegisterEventSourceEx(L"ROZEDURI", L"");
    if (!source) VR_RAISE_LAST_ERROR(fn);
    return CCoreHandleContainer(source);
}

} // namespace

void notify_status_changed() {
    CCoreHandleContainer source = register_source(L"notify_status_changed");
    ::VrNotifyStateChanged(source.get(), L"status");  // the agent asks again or not: nothing to check
    VR_TRACE(VrBase::TL_INFO, L"notify_status_changed", L" state change notify done ");
    observe(L"status");
}

void notify_config_changed() {
    CCoreHandleContainer source = register_source(L"notify_config_changed");
    ::VrNotifyConfigChanged(source.get(), L"full");
    observe(L"full");
}

void set_agent_notification_observer(std::function<void(const wchar_t*)> observer) {
    std::lock_guard<std::mutex> lock(g_observerLock);
    g_observer = std::move(observer);
}
