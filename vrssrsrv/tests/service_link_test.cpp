// The service's link through a real core: configuration, scans, state and
// export sent by the management's sender, events read from the core's
// journal, the computer record and the effective policy.
#include "policy_helper.h"
#include "ssr_full_config.h"
#include "schedule_test_support.h"
#include "scan_test_support.h"
#include "ssr_actions.h"
#include "ssr_comp_info.h"
#include "ssr_communication.h"
#include "ssr_msg_sender.h"

#include "core_test_support.h"
#include "core_wire.h"
#include "journal_format.h"
#include "sid_helpers.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <regex>
#include <thread>

namespace {

using scantest::MakeDir;
using scantest::MakeFile;

constexpr DWORD kStarted = 0x44C, kComplete = 0x44E, kError = 0xC000044D, kSaved = 0x451;

const wchar_t kAllEvents[] =
    L"<EventRegistration><Event name=\"EID_SP_SES_BUILD_STARTED\" enabled=\"true\"/>"
    L"<Event name=\"EID_SP_SES_BUILD_COMPLETE\" enabled=\"1\"/><Event name=\"EID_SP_SES_BUILD_ERROR\" enabled=\"yes\"/>"
    L"<Event name=\"EID_SP_SES_SAVED\" enabled=\"true\"/></EventRegistration>";

class Link : public schedtest::StoreFixture {
protected:
    coretest::CoreConfig config;
    coretest::CoreProcess core;
    std::wstring tree;

    void SetUp() override {
        StoreFixture::SetUp();
        tree = dir.file(L"tree");
        core.Start();
        CSSRCommunication::instance().initialize();
        ASSERT_TRUE(schedtest::WaitUntil([] { return CSSRCommunication::instance().is_connected(); }));
    }
    void TearDown() override {
        CSSRCommunication::instance().stop();
        StoreFixture::TearDown();
    }

    std::wstring Config(const std::wstring& paths, const std::wstring& events = kAllEvents) {
        schedtest::ConfigDoc doc;
        doc.paths = L"<Paths all=\"false\">" + paths + L"</Paths>";
        doc.exclusions = L"<ExcludePaths enable=\"true\"><Path>" + tree + L"\\skip</Path></ExcludePaths>";
        doc.extensions = L"<Extensions all=\"false\"><Ext>exe</Ext><Ext>.DLL</Ext></Extensions>";
        doc.events = events;
        return doc.text();
    }
    // The policy section the policy component serves, under the core's key,
    // which the test's core configuration removes.
    static void ServePolicy(const std::wstring& policy) {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, vrcc::kPolicyKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                    nullptr),
                  0);
        ::RegSetValueExW(key, L"ROZEDURI", 0, REG_SZ, reinterpret_cast<const BYTE*>(policy.c_str()),
                         static_cast<DWORD>((policy.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
    }
    std::wstring Status() {
        std::wsmatch m;
        std::wstring state = ssr_request_state();
        std::regex_search(state, m, std::wregex(LR"(<Status>([A-Za-z]+)</Status>)"));
        return m.size() > 1 ? m[1].str() : state;
    }
    bool WaitStatus(const wchar_t* status) {
        return schedtest::WaitUntil([&] { return Status() == status; }, 30000);
    }
    std::vector<vrcc::JournalRecord> Events() {
        std::vector<vrcc::JournalRecord> records;
        for (const std::string& line : vrtest::SplitLines(vrtest::ReadFileBytes(config.JournalPath()))) {
            vrcc::JournalRecord r;
            if (vrcc::ParseJournalLine(line, r) && r.source == L"ROZEDURI") records.push_back(r);
        }
        return records;
    }
    std::vector<vrcc::JournalRecord> EventsWithId(DWORD id) {
        std::vector<vrcc::JournalRecord> out;
        for (auto& r : Events())
            if (r.eventId == id) out.push_back(r);
        return out;
    }
    std::wstring ExportParams(const std::wstring& path, const wchar_t* action = L"None") {
        return L"<ExportParams><Path>" + path + L"</Path><PostAction>" + action + L"</PostAction></ExportParams>";
    }
    std::wstring SesPath() { return dir.path() + L"\\ssr_depot\\SSR_LastSoftState.xml"; }
    // A completed scan of a tree of one file, its task joined.
    void ScanOneFile() {
        MakeDir(tree);
        MakeFile(tree + L"\\a.exe", "MZ");
        ssr_send_full_config(Config(L"<Path>" + tree + L"</Path>"));
        ASSERT_EQ(ssr_request_scan(), 0u);
        ASSERT_TRUE(WaitStatus(L"Complete"));
        schedtest::ReapPoolTasks();
    }
};

TEST_F(Link, ScanThroughTheCoreGivesOneDocumentItsEventsAndTheComputerRecord) {
    MakeDir(tree);
    MakeDir(tree + L"\\sub");
    MakeDir(tree + L"\\skip");
    for (int i = 0; i < 150; ++i) MakeFile(tree + L"\\sub\\f" + std::to_wstring(i) + L".dll", std::string(i, 'x'));
    MakeFile(tree + L"\\a.exe", "MZ");
    MakeFile(tree + L"\\notes.txt", "text");
    MakeFile(tree + L"\\skip\\hidden.exe", "MZ");
    std::string ctl;
    ASSERT_EQ(coretest::RunCaptured(L"vrcc-ctl.exe", L"computer set SerialNumber SN-42", ctl), 0u) << ctl;

    ssr_send_full_config(Config(L"<Path>" + tree + L"</Path>"));
    EXPECT_EQ(vrtest::ReadFileBytes(ConfigPath()), vrcc::ToUtf8(Config(L"<Path>" + tree + L"</Path>")));
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { ssr_request_export(ExportParams(dir.file(L"out.xml"))); }),
              static_cast<DWORD>(ERROR_NOT_READY));

    std::vector<std::wstring> states;
    set_agent_notification_observer([&](const wchar_t*) {
        CSSRStateLocker lock;
        if (states.empty() || states.back() != CSSRState::instance().get_status())
            states.push_back(CSSRState::instance().get_status());
    });
    {
        // Both requests are queued while the state is held, so the second
        // scan finds the first in progress.
        CSSRStateLocker hold;
        EXPECT_EQ(ssr_request_scan(), 0u);
        EXPECT_EQ(ssr_request_scan(), 0u);
        ::Sleep(200);
    }
    ASSERT_TRUE(WaitStatus(L"Complete"));
    schedtest::ReapPoolTasks();
    set_agent_notification_observer(nullptr);
    EXPECT_EQ(states, (std::vector<std::wstring>{L"InProgress", L"Complete"}));

    const std::wstring out = dir.file(L"out.xml");
    const std::wstring uniqueId = ssr_request_export(ExportParams(out));
    ASSERT_EQ(uniqueId.size(), 36u);
    const std::string doc = vrtest::ReadFileBytes(out);
    EXPECT_NE(doc.find(vrcc::ToUtf8(L"<UniqueId>" + uniqueId + L"</UniqueId>")), std::string::npos) << doc.substr(0, 400);
    EXPECT_NE(doc.find("SN-42"), std::string::npos);
    EXPECT_NE(doc.find("a.exe"), std::string::npos);
    EXPECT_NE(doc.find("f149.dll"), std::string::npos) << doc;
    EXPECT_EQ(doc.find("notes.txt"), std::string::npos);
    EXPECT_EQ(doc.find("hidden.exe"), std::string::npos);
    EXPECT_TRUE(vrtest::FileExists(SesPath()));

    auto started = EventsWithId(kStarted);
    auto complete = EventsWithId(kComplete);
    auto saved = EventsWithId(kSaved);
    ASSERT_EQ(started.size(), 1u);
    ASSERT_EQ(complete.size(), 1u);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_TRUE(EventsWithId(kError).empty());
    EXPECT_EQ(started[0].strings, (std::vector<std::wstring>{uniqueId, L"%%100"}));
    EXPECT_EQ(started[0].type, 0);
    EXPECT_EQ(started[0].category, 1);
    EXPECT_EQ(started[0].categoryName, L"RarudodaVaridide");
    EXPECT_EQ(started[0].sid, coretest::CurrentUserSid());
    EXPECT_EQ(complete[0].strings, std::vector<std::wstring>{uniqueId});
    EXPECT_EQ(saved[0].strings, std::vector<std::wstring>{uniqueId});

    // The record's names are exact, the local three are not.
    EXPECT_EQ(get_comp_info(L"SerialNumber"), L"SN-42");
    EXPECT_EQ(vrtest::ErrorCodeOf([] { get_comp_info(L"serialnumber"); }), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(vrtest::ErrorCodeOf([] { get_comp_info(L"Owner"); }), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(get_comp_info(L"operatingsystem").empty());
}

TEST_F(Link, FailuresOfFilesTargetsAndExportsAreReportedAndChangeNothingElse) {
    MakeDir(tree);
    MakeFile(tree + L"\\ok.exe", "MZ");
    MakeFile(tree + L"\\locked.exe", "MZ data");
    VrBase::unique_hfile writer(::CreateFileW((tree + L"\\locked.exe").c_str(), GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);

    // Only targets that do not exist: an empty document, and an error event
    // for each, so that a folder gone does not pass for an empty one.
    ssr_send_full_config(Config(L"<Path>" + tree + L"\\missing</Path>"));
    ASSERT_EQ(ssr_request_scan(), 0u);
    ASSERT_TRUE(WaitStatus(L"Complete"));
    EXPECT_NE(vrtest::ReadFileBytes(SesPath()).find("<Software></Software>"), std::string::npos);
    auto errors = EventsWithId(kError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].strings, (std::vector<std::wstring>{EventsWithId(kStarted).back().strings[0], L"%%103",
                                                             tree + L"\\missing", L"%%106"}));

    // A file held for writing stays without a checksum and gives one event.
    ssr_send_full_config(Config(L"<Path>" + tree + L"</Path>"));
    ASSERT_EQ(ssr_request_scan(), 0u);
    ASSERT_TRUE(schedtest::WaitUntil([&] { return EventsWithId(kComplete).size() == 2; }, 30000));
    ASSERT_TRUE(WaitStatus(L"Complete"));
    errors = EventsWithId(kError);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[1].type, 1);
    ASSERT_EQ(errors[1].strings.size(), 4u);
    EXPECT_EQ(errors[1].strings[1], L"%%104");
    EXPECT_EQ(errors[1].strings[2], tree + L"\\locked.exe");
    EXPECT_EQ(errors[1].strings[3], L"%%106");
    EXPECT_EQ(errors[1].strings[0], EventsWithId(kStarted).back().strings[0]);

    // A document that cannot be written: one general save error, state None.
    MakeDir(SesPath() + L".partial");
    ASSERT_EQ(ssr_request_scan(), 0u);
    ASSERT_TRUE(schedtest::WaitUntil([&] { return EventsWithId(kComplete).size() == 3; }, 30000));
    ASSERT_TRUE(WaitStatus(L"None"));
    errors = EventsWithId(kError);
    ASSERT_EQ(errors.size(), 4u);  // the held file again, then the save
    EXPECT_EQ(errors[3].strings, (std::vector<std::wstring>{EventsWithId(kStarted).back().strings[0], L"%%105",
                                                             L"N/A", L"%%107"}));
    EXPECT_FALSE(vrtest::FileExists(SesPath()));
    ::RemoveDirectoryW((SesPath() + L".partial").c_str());
    writer.reset();
    ASSERT_EQ(ssr_request_scan(), 0u);
    ASSERT_TRUE(schedtest::WaitUntil([&] { return EventsWithId(kComplete).size() == 4; }, 30000));
    ASSERT_TRUE(WaitStatus(L"Complete"));
    EXPECT_EQ(EventsWithId(kError).size(), 4u);

    // Parameters that do not load: the XML error, the depot untouched.
    const std::string before = vrtest::ReadFileBytes(SesPath());
    DWORD bad = vrtest::ErrorCodeOf([&] { ssr_request_export(L"<ExportParams><Path>"); });
    EXPECT_NE(bad, 0u);
    EXPECT_NE(bad, static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(vrtest::ReadFileBytes(SesPath()), before);

    // Without EID_SP_SES_SAVED registered an export writes no event; the
    // post action is read without regard to case.
    ssr_send_full_config(Config(L"<Path>" + tree + L"</Path>",
                                L"<EventRegistration><Event name=\"EID_SP_SES_BUILD_STARTED\" enabled=\"true\"/>"
                                L"</EventRegistration>"));
    const std::wstring id = ssr_request_export(ExportParams(dir.file(L"out.xml"), L"deleteinternalses"));
    EXPECT_EQ(id.size(), 36u);
    EXPECT_TRUE(EventsWithId(kSaved).empty());
    EXPECT_FALSE(vrtest::FileExists(SesPath()));
    EXPECT_EQ(Status(), L"None");
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { ssr_request_export(ExportParams(dir.file(L"out2.xml"))); }),
              static_cast<DWORD>(ERROR_NOT_READY));
}

// An export that deletes the depot's copy holds the state from its check
// to setting "None": a scan start cannot slip in between and be marked
// "None" while it runs.
TEST_F(Link, AnExportWithDeleteHoldsTheStateUntilItHasSetIt) {
    ASSERT_NO_FATAL_FAILURE(ScanOneFile());

    auto depot = std::make_unique<CSSRDiskDepotLocker>();
    std::wstring exported;
    std::thread exporter([&] { exported = ssr_request_export(ExportParams(dir.file(L"out.xml"), L"DeleteInternalSES")); });
    ::Sleep(500);  // the export holds the state and waits for the depot
    std::atomic<bool> marked{false};
    std::thread scanStart([&] {
        CSSRStateLocker state;
        CSSRState::instance().set_scan_state(kStatusInProgress, SES_SOURCE_ADMIN);
        marked = true;
    });
    ::Sleep(300);
    EXPECT_FALSE(marked.load()) << "a scan start got between the export's check and its state change";
    depot.reset();
    exporter.join();
    scanStart.join();
    EXPECT_EQ(exported.size(), 36u);
    EXPECT_EQ(Status(), L"InProgress");
    CSSRStateLocker state;
    CSSRState::instance().set_scan_state(kStatusNone, SES_SOURCE_SERVICE);
}

TEST_F(Link, AnAbortedScanLeavesNoDocumentAndTheStateNone) {
    ASSERT_NO_FATAL_FAILURE(ScanOneFile());
    ASSERT_TRUE(vrtest::FileExists(SesPath()));

    // The stop comes as soon as the scan marks itself in progress.
    VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    set_agent_notification_observer([&](const wchar_t*) {
        CSSRStateLocker lock;
        if (CSSRState::instance().is_scan_in_progress()) ::SetEvent(abort.get());
    });
    std::vector<BYTE> request = build_scan_request(SES_SOURCE_POLICY, get_current_user_sid());
    software_scan(abort.get(), request.data());
    set_agent_notification_observer(nullptr);

    EXPECT_EQ(Status(), L"None");
    EXPECT_FALSE(vrtest::FileExists(SesPath()));
    auto started = EventsWithId(kStarted);
    auto complete = EventsWithId(kComplete);
    ASSERT_EQ(started.size(), 2u);
    ASSERT_EQ(complete.size(), 2u);
    EXPECT_EQ(started[1].strings[1], L"%%101");
    EXPECT_EQ(complete[1].strings[0], started[1].strings[0]);
    EXPECT_TRUE(EventsWithId(kError).empty());
}

TEST_F(Link, ACoreThatGoesAwayIsWaitedForAndServedAgain) {
    EXPECT_EQ(Status(), L"None");
    core.Kill();
    EXPECT_NE(vrtest::ErrorCodeOf([] { ssr_request_state(); }), 0u);
    ASSERT_TRUE(schedtest::WaitUntil([] { return !CSSRCommunication::instance().is_connected(); }));
    core.Start();
    ASSERT_TRUE(schedtest::WaitUntil([] { return CSSRCommunication::instance().is_connected(); }));
    EXPECT_EQ(Status(), L"None");
}

TEST_F(Link, ThePolicyIsAppliedOnceWhenThePolicyComponentServes) {
    CSSRCommunication::instance().stop();
    core.Kill();
    const std::wstring policy = Config(L"<Path>" + tree + L"</Path>");
    ServePolicy(policy);

    InitEffectivePolicyLoading();
    ::Sleep(4000);  // a poll or more against no core: 1715, nothing applied
    EXPECT_FALSE(vrtest::FileExists(ConfigPath()));
    core.Start();
    ASSERT_TRUE(schedtest::WaitUntil([&] { return vrtest::FileExists(ConfigPath()); }, 10000));
    ::Sleep(3500);  // the task has ended: no second application
    EXPECT_EQ(vrtest::ReadFileBytes(ConfigPath()), vrcc::ToUtf8(policy));
    std::lock_guard<std::mutex> lock(notificationMutex);
    EXPECT_EQ(std::count(notifications.begin(), notifications.end(), std::wstring(L"full")), 1L);
    {
        CSSROpSettingsLocker settings;
        EXPECT_EQ(CSSROpSettings::instance().get_scan_paths().count(tree), 1u);
    }
}

} // namespace

namespace {

// A policy whose scan entries can only fail, served at start-up, is refused
// like a configuration message: the stored configuration stays in force
// and on disk, and the refusal is traced as an error.
TEST_F(Link, ARefusedPolicyLeavesThePreviousSettingsInForce) {
    vrtest::TraceToFolder trace(dir.path());
    MakeDir(tree);
    accept_full_config(Config(L"<Path>" + tree + L"</Path>"));
    const std::string stored = vrtest::ReadFileBytes(ConfigPath());

    schedtest::ConfigDoc bad;
    bad.paths = L"<Paths all=\"false\"><Path>" + tree + L"</Path></Paths>";
    bad.exclusions = L"<ExcludePaths enable=\"true\"><Path/></ExcludePaths>";
    const std::wstring policy = bad.text();
    ServePolicy(policy);

    InitEffectivePolicyLoading();
    const std::regex refused("wait_PMC_and_load_policy");
    ASSERT_TRUE(schedtest::WaitUntil(
        [&] { return std::regex_search(trace.Read(L"VrSSRSrvTests"), refused); }, 15000))
        << "the policy task ends with the refusal";
    const std::string log = trace.Read(L"VrSSRSrvTests");
    EXPECT_NE(log.find("configuration entry ExcludePaths/Path <> (0 characters) can never be scanned"),
              std::string::npos) << log.substr(0, 3000);
    EXPECT_EQ(vrtest::ReadFileBytes(ConfigPath()), stored);
    CSSROpSettingsLocker settings;
    EXPECT_EQ(CSSROpSettings::instance().get_scan_paths(), PathSet{tree});
    EXPECT_EQ(CSSROpSettings::instance().get_scan_exclusions(), PathSet{tree + L"\\skip"});
    std::lock_guard<std::mutex> lock(notificationMutex);
    EXPECT_EQ(std::count(notifications.begin(), notifications.end(), std::wstring(L"full")), 1L);
}

} // namespace
