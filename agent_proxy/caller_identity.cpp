#include "caller_identity.h"

#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

CCallerIdentity::CCallerIdentity() {
    const wchar_t* const fn = L"CCallerIdentity::CCallerIdentity";
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE | TOKEN_QUERY | TOKEN_DUPLICATE, TRUE,
                          m_token.put()))
        return;
    if (::GetLastError() != ERROR_NO_TOKEN) VR_RAISE_LAST_ERROR(fn);
}

CCallerIdentity::Use::Use(const CCallerIdentity& identity) {
    if (!identity.m_token) return;
    if (!::SetThreadToken(nullptr, identity.m_token.get())) VR_RAISE_LAST_ERROR(L"CCallerIdentity::Use::Use");
    m_active = true;
}

CCallerIdentity::Use::~Use() {
    if (m_active && !::RevertToSelf())
        VR_TRACE(VrBase::TL_WARNING, L"CCallerIdentity::Use::~Use", L"RevertToSelf failed. Error = %d",
                 ::GetLastError());
}
