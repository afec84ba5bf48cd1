// A client library that opens sessions but exports nothing else: for the
// binding's missing-export case. Its unload leaves a last error behind, as
// a real library's clean-up may.
#include "vrsrvapi.h"

extern "C" DWORD WINAPI VrOpenSession(VR_SESSION* session) {
    if (!session) return ERROR_INVALID_PARAMETER;
    session->Handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));
    session->SessionId = 7;
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_DETACH) ::SetLastError(ERROR_GEN_FAILURE);
    return TRUE;
}
