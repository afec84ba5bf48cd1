#include "core_identity.h"

#include "vrbase/token_trust.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

namespace vrcc {
namespace {

// The pipe's view of its client, read on this thread and given back at once.
DWORD PipeClientToken(HANDLE pipe, VrBase::unique_handle& token) {
    if (!::ImpersonateNamedPipeClient(pipe)) return ::GetLastError();
    BOOL opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE, TRUE, token.put());
    DWORD e = opened ? 0 : ::GetLastError();
    if (!::RevertToSelf()) {
        // This thread must never go on as somebody else.
        VR_TRACE(VrBase::TL_ERROR, L"vrcc::PipeClientToken", L"RevertToSelf failed, err %u", ::GetLastError());
        ::TerminateProcess(::GetCurrentProcess(), ERROR_CANNOT_IMPERSONATE);
    }
    return e;
}

} // namespace

ClientProcess ClientProcess::Read(HANDLE process) {
    ClientProcess c;
    c.process = process;
    VrBase::unique_handle own;
    if (!process || !::OpenProcessToken(process, TOKEN_QUERY | TOKEN_DUPLICATE, own.put()) ||
        !VrBase::Trust::ReadTokenId(own.get(), c.ownTokenId))
        return c;
    c.known = true;
    c.administrator = VrBase::Trust::IsAdministrator(own.get());
    c.mayHandOver = c.administrator || VrBase::Trust::HoldsPrivilege(own.get(), SE_IMPERSONATE_NAME);
    return c;
}

DWORD CallerToken(HANDLE pipe, const ClientProcess& client, uint64_t tokenValue, VrBase::unique_handle& token,
                  bool& administrator) {
    administrator = false;
    VrBase::unique_handle pipeToken;
    if (DWORD e = PipeClientToken(pipe, pipeToken)) return e;
    HANDLE source = pipeToken.get();
    VrBase::unique_handle passed;
    if (tokenValue) {
        if (!client.process) return ERROR_ACCESS_DENIED;
        if (!::DuplicateHandle(client.process, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(tokenValue)),
                               ::GetCurrentProcess(), passed.put(), 0, FALSE, DUPLICATE_SAME_ACCESS))
            return ERROR_INVALID_HANDLE;
        TOKEN_TYPE type;
        DWORD size = 0;
        if (!::GetTokenInformation(passed.get(), TokenType, &type, sizeof type, &size)) return ERROR_INVALID_HANDLE;
        // A primary token has no level to judge: only the process's own one
        // is taken, since a primary copy can be made of a token that was
        // given for identification only.
        if (type == TokenImpersonation) {
            if (!VrBase::Trust::AllowsImpersonation(passed.get())) return ERROR_BAD_IMPERSONATION_LEVEL;
            administrator = VrBase::Trust::IsAdministrator(passed.get());
        } else {
            LUID id{};
            if (!client.known || !VrBase::Trust::ReadTokenId(passed.get(), id) ||
                id.LowPart != client.ownTokenId.LowPart || id.HighPart != client.ownTokenId.HighPart)
                return ERROR_BAD_IMPERSONATION_LEVEL;
            administrator = client.administrator;
        }
        // A client may narrow its identity (a restricted token), never
        // borrow another user's.
        if (!VrBase::Trust::SameUser(passed.get(), pipeToken.get())) return ERROR_ACCESS_DENIED;
        // Nor stand as an administrator with a copy it could merely open.
        // A privilege can be removed from a token after the process
        // connected, never added: only a process that is no administrator
        // itself and held it then is asked again.
        if (administrator && !client.administrator &&
            (!client.mayHandOver || !VrBase::Trust::ProcessMayHandOver(client.process, passed.get())))
            return ERROR_ACCESS_DENIED;
        source = passed.get();
    } else if (!VrBase::Trust::AllowsImpersonation(source)) {
        return ERROR_BAD_IMPERSONATION_LEVEL;
    } else {
        administrator = VrBase::Trust::IsAdministrator(source);
    }
    if (!::DuplicateTokenEx(source, TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, nullptr,
                            SecurityImpersonation, TokenImpersonation, token.put()))
        return ::GetLastError();
    return 0;
}

uint64_t DuplicateIntoProcess(HANDLE token, HANDLE process, bool identifyOnly) {
    VrBase::unique_handle identifying;
    if (identifyOnly) {
        if (!::DuplicateTokenEx(token, TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, nullptr,
                                SecurityIdentification, TokenImpersonation, identifying.put()))
            return 0;
        token = identifying.get();
    }
    HANDLE remote = nullptr;
    if (!process || !::DuplicateHandle(::GetCurrentProcess(), token, process, &remote,
                                       TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, FALSE, 0))
        return 0;
    return reinterpret_cast<uintptr_t>(remote);
}

void CloseInProcess(HANDLE process, uint64_t value) {
    if (!process || !value) return;
    // Closed there through a copy here: not every system takes a null target.
    HANDLE local = nullptr;
    if (::DuplicateHandle(process, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)), ::GetCurrentProcess(),
                          &local, 0, FALSE, DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS))
        ::CloseHandle(local);
}

} // namespace vrcc
