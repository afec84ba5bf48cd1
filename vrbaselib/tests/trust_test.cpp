#include "vrbase/trust.h"

#include "support/test_support.h"
#include "vrbase/trace.h"

#include <gtest/gtest.h>

#include <sddl.h>

VR_DEFINE_MODULE_TRACE(L"VrBaseTrustTests")

namespace {

using namespace VrBase;

// A descriptor from its SDDL text, freed when the test ends.
class Sd {
public:
    explicit Sd(const wchar_t* sddl) {
        EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, m_sd.put(), nullptr))
            << ::GetLastError();
    }
    PSECURITY_DESCRIPTOR get() const { return m_sd.get(); }

private:
    struct traits {
        using type = PSECURITY_DESCRIPTOR;
        static PSECURITY_DESCRIPTOR invalid() noexcept { return nullptr; }
        static void close(PSECURITY_DESCRIPTOR p) noexcept { ::LocalFree(p); }
    };
    unique_resource<traits> m_sd;
};

class Sid {
public:
    explicit Sid(const wchar_t* text) { EXPECT_TRUE(::ConvertStringSidToSidW(text, m_sid.put())); }
    PSID get() const { return m_sid.get(); }

private:
    struct traits {
        using type = PSID;
        static PSID invalid() noexcept { return nullptr; }
        static void close(PSID p) noexcept { ::LocalFree(p); }
    };
    unique_resource<traits> m_sid;
};

std::wstring Sddl(PSECURITY_DESCRIPTOR sd) {
    wchar_t* text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr))
        return L"?";
    unique_hlocal owned(text);
    return text;
}

const wchar_t kInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

TEST(TrustAccounts, OnlySystemAdministratorsAndInstallerOwnWhatIsTrusted) {
    EXPECT_TRUE(Trust::IsTrustedOwner(Sid(L"S-1-5-18").get()));
    EXPECT_TRUE(Trust::IsTrustedOwner(Sid(L"S-1-5-32-544").get()));
    EXPECT_TRUE(Trust::IsTrustedOwner(Sid(kInstaller).get()));
    for (const wchar_t* other : {L"S-1-5-32-545", L"S-1-5-11", L"S-1-1-0", L"S-1-3-0", L"S-1-5-19", L"S-1-5-20",
                                 L"S-1-5-21-1-2-3-1001", L"S-1-5-80-1-2-3-4-5"}) {
        EXPECT_FALSE(Trust::IsTrustedOwner(Sid(other).get())) << other;
        EXPECT_FALSE(Trust::IsTrustedAccount(Sid(other).get())) << other;
    }
    EXPECT_FALSE(Trust::IsTrustedOwner(nullptr));
}

// The process's own user counts only while the process is an administrator.
TEST(TrustAccounts, OwnUserCountsOnlyForAnAdministratorProcess) {
    HANDLE raw = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw));
    unique_handle token(raw);
    BYTE buffer[256];
    DWORD size = 0;
    ASSERT_TRUE(::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size));
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    BOOL admin = FALSE;
    ASSERT_TRUE(::CheckTokenMembership(nullptr, Sid(L"S-1-5-32-544").get(), &admin));
    EXPECT_EQ(Trust::IsTrustedAccount(user), admin != FALSE);
    EXPECT_FALSE(Trust::IsTrustedOwner(user));
}

TEST(TrustDescriptors, AdminOnlyFolderDescriptorIsSoundProtectedAndInherited) {
    for (bool usersRead : {true, false}) {
        std::vector<BYTE> sd = Trust::AdminOnlyFolderDescriptor(usersRead);
        ASSERT_TRUE(::IsValidSecurityDescriptor(sd.data()));
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(::GetSecurityDescriptorControl(sd.data(), &control, &revision));
        EXPECT_TRUE(control & SE_SELF_RELATIVE);
        EXPECT_TRUE(Trust::DescriptorIsSound(sd.data())) << Sddl(sd.data());
        const std::wstring expected = usersRead ? L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;AU)(A;OICI;0x1200a9;;;BU)(A;OICI;FA;;;BA)"
                                                : L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
        EXPECT_EQ(Sddl(sd.data()), expected);
    }
}

// Each right that lets someone else change, remove or re-permit the folder or
// what lies in it, in the forms Windows shows them (ProgramData's own entries
// among them, inherited into a folder that was not protected).
TEST(TrustDescriptors, AnyOtherWriterMakesTheDescriptorUnsound) {
    const wchar_t* const writers[] = {
        L"O:BAD:P(A;OICI;FA;;;SY)(A;CI;0x2;;;BU)",                    // add file
        L"O:BAD:P(A;OICI;FA;;;SY)(A;CI;0x4;;;BU)",                    // append / add subfolder
        L"O:BAD:P(A;OICI;FA;;;SY)(A;;0x40;;;AU)",                     // delete child
        L"O:BAD:P(A;OICI;FA;;;SY)(A;;SD;;;WD)",                       // delete
        L"O:BAD:P(A;OICI;FA;;;SY)(A;;WD;;;BU)",                       // WRITE_DAC
        L"O:BAD:P(A;OICI;FA;;;SY)(A;;WO;;;BU)",                       // WRITE_OWNER
        L"O:BAD:P(A;OICI;FA;;;SY)(A;;GW;;;BU)",                       // generic write
        L"O:BAD:P(A;OICI;FA;;;SY)(A;;GA;;;S-1-5-21-1-2-3-1001)",      // generic all
        L"O:BAD:P(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)",                 // creator owner, children only
        L"O:BAD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;CIID;DCLCRPCR;;;BU)", // ProgramData's users entry
        L"O:BA",                                                      // no DACL at all
    };
    for (const wchar_t* text : writers) {
        Sd sd(text);
        EXPECT_TRUE(Trust::DescriptorLetsOthersWrite(sd.get())) << text;
        EXPECT_FALSE(Trust::DescriptorIsSound(sd.get())) << text;
    }

    // A NULL DACL, and an object entry whose account is not read further.
    Sid admins(L"S-1-5-32-544"), users(L"S-1-5-32-545");
    SECURITY_DESCRIPTOR nullDacl;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorOwner(&nullDacl, admins.get(), FALSE));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE));
    ASSERT_TRUE(::SetSecurityDescriptorControl(&nullDacl, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
    EXPECT_TRUE(Trust::DescriptorLetsOthersWrite(&nullDacl));
    EXPECT_FALSE(Trust::DescriptorIsSound(&nullDacl));

    alignas(DWORD) BYTE acl[256];
    ASSERT_TRUE(::InitializeAcl(reinterpret_cast<PACL>(acl), sizeof(acl), ACL_REVISION_DS));
    // Wine has no AddAccessAllowedObjectAce: header, mask, no object types, SID.
    std::vector<BYTE> entry(12 + ::GetLengthSid(users.get()));
    auto* header = reinterpret_cast<ACE_HEADER*>(entry.data());
    header->AceType = ACCESS_ALLOWED_OBJECT_ACE_TYPE;
    header->AceSize = static_cast<WORD>(entry.size());
    *reinterpret_cast<DWORD*>(&entry[4]) = FILE_WRITE_DATA;
    ASSERT_TRUE(::CopySid(::GetLengthSid(users.get()), &entry[12], users.get()));
    ASSERT_TRUE(::AddAce(reinterpret_cast<PACL>(acl), ACL_REVISION_DS, MAXDWORD, entry.data(),
                         static_cast<DWORD>(entry.size())));
    SECURITY_DESCRIPTOR objectEntry = nullDacl;
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&objectEntry, TRUE, reinterpret_cast<PACL>(acl), FALSE));
    EXPECT_TRUE(Trust::DescriptorLetsOthersWrite(&objectEntry));
}

TEST(TrustDescriptors, ReadersDenialsAndTrustedWritersKeepItSound) {
    const wchar_t* const sound[] = {
        L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)(A;OICI;GR;;;AU)(A;;0x1200a9;;;WD)",
        L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:P(A;;FA;;;S-1-5-80-956008885-3418522649-"
        L"1831038044-1853292631-2271478464)(D;;GA;;;BU)",
        L"O:BAD:P",  // empty DACL: nobody at all
    };
    for (const wchar_t* text : sound) {
        Sd sd(text);
        EXPECT_FALSE(Trust::DescriptorLetsOthersWrite(sd.get())) << text;
        EXPECT_TRUE(Trust::DescriptorIsSound(sd.get())) << text;
    }
    // Right entries, wrong owner or inheritance.
    EXPECT_FALSE(Trust::DescriptorIsSound(Sd(L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)").get()));
    EXPECT_FALSE(Trust::DescriptorIsSound(Sd(L"O:BUD:P(A;OICI;FA;;;SY)").get()));
    EXPECT_FALSE(Trust::DescriptorIsSound(Sd(L"O:BAD:(A;OICI;FA;;;SY)").get()));
    EXPECT_TRUE(Trust::DescriptorLetsOthersWrite(nullptr));
    EXPECT_FALSE(Trust::DescriptorIsSound(nullptr));
}

class TrustFiles : public ::testing::Test {
protected:
    vrtest::TempDir dir{L"vrtrust"};
};

// Wine keeps no descriptors of files: what it reads back is made from the
// mode bits and owned by this (administrator) process's user. The folder is
// created, found sound enough to keep, and never followed when it is a link.
TEST_F(TrustFiles, AdminOnlyFolderIsCreatedKeptAndNeverALink) {
    const std::wstring folder = dir.file(L"depot");
    EXPECT_FALSE(Trust::EnsureAdminOnlyFolder(folder, true));
    EXPECT_EQ(::GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(Trust::EnsureAdminOnlyFolder(folder, true));

    const std::wstring link = dir.file(L"linked");
    ASSERT_TRUE(vrtest::MakeUnixLink(link, folder));
    ASSERT_NE(::GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { Trust::EnsureAdminOnlyFolder(link, true); }), DWORD(ERROR_ACCESS_DENIED));

    vrtest::WriteFileBytes(dir.file(L"plain"), "x");
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { Trust::EnsureAdminOnlyFolder(dir.file(L"plain"), true); }),
              DWORD(ERROR_DIRECTORY));
}

TEST_F(TrustFiles, StoredFileWithASecondNameIsDoubted) {
    const std::wstring file = dir.file(L"stored.xml");
    vrtest::WriteFileBytes(file, "<a/>");
    {
        unique_hfile h(Trust::OpenStoredFileForRead(file));
        ASSERT_TRUE(h) << ::GetLastError();
        EXPECT_EQ(Trust::StoredFileDoubt(h.get()), Trust::FileDoubt::None);
    }
    ASSERT_TRUE(::CreateHardLinkW(dir.file(L"users-copy.xml").c_str(), file.c_str(), nullptr));
    {
        unique_hfile h(Trust::OpenStoredFileForRead(file));
        ASSERT_TRUE(h);
        EXPECT_EQ(Trust::StoredFileDoubt(h.get()), Trust::FileDoubt::SeveralNames);
        EXPECT_NE(std::wstring(Trust::FileDoubtText(Trust::FileDoubt::SeveralNames)).find(L"hard link"),
                  std::wstring::npos);
    }
    // The reader shares nothing for writing: the file cannot change under it.
    unique_hfile h(Trust::OpenStoredFileForRead(file));
    ASSERT_TRUE(h);
    unique_hfile writer(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer);
    EXPECT_EQ(::GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
}

// Under Wine every link reads as owned by this process's user, which is not
// a trusted owner: every link is refused, and only links are.
TEST_F(TrustFiles, LinkAnywhereOnThePathIsFoundFromTheTargetUp) {
    const std::wstring real = dir.file(L"real");
    ASSERT_TRUE(::CreateDirectoryW(real.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((real + L"\\sub").c_str(), nullptr));
    const std::wstring link = dir.file(L"exports");
    ASSERT_TRUE(vrtest::MakeUnixLink(link, real));

    EXPECT_EQ(Trust::UntrustedLinkOnPath(link + L"\\victim.dll"), link);
    EXPECT_EQ(Trust::UntrustedLinkOnPath(link + L"\\sub\\deeper\\victim.dll"), link);
    EXPECT_EQ(Trust::UntrustedLinkOnPath(link), link);
    EXPECT_EQ(Trust::UntrustedLinkOnPath(link + L"\\"), link);
    EXPECT_EQ(Trust::UntrustedLinkOnPath(real + L"\\..\\exports\\x.dll"), link);
    EXPECT_EQ(Trust::UntrustedLinkOnPath(L"\\\\?\\" + link + L"\\x.dll"), link);
    EXPECT_EQ(Trust::UntrustedLinkOnPath(real + L"\\sub\\victim.dll"), L"");
    EXPECT_EQ(Trust::UntrustedLinkOnPath(real + L"\\missing\\folders\\victim.dll"), L"");
    EXPECT_EQ(Trust::UntrustedLinkOnPath(L"C:\\"), L"");
}

} // namespace
