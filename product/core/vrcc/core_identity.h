#pragma once
// Who is asking: the caller's token, taken from the caller's process by the
// handle value it sent and checked against the pipe's own view of the
// client, then handed to receivers as an impersonation token.
#include "vrbase/scope.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace vrcc {

// An impersonation token for the pipe's client. tokenValue is a handle in
// the client's process (0: the pipe's own view of the client is used). The
// token must belong to the same user as the pipe's client and be either an
// impersonation token at impersonation level or the client process's own
// primary token: a copy of an identification token, primary or not, never
// stands for a caller. 0 or a Win32 code. clientProcess needs
// PROCESS_DUP_HANDLE and PROCESS_QUERY_LIMITED_INFORMATION.
DWORD CallerToken(HANDLE pipe, HANDLE clientProcess, uint64_t tokenValue, VrBase::unique_handle& token);

// A copy of the token in another process, for SetThreadToken there; 0 when
// it cannot be made. An identifying copy lets the receiver judge who asks
// (membership, user) but not act as that caller.
uint64_t DuplicateIntoProcess(HANDLE token, HANDLE process, bool identifyOnly = false);
void CloseInProcess(HANDLE process, uint64_t value);

} // namespace vrcc
