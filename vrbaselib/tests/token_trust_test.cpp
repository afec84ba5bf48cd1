// Token judgements on tokens built here: the process's own, a restricted
// copy with Administrators deny-only, identification copies and the linked
// (filtered) token Wine reports, each also as a primary copy.
#include "support/test_support.h"
#include "vrbase/scope.h"
#include "vrbase/token_trust.h"

#include <gtest/gtest.h>

using namespace VrBase;

namespace {

unique_handle ProcessToken() {
    unique_handle t;
    EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, t.put()));
    return t;
}

unique_handle Copy(HANDLE from, SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type) {
    unique_handle t;
    ::DuplicateTokenEx(from, MAXIMUM_ALLOWED, nullptr, level, type, t.put());
    return t;
}

unique_handle Restricted(HANDLE from) {
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size);
    SID_AND_ATTRIBUTES denyOnly{admins, 0};
    unique_handle t;
    EXPECT_TRUE(::CreateRestrictedToken(from, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, t.put()));
    return t;
}

TEST(TokenTrust, TheProcessTokenOfAnElevatedAdministrator) {
    unique_handle process = ProcessToken();
    EXPECT_TRUE(Trust::IsElevated(process.get()));
    EXPECT_TRUE(Trust::IsAdministrator(process.get()));
    EXPECT_TRUE(Trust::IsOwnProcessToken(process.get(), ::GetCurrentProcess()));
    EXPECT_FALSE(Trust::AllowsImpersonation(process.get())) << "a primary token has no level of its own";
    EXPECT_FALSE(Trust::IsLocalSystem(process.get()));
    EXPECT_EQ(Trust::UserSidText(process.get()).rfind(L"S-1-5-", 0), 0u);

    unique_handle impersonation = Copy(process.get(), SecurityImpersonation, TokenImpersonation);
    ASSERT_TRUE(impersonation);
    EXPECT_TRUE(Trust::AllowsImpersonation(impersonation.get()));
    EXPECT_TRUE(Trust::IsAdministrator(impersonation.get()));
    EXPECT_FALSE(Trust::IsOwnProcessToken(impersonation.get(), ::GetCurrentProcess()));
}

TEST(TokenTrust, ARestrictedTokenIsAnOrdinaryCallerWhateverItsForm) {
    unique_handle restricted = Restricted(ProcessToken().get());
    ASSERT_TRUE(restricted);
    EXPECT_TRUE(Trust::IsOrdinaryCaller(restricted.get())) << "primary";
    EXPECT_FALSE(Trust::IsAdministratorsMember(restricted.get()));
    unique_handle impersonation = Copy(restricted.get(), SecurityImpersonation, TokenImpersonation);
    ASSERT_TRUE(impersonation);
    EXPECT_TRUE(Trust::AllowsImpersonation(impersonation.get()));
    EXPECT_TRUE(Trust::IsOrdinaryCaller(impersonation.get())) << "impersonation";
    EXPECT_EQ(Trust::UserSidText(impersonation.get()), Trust::UserSidText(ProcessToken().get()));
}

TEST(TokenTrust, AnIdentificationTokenNeverPassesForACallerInAnyCopy) {
    unique_handle identification = Copy(ProcessToken().get(), SecurityIdentification, TokenImpersonation);
    ASSERT_TRUE(identification);
    EXPECT_FALSE(Trust::AllowsImpersonation(identification.get()));
    unique_handle primary = Copy(identification.get(), SecurityImpersonation, TokenPrimary);
    if (primary) {  // Windows refuses the copy; Wine makes it
        EXPECT_FALSE(Trust::AllowsImpersonation(primary.get()));
        EXPECT_FALSE(Trust::IsOwnProcessToken(primary.get(), ::GetCurrentProcess()))
            << "a primary copy is not the process's own token";
    }
}

TEST(TokenTrust, TheLinkedTokenIsNoAdministrator) {
    unique_handle process = ProcessToken();
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (!::GetTokenInformation(process.get(), TokenLinkedToken, &linked, sizeof linked, &size))
        GTEST_SKIP() << "no linked token on this system";
    unique_handle owner(linked.LinkedToken);
    EXPECT_FALSE(Trust::IsElevated(owner.get()));
    EXPECT_TRUE(Trust::IsOrdinaryCaller(owner.get()));
    EXPECT_FALSE(Trust::AllowsImpersonation(owner.get())) << "reported at identification level";
    unique_handle primary = Copy(owner.get(), SecurityImpersonation, TokenPrimary);
    if (primary) {
        EXPECT_TRUE(Trust::IsOrdinaryCaller(primary.get()));
        EXPECT_FALSE(Trust::IsOwnProcessToken(primary.get(), ::GetCurrentProcess()));
    }
}

// A token without SeImpersonatePrivilege (removed as an ordinary user's
// token lacks it) does not hold it, whatever the token it was made from had.
TEST(TokenTrust, APrivilegeTakenAwayIsNotHeld) {
    unique_handle process = ProcessToken();
    if (!Trust::HoldsPrivilege(process.get(), SE_IMPERSONATE_NAME))
        GTEST_SKIP() << "this administrator's token lacks SeImpersonatePrivilege";
    LUID_AND_ATTRIBUTES impersonate{};
    ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, SE_IMPERSONATE_NAME, &impersonate.Luid));
    unique_handle without;
    ASSERT_TRUE(::CreateRestrictedToken(process.get(), 0, 0, nullptr, 1, &impersonate, 0, nullptr, without.put()));
    EXPECT_FALSE(Trust::HoldsPrivilege(without.get(), SE_IMPERSONATE_NAME));
    EXPECT_TRUE(Trust::HoldsPrivilege(without.get(), SE_CHANGE_NOTIFY_NAME));
    EXPECT_FALSE(Trust::HoldsPrivilege(nullptr, SE_CHANGE_NOTIFY_NAME));
    // Whoever hands over a token that is no administrator's needs nothing.
    unique_handle restricted = Restricted(process.get());
    EXPECT_TRUE(Trust::ProcessMayHandOver(nullptr, restricted.get()));
    EXPECT_FALSE(Trust::ProcessMayHandOver(nullptr, process.get()));
    EXPECT_TRUE(Trust::ProcessMayHandOver(::GetCurrentProcess(), process.get()));
}

TEST(TokenTrust, AnUnreadableTokenIsTrustedWithNothing) {
    EXPECT_FALSE(Trust::IsAdministrator(nullptr));
    EXPECT_FALSE(Trust::IsElevated(nullptr));
    EXPECT_FALSE(Trust::AllowsImpersonation(nullptr));
    EXPECT_FALSE(Trust::IsOwnProcessToken(nullptr, ::GetCurrentProcess()));
    EXPECT_TRUE(Trust::UserSidText(nullptr).empty());
}

} // namespace
