#pragma once
// Who does a token speak for: the one place that judges tokens. Every
// function takes a token opened with at least TOKEN_QUERY and never raises:
// a token that cannot be read is judged as untrusted.
#include <windows.h>

#include <string>

namespace VrBase {
namespace Trust {

// The token's user is LocalSystem (S-1-5-18).
bool IsLocalSystem(HANDLE token);
// TokenElevation: true for LocalSystem, an elevated administrator and an
// administrator without UAC; false for a filtered (linked) token.
bool IsElevated(HANDLE token);
// An impersonation token at SecurityImpersonation or SecurityDelegation. A
// primary token has no level and answers false: whether it may stand for a
// caller is the caller's check (see IsOwnProcessToken).
bool AllowsImpersonation(HANDLE token);
// The token's id: one token object's, never shared with a copy of it.
bool ReadTokenId(HANDLE token, LUID& id);
// A primary token that is the given process's own token (same token id),
// not a copy made from some other token.
bool IsOwnProcessToken(HANDLE token, HANDLE process);
// Member of the local Administrators group, deny-only entries honoured
// (a primary token is judged through an identification copy, so it needs
// TOKEN_DUPLICATE as well).
bool IsAdministratorsMember(HANDLE token);
// An administrator: LocalSystem's token, or an elevated member of the
// Administrators group. The token's level is not judged here: callers that
// take tokens from others check it first (AllowsImpersonation).
bool IsAdministrator(HANDLE token);
// Anybody who is not an administrator: a restricted token with
// Administrators deny-only, a filtered token, a plain user.
inline bool IsOrdinaryCaller(HANDLE token) { return !IsAdministrator(token); }
// The token holds the named privilege (enabled or not; a privilege that can
// be enabled is held), e.g. SE_IMPERSONATE_NAME.
bool HoldsPrivilege(HANDLE token, const wchar_t* name);
// May a token that the given process hands over stand as an administrator?
// Only when the process is one itself or may impersonate others
// (SeImpersonatePrivilege): a handle to an administrator's token is easy to
// get for a process of the same user, the right to speak with it is not.
// Tokens that are not an administrator's may always be handed over.
bool ProcessMayHandOver(HANDLE process, HANDLE token);
// Both tokens' users are one and the same.
bool SameUser(HANDLE a, HANDLE b);
// The user's SID in its string form, empty when it cannot be read.
std::wstring UserSidText(HANDLE token);

} // namespace Trust
} // namespace VrBase
