// Who made a named object: descriptors and objects built here.
#include "vrbase/scope.h"
#include "vrbase/trust.h"

#include <gtest/gtest.h>

#include <sddl.h>

namespace {

// A self-relative descriptor from SDDL text, freed with the vector.
std::vector<BYTE> Descriptor(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, &size)) return {};
    VrBase::unique_hlocal owner(sd);
    const BYTE* bytes = static_cast<const BYTE*>(sd);
    return std::vector<BYTE>(bytes, bytes + size);
}

std::vector<BYTE> Sid(const wchar_t* text) {
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(text, &sid)) return {};
    VrBase::unique_hlocal owner(sid);
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + ::GetLengthSid(sid));
}

// On Windows a squatter's object names the squatter as its owner; the
// service's account (LocalSystem) is the only owner it accepts.
TEST(TrustObjects, OnlyTheNamedOwnerIsAccepted) {
    std::vector<BYTE> system = Sid(L"S-1-5-18"), user = Sid(L"S-1-5-21-1-2-3-1001"), admins = Sid(L"S-1-5-32-544");
    std::vector<BYTE> bySystem = Descriptor(L"O:SYD:(A;;GA;;;SY)(A;;GR;;;WD)");
    std::vector<BYTE> byUser = Descriptor(L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)");
    std::vector<BYTE> byAdmins = Descriptor(L"O:BAD:(A;;GA;;;WD)");
    std::vector<BYTE> noOwner = Descriptor(L"D:(A;;GA;;;WD)");
    ASSERT_FALSE(bySystem.empty() || byUser.empty() || byAdmins.empty() || noOwner.empty());

    EXPECT_TRUE(VrBase::Trust::DescriptorOwnedBy(bySystem.data(), system.data()));
    EXPECT_FALSE(VrBase::Trust::DescriptorOwnedBy(byUser.data(), system.data()));
    EXPECT_FALSE(VrBase::Trust::DescriptorOwnedBy(byAdmins.data(), system.data())) << "an administrator's object is not the service's";
    EXPECT_FALSE(VrBase::Trust::DescriptorOwnedBy(noOwner.data(), system.data())) << "no owner tells nothing";
    EXPECT_TRUE(VrBase::Trust::DescriptorOwnedBy(byUser.data(), user.data()));
    EXPECT_FALSE(VrBase::Trust::DescriptorOwnedBy(nullptr, system.data()));
    EXPECT_FALSE(VrBase::Trust::DescriptorOwnedBy(bySystem.data(), nullptr));
    EXPECT_TRUE(VrBase::Trust::DescriptorOwnedBy(byAdmins.data(), admins.data()));
}

// Real events: one this process's account owns, one that names another
// owner. (Wine lets a process set any owner, so the second can be made here.)
TEST(TrustObjects, AnObjectIsOwnedByThisAccountOnlyWhenItsOwnerSaysSo) {
    std::vector<BYTE> self = VrBase::Trust::ProcessUserSid();
    ASSERT_FALSE(self.empty());
    ASSERT_TRUE(::IsValidSid(self.data()));
    wchar_t* text = nullptr;
    ASSERT_TRUE(::ConvertSidToStringSidW(self.data(), &text));
    VrBase::unique_hlocal textOwner(text);
    ASSERT_STRNE(text, L"S-1-5-18") << "the test runs as an ordinary account";

    const std::wstring mine = std::wstring(L"O:") + text + L"D:(A;;GA;;;WD)";
    std::vector<BYTE> sdMine = Descriptor(mine.c_str());
    SECURITY_ATTRIBUTES saMine{sizeof(saMine), sdMine.data(), FALSE};
    VrBase::unique_handle own(::CreateEventW(&saMine, TRUE, FALSE, nullptr));
    ASSERT_TRUE(own);
    EXPECT_TRUE(VrBase::Trust::ObjectOwnedByOwnAccount(own.get()));

    std::vector<BYTE> sdOther = Descriptor(L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)");
    SECURITY_ATTRIBUTES saOther{sizeof(saOther), sdOther.data(), FALSE};
    VrBase::unique_handle other(::CreateEventW(&saOther, TRUE, FALSE, nullptr));
    if (other) {
        EXPECT_FALSE(VrBase::Trust::ObjectOwnedByOwnAccount(other.get()));
    }
}

} // namespace
