// The store: the document, the depot folder, the registry depot and the
// scan state, against Wine's real file system and registry.
#include "agent_mng.h"
#include "ssr_disk_depot.h"
#include "ssr_export_params.h"
#include "ssr_reg_depot.h"
#include "ssr_state.h"

#include "exec/apartment_executor.h"
#include "file_helpers.h"
#include "support/test_support.h"
#include "time_convertions.h"
#include "vrbase/trace.h"
#include "vrbase/trust.h"
#include "vrbase/vr_error.h"
#include "xml_common.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <thread>

namespace {

class Store : public ::testing::Test {
protected:
    vrtest::TempDir dir{L"vrstore"};
    vrtest::EnvScope protection{L"LocalProtectionDir", dir.path() + L"\\"};
    vrtest::RegKeyScope product{L"SOFTWARE\\Calderis\\Varnel Studio"};
    std::vector<std::wstring> notifications;

    void SetUp() override {
        product.SetString(nullptr, L"ProductLocale", L"en-US");
        product.SetString(L"Client\\Local Protection", L"Marker", L"");
        set_agent_notification_observer([this](const wchar_t* what) { notifications.push_back(what); });
        CSSRDiskDepot::instance().ensure_depot();
        CSSRRegDepotLocker lock;
        CSSRRegDepot::instance().prepare();
        CSSRState::instance().reset_for_tests();
    }
    void TearDown() override { set_agent_notification_observer(nullptr); }

    std::wstring Depot(const wchar_t* name) { return dir.path() + L"\\ssr_depot\\" + name; }
    void SetTimes(const wchar_t* start, const wchar_t* end, const wchar_t* real) {
        const wchar_t* key = L"Client\\Local Protection\\SSR";
        product.SetString(key, L"LastScanStartTime", start);
        product.SetString(key, L"LastScanEndTime", end);
        product.SetString(key, L"RealLastScanEndTime", real);
    }
    std::wstring RegValue(const wchar_t* name) {
        wchar_t buf[64] = {};
        DWORD size = sizeof(buf);
        ::RegGetValueW(HKEY_LOCAL_MACHINE, kSsrKey, name, RRF_RT_REG_SZ, nullptr, buf, &size);
        return buf;
    }
};

FileObjectMap SampleFiles() {
    _SSR_FILE_OBJECT_INFO a;
    a.description = L"Tools <&> more";
    a.type = L"Application";
    a.size = 12345678901ull;
    a.change_time = L"2026-12-07T03:24:52.000Z";
    a.checksum = std::wstring(64, L'A');
    return {{L"C:\\Windows\\notepad.exe", a}, {L"C:\\windows\\b.dll", {}}, {L"C:\\Windows\\Z.txt", {}}};
}

TEST_F(Store, DocumentLayoutTypesOrderAndEscaping) {
    {
        CSSRDiskDepotLocker lock;
        CSSRDiskDepot::instance().save_software_state(L"11111111-2222-3333-4444-555555555555", SampleFiles());
        EXPECT_EQ(CSSRDiskDepot::instance().get_last_ses_unique_id(), L"11111111-2222-3333-4444-555555555555");
    }
    EXPECT_FALSE(vrtest::FileExists(Depot(L"SSR_LastSoftState.xml.partial")));
    std::string bytes = vrtest::ReadFileBytes(Depot(L"SSR_LastSoftState.xml"));
    ASSERT_GT(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 4), "\xEF\xBB\xBF<") << "one UTF-8 byte-order mark, then the declaration";
    std::wstring text(bytes.begin(), bytes.end());  // ASCII content here

    exec::run_in_sta([&] {
        // Read back by the DOM parser, not the writer's own library.
        Xml::CDocument doc;
        std::wstring utf16;
        int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + 3, static_cast<int>(bytes.size() - 3), nullptr, 0);
        utf16.resize(n);
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + 3, static_cast<int>(bytes.size() - 3), &utf16[0], n);
        size_t decl = utf16.find(L"?>");
        ASSERT_EQ(LoadXml4mWstring(doc, utf16.substr(decl + 2)), S_OK);
        Xml::CElement root = doc.GetRoot();
        EXPECT_EQ(root.Lookup(L"./UniqueId").GetValue<std::wstring>(), L"11111111-2222-3333-4444-555555555555");
        EXPECT_EQ(root.Lookup(L"./DateGenerated").GetValue<std::wstring>().size(), 24u);
        EXPECT_EQ(root.Lookup(L"./SID").GetValue<std::wstring>().rfind(L"S-1-5-21-", 0), 0u);
        auto computer = root.Lookup(L"./Computer").SelectNodes(L"./*");
        std::vector<std::wstring> names;
        for (Xml::CElement e; computer.Next(e);) {
            Com::CBstr name;
            e.node()->get_nodeName(name.put());
            names.push_back(name.str());
        }
        EXPECT_EQ(names, (std::vector<std::wstring>{L"SerialNumber", L"Type", L"ResponsibleEmployee", L"Department",
                                                     L"NetworkName", L"NetworkAddress", L"AutomationSystem",
                                                     L"OperatingSystem", L"DBMS", L"Location"}));
        EXPECT_FALSE(root.Lookup(L"./Computer/OperatingSystem").GetValue<std::wstring>().empty());

        const std::vector<std::pair<std::wstring, std::wstring>> children = {
            {L"P", L"string"},  {L"N", L"string"},  {L"D", L"string"}, {L"T", L"string"},
            {L"V", L"string"},  {L"MN", L"string"}, {L"PN", L"string"}, {L"PV", L"string"},
            {L"S", L"i8"},      {L"CD", L"dateTime.tz"}, {L"CS", L"string"}};
        auto items = root.SelectNodes(L"./Software/SI");
        std::vector<std::wstring> order;
        for (Xml::CElement si; items.Next(si);) {
            auto kids = si.SelectNodes(L"./*");
            size_t i = 0;
            for (Xml::CElement kid; kids.Next(kid); ++i) {
                ASSERT_LT(i, children.size());
                Com::CBstr name;
                kid.node()->get_nodeName(name.put());
                EXPECT_EQ(name.str(), children[i].first);
                EXPECT_EQ(kid._GetAttribute(L"dt:dt"), children[i].second);
            }
            EXPECT_EQ(i, children.size());
            order.push_back(si.Lookup(L"./P").GetValue<std::wstring>() + L"\\" + si.Lookup(L"./N").GetValue<std::wstring>());
        }
        // Code-unit order: "W" (upper case) before "w".
        EXPECT_EQ(order, (std::vector<std::wstring>{L"C:\\Windows\\Z.txt", L"C:\\Windows\\notepad.exe", L"C:\\windows\\b.dll"}));
        Xml::CElement first = root.Lookup(L"./Software/SI[N='notepad.exe']");
        EXPECT_EQ(first.Lookup(L"./D").GetValue<std::wstring>(), L"Tools <&> more");
        EXPECT_EQ(first.Lookup(L"./S").GetValue<std::wstring>(), L"12345678901");
        EXPECT_EQ(first.Lookup(L"./CD").GetValue<std::wstring>(), L"2026-12-07T03:24:52.000Z");
    });
    EXPECT_NE(text.find(L"xmlns:dt=\"urn:schemas-microsoft-com:datatypes\""), std::wstring::npos);
}

// The document as the DOM parser reads it: (name, version) of every entry.
std::map<std::wstring, std::wstring> NamesAndVersions(const std::string& bytes) {
    std::map<std::wstring, std::wstring> found;
    exec::run_in_sta([&] {
        std::wstring utf16(bytes.size(), L'\0');
        int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + 3, static_cast<int>(bytes.size() - 3), &utf16[0],
                                      static_cast<int>(utf16.size()));
        utf16.resize(static_cast<size_t>(n));
        Xml::CDocument doc;
        ASSERT_EQ(LoadXml4mWstring(doc, utf16.substr(utf16.find(L"?>") + 2)), S_OK);
        auto items = doc.GetRoot().SelectNodes(L"./Software/SI");
        for (Xml::CElement si; items.Next(si);)
            found[si.Lookup(L"./N").GetValue<std::wstring>()] = si.Lookup(L"./V").GetValue<std::wstring>();
    });
    return found;
}

// A character that XML cannot carry, in a file name or a version string,
// never stops the document: each such code unit becomes U+FFFD, the entry
// stays, and every changed value is traced once.
TEST_F(Store, ForbiddenCharactersNeverStopTheDocument) {
    vrtest::TraceToFolder trace(dir.path());
    const std::vector<std::wstring> kinds = {L"\xFFFE", L"\xFFFF", L"\x0001", L"\x000B",
                                             L"\xD800", L"\xDC00", L"\xDC00\xD800"};
    FileObjectMap files;
    std::map<std::wstring, std::wstring> expected;
    for (size_t i = 0; i < kinds.size(); ++i) {
        const std::wstring name = L"f" + std::to_wstring(i) + kinds[i] + L".exe";
        _SSR_FILE_OBJECT_INFO info;
        info.file_version = L"1.0" + kinds[i] + L"beta";
        files.emplace(L"C:\\Odd\\" + name, info);
        const std::wstring replacement(kinds[i].size(), L'\xFFFD');
        expected[L"f" + std::to_wstring(i) + replacement + L".exe"] = L"1.0" + replacement + L"beta";
    }
    _SSR_FILE_OBJECT_INFO fine;  // a pair beyond the basic plane and a tab are text
    fine.file_version = L"2.0\t\xD83D\xDE00";
    files.emplace(L"C:\\Odd\\smile\xD83D\xDE00.exe", fine);
    expected[L"smile\xD83D\xDE00.exe"] = fine.file_version;
    {
        CSSRDiskDepotLocker lock;
        CSSRDiskDepot::instance().save_software_state(L"ODD", files);
    }
    EXPECT_EQ(NamesAndVersions(vrtest::ReadFileBytes(Depot(L"SSR_LastSoftState.xml"))), expected);

    size_t warnings = 0;
    for (const std::string& line : vrtest::SplitLines(trace.Read(L"VrSSRSrvTests")))
        if (line.find("W> CXmlLiteWriter ") == 0 && line.find("XML cannot carry") != std::string::npos) ++warnings;
    EXPECT_EQ(warnings, 2 * kinds.size()) << "one line per changed value";
}

// The file reaches its name only after its data was flushed through a
// handle of its own: a file that cannot be opened for that stays where it is.
TEST(StoreFiles, NothingIsMovedIntoPlaceUnflushed) {
    vrtest::TempDir dir;
    const std::wstring written = dir.file(L"doc.partial"), target = dir.file(L"doc.xml");
    vrtest::WriteFileBytes(written, "whole");
    vrtest::WriteFileBytes(target, "old");
    {
        VrBase::unique_hfile holder(::CreateFileW(written.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        EXPECT_EQ(vrtest::ErrorCodeOf([&] { commit_file(written, target); }), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(vrtest::ReadFileBytes(target), "old");
    }
    commit_file(written, target);
    EXPECT_EQ(vrtest::ReadFileBytes(target), "whole");
    EXPECT_FALSE(vrtest::FileExists(written));
}

TEST_F(Store, EmptyMapAndNoDocument) {
    CSSRDiskDepotLocker lock;
    EXPECT_EQ(CSSRDiskDepot::instance().get_last_ses_unique_id(), L"") << "no document, no error";
    CSSRDiskDepot::instance().save_software_state(L"ID", FileObjectMap());
    std::string bytes = vrtest::ReadFileBytes(Depot(L"SSR_LastSoftState.xml"));
    EXPECT_NE(bytes.find("<Software></Software>"), std::string::npos) << bytes;
    CSSRDiskDepot::instance().delete_soft_state();
    EXPECT_EQ(CSSRDiskDepot::instance().get_last_ses_unique_id(), L"");
    CSSRDiskDepot::instance().delete_soft_state();  // nothing there: not an error
}

// A service's inherited folder gives way to the machine's value as the
// machine spells it (expanded), and to nothing the machine cannot name: an
// empty value, or one naming an unknown variable, leaves it as it was and
// never stops the start-up.
TEST_F(Store, TheMachineProtectionFolderReplacesTheInheritedOne) {
    const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
    const std::wstring inherited = CSSRDiskDepot::instance().depot_folder();
    const auto setMachine = [&](const std::wstring& value) {
        return std::make_unique<vrtest::RegValueScope>(key, L"LocalProtectionDir", REG_EXPAND_SZ, value.c_str(),
                                                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    for (const wchar_t* unusable : {L"", L"%VR_NO_SUCH_VARIABLE%\\"}) {
        const auto machine = setMachine(unusable);
        EXPECT_NO_THROW(adopt_machine_protection_dir()) << L"value <" << unusable << L">";
        EXPECT_EQ(CSSRDiskDepot::instance().depot_folder(), inherited);
    }
    vrtest::EnvScope root{L"VR_DEPOT_ROOT", dir.path()};
    const auto machine = setMachine(L"%VR_DEPOT_ROOT%\\machine\\");
    adopt_machine_protection_dir();
    EXPECT_EQ(CSSRDiskDepot::instance().depot_folder(), dir.path() + L"\\machine\\ssr_depot");
}

TEST_F(Store, FailedSaveLeavesNoDocumentAndStartUpClearsLeftovers) {
    CSSRDiskDepotLocker lock;
    CSSRDiskDepot::instance().save_software_state(L"OLD", FileObjectMap());
    // The document's name taken by a folder: the move into place fails
    // after every entry was written.
    const std::wstring doc = Depot(L"SSR_LastSoftState.xml");
    ASSERT_TRUE(::DeleteFileW(doc.c_str()));
    ASSERT_TRUE(::CreateDirectoryW(doc.c_str(), nullptr));
    EXPECT_THROW(CSSRDiskDepot::instance().save_software_state(L"NEW", SampleFiles()), VrBase::CVrError);
    EXPECT_FALSE(vrtest::FileExists(Depot(L"SSR_LastSoftState.xml.partial")));
    ::RemoveDirectoryW(doc.c_str());

    vrtest::WriteFileBytes(Depot(L"SSR_LastSoftState.xml.partial"), "<RarudodaVaridide><UniqueId>X");
    CSSRDiskDepot::instance().ensure_depot();
    EXPECT_FALSE(vrtest::FileExists(Depot(L"SSR_LastSoftState.xml.partial")));
}

TEST_F(Store, ExportCopiesOverwritesAndDeletesOnRequest) {
    CSSRDiskDepotLocker lock;
    CSSRDiskDepot& depot = CSSRDiskDepot::instance();
    try {
        depot.export_ss(dir.file(L"out.xml"), false);
        FAIL();
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), 2u) << "no document to export";
    }
    depot.save_software_state(L"EXPORTED-ID", FileObjectMap());
    vrtest::WriteFileBytes(dir.file(L"out.xml"), "old");
    EXPECT_EQ(depot.export_ss(dir.file(L"out.xml"), false), L"EXPORTED-ID");
    EXPECT_EQ(vrtest::ReadFileBytes(dir.file(L"out.xml")), vrtest::ReadFileBytes(Depot(L"SSR_LastSoftState.xml")));
    // Never into the depot itself, however its path is spelled: the copy
    // would overwrite the stored configuration.
    vrtest::WriteFileBytes(Depot(L"SSR_LastConfig.xml"), "<config/>");
    for (const std::wstring& target : {Depot(L"SSR_LastConfig.xml"), Depot(L"..\\SSR_DEPOT\\ssr_lastconfig.xml"),
                                       Depot(L"new.xml"), Depot(L"SSR_LastSoftState.xml")}) {
        try {
            depot.export_ss(target, true);
            ADD_FAILURE() << "exported into the depot";
        } catch (VrBase::CVrError& e) {
            EXPECT_EQ(e.GetCode(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        }
    }
    EXPECT_EQ(vrtest::ReadFileBytes(Depot(L"SSR_LastConfig.xml")), "<config/>");
    EXPECT_FALSE(vrtest::FileExists(Depot(L"new.xml")));
    EXPECT_TRUE(vrtest::FileExists(Depot(L"SSR_LastSoftState.xml")));
    EXPECT_EQ(depot.export_ss(dir.file(L"out2.xml"), true), L"EXPORTED-ID");
    EXPECT_FALSE(vrtest::FileExists(Depot(L"SSR_LastSoftState.xml")));
    EXPECT_TRUE(vrtest::FileExists(dir.file(L"out2.xml")));
}

// The post action is matched without regard to case; anything else keeps
// the depot's copy.
TEST_F(Store, ExportParametersDecideTheDepotCopy) {
    bool deleteAfter = false;
    std::wstring path;
    ASSERT_EQ(read_export_params(L"<Export><Path>" + dir.file(L"e.xml") + L"</Path><PostAction>deleteINTERNALses</PostAction></Export>",
                                 deleteAfter, path),
              S_OK);
    EXPECT_TRUE(deleteAfter);
    EXPECT_EQ(path, dir.file(L"e.xml"));
    {
        CSSRDiskDepotLocker lock;
        CSSRDiskDepot::instance().save_software_state(L"ID-1", FileObjectMap());
        EXPECT_EQ(CSSRDiskDepot::instance().export_ss(path, deleteAfter), L"ID-1");
        EXPECT_FALSE(vrtest::FileExists(Depot(L"SSR_LastSoftState.xml")));
    }
    for (const wchar_t* action : {L"Keep", L""}) {
        ASSERT_EQ(read_export_params(std::wstring(L"<Export><Path>x</Path><PostAction>") + action + L"</PostAction></Export>",
                                     deleteAfter, path),
                  S_OK);
        EXPECT_FALSE(deleteAfter);
    }
    EXPECT_EQ(read_export_params(L"<Export><PostAction>Keep</PostAction></Export>", deleteAfter, path),
              HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(read_export_params(L"<Export>", deleteAfter, path), static_cast<HRESULT>(0xE6240001));
}

TEST_F(Store, LastConfigRoundTripAndSecondStart) {
    CSSRDiskDepotLocker lock;
    CSSRDiskDepot& depot = CSSRDiskDepot::instance();
    std::wstring text;
    EXPECT_FALSE(depot.load_last_config(text));
    const std::wstring config = L"<Settings>\r\n<Path>C:\\\x0414\x0430\x043D\x043D\x044B\x0435</Path></Settings>";
    depot.save_last_config(config);
    ASSERT_TRUE(depot.load_last_config(text));
    EXPECT_EQ(text, L"<Settings><Path>C:\\\x0414\x0430\x043D\x043D\x044B\x0435</Path></Settings>") << "lines joined";
    std::string bytes = vrtest::ReadFileBytes(Depot(L"SSR_LastConfig.xml"));
    EXPECT_NE(bytes.substr(0, 3), "\xEF\xBB\xBF") << "no byte-order mark";
    // A second start leaves the folder and its files alone.
    depot.ensure_depot();
    EXPECT_TRUE(depot.load_last_config(text));
}

// While the configuration is replaced, its name always shows a whole file,
// the old text or the new one: a crash at any moment keeps one of them. A
// watcher reads the size under the name (without opening the file, so it
// never gets in the writer's way) as fast as it can.
TEST_F(Store, ConfigurationNameNeverShowsACutFile) {
    CSSRDiskDepot& depot = CSSRDiskDepot::instance();
    const std::wstring texts[] = {L"<Settings>" + std::wstring(1u << 20, L'a') + L"</Settings>",
                                  L"<Settings>" + std::wstring(3u << 20, L'b') + L"</Settings>"};
    const std::set<ULONGLONG> whole = {texts[0].size(), texts[1].size()};  // ASCII: one byte a character
    {
        CSSRDiskDepotLocker lock;
        depot.save_last_config(texts[0]);
    }
    const std::wstring path = Depot(L"SSR_LastConfig.xml");
    std::atomic<bool> done{false};
    std::set<ULONGLONG> seen;
    std::thread watcher([&] {
        while (!done) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
                seen.insert((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
        }
    });
    for (int i = 1; i <= 12; ++i) {
        CSSRDiskDepotLocker lock;
        depot.save_last_config(texts[i % 2]);
    }
    done = true;
    watcher.join();
    for (ULONGLONG size : seen) EXPECT_EQ(whole.count(size), 1u) << "a cut file of " << size << " bytes";
    EXPECT_FALSE(vrtest::FileExists(Depot(L"SSR_LastConfig.xml.partial")));
}

void ExpectAdminOwnedFourEntries(const std::vector<BYTE>& sd) {
    PSECURITY_DESCRIPTOR p = const_cast<BYTE*>(sd.data());
    ASSERT_TRUE(::IsValidSecurityDescriptor(p));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(p, &control, &revision);
    EXPECT_TRUE(control & SE_SELF_RELATIVE);
    EXPECT_FALSE(control & SE_OWNER_DEFAULTED);
    EXPECT_FALSE(control & SE_DACL_DEFAULTED);
    PSID owner = nullptr, group = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    ::GetSecurityDescriptorOwner(p, &owner, &defaulted);
    EXPECT_TRUE(::IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
    ::GetSecurityDescriptorGroup(p, &group, &defaulted);
    EXPECT_EQ(group, nullptr);
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(p, &present, &dacl, &defaulted);
    ASSERT_TRUE(present && dacl);
    ASSERT_EQ(dacl->AceCount, 4);
    const WELL_KNOWN_SID_TYPE who[] = {WinLocalSystemSid, WinAuthenticatedUserSid, WinBuiltinUsersSid,
                                       WinBuiltinAdministratorsSid};
    const ACCESS_MASK what[] = {GENERIC_ALL, GENERIC_READ, GENERIC_READ, GENERIC_ALL};
    for (DWORD i = 0; i < 4; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ::GetAce(dacl, i, reinterpret_cast<void**>(&ace));
        EXPECT_EQ(ace->Header.AceFlags, 0);
        EXPECT_EQ(ace->Mask, what[i]);
        EXPECT_TRUE(::IsWellKnownSid(reinterpret_cast<PSID>(&ace->SidStart), who[i])) << i;
    }
}

// Wine ignores descriptors when it creates folders and keys: the
// descriptors themselves are what is checked. The depot's is protected, so
// what the parent lets users do never reaches it, and passes on its entries.
TEST(StoreSecurity, DepotAndKeyDescriptors) {
    std::vector<BYTE> depot = create_depot_security();
    EXPECT_TRUE(VrBase::Trust::DescriptorIsSound(depot.data()));
    wchar_t* sddl = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        depot.data(), SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &sddl, nullptr));
    VrBase::unique_hlocal owned(sddl);
    EXPECT_STREQ(sddl, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;AU)(A;OICI;0x1200a9;;;BU)(A;OICI;FA;;;BA)");
    ExpectAdminOwnedFourEntries(create_regdepot_security());
}

// A user's file hard-linked under the names the service writes: the service
// writes a file of its own and the user's copy keeps what the user put in.
TEST_F(Store, PlantedLinksNeverReceiveWhatTheServiceWrites) {
    const std::wstring userFile = dir.file(L"users-own.xml");
    vrtest::WriteFileBytes(userFile, "USER");
    CSSRDiskDepotLocker lock;
    CSSRDiskDepot& depot = CSSRDiskDepot::instance();
    for (const wchar_t* planted : {L"SSR_LastSoftState.xml.partial", L"SSR_LastConfig.xml.partial"}) {
        ASSERT_TRUE(::CreateHardLinkW(Depot(planted).c_str(), userFile.c_str(), nullptr)) << ::GetLastError();
    }
    depot.save_software_state(L"OWN-DOCUMENT", SampleFiles());
    depot.save_last_config(L"<Settings/>");
    EXPECT_EQ(vrtest::ReadFileBytes(userFile), "USER");
    for (const wchar_t* written : {L"SSR_LastSoftState.xml", L"SSR_LastConfig.xml"}) {
        VrBase::unique_hfile file(::CreateFileW(Depot(written).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        ASSERT_TRUE(file && ::GetFileInformationByHandle(file.get(), &info));
        EXPECT_EQ(info.nNumberOfLinks, 1u) << written;
    }
    EXPECT_EQ(depot.export_ss(dir.file(L"out.xml"), false), L"OWN-DOCUMENT");

    // A leftover that cannot be deleted (held open without delete sharing)
    // stops the save; it is never opened and written.
    vrtest::WriteFileBytes(Depot(L"SSR_LastConfig.xml.partial"), "HELD");
    {
        VrBase::unique_hfile holder(::CreateFileW(Depot(L"SSR_LastConfig.xml.partial").c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                  nullptr));
        ASSERT_TRUE(holder);
        EXPECT_NE(vrtest::ErrorCodeOf([&] { depot.save_last_config(L"<Settings><New/></Settings>"); }), 0u);
    }
    EXPECT_EQ(vrtest::ReadFileBytes(Depot(L"SSR_LastConfig.xml.partial")), "HELD");
    std::wstring text;
    ASSERT_TRUE(depot.load_last_config(text));
    EXPECT_EQ(text, L"<Settings/>");
    // The refused save leaves nothing a file of its text could match later.
    vrtest::WriteFileBytes(Depot(L"SSR_LastConfig.xml"), "<Settings><New/></Settings>");
    EXPECT_FALSE(depot.load_last_config(text));
}

// The stored document is checked through the handle it is copied from: a
// second name that someone else could change it through refuses the export.
TEST_F(Store, ExportRefusesADocumentWithASecondName) {
    vrtest::TraceToFolder trace(dir.path());
    CSSRDiskDepotLocker lock;
    CSSRDiskDepot& depot = CSSRDiskDepot::instance();
    depot.save_software_state(L"LINKED", FileObjectMap());
    ASSERT_TRUE(::CreateHardLinkW(dir.file(L"users-name.xml").c_str(), Depot(L"SSR_LastSoftState.xml").c_str(), nullptr));
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { depot.export_ss(dir.file(L"out.xml"), true); }), DWORD(ERROR_FILE_CORRUPT));
    EXPECT_FALSE(vrtest::FileExists(dir.file(L"out.xml")));
    EXPECT_TRUE(vrtest::FileExists(Depot(L"SSR_LastSoftState.xml"))) << "kept for whoever looks into it";
    const std::string log = trace.Read(L"VrSSRSrvTests");
    EXPECT_NE(log.find("SSR_LastSoftState.xml> has more than one name (hard link); not used"), std::string::npos) << log;
}

// Folders a user made into links: the export names the link and writes
// nothing anywhere.
TEST_F(Store, ExportNeverWritesThroughAUsersLink) {
    CSSRDiskDepotLocker lock;
    CSSRDiskDepot& depot = CSSRDiskDepot::instance();
    depot.save_software_state(L"ID", FileObjectMap());
    const std::wstring protectedDir = dir.file(L"protected"), exports = dir.file(L"exports");
    ASSERT_TRUE(::CreateDirectoryW(protectedDir.c_str(), nullptr));
    vrtest::WriteFileBytes(protectedDir + L"\\victim.dll", "MZ original");
    ASSERT_TRUE(vrtest::MakeUnixLink(exports, protectedDir));
    for (const std::wstring& target : {exports + L"\\victim.dll", exports + L"\\new.xml"}) {
        try {
            depot.export_ss(target, true);
            ADD_FAILURE() << "exported through the link";
        } catch (VrBase::CVrError& e) {
            EXPECT_EQ(e.GetCode(), DWORD(ERROR_ACCESS_DENIED));
            ASSERT_NE(e.Field(L"Path"), nullptr);
            EXPECT_EQ(std::wstring(e.Field(L"Path")), exports);
        }
    }
    EXPECT_EQ(vrtest::ReadFileBytes(protectedDir + L"\\victim.dll"), "MZ original");
    EXPECT_FALSE(vrtest::FileExists(protectedDir + L"\\new.xml"));
    EXPECT_TRUE(vrtest::FileExists(Depot(L"SSR_LastSoftState.xml")));
    EXPECT_EQ(depot.export_ss(protectedDir + L"\\copy.xml", false), L"ID") << "the real folder is fine";

    // A link named like a real folder with a trailing dot: the dot is
    // dropped when the path is made whole, so the folder written into is the
    // folder checked, never the link.
    const std::wstring real = dir.file(L"real");
    ASSERT_TRUE(::CreateDirectoryW(real.c_str(), nullptr));
    ASSERT_TRUE(vrtest::MakeUnixLink(L"\\\\?\\" + real + L".", protectedDir));
    EXPECT_EQ(depot.export_ss(real + L".\\dotted.dll", false), L"ID");
    EXPECT_FALSE(vrtest::FileExists(protectedDir + L"\\dotted.dll"));
    EXPECT_TRUE(vrtest::FileExists(real + L"\\dotted.dll"));

    // Paths that are not whole are refused, never taken from the current folder.
    for (const wchar_t* relative : {L"relative.xml", L"\\rooted.xml", L"C:drive.xml"})
        EXPECT_EQ(vrtest::ErrorCodeOf([&] { depot.export_ss(relative, false); }), DWORD(ERROR_INVALID_NAME))
            << relative;
}

// The stored configuration is used only when it matches the digest recorded
// when it was accepted; both edges of recording it are decided here.
TEST_F(Store, StoredConfigurationMustMatchItsRecordedDigest) {
    vrtest::TraceToFolder trace(dir.path());
    CSSRDiskDepotLocker lock;
    CSSRDiskDepot& depot = CSSRDiskDepot::instance();
    const std::wstring accepted = L"<Settings><Paths all=\"false\"/></Settings>";
    const std::string acceptedBytes(accepted.begin(), accepted.end());
    depot.save_last_config(accepted);
    std::wstring text;
    ASSERT_TRUE(depot.load_last_config(text));
    const std::wstring file = Depot(L"SSR_LastConfig.xml");

    // Rewritten in place, and replaced by another file: neither is used.
    vrtest::WriteFileBytes(file, "<Settings><Paths all=\"true\"/></Settings>");
    EXPECT_FALSE(depot.load_last_config(text));
    ASSERT_TRUE(::DeleteFileW(file.c_str()));
    vrtest::WriteFileBytes(file, "<Settings/>");
    EXPECT_FALSE(depot.load_last_config(text));
    std::string log = trace.Read(L"VrSSRSrvTests");
    EXPECT_NE(log.find("SSR_LastConfig.xml> does not match the digest recorded when it was accepted; not used"),
              std::string::npos) << log;
    // The accepted bytes again are the accepted configuration.
    vrtest::WriteFileBytes(file, acceptedBytes);
    ASSERT_TRUE(depot.load_last_config(text));
    EXPECT_EQ(text, accepted);

    // A crash after the new file was moved in, before its digest became the
    // accepted one: the pending digest is accepted and recorded.
    const std::wstring next = L"<Settings><Next/></Settings>";
    {
        CSSRRegDepotLocker reg;
        CSSRRegDepot::instance().write_config_digest(true, config_digest(utf8_bytes(next)));
    }
    vrtest::WriteFileBytes(file, utf8_bytes(next));
    ASSERT_TRUE(depot.load_last_config(text));
    EXPECT_EQ(text, next);
    {
        CSSRRegDepotLocker reg;
        EXPECT_EQ(CSSRRegDepot::instance().read_config_digest(false), config_digest(utf8_bytes(next)));
    }
    EXPECT_FALSE(CSSRRegDepot::value_exists(kSsrKey, L"PendingConfigDigest"));
    // A crash before the move: the old file still matches the accepted one.
    {
        CSSRRegDepotLocker reg;
        CSSRRegDepot::instance().write_config_digest(true, config_digest("<Settings><Never/></Settings>"));
    }
    ASSERT_TRUE(depot.load_last_config(text));
    EXPECT_EQ(text, next);
    // That save is over: the file it never put in place is not taken later.
    vrtest::WriteFileBytes(file, "<Settings><Never/></Settings>");
    EXPECT_FALSE(depot.load_last_config(text));
    vrtest::WriteFileBytes(file, utf8_bytes(next));

    // A configuration stored before digests were kept has none: it cannot be
    // told from one a user planted in the old, open folder, and is not used.
    ASSERT_EQ(::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSsrKey, L"LastConfigDigest"), ERROR_SUCCESS);
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSsrKey, L"PendingConfigDigest");
    EXPECT_FALSE(depot.load_last_config(text));
    log = trace.Read(L"VrSSRSrvTests");
    EXPECT_NE(log.find("SSR_LastConfig.xml> no digest was recorded when it was accepted; not used"), std::string::npos);
    // The next accepted configuration records its digest again.
    depot.save_last_config(accepted);
    EXPECT_TRUE(depot.load_last_config(text));
}

TEST_F(Store, EndWithoutStartIsCorruptionAndRealEndIsKept) {
    SetTimes(L"", L"2026-12-01T10:00:00.000Z", L"2026-11-30T09:00:00.000Z");
    CSSRStateLocker lock;
    CSSRState::instance().initialize();
    EXPECT_EQ(CSSRState::instance().get_status(), L"None");
    EXPECT_EQ(RegValue(L"LastScanStartTime"), L"1601-01-01T00:00:00.000Z");
    EXPECT_EQ(RegValue(L"LastScanEndTime"), L"1601-01-01T00:00:00.000Z");
    EXPECT_EQ(RegValue(L"RealLastScanEndTime"), L"2026-11-30T09:00:00.000Z");
    EXPECT_EQ(convert_time_to_iso_str(CSSRState::instance().get_real_last_scan_end_time()), L"2026-11-30T09:00:00.000Z");
}

TEST_F(Store, MalformedStartMakesEverythingEmpty) {
    SetTimes(L"yesterday", L"2026-12-01T10:00:00.000Z", L"2026-12-01T10:00:00.000Z");
    CSSRStateLocker lock;
    CSSRState::instance().initialize();
    EXPECT_EQ(CSSRState::instance().get_status(), L"None");
    EXPECT_TRUE(is_empty_system_time(CSSRState::instance().get_real_last_scan_end_time()));
    EXPECT_EQ(RegValue(L"LastScanStartTime"), L"1601-01-01T00:00:00.000Z");
}

TEST_F(Store, CompletedScanComesBackCompleteAndRunningOneAsNone) {
    SetTimes(L"2026-12-01T09:00:00.000Z", L"2026-12-01T10:00:00.000Z", L"");
    CSSRStateLocker lock;
    CSSRState::instance().initialize();
    EXPECT_EQ(CSSRState::instance().get_status(), L"Complete");
    EXPECT_EQ(RegValue(L"RealLastScanEndTime"), L"2026-12-01T10:00:00.000Z");

    // Interrupted: started, never ended. After a restart: None, start kept.
    SetTimes(L"2026-12-02T09:00:00.000Z", L"", L"2026-12-01T10:00:00.000Z");
    CSSRState::instance().reset_for_tests();
    CSSRState::instance().initialize();
    EXPECT_EQ(CSSRState::instance().get_status(), L"None");
    EXPECT_EQ(RegValue(L"LastScanStartTime"), L"2026-12-02T09:00:00.000Z");
    std::wstring reply = CSSRState::instance().get_ssr_state_str();
    EXPECT_NE(reply.find(L"<LastScanStartTime>2026-12-02T09:00:00.000Z</LastScanStartTime>"), std::wstring::npos)
        << std::string(reply.begin(), reply.end());
}

TEST_F(Store, TransitionsRepliesAndNotifications) {
    CSSRStateLocker lock;
    CSSRState& state = CSSRState::instance();
    state.initialize();
    notifications.clear();

    state.set_scan_state(L"InProgress", SES_SOURCE_POLICY);
    EXPECT_TRUE(state.is_scan_in_progress());
    std::wstring reply = state.get_ssr_state_str();
    EXPECT_EQ(reply.rfind(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>", 0), 0u);
    EXPECT_NE(reply.find(L"<InProgress>Policy</InProgress>"), std::wstring::npos);
    EXPECT_TRUE(reply.find(L"<LastScanEndTime></LastScanEndTime>") != std::wstring::npos ||
                reply.find(L"<LastScanEndTime/>") != std::wstring::npos);
    EXPECT_NE(reply.find(L"<UniqueId"), std::wstring::npos);
    EXPECT_NE(reply.find(L"<ScheduleScan>false</ScheduleScan>"), std::wstring::npos);

    state.set_scan_state(L"Complete", SES_SOURCE_SERVICE);
    state.set_scan_state(L"Complete", SES_SOURCE_SERVICE);
    EXPECT_EQ(notifications.size(), 2u) << "InProgress once, Complete once";
    const std::wstring realEnd = RegValue(L"RealLastScanEndTime");
    EXPECT_NE(realEnd, L"");
    EXPECT_EQ(state.get_ssr_state_str().find(L"<InProgress>"), std::wstring::npos);

    state.set_scan_state(L"InProgress", SES_SOURCE_ADMIN);
    EXPECT_EQ(RegValue(L"RealLastScanEndTime"), realEnd) << "kept while the next scan runs";
    EXPECT_EQ(RegValue(L"LastScanEndTime"), L"1601-01-01T00:00:00.000Z");
    EXPECT_NE(state.get_ssr_state_str().find(L"<InProgress>Admin</InProgress>"), std::wstring::npos);

    EXPECT_THROW(state.set_scan_state(L"Paused", 0), VrBase::CVrError);
    EXPECT_THROW(state.set_scan_state(L"InProgress", SES_SOURCE_SERVICE), VrBase::CVrError);
    state.set_scheduler_state(true);
    state.set_scheduler_state(true);
    EXPECT_EQ(notifications.size(), 4u) << "the schedule flag notifies on change only";
}

} // namespace
