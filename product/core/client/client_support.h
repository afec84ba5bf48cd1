#pragma once
// What every client of the core needs: threads that keep their module
// loaded, the caller's token, one-shot requests.
#include "core_wire.h"
#include "vrbase/scope.h"

#include <functional>

namespace vrcc {

// Runs fn on a new thread with the exception translators and the guard. In
// a DLL the thread holds a reference on the DLL until it ends, so an early
// FreeLibrary cannot pull the code from under it.
VrBase::unique_handle StartModuleThread(const wchar_t* name, std::function<void()> fn);

// The calling thread's effective token (its impersonation token, else the
// process token), opened for the core to duplicate; 0 or the error.
DWORD OpenEffectiveToken(VrBase::unique_handle& token);

// One request on a connection of its own: connects, writes, reads the
// answer, closes. Returns the answer's status or the link's failure: the
// open failures that mean no core give downCode, a broken exchange
// kErrLinkLost (or downCode when asked), a silent core ERROR_TIMEOUT.
struct CallOptions {
    DWORD downCode = kErrCoreDown;
    bool lostIsDown = false;
    DWORD timeoutMs = 30000;
};
DWORD CoreCall(uint16_t command, const std::vector<BYTE>& payload, Frame& answer,
               const CallOptions& options = CallOptions());

} // namespace vrcc
