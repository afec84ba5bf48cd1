#pragma once
// Who is asking: the caller's token, taken from the caller's process by the
// handle value it sent and checked against the pipe's own view of the
// client, then handed to receivers as an impersonation token.
#include "vrbase/scope.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace vrcc {

// What a client's process is, read once when it connects: its own token
// and whether it is an administrator's never change while the process lives
// (the handle keeps the process itself), and judging them on every request
// cost about a millisecond a request under Wine. Its privileges may be
// removed later, so the right to hand over is asked again where it counts.
struct ClientProcess {
    // process needs PROCESS_DUP_HANDLE and PROCESS_QUERY_LIMITED_INFORMATION.
    static ClientProcess Read(HANDLE process);

    HANDLE process = nullptr;
    bool known = false;  // its own token was read
    LUID ownTokenId{};
    bool administrator = false;  // its own token is SYSTEM's or an elevated administrator's
    // It could pass on an administrator's token (see Trust::ProcessMayHandOver)
    // when it connected; false stays false, true is asked again when used.
    bool mayHandOver = false;
};

// An impersonation token for the pipe's client, and whether it is SYSTEM's
// or an administrator's. tokenValue is a handle in the client's process (0:
// the pipe's own view of the client is used). The token must belong to the
// same user as the pipe's client and be either an impersonation token at
// impersonation level or the client process's own primary token: a copy of
// an identification token, primary or not, never stands for a caller. An
// administrator's token counts only from a process that may hand it over.
// 0 or a Win32 code.
DWORD CallerToken(HANDLE pipe, const ClientProcess& client, uint64_t tokenValue, VrBase::unique_handle& token,
                  bool& administrator);

// A copy of the token in another process, for SetThreadToken there; 0 when
// it cannot be made. An identifying copy lets the receiver judge who asks
// (membership, user) but not act as that caller.
uint64_t DuplicateIntoProcess(HANDLE token, HANDLE process, bool identifyOnly = false);
void CloseInProcess(HANDLE process, uint64_t value);

} // namespace vrcc
