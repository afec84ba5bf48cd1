// What an ordinary user could plant or link around the depot and the export,
// tried against the real services and turned away: a hard link under the
// name the next document is written to, a configuration changed while the
// service was stopped, an export target behind a user's link, and a
// configuration that brings a document type declaration.
#include "e2e_support.h"

#include <cstdio>

namespace {

using e2e::Element;

class DepotFromOutside : public e2e::ServicesTest {
protected:
    vrtest::TempDir tree{L"vre2etree"};
    vrtest::TempDir otherTree{L"vre2eother"};

    void SetUp() override {
        e2e::ServicesTest::SetUp();
        if (HasFatalFailure()) return;
        vrtest::WriteFileBytes(tree.file(L"one.txt"), "one");
        vrtest::WriteFileBytes(otherTree.file(L"two.txt"), "two");
        std::string out;
        ASSERT_EQ(Agent(L"activate", out), 0u) << out;
        ASSERT_TRUE(ServiceSessionOpen(20000));
        ASSERT_EQ(Push(e2e::ScanConfig(L"<Path>" + tree.path() + L"</Path>"), out), 0u) << out;
    }
    void TearDown() override {
        std::string out;
        Agent(L"deactivate", out);
        e2e::ServicesTest::TearDown();
    }
    DWORD Push(const std::wstring& document, std::string& out) {
        const std::wstring file = dir.file(L"settings.xml");
        vrtest::WriteFileBytes(file, e2e::Utf8(document));
        return Agent(L"config " + file, out);
    }
    static DWORD Links(const std::wstring& path) {
        VrBase::unique_hfile file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        return file && ::GetFileInformationByHandle(file.get(), &info) ? info.nNumberOfLinks : 0;
    }
};

// The user's copy would otherwise receive the document and, edited, be what
// the administrator's export hands out.
TEST_F(DepotFromOutside, APartialFileLinkedByAUserNeverReceivesTheDocument) {
    const std::wstring usersCopy = dir.file(L"users-copy.xml");
    vrtest::WriteFileBytes(usersCopy, "USER");
    ASSERT_TRUE(::CreateHardLinkW(DepotFile(L"SSR_LastSoftState.xml.partial").c_str(), usersCopy.c_str(), nullptr));
    std::string out;
    ASSERT_EQ(Agent(L"scan --wait", out), 0u) << out;
    EXPECT_EQ(vrtest::ReadFileBytes(usersCopy), "USER");
    EXPECT_EQ(Links(Document()), 1u);
    EXPECT_EQ(Links(usersCopy), 1u);
    const std::wstring exported = dir.file(L"passport.xml");
    ASSERT_EQ(Agent(L"export " + exported, out), 0u) << out;
    size_t files = 0;
    EXPECT_TRUE(e2e::WellFormedXml(exported, L"SI", &files));
    EXPECT_EQ(files, 1u);
}

// Rewritten or replaced while the service was stopped: the next start does
// not take it (no scan paths until the management sends them again) and the
// journal names the file.
TEST_F(DepotFromOutside, AConfigurationChangedWhileStoppedIsNotTakenAndIsNamed) {
    const std::string other = e2e::Utf8(e2e::ScanConfig(L"<Path>" + otherTree.path() + L"</Path>"));
    for (bool replace : {false, true}) {
        SCOPED_TRACE(replace ? "replaced" : "rewritten");
        std::string out;
        ASSERT_EQ(Push(e2e::ScanConfig(L"<Path>" + tree.path() + L"</Path>"), out), 0u) << out;
        ASSERT_TRUE(Stop(scanService.get()));
        if (replace) {
            ASSERT_TRUE(::DeleteFileW(LastConfig().c_str()));
        }
        vrtest::WriteFileBytes(LastConfig(), other);
        unsigned long long mark = 0;
        Events(0, &mark);
        ASSERT_TRUE(StartScanService());
        ASSERT_EQ(Agent(L"scan --wait", out), 0u) << out;
        const std::string document = vrtest::ReadFileBytes(Document());
        EXPECT_EQ(document.find("two.txt"), std::string::npos) << "the planted configuration was taken";
        std::string journal;
        for (int i = 0; i < 40 && journal.find("SSR_LastConfig.xml") == std::string::npos; ++i) {
            ::Sleep(250);
            journal = Events(mark);
        }
        const size_t at = journal.find("id 0xC000044D");
        ASSERT_NE(at, std::string::npos) << journal;
        EXPECT_NE(journal.find("SSR_LastConfig.xml: does not match the digest recorded when it was accepted", at),
                  std::string::npos) << journal;
    }
}

// Under Wine every link reads as owned by the user who runs the test, never
// by SYSTEM or Administrators: the export is refused with 5 and writes
// nothing behind the link.
TEST_F(DepotFromOutside, AnExportThroughAUsersLinkIsRefused) {
    std::string out;
    ASSERT_EQ(Agent(L"scan --wait", out), 0u) << out;
    vrtest::TempDir protectedDir{L"vre2eprotected"};
    vrtest::WriteFileBytes(protectedDir.file(L"victim.dll"), "MZ original");
    const std::wstring exports = dir.file(L"exports");
    ASSERT_TRUE(vrtest::MakeUnixLink(exports, protectedDir.path()));
    for (const wchar_t* name : {L"victim.dll", L"new.xml"}) {
        EXPECT_NE(Agent(L"export " + exports + L"\\" + name, out), 0u) << out;
        EXPECT_NE(out.find("<ErrorCode>0x80070005</ErrorCode>"), std::string::npos) << out;
        EXPECT_NE(out.find(e2e::Utf8(exports) + " is a link that no administrator made"), std::string::npos) << out;
    }
    EXPECT_EQ(vrtest::ReadFileBytes(protectedDir.file(L"victim.dll")), "MZ original");
    EXPECT_FALSE(vrtest::FileExists(protectedDir.file(L"new.xml")));
    EXPECT_EQ(Agent(L"export " + protectedDir.file(L"copy.xml"), out), 0u) << out;
    ::DeleteFileW(protectedDir.file(L"copy.xml").c_str());
}

// A second name of another file at the target: the export must not write
// the document into the file behind it.
TEST_F(DepotFromOutside, AnExportOntoAUsersHardLinkIsRefused) {
    std::string out;
    ASSERT_EQ(Agent(L"scan --wait", out), 0u) << out;
    vrtest::TempDir protectedDir{L"vre2eprotected"};
    vrtest::WriteFileBytes(protectedDir.file(L"victim.dll"), "MZ original");
    const std::wstring target = dir.file(L"victim.dll");
    ASSERT_TRUE(::CreateHardLinkW(target.c_str(), protectedDir.file(L"victim.dll").c_str(), nullptr));
    EXPECT_NE(Agent(L"export " + target, out), 0u) << out;
    EXPECT_NE(out.find("<ErrorCode>0x80070005</ErrorCode>"), std::string::npos) << out;
    EXPECT_EQ(vrtest::ReadFileBytes(protectedDir.file(L"victim.dll")), "MZ original");
    // A plain file of that name is overwritten as before.
    ASSERT_TRUE(::DeleteFileW(target.c_str()));
    vrtest::WriteFileBytes(target, "old");
    ASSERT_EQ(Agent(L"export " + target, out), 0u) << out;
    EXPECT_TRUE(e2e::WellFormedXml(target, L"SI"));
}

TEST_F(DepotFromOutside, AConfigurationWithADocumentTypeDeclarationChangesNothing) {
    const std::string stored = vrtest::ReadFileBytes(LastConfig());
    const std::wstring state = e2e::RequestState();
    const std::wstring body = e2e::ScanConfig(L"<Path>&dir;</Path>");
    const std::wstring withDtd = L"<!DOCTYPE ROZEDURI [<!ENTITY dir \"" + otherTree.path() + L"\">]>" + body;
    std::string out;
    EXPECT_EQ(Push(withDtd, out), 1u) << out;
    EXPECT_NE(out.find("(0xE6240001)"), std::string::npos) << out;
    EXPECT_TRUE(vrtest::ReadFileBytes(LastConfig()) == stored);
    EXPECT_EQ(e2e::RequestState(), state);
    ASSERT_EQ(Agent(L"scan --wait", out), 0u) << out;
    EXPECT_EQ(vrtest::ReadFileBytes(Document()).find("two.txt"), std::string::npos);
}

} // namespace
