#include "ssr_service.h"

#include "agent_mng.h"
#include "policy_helper.h"
#include "ssr_actions.h"
#include "ssr_communication.h"
#include "ssr_disk_depot.h"
#include "ssr_dump_folder.h"
#include "ssr_policy_ops.h"
#include "ssr_reg_depot.h"
#include "ssr_scheduler.h"
#include "ssr_security.h"
#include "ssr_state.h"
#include "ssr_service_status.h"
#include "ssr_wrk_pool.h"

#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "vrbase/trust.h"
#include "vrbase/vr_error.h"

#include <atomic>
#include <clocale>
#include <cwchar>
#include <utility>

namespace {

constexpr DWORD kStartWaitHint = 30000;
constexpr DWORD kStopWaitHint = 60000;
constexpr DWORD kStopControlCheckPoint = 100;

VrBase::unique_handle g_stopServiceEvent;
std::atomic<HANDLE> g_onlineMarker{nullptr};

void run_service_sequence();

} // namespace

namespace {

// Adding a subsystem's start-up is one line here, at its place.
std::vector<SsrStep>& startup_steps() {
    static std::vector<SsrStep> steps = {
        {L"ServiceManagmentObjsInit", &ServiceManagmentObjsInit},
        {L"ssr_disk_depot_init", &ssr_disk_depot_init},
        {L"ssr_reg_depot_init", &ssr_reg_depot_init},
        {L"ssr_state_init", &ssr_state_init},
        {L"ssr_op_settings_init", &ssr_op_settings_init},
        {L"ssr_scheduler_init", &ssr_scheduler_init},
        {L"ssr_communication_init", &ssr_communication_init},
        {L"InitEffectivePolicyLoading", &InitEffectivePolicyLoading},
        {L"ServiceInfoObjsInit", &ServiceInfoObjsInit},
    };
    return steps;
}

} // namespace

const std::vector<SsrStep>& service_startup_steps() { return startup_steps(); }

void (*replace_startup_step_for_tests(const wchar_t* name, void (*run)()))() {
    for (SsrStep& step : startup_steps())
        if (wcscmp(step.name, name) == 0) return std::exchange(step.run, run);
    return nullptr;
}

// Shut-down steps after the online marker is gone; each has its own guard
// and is followed by a stop-pending report.
const std::vector<SsrStep>& service_shutdown_steps() {
    static const std::vector<SsrStep> steps = {
        {L"stop_service_break_cc_connection", &stop_service_break_cc_connection},
        {L"stop_service_stop_scheduler", &stop_service_stop_scheduler},
    };
    return steps;
}

void ssr_disk_depot_init() { CSSRDiskDepot::instance().ensure_depot(); }

void ssr_reg_depot_init() {
    CSSRRegDepotLocker lock;
    CSSRRegDepot::instance().prepare();
}

void ssr_state_init() {
    CSSRStateLocker lock;
    CSSRState::instance().initialize();
}

void ssr_communication_init() { CSSRCommunication::instance().initialize(); }

void stop_service_break_cc_connection() { CSSRCommunication::instance().stop(); }

// After the tasks are joined: the scans have written their last events.
void release_core_link() {
    VrBase::GuardVoid(L"release_core_link", [] {
        CSSRCommunication& link = CSSRCommunication::instance();
        link.stop();
        link.break_connection();
    });
}
void ssr_op_settings_init() {
    CSSROpSettingsLocker lock;
    CSSROpSettings::instance().initialize();
}

void ssr_scheduler_init() {
    set_scan_routine(&software_scan);
    CSSRSchedulerLocker lock;
    CSSRScheduler::instance().initialize();
}

// The scheduler takes its own lock once the watchdog is told to stop.
void stop_service_stop_scheduler() { CSSRScheduler::instance().stop(); }

void ServiceManagmentObjsInit() {
    g_stopServiceEvent.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!g_stopServiceEvent) VR_RAISE_LAST_ERROR(L"ServiceManagmentObjsInit");
}

std::vector<BYTE> create_online_marker_security() {
    return build_self_relative_sd(WinLocalSystemSid, {
                                                         {WinLocalSystemSid, GENERIC_ALL, 0},
                                                         {WinAuthenticatedUserSid, GENERIC_READ, 0},
                                                         {WinBuiltinUsersSid, GENERIC_READ, 0},
                                                         {WinBuiltinAdministratorsSid, GENERIC_READ, 0},
                                                         {WinWorldSid, GENERIC_READ, 0},
                                                     });
}

// The marker is created by name in the global namespace, where anyone may
// create an object first. An object found under the name is used only when
// the service's own account made it: one held by anyone else is never set,
// reset or closed on its behalf, and the service runs without a marker.
void ServiceInfoObjsInit() {
    std::vector<BYTE> sd = create_online_marker_security();
    SECURITY_ATTRIBUTES sa{sizeof(sa), sd.data(), FALSE};
    VrBase::unique_handle marker(::CreateEventW(&sa, TRUE, TRUE, kSsrOnlineMarkerName));
    const DWORD error = ::GetLastError();
    if (marker && error == ERROR_ALREADY_EXISTS && VrBase::Trust::ObjectOwnedByOwnAccount(marker.get())) {
        ::SetEvent(marker.get());  // an existing event keeps its state: it says online now
    } else if (!marker || error == ERROR_ALREADY_EXISTS) {
        online_marker_held(marker ? ERROR_ALREADY_EXISTS : error);
        return;
    }
    VrBase::unique_handle previous(g_onlineMarker.exchange(marker.release()));
}

void online_marker_held(DWORD error) {
    wchar_t text[256];
    swprintf(text, 256,
             L"The online marker %ls is held by an object this service did not create (error %u); "
             L"the service runs without it.",
             kSsrOnlineMarkerName, static_cast<unsigned>(error));
    VR_TRACE(VrBase::TL_ERROR, L"ServiceInfoObjsInit", L"%ls", text);
    CSSRCommunication::instance().reg_evt_service_error(text);
}

DWORD ServiceInit() {
    return VrBase::GuardCode(L"ServiceInit", [] {
        const std::vector<SsrStep>& steps = service_startup_steps();
        SSR_REPORT(SERVICE_START_PENDING, 0, kStartWaitHint, 0);
        std::setlocale(LC_ALL, "");
        DWORD counter = 0;
        for (const SsrStep& step : steps) {
            step.run();
            SSR_REPORT(SERVICE_START_PENDING, ++counter, kStartWaitHint, 0);
        }
        notify_status_changed();
        SSR_REPORT(SERVICE_START_PENDING, ++counter, kStartWaitHint, 0);
        return 0;
    });
}

void Wait4ServiceStop() {
    for (;;) {
        DWORD rc = ::WaitForSingleObject(g_stopServiceEvent.get(), INFINITE);
        if (rc == WAIT_OBJECT_0) return;
        if (rc == WAIT_FAILED) VR_RAISE_LAST_ERROR(L"Wait4ServiceStop");
    }
}

bool stop_thread_pool_working() {
    return VrBase::GuardBool(L"stop_thread_pool_working", [] {
        CWrkThreadPoolLocker lock;
        CWrkThreadPool::instance().teardown_pool();
        return true;
    });
}

void StopServiceWorkingThread(HANDLE, void*) {
    VrBase::GuardVoid(L"StopServiceWorkingThread", [] {
        // A second stop runs this again: only the first finds the marker.
        if (HANDLE marker = g_onlineMarker.exchange(nullptr)) {
            VrBase::unique_handle owner(marker);
            ::ResetEvent(marker);
        }
        for (const SsrStep& step : service_shutdown_steps()) {
            VrBase::GuardVoid(step.name, [&] { step.run(); });
            SSR_REPORT_NEXT(SERVICE_STOP_PENDING, kStopWaitHint);
        }
        notify_status_changed();
    });
}

DWORD WINAPI SSRSrvHandler(DWORD control, DWORD, void*, void*) {
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    CServiceStatus& status = CServiceStatus::instance();
    // A stop during start-up is dropped, not deferred.
    if (status.state() == SERVICE_START_PENDING && control != SERVICE_CONTROL_INTERROGATE) return NO_ERROR;

    switch (control) {
    case SERVICE_CONTROL_INTERROGATE:
        SSR_REPORT_CURRENT();
        return NO_ERROR;
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
        VR_TRACE(VrBase::TL_INFO, L"SSRSrvHandler", L"%ls",
                 control == SERVICE_CONTROL_STOP ? L"SERVICE_CONTROL_STOP" : L"SERVICE_CONTROL_SHUTDOWN");
        SSR_REPORT(SERVICE_STOP_PENDING, kStopControlCheckPoint, kStopWaitHint, 0);
        // Held until the stop-service event is set, so the shut-down task is
        // registered before the service thread can start the teardown.
        CWrkThreadPoolLocker lock;
        VrBase::unique_handle taskEvent = create_task_stop_event();
        if (!taskEvent) {
            VR_TRACE(VrBase::TL_ERROR, L"SSRSrvHandler", L"Create stop event fail!");
        } else if (!CWrkThreadPool::instance().run_thread(&StopServiceWorkingThread, taskEvent.get(), nullptr, 0)) {
            VR_TRACE(VrBase::TL_ERROR, L"SSRSrvHandler", L"Service stop callback not started!");
        }
        if (!::SetEvent(g_stopServiceEvent.get()))
            VR_TRACE(VrBase::TL_ERROR, L"SSRSrvHandler", L"Set stop-service evt to signal state failed! err = %d",
                     static_cast<int>(::GetLastError()));
        return NO_ERROR;
    }
    default:
        VR_TRACE(VrBase::TL_INFO, L"SSRSrvHandler", L"Unrecognized control - %d", static_cast<int>(control));
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

namespace {

void run_service_sequence() {
    CServiceStatus& status = CServiceStatus::instance();
    status.init_fixed_fields();
    DWORD rc = ServiceInit();
    if (rc != 0) {
        // Tasks the steps already started must not outlive a start-up that
        // the SCM is told has failed.
        stop_thread_pool_working();
        release_core_link();
        // The start-up's own result: the thread's last error at this point
        // is whatever the tracing and message lookups left behind.
        SSR_REPORT(SERVICE_STOPPED, 0, 0, rc);
        VR_RAISE(rc, L"ServiceMain");
    }
    SSR_REPORT(SERVICE_RUNNING, 0, 0, 0);
    Wait4ServiceStop();
    SSR_REPORT_NEXT(SERVICE_STOP_PENDING, 100);
    if (!stop_thread_pool_working())
        VR_TRACE(VrBase::TL_ERROR, L"ServiceMain", L"Service stopped with errors. The working thread pool error reported.");
    release_core_link();
    SSR_REPORT(SERVICE_STOPPED, 0, 0, 0);
}

} // namespace

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    VrBase::GuardVoid(L"ServiceMain", [] {
        SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExW(kSsrServiceName, &SSRSrvHandler, nullptr);
        if (!handle) VR_RAISE_LAST_ERROR(L"ServiceMain");
        CServiceStatus::instance().set_handle(handle);
        adopt_machine_protection_dir();
        prepare_dump_folder();
        run_service_sequence();
    });
}

void run_service_body() {
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    VrBase::GuardVoid(L"ServiceMain", [] { run_service_sequence(); });
}

bool stop_service_event_signalled() {
    return g_stopServiceEvent && ::WaitForSingleObject(g_stopServiceEvent.get(), 0) == WAIT_OBJECT_0;
}
