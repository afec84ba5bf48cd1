#pragma once
// The service's spine: entry, control handler, ordered start-up and shut-down.
#include <windows.h>
#include <vector>

constexpr const wchar_t* kSsrServiceName = L"VrSoftwareState";
constexpr const wchar_t* kSsrOnlineMarkerName = L"Global\\SSR_Online";

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI SSRSrvHandler(DWORD control, DWORD eventType, void* eventData, void* context);
DWORD ServiceInit();
void Wait4ServiceStop();
void StopServiceWorkingThread(HANDLE stopEvent, void* data);
bool stop_thread_pool_working();

// Start-up steps, in the order they run.
void ServiceManagmentObjsInit();
void ssr_disk_depot_init();
void ssr_reg_depot_init();
void ssr_state_init();
void ssr_communication_init();
void stop_service_break_cc_connection();
void release_core_link();
void ssr_op_settings_init();
void ssr_scheduler_init();
void ServiceInfoObjsInit();
// The marker's name is held by someone else: traced and recorded.
void online_marker_held(DWORD error);

struct SsrStep {
    const wchar_t* name;
    void (*run)();
};
const std::vector<SsrStep>& service_startup_steps();
// For tests: puts another function in the named step's place and returns
// the one it replaced (null for an unknown name).
void (*replace_startup_step_for_tests(const wchar_t* name, void (*run)()))();
// Shut-down steps.
void stop_service_stop_scheduler();
const std::vector<SsrStep>& service_shutdown_steps();

// The online marker's descriptor: owner LocalSystem, five entries.
std::vector<BYTE> create_online_marker_security();

// Runs the service body on the calling thread as the SCM would, without
// registering a handler; for tests of the sequence.
void run_service_body();
// True while the stop-service event exists and is signalled; for tests.
bool stop_service_event_signalled();
