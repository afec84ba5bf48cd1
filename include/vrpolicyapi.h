/* VrPolicyApi: the policy sections kept by the core service VrCC.
 *
 * Opening needs no core. Reading answers 1715 (RPC_S_NOT_LISTENING) while the
 * core is not serving; a section nobody set reads as an empty text.
 */
#ifndef VRPOLICYAPI_H
#define VRPOLICYAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef HANDLE VRS_HPOLICY;

/* Flags must be 0. */
DWORD WINAPI VrsOpenPolicy(DWORD Flags, VRS_HPOLICY* Policy);
/* Points *Text at the section's NUL-terminated text, owned by the handle and
 * valid until VrsClosePolicy. */
DWORD WINAPI VrsReadPolicySection(VRS_HPOLICY Policy, const WCHAR* Section, const WCHAR** Text);
DWORD WINAPI VrsClosePolicy(VRS_HPOLICY Policy);

typedef DWORD(WINAPI* PFN_VrsOpenPolicy)(DWORD, VRS_HPOLICY*);
typedef DWORD(WINAPI* PFN_VrsReadPolicySection)(VRS_HPOLICY, const WCHAR*, const WCHAR**);
typedef DWORD(WINAPI* PFN_VrsClosePolicy)(VRS_HPOLICY);

#ifdef __cplusplus
}
#endif

#endif /* VRPOLICYAPI_H */
