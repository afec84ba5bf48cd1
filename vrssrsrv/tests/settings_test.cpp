// The configuration document: its sections as the settings take them, and
// whole documents accepted or refused through the real store.
#include "schedule_test_support.h"
#include "ssr_full_config.h"
#include "path_ops.h"
#include "ssr_service.h"

#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

namespace {

using schedtest::ConfigDoc;

class Settings : public schedtest::StoreFixture {
protected:
    CSSROpSettings& settings = CSSROpSettings::instance();

    void Apply(const std::wstring& text) {
        CSSROpSettingsLocker lock;
        settings.apply_new_settings(text);
    }
    static std::string Utf8(const std::wstring& text) {
        int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
        std::string bytes(n, '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
        return bytes;
    }
};

TEST_F(Settings, SectionsAsTheSettingsTakeThem) {
    ConfigDoc doc;
    doc.paths = L"<Paths all=\"TRUE\"><Path>C:\\A</Path></Paths>";
    doc.exclusions = L"<ExcludePaths enable=\"false\"><Path>C:\\A\\tmp</Path></ExcludePaths>";
    doc.extensions = L"<Extensions all=\"yes\"><Ext>exe</Ext></Extensions>";
    Apply(doc.text());
    EXPECT_EQ(settings.get_scan_paths(), PathSet{kScanAllLocals});
    EXPECT_TRUE(settings.get_scan_exclusions().empty());
    EXPECT_TRUE(settings.get_scan_extensions().empty()) << "every file";

    doc.paths = L"<Paths all=\"0\"><Path>C:\\Data</Path><Path>c:\\DATA</Path><Path/></Paths>";
    doc.exclusions = L"<ExcludePaths enable=\"1\"><Path>C:\\Data\\tmp</Path></ExcludePaths>";
    doc.extensions = L"<Extensions all=\"no\"><Ext>EXE</Ext><Ext>exe</Ext><Ext>Dll</Ext></Extensions>";
    doc.events = L"<EventRegistration>"
                 L"<Event name=\"EID_SP_SES_BUILD_STARTED\" enabled=\"true\"/>"
                 L"<Event name=\"EID_SP_SES_SAVED\" enabled=\"0\"/>"
                 L"<Event name=\"EID_SP_SES_BUILD_ERROR\" enabled=\"2 of them\"/>"
                 L"</EventRegistration>";
    Apply(doc.text());
    const PathSet paths = settings.get_scan_paths();
    EXPECT_EQ(paths, (PathSet{L"C:\\Data", L""})) << "letter case makes no second entry";
    EXPECT_EQ(*paths.rbegin(), L"C:\\Data") << "the first spelling stays";
    EXPECT_EQ(settings.get_scan_exclusions(), PathSet{L"C:\\Data\\tmp"});
    const PathSet extensions = settings.get_scan_extensions();
    EXPECT_EQ(extensions.size(), 2u);
    EXPECT_EQ(*extensions.rbegin(), L"EXE");
    EXPECT_TRUE(settings.is_event_registered(L"EID_SP_SES_BUILD_STARTED"));
    EXPECT_TRUE(settings.is_event_registered(L"EID_SP_SES_BUILD_ERROR")) << "a non-zero leading integer is true";
    EXPECT_FALSE(settings.is_event_registered(L"EID_SP_SES_SAVED")) << "enabled=\"0\" is simply off";
    EXPECT_FALSE(settings.is_event_registered(L"EID_SP_SES_BUILD_COMPLETE"));
    EXPECT_FALSE(settings.is_event_registered(L"eid_sp_ses_build_started")) << "event names match exactly";
}

TEST_F(Settings, RefusedDocumentsChangeNothing) {
    // Cyrillic in a path: the stored copy is the received text in UTF-8.
    ConfigDoc accepted;
    accepted.paths = L"<Paths all=\"false\"><Path>C:\\\x0414\x0430\x043D\x043D\x044B\x0435</Path></Paths>";
    accept_full_config(accepted.text());
    const std::string stored = vrtest::ReadFileBytes(ConfigPath());
    EXPECT_EQ(stored, Utf8(accepted.text())) << "stored exactly as received, without byte-order mark";
    {
        std::lock_guard<std::mutex> lock(notificationMutex);
        EXPECT_EQ(std::count(notifications.begin(), notifications.end(), L"full"), 1);
    }

    struct Case {
        const wchar_t* what;
        std::wstring text;
        DWORD code;
    };
    ConfigDoc noEvents, eventWithoutEnabled, noPaths;
    noEvents.events.clear();
    eventWithoutEnabled.events = L"<EventRegistration><Event name=\"EID_SP_SES_SAVED\"/></EventRegistration>";
    noPaths.paths.clear();
    ConfigDoc badSchedule;
    badSchedule.schedule = schedtest::Periodic(L"2026-12-01T00:00:00.000Z", L"0", L"Hours");
    const Case cases[] = {
        {L"no EventRegistration", noEvents.text(), ERROR_PATH_NOT_FOUND},
        {L"Event without enabled", eventWithoutEnabled.text(), ERROR_PATH_NOT_FOUND},
        {L"no Paths", noPaths.text(), ERROR_PATH_NOT_FOUND},
        {L"interval 0", badSchedule.text(), ERROR_INVALID_PARAMETER},
        {L"not well-formed", L"<Root><Settings></Root>", 0xE6240001},
        // A document type declaration could make the parser read a file or a
        // network path as LocalSystem: refused before any parsing.
        {L"document type declaration", L"<!DOCTYPE Root [<!ENTITY p \"C:\\Evil\">]>" + accepted.text(), 0xE6240001},
        {L"external document type", L"<?xml version=\"1.0\"?><!-- c --><!DOCTYPE Root SYSTEM \"\\\\host\\share\\x.dtd\">" +
                                        accepted.text(), 0xE6240001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(vrtest::ErrorCodeOf([&] { accept_full_config(c.text); }), c.code);
        EXPECT_EQ(vrtest::ReadFileBytes(ConfigPath()), stored);
        EXPECT_EQ(settings.get_scan_paths(), PathSet{L"C:\\\x0414\x0430\x043D\x043D\x044B\x0435"});
        EXPECT_TRUE(settings.is_event_registered(L"EID_SP_SES_BUILD_STARTED"));
        EXPECT_FALSE(settings.is_event_registered(L"EID_SP_SES_SAVED"));
    }
    std::lock_guard<std::mutex> lock(notificationMutex);
    EXPECT_EQ(std::count(notifications.begin(), notifications.end(), L"full"), 1) << "no notice for a refusal";
}

// Entries that would make every scan fail at its target check (and so
// leave the computer without a document) are refused at once, with the
// entry named; entries the scan never reads stay accepted. The scan's own
// check raises on every refused document: the two cannot disagree.
TEST_F(Settings, ScanEntriesThatCanOnlyFailAreRefused) {
    vrtest::TraceToFolder trace(dir.path());
    ConfigDoc accepted;
    accept_full_config(accepted.text());
    const std::string stored = vrtest::ReadFileBytes(ConfigPath());

    const std::wstring tooLong(kMaxPathChars + 1, L'x');
    struct Case {
        const wchar_t* what;
        std::wstring paths, exclusions;
        const char* traced;
    };
    const Case refused[] = {
        {L"empty exclusion", accepted.paths, L"<ExcludePaths enable=\"true\"><Path>C:\\Data\\tmp</Path><Path/></ExcludePaths>",
         "configuration entry ExcludePaths/Path <> (0 characters) can never be scanned (error 87)"},
        {L"empty scan path", L"<Paths all=\"false\"><Path>C:\\Data</Path><Path></Path></Paths>", accepted.exclusions,
         "configuration entry Paths/Path <> (0 characters) can never be scanned (error 87)"},
        {L"scan path longer than any path", L"<Paths all=\"false\"><Path>C:\\" + tooLong + L"</Path></Paths>",
         accepted.exclusions, "(32771 characters) can never be scanned (error 206)"},
        {L"exclusion longer than any path", accepted.paths,
         L"<ExcludePaths enable=\"1\"><Path>%SystemRoot%\\" + tooLong + L"</Path></ExcludePaths>",
         "configuration entry ExcludePaths/Path <%SystemRoot%\\xxx"},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        ConfigDoc doc;
        doc.paths = c.paths;
        doc.exclusions = c.exclusions;
        EXPECT_EQ(vrtest::ErrorCodeOf([&] { accept_full_config(doc.text()); }), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(vrtest::ReadFileBytes(ConfigPath()), stored) << "the stored document is left as it was";
        EXPECT_EQ(settings.get_scan_paths(), PathSet{L"C:\\Data"});
        EXPECT_EQ(settings.get_scan_exclusions(), PathSet{L"C:\\Data\\tmp"});
        EXPECT_NE(trace.Read(L"VrSSRSrvTests").find(c.traced), std::string::npos) << c.traced;

        PathSet targets = get_scan_paths_wrapper(doc.text()), exclusions = get_scan_exclusions_wrapper(doc.text());
        EXPECT_NE(vrtest::ErrorCodeOf([&] { trg_paths_check_and_adjustment(targets, exclusions); }), 0u)
            << "the scan would fail on it";
    }

    // Read by no scan: paths under all="true", exclusions under enable="false".
    ConfigDoc unread;
    unread.paths = L"<Paths all=\"true\"><Path/><Path>" + tooLong + L"</Path></Paths>";
    unread.exclusions = L"<ExcludePaths enable=\"false\"><Path/></ExcludePaths>";
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { accept_full_config(unread.text()); }), 0u);
    EXPECT_EQ(vrtest::ReadFileBytes(ConfigPath()), Utf8(unread.text()));
    EXPECT_EQ(settings.get_scan_paths(), PathSet{kScanAllLocals});
}

TEST_F(Settings, StartUpTakesTheStoredDocumentOrKeepsTheDefaults) {
    vrtest::TraceToFolder trace(dir.path());
    ssr_op_settings_init();
    EXPECT_TRUE(settings.get_scan_paths().empty()) << "no scan paths until a configuration arrives";
    EXPECT_TRUE(settings.get_scan_exclusions().empty());
    const PathSet extensions = settings.get_scan_extensions();
    EXPECT_EQ(extensions.size(), 23u);
    for (const wchar_t* ext : {L"exe", L"dll", L"sys", L"ps1", L"msu", L"ovl"}) EXPECT_EQ(extensions.count(ext), 1u);
    for (const wchar_t* id : {L"EID_SP_SES_BUILD_STARTED", L"EID_SP_SES_BUILD_ERROR", L"EID_SP_SES_BUILD_COMPLETE",
                              L"EID_SP_SES_SAVED"})
        EXPECT_TRUE(settings.is_event_registered(id)) << id;

    vrtest::WriteFileBytes(ConfigPath(), "<Root><Settings><ScanSetting><Paths all=\"false\">");
    ssr_op_settings_init();
    EXPECT_TRUE(settings.get_scan_paths().empty());
    EXPECT_EQ(settings.get_scan_extensions().size(), 23u);
    EXPECT_NE(trace.Read(L"VrSSRSrvTests").find("report_depot_fault"), std::string::npos)
        << "the damaged copy is traced";

    // Only a document the service accepted itself is taken at the next start;
    // one put there by anyone else is not, and is named.
    ConfigDoc stored;
    stored.schedule = schedtest::Weekly(schedtest::Item(L"Monday", 9, 30));
    vrtest::WriteFileBytes(ConfigPath(), Utf8(stored.text()));
    ssr_op_settings_init();
    EXPECT_TRUE(settings.get_scan_paths().empty());
    EXPECT_NE(trace.Read(L"VrSSRSrvTests").find("SSR_LastConfig.xml> no digest was recorded"), std::string::npos);
    accept_full_config(stored.text());
    settings.reset_for_tests();
    ssr_op_settings_init();
    EXPECT_EQ(settings.get_scan_paths(), PathSet{L"C:\\Data"});
    EXPECT_EQ(settings.get_scan_extensions(), PathSet{L"exe"});
    EXPECT_FALSE(settings.is_event_registered(L"EID_SP_SES_SAVED"));

    // The scheduler's step takes the same stored document.
    ssr_scheduler_init();
    CSSRStateLocker lock;
    EXPECT_NE(CSSRState::instance().get_ssr_state_str().find(L"<ScheduleScan>true</ScheduleScan>"), std::wstring::npos);
}

} // namespace
