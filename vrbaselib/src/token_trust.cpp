#include "vrbase/token_trust.h"

#include "vrbase/scope.h"

#include <sddl.h>

#include <vector>

namespace VrBase {
namespace Trust {
namespace {

// A user SID has a known upper size, so one call does.
bool ReadUser(HANDLE token, std::vector<BYTE>& user) {
    user.resize(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE);
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size) != FALSE;
}

bool ReadType(HANDLE token, TOKEN_TYPE& type) {
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenType, &type, sizeof type, &size) != FALSE;
}

} // namespace

bool ReadTokenId(HANDLE token, LUID& id) {
    TOKEN_STATISTICS st{};
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenStatistics, &st, sizeof st, &size)) return false;
    id = st.TokenId;
    return true;
}

bool IsLocalSystem(HANDLE token) {
    std::vector<BYTE> user;
    return ReadUser(token, user) &&
           ::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, WinLocalSystemSid);
}

bool IsElevated(HANDLE token) {
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

bool AllowsImpersonation(HANDLE token) {
    TOKEN_TYPE type;
    if (!ReadType(token, type) || type != TokenImpersonation) return false;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &size) &&
           level >= SecurityImpersonation;
}

bool IsOwnProcessToken(HANDLE token, HANDLE process) {
    TOKEN_TYPE type;
    if (!process || !ReadType(token, type) || type != TokenPrimary) return false;
    unique_handle own;
    if (!::OpenProcessToken(process, TOKEN_QUERY, own.put())) return false;
    LUID a{}, b{};
    return ReadTokenId(token, a) && ReadTokenId(own.get(), b) && a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

bool IsAdministratorsMember(HANDLE token) {
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size)) return false;
    TOKEN_TYPE type;
    if (!ReadType(token, type)) return false;
    unique_handle identification;
    if (type == TokenPrimary) {
        // The membership test takes impersonation tokens only.
        if (!::DuplicateTokenEx(token, TOKEN_QUERY, nullptr, SecurityIdentification, TokenImpersonation,
                                identification.put()))
            return false;
        token = identification.get();
    }
    BOOL member = FALSE;
    return ::CheckTokenMembership(token, admins, &member) && member;
}

bool IsAdministrator(HANDLE token) {
    if (IsLocalSystem(token)) return true;
    return IsElevated(token) && IsAdministratorsMember(token);
}

bool HoldsPrivilege(HANDLE token, const wchar_t* name) {
    LUID wanted{};
    if (!::LookupPrivilegeValueW(nullptr, name, &wanted)) return false;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    if (size < sizeof(TOKEN_PRIVILEGES)) return false;
    std::vector<BYTE> buffer(size);
    if (!::GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) return false;
    const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
        if (p.Luid.LowPart == wanted.LowPart && p.Luid.HighPart == wanted.HighPart)
            return (p.Attributes & SE_PRIVILEGE_REMOVED) == 0;
    }
    return false;
}

bool ProcessMayHandOver(HANDLE process, HANDLE token) {
    if (!IsAdministrator(token)) return true;
    unique_handle own;
    if (!process || !::OpenProcessToken(process, TOKEN_QUERY | TOKEN_DUPLICATE, own.put())) return false;
    return IsAdministrator(own.get()) || HoldsPrivilege(own.get(), SE_IMPERSONATE_NAME);
}

bool SameUser(HANDLE a, HANDLE b) {
    std::vector<BYTE> ua, ub;
    if (!ReadUser(a, ua) || !ReadUser(b, ub)) return false;
    return ::EqualSid(reinterpret_cast<TOKEN_USER*>(ua.data())->User.Sid,
                      reinterpret_cast<TOKEN_USER*>(ub.data())->User.Sid) != FALSE;
}

std::wstring UserSidText(HANDLE token) {
    std::vector<BYTE> user;
    if (!ReadUser(token, user)) return std::wstring();
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text)) return std::wstring();
    unique_hlocal owner(text);
    return text;
}

} // namespace Trust
} // namespace VrBase
