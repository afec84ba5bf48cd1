// The schedules at chosen instants, the watchdog through the real pool, and
// the store locks taken from several threads at once.
#include "schedule_test_support.h"
#include "sid_helpers.h"
#include "ssr_full_config.h"
#include "ssr_service.h"

#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using schedtest::ConfigDoc;
using schedtest::Item;
using schedtest::Periodic;
using schedtest::Weekly;

const wchar_t kPast[] = L"2026-12-01T00:00:00.000Z";

class Schedules : public schedtest::StoreFixture {
protected:
    schedtest::TestClock clock;

    std::shared_ptr<CSSRSchedule> Build(const std::wstring& schedule, bool* scheduleSet = nullptr) {
        ConfigDoc doc;
        doc.schedule = schedule;
        std::shared_ptr<CSSRSchedule> built;
        bool set = false;
        CSSRScheduler::init_schedule(built, set, doc.text());
        if (scheduleSet) *scheduleSet = set;
        return built;
    }
    bool DueAt(CSSRSchedule& schedule, const wchar_t* iso) {
        clock.set(iso);
        return schedule.is_time();
    }
};

TEST_F(Schedules, PeriodicCountsFromItsOwnDecision) {
    bool set = false;
    auto hours = Build(Periodic(kPast, L"6", L"Hours"), &set);
    ASSERT_TRUE(hours);
    EXPECT_TRUE(set);
    EXPECT_EQ(hours->get_check_period(), 60000u);
    EXPECT_TRUE(DueAt(*hours, L"2026-12-07T12:00:00.000Z")) << "no completed scan: the first check fires";
    EXPECT_FALSE(DueAt(*hours, L"2026-12-07T12:00:00.000Z"));
    SetLastScanEnd(L"2026-12-07T13:00:00.000Z");  // the scan's end does not move the count
    EXPECT_FALSE(DueAt(*hours, L"2026-12-07T17:59:00.000Z"));
    EXPECT_TRUE(DueAt(*hours, L"2026-12-07T18:00:00.000Z"));
    EXPECT_FALSE(DueAt(*hours, L"2026-12-07T23:59:00.000Z"));
    EXPECT_TRUE(DueAt(*hours, L"2026-12-09T07:00:00.000Z")) << "missed runs come as one";
    EXPECT_FALSE(DueAt(*hours, L"2026-12-09T12:59:00.000Z"));

    // A new schedule counts from the real last scan end.
    auto again = Build(Periodic(kPast, L"6", L"Hours"));
    EXPECT_FALSE(DueAt(*again, L"2026-12-07T18:59:00.000Z"));
    EXPECT_TRUE(DueAt(*again, L"2026-12-07T19:00:00.000Z"));
    // The clock set back before the last run: one run, counted from there.
    EXPECT_TRUE(DueAt(*again, L"2026-12-07T10:00:00.000Z"));
    EXPECT_FALSE(DueAt(*again, L"2026-12-07T15:59:00.000Z"));
    EXPECT_TRUE(DueAt(*again, L"2026-12-07T16:00:00.000Z"));

    auto minutes = Build(Periodic(kPast, L"1", L"Minutes"));
    ASSERT_TRUE(minutes);
    EXPECT_EQ(minutes->get_check_period(), 1000u);
    EXPECT_EQ(Build(Periodic(kPast, L"1", L"Days"))->get_check_period(), 60000u);
}

TEST_F(Schedules, PeriodicStartDateInTheFutureWaitsForIt) {
    auto days = Build(Periodic(L"2026-12-08T00:00:00.000Z", L"1", L"Days"));
    ASSERT_TRUE(days);
    EXPECT_FALSE(DueAt(*days, L"2026-12-07T23:59:00.000Z"));
    EXPECT_FALSE(DueAt(*days, L"2026-12-08T00:00:00.000Z")) << "the start itself is not yet after it";
    EXPECT_TRUE(DueAt(*days, L"2026-12-08T00:00:01.000Z"));
}

TEST_F(Schedules, UnacceptableSchedulesAreRefusedWith87) {
    const std::wstring refused[] = {
        Periodic(kPast, L"0", L"Hours"),
        Periodic(kPast, L"1", L"days"),
        Periodic(L"2026-12-01T00:00:00Z", L"1", L"Days"),
        Periodic(L"yesterday", L"1", L"Days"),
        Periodic(L"2026-02-30T00:00:00.000Z", L"1", L"Days"),
        L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"Monthly\"/></ScheduleScan>",
        L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"None\"/></ScheduleScan>",
        L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"nONE\"/></ScheduleScan>",
        L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"periodic\"/></ScheduleScan>",
        L"<ScheduleScan enabled=\"true\"/>",
        Weekly(Item(L"Monday", 9, 30) + Item(L"monday", 9, 30)),
    };
    CSSRSchedulerLocker lock;
    for (const std::wstring& schedule : refused) {
        ConfigDoc doc;
        doc.schedule = schedule;
        EXPECT_EQ(vrtest::ErrorCodeOf([&] { CSSRScheduler::instance().check_schedule(doc.text()); }), 87u)
            << std::string(schedule.begin(), schedule.end());
        // What was in force stays.
        std::shared_ptr<CSSRSchedule> inForce = std::make_shared<CSSRScheduleNone>();
        const CSSRSchedule* before = inForce.get();
        bool set = false;
        CSSRScheduler::init_schedule(inForce, set, doc.text());
        EXPECT_EQ(inForce.get(), before);
        EXPECT_FALSE(set);
    }
    const std::wstring accepted[] = {
        L"<ScheduleScan enabled=\"false\"><Schedule scheduleType=\"Monthly\"/></ScheduleScan>",
        Periodic(kPast, L"3", L"Minutes"),
        Weekly(L""),
        Weekly(Item(L"Sunday", 0, 0) + Item(L"Saturday", 25, 99)),
    };
    for (const std::wstring& schedule : accepted) {
        ConfigDoc doc;
        doc.schedule = schedule;
        EXPECT_EQ(vrtest::ErrorCodeOf([&] { CSSRScheduler::instance().check_schedule(doc.text()); }), 0u)
            << std::string(schedule.begin(), schedule.end());
    }
}

// 2026-12-07 is a Monday.
TEST_F(Schedules, WeeklySlotFiresUntilAScanEndsAfterIt) {
    auto weekly = Build(Weekly(Item(L"Monday", 9, 30)));
    ASSERT_TRUE(weekly);
    EXPECT_EQ(weekly->get_check_period(), 60000u);
    EXPECT_TRUE(DueAt(*weekly, L"2026-12-07T10:15:00.000Z")) << "never scanned";

    SetLastScanEnd(L"2026-12-06T20:00:00.000Z");  // Sunday
    EXPECT_FALSE(DueAt(*weekly, L"2026-12-07T09:29:00.000Z"));
    EXPECT_TRUE(DueAt(*weekly, L"2026-12-07T09:30:00.000Z"));
    EXPECT_TRUE(DueAt(*weekly, L"2026-12-07T10:15:00.000Z")) << "hour and minute compared as a pair";
    EXPECT_FALSE(DueAt(*weekly, L"2026-12-08T10:15:00.000Z")) << "Tuesday";

    SetLastScanEnd(L"2026-12-07T09:20:00.000Z");  // same Monday, before the slot
    EXPECT_TRUE(DueAt(*weekly, L"2026-12-07T10:15:00.000Z"));

    SetLastScanEnd(L"2026-12-07T09:45:00.000Z");  // same Monday, after the slot
    EXPECT_FALSE(DueAt(*weekly, L"2026-12-07T10:15:00.000Z"));
    EXPECT_FALSE(DueAt(*weekly, L"2026-12-07T23:59:00.000Z"));
    EXPECT_TRUE(DueAt(*weekly, L"2026-12-14T09:30:00.000Z")) << "the next Monday";

    SetLastScanEnd(L"2026-11-30T09:45:00.000Z");  // the previous Monday
    EXPECT_TRUE(DueAt(*weekly, L"2026-12-07T09:30:00.000Z"));

    SetLastScanEnd(L"2026-12-07T11:00:00.000Z");  // later than now: the clock was set back
    EXPECT_TRUE(DueAt(*weekly, L"2026-12-07T10:15:00.000Z"));

    // Either of two slots on the day.
    SetLastScanEnd(L"2026-12-07T09:00:00.000Z");
    auto twoSlots = Build(Weekly(Item(L"Monday", 8, 0) + Item(L"Monday", 11, 0)));
    EXPECT_FALSE(DueAt(*twoSlots, L"2026-12-07T10:59:00.000Z"));
    EXPECT_TRUE(DueAt(*twoSlots, L"2026-12-07T11:00:00.000Z"));
}

TEST_F(Schedules, WeeklyUsesTheComputersTimeZone) {
    TIME_ZONE_INFORMATION zone{};
    zone.Bias = -180;  // UTC+3, no daylight saving
    clock.set_zone(zone);
    auto weekly = Build(Weekly(Item(L"Monday", 1, 0)));
    ASSERT_TRUE(weekly);
    // Sunday 22:30 UTC is Monday 01:30 here.
    EXPECT_TRUE(DueAt(*weekly, L"2026-12-06T22:30:00.000Z"));
    EXPECT_FALSE(DueAt(*weekly, L"2026-12-06T21:59:00.000Z")) << "Monday 00:59 here";
    EXPECT_FALSE(DueAt(*weekly, L"2026-12-07T22:30:00.000Z")) << "Tuesday 01:30 here";

    // Ended Sunday 22:15 UTC, Monday 01:15 here: the slot is served.
    SetLastScanEnd(L"2026-12-06T22:15:00.000Z");
    EXPECT_FALSE(DueAt(*weekly, L"2026-12-06T22:30:00.000Z"));
    // Ended Sunday 21:30 UTC, Monday 00:30 here: before the slot.
    SetLastScanEnd(L"2026-12-06T21:30:00.000Z");
    EXPECT_TRUE(DueAt(*weekly, L"2026-12-06T22:30:00.000Z"));
}

// The night the clocks go back, the hour after 02:00 comes twice: a scan
// that served the 02:30 slot in the first pass looks later than 02:35 of
// the second, yet the clock was not set back.
TEST_F(Schedules, TheRepeatedHourOfDaylightSavingsEndDoesNotServeTheSlotTwice) {
    TIME_ZONE_INFORMATION zone{};
    zone.Bias = -60;  // Central Europe
    zone.DaylightBias = -60;
    zone.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};  // last Sunday of October, 03:00
    zone.DaylightDate = {0, 3, 0, 5, 2, 0, 0, 0};   // last Sunday of March, 02:00
    clock.set_zone(zone);
    auto weekly = Build(Weekly(Item(L"Sunday", 2, 30)));
    ASSERT_TRUE(weekly);
    SetLastScanEnd(L"2026-10-25T00:45:00.000Z");  // 02:45 summer time
    EXPECT_FALSE(DueAt(*weekly, L"2026-10-25T01:35:00.000Z")) << "02:35 winter time, 50 minutes later";
    SetLastScanEnd(L"2026-10-25T01:45:00.000Z");  // a real set-back: the end lies ahead of now
    EXPECT_TRUE(DueAt(*weekly, L"2026-10-25T01:35:00.000Z"));
}

// What the watchdog queued: each request's source and SID.
struct QueuedScans {
    std::mutex mutex;
    std::vector<std::pair<DWORD, std::vector<BYTE>>> requests;
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests.size();
    }
};
QueuedScans g_queued;

void RecordingScan(HANDLE, void* request) {
    DWORD source = 0;
    std::memcpy(&source, request, sizeof(source));
    BYTE* sid = static_cast<BYTE*>(request) + sizeof(DWORD);
    std::vector<BYTE> sidBytes(sid, sid + ::GetLengthSid(sid));
    std::lock_guard<std::mutex> lock(g_queued.mutex);
    g_queued.requests.emplace_back(source, sidBytes);
}

class Watchdog : public Schedules {
protected:
    void SetUp() override {
        Schedules::SetUp();
        {
            std::lock_guard<std::mutex> lock(g_queued.mutex);
            g_queued.requests.clear();
        }
        set_scan_routine(&RecordingScan);
    }
    void TearDown() override {
        Schedules::TearDown();
        set_scan_routine(nullptr);
    }
    void ApplySchedule(const std::wstring& schedule) {
        ConfigDoc doc;
        doc.schedule = schedule;
        CSSRSchedulerLocker lock;
        CSSRScheduler::instance().apply_schedule(doc.text());
    }
    void StartWatchdog() {
        CSSRSchedulerLocker lock;
        CSSRScheduler::instance().init_watchdog();
    }
    // Two more clock reads: at least one whole check ran after this call.
    void PassOneCheck() {
        const int target = clock.reads.load() + 2;
        ASSERT_TRUE(schedtest::WaitUntil([&] { return clock.reads.load() >= target; }));
    }
    void SetScan(const wchar_t* status) {
        CSSRStateLocker lock;
        CSSRState::instance().set_scan_state(status, status == std::wstring(kStatusInProgress) ? 0 : 2);
    }
};

TEST_F(Watchdog, DueScheduleQueuesOneScanUnlessOneRuns) {
    clock.set(L"2026-12-07T12:00:00.000Z");
    ApplySchedule(Periodic(kPast, L"5", L"Minutes"));
    SetScan(kStatusInProgress);
    StartWatchdog();
    PassOneCheck();
    ::Sleep(200);
    EXPECT_EQ(g_queued.count(), 0u) << "a scan is in progress";

    // That moment still counts as the schedule's last run.
    SetScan(kStatusComplete);
    clock.set(L"2026-12-07T12:04:00.000Z");
    PassOneCheck();
    ::Sleep(200);
    EXPECT_EQ(g_queued.count(), 0u);

    clock.set(L"2026-12-07T12:05:00.000Z");
    PassOneCheck();
    ASSERT_TRUE(schedtest::WaitUntil([] { return g_queued.count() >= 1; }, 5000));
    PassOneCheck();
    ::Sleep(200);
    std::lock_guard<std::mutex> lock(g_queued.mutex);
    ASSERT_EQ(g_queued.requests.size(), 1u);
    EXPECT_EQ(g_queued.requests[0].first, 1u) << "source Policy";
    EXPECT_EQ(g_queued.requests[0].second, get_current_user_sid()) << "the service's own account";
}

TEST_F(Watchdog, NewPeriodFromTheNextWakeUpAndStopEndsTheWait) {
    vrtest::TraceToFolder trace(dir.path());
    clock.set(L"2026-12-07T12:00:00.000Z");
    ApplySchedule(Periodic(L"2027-01-01T00:00:00.000Z", L"1", L"Minutes"));
    StartWatchdog();
    PassOneCheck();  // wakes every second

    ApplySchedule(Periodic(L"2027-01-01T00:00:00.000Z", L"1", L"Hours"));
    // At most the check already waiting; the wake-up after it takes the new period.
    const int reads = clock.reads.load();
    ::Sleep(4500);
    EXPECT_LE(clock.reads.load(), reads + 1) << "one minute between checks now";

    const ULONGLONG before = ::GetTickCount64();
    stop_service_stop_scheduler();
    schedtest::ReapPoolTasks();  // joins the watchdog
    EXPECT_LT(::GetTickCount64() - before, 10000u) << "ended at once, not at the next wake-up";
    EXPECT_NE(trace.Read(L"VrSSRSrvTests").find("Watchdog stop event set to signal state."), std::string::npos);
    EXPECT_EQ(g_queued.count(), 0u);
}

// A teardown holds the pool lock while it joins every task; a watchdog
// about to queue a scan must not keep the shut-down waiting for it.
TEST_F(Watchdog, StopWhileQueuingWaitsForNeitherLock) {
    clock.set(L"2026-12-07T12:00:00.000Z");
    ApplySchedule(Periodic(L"2027-01-01T00:00:00.000Z", L"1", L"Minutes"));
    StartWatchdog();
    PassOneCheck();
    CWrkThreadPool& pool = CWrkThreadPool::instance();
    pool.lock();
    VrBase::scope_exit unlock([&] { pool.unlock(); });
    const int reads = clock.reads.load();
    clock.set(L"2027-01-02T00:00:00.000Z");  // due: the watchdog now waits for the pool
    ASSERT_TRUE(schedtest::WaitUntil([&] { return clock.reads.load() > reads; }));
    ::Sleep(300);

    VrBase::unique_handle stopped(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread stopper([&] {
        stop_service_stop_scheduler();
        ::SetEvent(stopped.get());
    });
    const bool stoppedInTime = ::WaitForSingleObject(stopped.get(), 10000) == WAIT_OBJECT_0;
    EXPECT_TRUE(stoppedInTime) << "the scheduler's stop waited for the pool lock";
    unlock.dismiss();
    pool.unlock();
    stopper.join();
    schedtest::ReapPoolTasks();
    if (stoppedInTime) {
        EXPECT_EQ(g_queued.count(), 0u);
    }
}

// Several threads take the store locks the way the service's paths do:
// a configuration arriving (settings, scheduler, state, depot), the
// watchdog queuing a scan (scheduler, state), a scan starting (state,
// depot), the state reply (state, depot) and a reader of the settings.
void ScanStartLike(HANDLE, void*) {
    CSSRStateLocker state;
    if (CSSRState::instance().is_scan_in_progress()) return;
    CSSRState::instance().set_scan_state(kStatusInProgress, 1);
    {
        CSSRDiskDepotLocker depot;
        CSSRDiskDepot::instance().delete_soft_state();
    }
    CSSRState::instance().set_scan_state(kStatusComplete, 2);
}

TEST_F(Schedules, StoreLocksFromSeveralThreadsAtOnce) {
    set_scan_routine(&ScanStartLike);
    ConfigDoc periodic, weekly;
    periodic.schedule = Periodic(kPast, L"6", L"Hours");
    weekly.schedule = Weekly(Item(L"Monday", 9, 30));
    std::atomic<bool> stop{false};
    std::atomic<int> counts[5] = {};
    auto loop = [&](int index, std::function<void()> body) {
        return std::thread([&, index, body] {
            while (!stop.load()) {
                body();
                ++counts[index];
            }
        });
    };
    std::vector<std::thread> threads;
    threads.push_back(loop(0, [&] { accept_full_config(counts[0] % 2 ? periodic.text() : weekly.text()); }));
    threads.push_back(loop(1, [] {
        {
            CSSRSchedulerLocker lock;
            CSSRScheduler::instance().do_action();
        }
        ::Sleep(5);
    }));
    threads.push_back(loop(2, [] {
        ScanStartLike(nullptr, nullptr);
        ::Sleep(5);
    }));
    threads.push_back(loop(3, [] {
        CSSRStateLocker lock;
        CSSRState::instance().get_ssr_state_str();
    }));
    threads.push_back(loop(4, [] {
        CSSROpSettingsLocker lock;
        CSSROpSettings::instance().get_scan_paths();
    }));

    ::Sleep(4000);
    stop.store(true);
    VrBase::unique_handle joined(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread joiner([&] {
        for (std::thread& t : threads) t.join();
        ::SetEvent(joined.get());
    });
    if (::WaitForSingleObject(joined.get(), 60000) != WAIT_OBJECT_0) {
        // Threads stuck on each other's locks cannot be joined: end here.
        std::fprintf(stderr, "Store locks deadlocked\n");
        std::fflush(stderr);
        std::_Exit(3);
    }
    joiner.join();
    set_scan_routine(nullptr);
    ::Sleep(500);  // the last queued scan tasks are short
    schedtest::ReapPoolTasks();
    for (const auto& c : counts) EXPECT_GT(c.load(), 0);
    const std::wstring first = periodic.text(), second = weekly.text();
    const std::string stored = vrtest::ReadFileBytes(ConfigPath());
    EXPECT_TRUE(stored == std::string(first.begin(), first.end()) ||
                stored == std::string(second.begin(), second.end()));
}

} // namespace
