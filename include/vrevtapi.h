/* VrEvtApi: the product's event journal and the notifications to the
 * management agent, both carried by the core service VrCC.
 *
 * Registering an event source needs no core; writing and notifying do, and
 * fail with 1722 while the core is not running.
 */
#ifndef VREVTAPI_H
#define VREVTAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Kinds passed to an agent's routine. */
#define VR_AGENT_CORE_LOST 0u    /* the core went away; register again later */
#define VR_AGENT_STATE_CHANGED 1u
#define VR_AGENT_CONFIG_CHANGED 2u

/* An event source for Component; Category names the events' category and may
 * be empty. Null on failure, with the reason in the last error. */
HANDLE WINAPI VrRegisterEventSourceEx(const WCHAR* Component, const WCHAR* Category);
/* Nonzero on success; zero with the reason in the last error. */
BOOL WINAPI VrDeregisterEventSource(HANDLE Source);
/* Appends one event to the core's journal, on disk before the call returns.
 * The shape of the Windows event report call. Nonzero on success; zero with
 * the reason in the last error. */
BOOL WINAPI VrWriteEvent(HANDLE Source, WORD Type, WORD Category, DWORD EventId, PSID UserSid, WORD NumStrings,
                         DWORD DataSize, const WCHAR** Strings, void* RawData);
/* Tells the agents registered for the source's component that its
 * configuration (set "full") or state (set "status") changed. */
DWORD WINAPI VrNotifyConfigChanged(HANDLE Source, const WCHAR* SetName);
DWORD WINAPI VrNotifyStateChanged(HANDLE Source, const WCHAR* SetName);

/* The management agent's side: Routine runs on a thread of the registration
 * for every notification about Component ("*" for every component), and once
 * with VR_AGENT_CORE_LOST if the core goes away. */
typedef void(WINAPI* PVR_AGENT_ROUTINE)(void* Context, DWORD Kind, const WCHAR* Component, const WCHAR* SetName);
DWORD WINAPI VrRegisterAgentNotify(const WCHAR* Component, PVR_AGENT_ROUTINE Routine, void* Context,
                                   HANDLE* Registration);
/* Ends a registration; no routine runs after it returns (unless called from
 * the routine itself). */
DWORD WINAPI VrUnregisterAgentNotify(HANDLE Registration);

typedef HANDLE(WINAPI* PFN_VrRegisterEventSourceEx)(const WCHAR*, const WCHAR*);
typedef BOOL(WINAPI* PFN_VrDeregisterEventSource)(HANDLE);
typedef BOOL(WINAPI* PFN_VrWriteEvent)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, const WCHAR**, void*);
typedef DWORD(WINAPI* PFN_VrNotifyConfigChanged)(HANDLE, const WCHAR*);
typedef DWORD(WINAPI* PFN_VrNotifyStateChanged)(HANDLE, const WCHAR*);

#ifdef __cplusplus
}
#endif

#endif /* VREVTAPI_H */
