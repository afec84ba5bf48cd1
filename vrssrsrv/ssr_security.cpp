#include "ssr_security.h"

#include "vrbase/trust.h"
#include "vrbase/vr_error.h"

std::vector<BYTE> build_self_relative_sd(WELL_KNOWN_SID_TYPE owner, const std::vector<SsrAce>& aces) {
    const wchar_t* const fn = L"build_self_relative_sd";
    std::vector<BYTE> ownerSid = VrBase::Trust::WellKnownSid(owner);
    std::vector<std::vector<BYTE>> sids;
    DWORD aclSize = sizeof(ACL);
    for (const SsrAce& ace : aces) {
        sids.push_back(VrBase::Trust::WellKnownSid(ace.account));
        aclSize += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sids.back().size());
    }
    aclSize = (aclSize + 3) & ~3u;
    std::vector<BYTE> acl(aclSize);
    if (!::InitializeAcl(reinterpret_cast<PACL>(acl.data()), aclSize, ACL_REVISION)) VR_RAISE_LAST_ERROR(fn);
    for (size_t i = 0; i < aces.size(); ++i)
        if (!::AddAccessAllowedAceEx(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, aces[i].flags, aces[i].access,
                                     sids[i].data()))
            VR_RAISE_LAST_ERROR(fn);

    SECURITY_DESCRIPTOR absolute;
    if (!::InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorOwner(&absolute, ownerSid.data(), FALSE) ||
        !::SetSecurityDescriptorDacl(&absolute, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE))
        VR_RAISE_LAST_ERROR(fn);

    DWORD size = 0;
    ::MakeSelfRelativeSD(&absolute, nullptr, &size);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) VR_RAISE_LAST_ERROR(fn);
    std::vector<BYTE> relative(size);
    if (!::MakeSelfRelativeSD(&absolute, relative.data(), &size)) VR_RAISE_LAST_ERROR(fn);
    return relative;
}
