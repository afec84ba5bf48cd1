// The service stopping while it works, and a start-up that fails midway:
// what the tasks it started still owe, and what they may no longer do.
#include "policy_helper.h"
#include "schedule_test_support.h"
#include "scan_test_support.h"
#include "ssr_communication.h"
#include "ssr_msg_sender.h"
#include "ssr_service.h"
#include "ssr_service_status.h"
#include "sid_helpers.h"
#include "vrbase/scope.h"
#include "vrbase/vr_error.h"

#include "core_test_support.h"
#include "journal_format.h"

#include <gtest/gtest.h>

namespace {

using scantest::MakeDir;
using scantest::MakeFile;

// The pool is torn down by each test; it takes tasks again afterwards.
class ServiceStop : public schedtest::StoreFixture {
protected:
    void TearDown() override {
        CWrkThreadPool::instance().reactivate_for_tests();
        StoreFixture::TearDown();
    }
    size_t RunningTasks() {
        VrBase::unique_handle event = create_task_stop_event();
        CWrkThreadPoolLocker lock;
        // Ended tasks are reaped when the next one is submitted.
        if (!CWrkThreadPool::instance().run_thread([](HANDLE, void*) {}, event.get(), nullptr, 0)) return 0;
        ::Sleep(200);
        CWrkThreadPool::instance().run_thread([](HANDLE, void*) {}, event.get(), nullptr, 0);
        return CWrkThreadPool::instance().task_count_for_tests() - 1;
    }
};

// As the control handler and the service thread do it: the shut-down task
// on the pool, the teardown here. The aborted scan still writes its finish
// event, and a scan asked for meanwhile is refused, not reported started.
TEST_F(ServiceStop, AStopDuringAScanWritesItsFinishEventAndRefusesNewScans) {
    coretest::CoreConfig config;
    coretest::CoreProcess core;
    core.Start();
    CSSRCommunication::instance().initialize();
    ASSERT_TRUE(schedtest::WaitUntil([] { return CSSRCommunication::instance().is_connected(); }));
    const std::wstring tree = dir.file(L"tree");
    MakeDir(tree);
    for (int i = 0; i < 3000; ++i) MakeFile(tree + L"\\f" + std::to_wstring(i) + L".exe", std::string(8192, 'x'));
    schedtest::ConfigDoc doc;
    doc.paths = L"<Paths all=\"false\"><Path>" + tree + L"</Path></Paths>";
    doc.events = L"<EventRegistration><Event name=\"EID_SP_SES_BUILD_STARTED\" enabled=\"true\"/>"
                 L"<Event name=\"EID_SP_SES_BUILD_COMPLETE\" enabled=\"true\"/>"
                 L"<Event name=\"EID_SP_SES_BUILD_ERROR\" enabled=\"true\"/></EventRegistration>";
    ssr_send_full_config(doc.text());
    auto events = [&](DWORD id) {
        size_t n = 0;
        for (const std::string& line : vrtest::SplitLines(vrtest::ReadFileBytes(config.JournalPath()))) {
            vrcc::JournalRecord r;
            if (vrcc::ParseJournalLine(line, r) && r.source == L"ROZEDURI" && r.eventId == id) ++n;
        }
        return n;
    };
    ASSERT_EQ(ssr_request_scan(), 0u);
    ASSERT_TRUE(schedtest::WaitUntil([&] { return events(0x44C) == 1; }, 30000));
    {
        CSSRStateLocker lock;
        ASSERT_TRUE(CSSRState::instance().is_scan_in_progress()) << "the scan ended before the stop";
    }

    VrBase::unique_handle taskEvent = create_task_stop_event();
    {
        CWrkThreadPoolLocker pool;
        ASSERT_TRUE(CWrkThreadPool::instance().run_thread(&StopServiceWorkingThread, taskEvent.get(), nullptr, 0));
    }
    ASSERT_TRUE(stop_thread_pool_working());
    EXPECT_NE(CSSRCommunication::instance().start_software_scan(get_current_user_sid()), 0u);
    release_core_link();
    {
        CSSRStateLocker lock;
        EXPECT_EQ(CSSRState::instance().get_status(), L"None");
    }
    EXPECT_EQ(events(0x44E), 1u) << "the aborted scan's finish event";
    EXPECT_EQ(events(0xC000044D), 0u);
}

// The online marker's name taken by an object of another kind: the last
// start-up step fails, and no task the earlier steps started outlives the
// STOPPED report.
// The last step fails (a name held by another account no longer fails it).
TEST_F(ServiceStop, AFailedStartUpLeavesNoTaskRunning) {
    void (*original)() = replace_startup_step_for_tests(L"ServiceInfoObjsInit", [] {
        VR_RAISE(ERROR_NOT_ENOUGH_MEMORY, L"ServiceInfoObjsInit");
    });
    ASSERT_NE(original, nullptr);
    VrBase::scope_exit restore([&] { replace_startup_step_for_tests(L"ServiceInfoObjsInit", original); });
    DWORD lastState = 0, exitCode = 0;
    CServiceStatus::instance().set_observer([&](const SERVICE_STATUS& s) {
        lastState = s.dwCurrentState;
        exitCode = s.dwWin32ExitCode;
    });
    run_service_body();
    CServiceStatus::instance().set_observer(nullptr);
    ASSERT_EQ(lastState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_NE(exitCode, 0u);
    CWrkThreadPool::instance().reactivate_for_tests();
    EXPECT_EQ(RunningTasks(), 0u);
    EXPECT_FALSE(CSSRCommunication::instance().is_connected());
}

// No policy component answers; a stop ends the poll within one wait.
TEST_F(ServiceStop, AStopDuringThePolicyPollEndsItWithinOneWait) {
    InitEffectivePolicyLoading();
    ::Sleep(4000);  // at least one poll has found nobody serving
    const ULONGLONG begin = ::GetTickCount64();
    ASSERT_TRUE(stop_thread_pool_working());
    EXPECT_LT(::GetTickCount64() - begin, 10000u) << "the poll did not end at the stop";
    EXPECT_FALSE(vrtest::FileExists(ConfigPath()));
}

} // namespace
