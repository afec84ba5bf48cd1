#include "agent_mng.h"

#include "vrbase/trace.h"

#include <mutex>

namespace {

std::mutex g_observerLock;
std::function<void(const wchar_t*)> g_observer;

void notify(const wchar_t* what) {
    VR_TRACE(VrBase::TL_INFO, L"agent_mng::notify", L"Agent notification: %ls", what);
    std::function<void(const wchar_t*)> observer;
    {
        std::lock_guard<std::mutex> lock(g_observerLock);
        observer = g_observer;
    }
    if (observer) observer(what);
}

} // namespace

void notify_status_changed() { notify(L"status"); }
void notify_config_changed() { notify(L"full"); }

void set_agent_notification_observer(std::function<void(const wchar_t*)> observer) {
    std::lock_guard<std::mutex> lock(g_observerLock);
    g_observer = std::move(observer);
}
