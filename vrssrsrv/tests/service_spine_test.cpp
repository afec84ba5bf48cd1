// The service's sequence driven in this process, without the SCM: every
// status report is observed in order, together with the tasks' own marks.
#include "agent_mng.h"
#include "ssr_service.h"
#include "ssr_service_status.h"
#include "ssr_wrk_pool.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kEventQueryState = 0x0001;  // EVENT_QUERY_STATE

class Journal {
public:
    void add(std::string entry) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.push_back(std::move(entry));
    }
    std::vector<std::string> entries() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries;
    }
    bool contains(const std::string& entry) {
        auto all = entries();
        return std::find(all.begin(), all.end(), entry) != all.end();
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_entries;
};

std::string Describe(const SERVICE_STATUS& s) {
    static const char* const names[] = {"?", "STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING"};
    return std::string(s.dwCurrentState <= 4 ? names[s.dwCurrentState] : "?") + " " + std::to_string(s.dwCheckPoint) +
           " " + std::to_string(s.dwWaitHint) + " " + std::to_string(s.dwWin32ExitCode);
}

bool WaitFor(Journal& journal, const std::string& entry) {
    for (int i = 0; i < 1000; ++i) {
        if (journal.contains(entry)) return true;
        ::Sleep(10);
    }
    return false;
}

TEST(ServiceSpine, StartRunStopSequenceJoinsTasksBeforeStopped) {
    vrtest::TempDir dir;
    vrtest::EnvScope protection(L"LocalProtectionDir", dir.path() + L"\\");
    vrtest::RegKeyScope product(L"SOFTWARE\\Calderis\\Varnel Studio");
    product.SetString(L"Client\\Local Protection", L"Marker", L"");
    Journal journal;
    CServiceStatus::instance().set_observer([&](const SERVICE_STATUS& s) { journal.add(Describe(s)); });
    set_agent_notification_observer([&](const wchar_t* what) { journal.add(std::string("notify ") + (what[0] == L's' ? "status" : "full")); });
    std::thread service(run_service_body);
    VrBase::scope_exit stopOnFailure([&] {
        if (!service.joinable()) return;
        SSRSrvHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
        service.join();
    });
    ASSERT_TRUE(WaitFor(journal, "RUNNING 0 0 0"));

    // Others may only query it: its entries grant read, which for an event
    // does not include waiting.
    VrBase::unique_handle marker(::OpenEventW(kEventQueryState, FALSE, kSsrOnlineMarkerName));
    EXPECT_TRUE(marker) << "the online marker exists while running: " << ::GetLastError();
    marker.reset();

    // A task that only ends when asked to, and then takes its time.
    VrBase::unique_handle taskEvent = create_task_stop_event();
    {
        CWrkThreadPoolLocker lock;
        ASSERT_TRUE(CWrkThreadPool::instance().run_thread(
            [&](HANDLE stop, void*) {
                ::WaitForSingleObject(stop, INFINITE);
                ::Sleep(300);
                journal.add("task ended");
            },
            taskEvent.get(), nullptr, 0));
    }

    EXPECT_EQ(SSRSrvHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    // A second stop while stopping runs the shut-down task again, harmlessly.
    EXPECT_EQ(SSRSrvHandler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    service.join();
    CServiceStatus::instance().set_observer(nullptr);
    set_agent_notification_observer(nullptr);

    auto entries = journal.entries();
    // The agent hears of the start (before the last start-up report) and of
    // each shut-down task.
    auto notified = std::find(entries.begin(), entries.end(), "notify status");
    ASSERT_NE(notified, entries.end());
    EXPECT_EQ(*(notified + 1), "START_PENDING 10 30000 0");
    EXPECT_GE(std::count(entries.begin(), entries.end(), "notify status"), 2);
    entries.erase(std::remove(entries.begin(), entries.end(), "notify status"), entries.end());
    std::vector<std::string> start;
    for (int i = 0; i <= 10; ++i) start.push_back("START_PENDING " + std::to_string(i) + " 30000 0");
    start.push_back("RUNNING 0 0 0");
    ASSERT_GE(entries.size(), start.size() + 3);
    EXPECT_EQ(std::vector<std::string>(entries.begin(), entries.begin() + start.size()), start);
    EXPECT_EQ(entries[start.size()], "STOP_PENDING 100 60000 0");
    EXPECT_TRUE(vrtest::FileExists(dir.file(L"ssr_depot"))) << "the depot was prepared";
    EXPECT_EQ(entries.back(), "STOPPED 0 0 0");
    EXPECT_EQ(entries[entries.size() - 2], "task ended") << "the pool is torn down before STOPPED";
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "STOP_PENDING 100 60000 0"), 2);
    // The service thread's report races the shut-down steps' own reports.
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const std::string& e) {
        return e.size() == 22 && e.compare(0, 14, "STOP_PENDING 1") == 0 && e.compare(16, 6, " 100 0") == 0;
    }));

    EXPECT_FALSE(VrBase::unique_handle(::OpenEventW(kEventQueryState, FALSE, kSsrOnlineMarkerName)))
        << "marker gone after stop";
}

// A start-up step that fails: STOPPED carries the start-up's own code (not
// whatever the tracing left as last error), and RUNNING is never reported.
TEST(ServiceSpine, FailedStartUpReportsStoppedWithItsCodeAndNeverRunning) {
    vrtest::TempDir dir;
    vrtest::WriteFileBytes(dir.file(L"blocker"), "a file where the depot's parent folder should be");
    vrtest::EnvScope protection(L"LocalProtectionDir", dir.file(L"blocker") + L"\\");
    vrtest::RegKeyScope product(L"SOFTWARE\\Calderis\\Varnel Studio");
    const DWORD expected = ServiceInit();
    ASSERT_NE(expected, 0u) << "the depot cannot be made under a file";

    Journal journal;
    CServiceStatus::instance().set_observer([&](const SERVICE_STATUS& s) { journal.add(Describe(s)); });
    VrBase::scope_exit unobserve([] { CServiceStatus::instance().set_observer(nullptr); });
    run_service_body();
    CWrkThreadPool::instance().reactivate_for_tests();

    auto entries = journal.entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back(), "STOPPED 0 0 " + std::to_string(expected));
    for (const auto& e : entries) EXPECT_EQ(e.rfind("RUNNING", 0), std::string::npos) << e;
}

TEST(ServiceSpine, ControlsDuringStartPendingAreDropped) {
    ServiceManagmentObjsInit();
    SSR_REPORT(SERVICE_START_PENDING, 1, 30000, 0);
    EXPECT_EQ(SSRSrvHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(SSRSrvHandler(200, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(stop_service_event_signalled()) << "a stop during start-up is not deferred";
    EXPECT_EQ(CServiceStatus::instance().state(), static_cast<DWORD>(SERVICE_START_PENDING));

    // Interrogate is answered, the state left as it was.
    EXPECT_EQ(SSRSrvHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(CServiceStatus::instance().check_point(), 1u);
}

// A status query racing the service thread's reports never sends an older
// state over a newer one: after RUNNING, a stop must still be heard.
TEST(ServiceSpine, InterrogateNeverWritesAnOlderStateBack) {
    ServiceManagmentObjsInit();
    std::atomic<bool> done{false};
    std::atomic<unsigned> answered{0};
    std::thread interrogator([&] {
        while (!done.load()) {
            SSRSrvHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr);
            answered.fetch_add(1);
        }
    });
    int overwritten = 0;
    for (DWORD round = 1; round <= 3000 && overwritten == 0; ++round) {
        SSR_REPORT(SERVICE_START_PENDING, round, 30000, 0);
        SSR_REPORT(SERVICE_RUNNING, 0, 0, 0);
        // Two whole answers later, any query begun before RUNNING is over.
        const unsigned seen = answered.load();
        while (answered.load() < seen + 2) std::this_thread::yield();
        if (CServiceStatus::instance().state() != SERVICE_RUNNING) overwritten = static_cast<int>(round);
    }
    done.store(true);
    interrogator.join();
    EXPECT_EQ(overwritten, 0) << "START_PENDING written back over RUNNING in round " << overwritten;
}

TEST(ServiceSpine, UnknownControlIsNotImplementedAndChangesNothing) {
    ServiceManagmentObjsInit();
    SSR_REPORT(SERVICE_RUNNING, 0, 0, 0);
    EXPECT_EQ(SSRSrvHandler(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(SSRSrvHandler(200, 0, nullptr, nullptr), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(CServiceStatus::instance().state(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_FALSE(stop_service_event_signalled());
}

// Owner LocalSystem; LocalSystem all, then read for authenticated users,
// users, administrators and everyone; no inheritance; self-relative.
TEST(ServiceSpine, OnlineMarkerSecurityDescriptor) {
    std::vector<BYTE> sd = create_online_marker_security();
    PSECURITY_DESCRIPTOR p = sd.data();
    ASSERT_TRUE(::IsValidSecurityDescriptor(p));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(p, &control, &revision));
    EXPECT_TRUE(control & SE_SELF_RELATIVE);

    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(p, &owner, &defaulted));
    EXPECT_TRUE(::IsWellKnownSid(owner, WinLocalSystemSid));

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(p, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);
    ASSERT_EQ(dacl->AceCount, 5);
    const WELL_KNOWN_SID_TYPE order[] = {WinLocalSystemSid, WinAuthenticatedUserSid, WinBuiltinUsersSid,
                                         WinBuiltinAdministratorsSid, WinWorldSid};
    for (DWORD i = 0; i < 5; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, 0);
        EXPECT_EQ(ace->Mask, i == 0 ? static_cast<ACCESS_MASK>(GENERIC_ALL) : static_cast<ACCESS_MASK>(GENERIC_READ));
        EXPECT_TRUE(::IsWellKnownSid(reinterpret_cast<PSID>(&ace->SidStart), order[i])) << "entry " << i;
    }
}

} // namespace
