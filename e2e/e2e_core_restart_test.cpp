// The core service stopped, and killed, under a running scan service:
// requests fail with a clear code meanwhile and are served again once the
// core is back.
#include "e2e_support.h"

#include "ssr_msg_sender.h"

#include <cstdio>

namespace {

using e2e::Element;
using e2e::RequestState;

class CoreRestart : public e2e::ServicesTest {};

TEST_F(CoreRestart, RequestsFailCleanlyWhileTheCoreIsDownAndAreServedAfterwards) {
    vrtest::TempDir tree{L"vre2etree"};
    vrtest::WriteFileBytes(tree.file(L"one.txt"), "one");
    ASSERT_TRUE(StartScanService());
    ASSERT_EQ(vrtest::ErrorCodeOf([&] { ssr_send_full_config(e2e::ScanConfig(L"<Path>" + tree.path() + L"</Path>")); }),
              0u);
    const DWORD pid = ScanPid();

    for (int round = 0; round < 2; ++round) {
        // First a clean stop, then a crash.
        if (round == 0) {
            ASSERT_TRUE(Stop(coreService.get())) << "round " << round;
        } else {
            // A crash in the middle of a longer scan, which goes on without it.
            ASSERT_EQ(vrtest::ErrorCodeOf([&] {
                          ssr_send_full_config(e2e::ScanConfig(L"<Path>C:\\windows\\system32</Path>"));
                      }),
                      0u);
            ASSERT_EQ(ssr_request_scan(), 0u);
            ASSERT_TRUE(e2e::WaitStatus(L"InProgress", 20000));
            SERVICE_STATUS_PROCESS core{};
            DWORD needed = 0;
            ASSERT_TRUE(::QueryServiceStatusEx(coreService.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&core),
                                               sizeof core, &needed));
            ASSERT_TRUE(e2e::KillProcess(core.dwProcessId));
        }
        // Meanwhile: the same clear code, each answer in bounded time.
        for (int i = 0; i < 3; ++i) {
            const ULONGLONG begin = ::GetTickCount64();
            DWORD code = 0;
            RequestState(&code);
            const ULONGLONG took = ::GetTickCount64() - begin;
            EXPECT_EQ(code, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE)) << "round " << round;
            EXPECT_LT(took, 5000u) << "round " << round;
        }
        std::string out;
        EXPECT_EQ(Agent(L"scan", out, 60000), 1u) << out;
        EXPECT_NE(out.find("0x800706ba"), std::string::npos) << out;  // RPC server unavailable
        EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_RUNNING));

        const ULONGLONG down = ::GetTickCount64();
        ASSERT_TRUE(Start(coreService.get())) << "round " << round;
        ASSERT_TRUE(coretest::WaitForCore(20000));
        // The scan service finds the new core by itself.
        ASSERT_TRUE(ServiceSessionOpen(20000)) << "round " << round;
        std::printf("e2e: core restart %d: the scan service served again %llu ms after the core started\n", round,
                    ::GetTickCount64() - down);
        if (round == 1) {
            EXPECT_TRUE(e2e::WaitStatus(L"Complete", 120000));
            size_t files = 0;
            EXPECT_TRUE(e2e::WellFormedXml(Document(), L"SI", &files));
            EXPECT_GT(files, 100u);
        }
        EXPECT_EQ(Agent(L"scan --wait", out), 0u) << out;
        EXPECT_EQ(Element(RequestState(), L"Status"), L"Complete");
    }
    EXPECT_EQ(ScanPid(), pid);
    EXPECT_TRUE(e2e::WellFormedXml(Document()));
    // The export's event reaches the new core's journal.
    const std::wstring exported = dir.file(L"out.xml");
    EXPECT_EQ(vrtest::ErrorCodeOf([&] {
                  ssr_request_export(L"<Export><Path>" + exported + L"</Path><PostAction>Keep</PostAction></Export>");
              }),
              0u);
    EXPECT_NE(Events(0).find("id 0x00000451"), std::string::npos);
}

} // namespace
