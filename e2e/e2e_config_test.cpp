// Configuration documents pushed through vragent and the proxy: the faulty
// ones turned away with nothing changed, a good one kept across a restart
// and its schedule followed.
#include "e2e_support.h"

#include "ssr_msg_sender.h"

#include <cstdio>

namespace {

using e2e::Element;
using e2e::RequestState;

class ConfigurationFromOutside : public e2e::ServicesTest {
protected:
    vrtest::TempDir tree{L"vre2etree"};
    // The faulty documents name another folder, so that a document applied
    // in part shows in what the next scan covers.
    vrtest::TempDir otherTree{L"vre2eother"};

    void SetUp() override {
        e2e::ServicesTest::SetUp();
        if (HasFatalFailure()) return;
        vrtest::WriteFileBytes(tree.file(L"one.txt"), "one");
        vrtest::WriteFileBytes(otherTree.file(L"two.txt"), "two");
        vrtest::WriteFileBytes(otherTree.file(L"three.txt"), "three");
        std::string out;
        ASSERT_EQ(Agent(L"activate", out), 0u) << out;
        ASSERT_TRUE(ServiceSessionOpen(20000));
    }
    std::wstring Folder() const { return L"<Path>" + tree.path() + L"</Path>"; }
    std::wstring OtherFolder() const { return L"<Path>" + otherTree.path() + L"</Path>"; }
    // A configured folder that is not there: reported by every scan.
    std::wstring Gone() const { return tree.path() + L"\\gone"; }

    // Pushes the document through vragent; its exit code, output in out.
    DWORD Push(const std::wstring& document, std::string& out) {
        const std::wstring file = dir.file(L"settings.xml");
        vrtest::WriteFileBytes(file, e2e::Utf8(document));
        return Agent(L"config " + file, out);
    }
};

TEST_F(ConfigurationFromOutside, EveryMalformedDocumentIsRefusedWithItsCodeAndChangesNothing) {
    std::string out;
    ASSERT_EQ(Push(e2e::ScanConfig(Folder() + L"<Path>" + Gone() + L"</Path>"), out), 0u) << out;
    ASSERT_EQ(Agent(L"scan --wait", out), 0u) << out;
    const std::string stored = vrtest::ReadFileBytes(LastConfig());
    const std::wstring state = RequestState();
    ASSERT_FALSE(stored.empty());
    ASSERT_EQ(Element(state, L"Status"), L"Complete");

    // The configuration in force registers the four events; the faulty ones
    // only the save of a document, which no scan writes.
    const std::wstring paths = L"<Paths all=\"false\">" + OtherFolder() + L"</Paths>";
    const std::wstring scan = L"<ScanSetting>" + paths +
                              L"<ExcludePaths enable=\"false\"/><Extensions all=\"true\"/></ScanSetting>";
    const std::wstring events = L"<EventRegistration><Event name=\"EID_SP_SES_SAVED\" enabled=\"true\"/></EventRegistration>";
    auto settings = [](const std::wstring& inner) { return L"<ROZEDURI><Settings>" + inner + L"</Settings></ROZEDURI>"; };
    auto periodic = [&](const std::wstring& attributes) {
        return settings(scan + L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"Periodic\"><Periodic " +
                        attributes + L"/></Schedule></ScheduleScan>" + events);
    };
    const std::wstring noSchedule = L"<ScheduleScan enabled=\"false\"/>";
    const char* const kInvalid = "(0x80070057)";   // invalid parameter
    const char* const kMissing = "(0x80070003)";   // a required element or attribute missing
    const char* const kNotXml = "(0xE6240001)";    // the text does not parse
    struct Case {
        const char* what;
        std::wstring document;
        const char* code;
    };
    const Case cases[] = {
        {"not well-formed", settings(scan + noSchedule + events).substr(10), kNotXml},
        {"unclosed root", L"<ROZEDURI><Settings>" + scan, kNotXml},
        {"empty document", L"", kNotXml},
        {"ScheduleScan missing", settings(scan + events), kInvalid},
        {"ScanSetting missing", settings(noSchedule + events), kMissing},
        {"Paths missing", settings(L"<ScanSetting><ExcludePaths enable=\"false\"/><Extensions all=\"true\"/></ScanSetting>" +
                                   noSchedule + events), kMissing},
        {"Paths without all", settings(L"<ScanSetting><Paths>" + OtherFolder() +
                                       L"</Paths><ExcludePaths enable=\"false\"/><Extensions all=\"true\"/></ScanSetting>" +
                                       noSchedule + events), kMissing},
        {"Extensions missing", settings(L"<ScanSetting>" + paths + L"<ExcludePaths enable=\"false\"/></ScanSetting>" +
                                        noSchedule + events), kMissing},
        {"EventRegistration missing", settings(scan + noSchedule), kMissing},
        {"empty exclusion entry", settings(L"<ScanSetting>" + paths + L"<ExcludePaths enable=\"true\"><Path/></ExcludePaths>"
                                           L"<Extensions all=\"true\"/></ScanSetting>" + noSchedule + events), kInvalid},
        {"empty scan path", settings(L"<ScanSetting><Paths all=\"false\"><Path/>" + OtherFolder() +
                                     L"</Paths><ExcludePaths enable=\"false\"/><Extensions all=\"true\"/></ScanSetting>" +
                                     noSchedule + events), kInvalid},
        {"Event without enabled", settings(scan + noSchedule +
                                           L"<EventRegistration><Event name=\"EID_SP_SES_SAVED\"/></EventRegistration>"),
         kMissing},
        {"enabled schedule without Schedule", settings(scan + L"<ScheduleScan enabled=\"true\"/>" + events), kInvalid},
        {"enabled schedule of type None",
         settings(scan + L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"none\"/></ScheduleScan>" + events), kInvalid},
        {"unknown schedule type",
         settings(scan + L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"Monthly\"/></ScheduleScan>" + events),
         kInvalid},
        {"Periodic element missing",
         settings(scan + L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"Periodic\"/></ScheduleScan>" + events),
         kInvalid},
        {"zero interval", periodic(L"startDate=\"2020-01-01T00:00:00.000Z\" interval=\"0\" intervalScale=\"Minutes\""), kInvalid},
        {"unknown scale", periodic(L"startDate=\"2020-01-01T00:00:00.000Z\" interval=\"1\" intervalScale=\"Weeks\""), kInvalid},
        {"malformed start date", periodic(L"startDate=\"2020-01-01T00:00\" interval=\"1\" intervalScale=\"Minutes\""), kInvalid},
        {"start date missing", periodic(L"interval=\"1\" intervalScale=\"Minutes\""), kInvalid},
        {"unknown weekday",
         settings(scan + L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"Weekly\"><Week>"
                         L"<Item day=\"Funday\" hour=\"1\" minute=\"2\"/></Week></Schedule></ScheduleScan>" + events),
         kInvalid},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Push(c.document, out), 1u) << c.what << "\n" << out;
        EXPECT_NE(out.find("SetConfiguration failed"), std::string::npos) << c.what << "\n" << out;
        EXPECT_NE(out.find(c.code), std::string::npos) << c.what << ": expected " << c.code << "\n" << out;
        EXPECT_TRUE(vrtest::ReadFileBytes(LastConfig()) == stored) << c.what << ": the stored configuration changed";
        EXPECT_EQ(RequestState(), state) << c.what;
    }
    std::printf("e2e: malformed configurations refused: %zu\n", sizeof cases / sizeof cases[0]);

    // The configuration in force is still the first: a scan finds its one
    // file, not the other folder's two, and its events reach the journal.
    unsigned long long mark = 0;
    Events(0, &mark);
    ASSERT_EQ(Agent(L"scan --wait", out), 0u) << out;
    size_t files = 0;
    EXPECT_TRUE(e2e::WellFormedXml(Document(), L"SI", &files));
    EXPECT_EQ(files, 1u);
    const std::string journal = Events(mark);
    const size_t start = journal.find("id 0x0000044C");
    EXPECT_NE(start, std::string::npos) << journal;
    EXPECT_NE(journal.find("id 0x0000044E", start == std::string::npos ? 0 : start), std::string::npos) << journal;
    // The folder that is gone is said to be, not passed over as empty.
    const size_t error = journal.find("id 0xC000044D", start == std::string::npos ? 0 : start);
    ASSERT_NE(error, std::string::npos) << journal;
    EXPECT_NE(journal.find(e2e::Utf8(Gone()), error), std::string::npos) << journal;
}

TEST_F(ConfigurationFromOutside, AConfigurationOutlivesARestartAndItsScheduleStartsAScan) {
    const std::wstring schedule =
        L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"Periodic\"><Periodic startDate=\"2020-01-01T00:00:00.000Z\" "
        L"interval=\"1\" intervalScale=\"Minutes\"/></Schedule></ScheduleScan>";
    std::string out;
    ASSERT_EQ(Push(e2e::ScanConfig(Folder(), schedule), out), 0u) << out;
    const std::string stored = vrtest::ReadFileBytes(LastConfig());
    ASSERT_EQ(stored, e2e::Utf8(e2e::ScanConfig(Folder(), schedule)));

    ASSERT_TRUE(Stop(scanService.get()));
    unsigned long long mark = 0;
    Events(0, &mark);
    ASSERT_TRUE(StartScanService());
    EXPECT_TRUE(vrtest::ReadFileBytes(LastConfig()) == stored);
    EXPECT_EQ(Element(RequestState(), L"ScheduleScan"), L"true");

    // The scheduler starts a scan by itself (source Policy, %%101 in the
    // start event), and the next one a minute after it decided on the first.
    auto policyScanAfter = [&](unsigned long long since, unsigned long long* next, DWORD ms) {
        const ULONGLONG end = ::GetTickCount64() + ms;
        std::string journal;
        do {
            ::Sleep(500);
            unsigned long long after = since;
            journal = Events(since, &after);
            const size_t at = journal.find("id 0x0000044C");
            if (at != std::string::npos && journal.find("[2] %%101", at) != std::string::npos) {
                *next = after;
                return true;
            }
        } while (::GetTickCount64() < end);
        ADD_FAILURE() << "no scan started by the schedule\n" << journal;
        return false;
    };
    const ULONGLONG restarted = ::GetTickCount64();
    ASSERT_TRUE(policyScanAfter(mark, &mark, 75000));
    const ULONGLONG first = ::GetTickCount64();
    ASSERT_TRUE(e2e::WaitStatus(L"Complete", 60000));
    size_t files = 0;
    EXPECT_TRUE(e2e::WellFormedXml(Document(), L"SI", &files));
    EXPECT_EQ(files, 1u);
    ASSERT_TRUE(policyScanAfter(mark, &mark, 90000));
    const ULONGLONG second = ::GetTickCount64();
    std::printf("e2e: scheduled scans started %llu ms after the restart and %llu ms after that\n", first - restarted,
                second - first);
    EXPECT_GE(second - first, 55000u);
    EXPECT_LE(second - first, 70000u);
    std::string deactivated;
    EXPECT_EQ(Agent(L"deactivate", deactivated), 0u) << deactivated;
}

} // namespace
