#include "vrbase/trust.h"

#include "vrbase/scope.h"

#include <aclapi.h>

namespace VrBase {
namespace Trust {

std::vector<BYTE> ProcessUserSid() {
    unique_handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return {};
    std::vector<BYTE> buffer(size);
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const DWORD length = ::GetLengthSid(sid);
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + length);
}

bool DescriptorOwnedBy(PSECURITY_DESCRIPTOR descriptor, PSID owner) {
    if (!descriptor || !owner || !::IsValidSid(owner)) return false;
    PSID found = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &found, &defaulted) || !found || !::IsValidSid(found)) return false;
    return ::EqualSid(found, owner) != FALSE;
}

bool ObjectOwnedByOwnAccount(HANDLE object) {
    std::vector<BYTE> self = ProcessUserSid();
    if (self.empty()) return false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                          &descriptor) != ERROR_SUCCESS)
        return false;
    unique_hlocal owner(descriptor);
    return DescriptorOwnedBy(descriptor, self.data());
}

} // namespace Trust
} // namespace VrBase
