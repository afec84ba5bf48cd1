#include "ssr_scheduler.h"

#include "sid_helpers.h"
#include "ssr_disk_depot.h"
#include "ssr_state.h"
#include "ssr_wrk_pool.h"
#include "time_convertions.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <atomic>
#include <cstring>
#include <cwchar>

namespace {

constexpr DWORD kPoolRefused = 641;

struct ScaleEntry {
    const wchar_t* name;
    unsigned long long unit;  // 100 ns
    DWORD checkPeriod;        // ms
};
const ScaleEntry kScales[] = {
    {L"Days", 864000000000ull, 60000},
    {L"Hours", 36000000000ull, 60000},
    {L"Minutes", 600000000ull, 1000},
};

struct WeekdayEntry {
    const wchar_t* name;
    DWORD number;
};
const WeekdayEntry kWeekdays[] = {
    {L"Sunday", 0},   {L"Monday", 1}, {L"Tuesday", 2}, {L"Wednesday", 3},
    {L"Thursday", 4}, {L"Friday", 5}, {L"Saturday", 6},
};

template <class T>
std::shared_ptr<CSSRSchedule> make_schedule(const std::wstring& text) {
    return std::make_shared<T>(text);
}
struct TypeEntry {
    const wchar_t* name;
    std::shared_ptr<CSSRSchedule> (*factory)(const std::wstring& text);
};
const TypeEntry kTypes[] = {
    {L"None", &make_schedule<CSSRScheduleNone>},
    {L"Periodic", &make_schedule<CSSRSchedulePeriodic>},
    {L"Weekly", &make_schedule<CSSRScheduleWeekly>},
};

// Names are compared exactly: "days" is not a scale.
template <class T, size_t N>
const T* find_named(const T (&table)[N], const std::wstring& name) {
    for (const T& entry : table)
        if (std::wcscmp(entry.name, name.c_str()) == 0) return &entry;
    return nullptr;
}

const ScaleEntry& scale_of(const std::wstring& name, const wchar_t* fn) {
    const ScaleEntry* scale = find_named(kScales, name);
    if (!scale) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    return *scale;
}

bool time_of_day_before(WORD hour, WORD minute, DWORD slotHour, DWORD slotMinute) {
    return hour < slotHour || (hour == slotHour && minute < slotMinute);
}

SYSTEMTIME real_last_scan_end() {
    CSSRStateLocker lock;
    return CSSRState::instance().get_real_last_scan_end_time();
}

std::atomic<const CSSRClock*> g_clock{nullptr};
std::atomic<SsrScanRoutine> g_scanRoutine{nullptr};

// A teardown holds the pool lock while it joins the watchdog, so the
// watchdog gives up on the lock once it is asked to stop.
bool lock_pool_unless_stopping(CWrkThreadPool& pool, HANDLE stopEvent) {
    for (;;) {
        if (pool.try_lock()) return true;
        if (!stopEvent)
            ::Sleep(10);
        else if (::WaitForSingleObject(stopEvent, 10) == WAIT_OBJECT_0)
            return false;
    }
}

} // namespace

SYSTEMTIME CSSRClock::utc_now() const {
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    return now;
}

bool CSSRClock::utc_to_local(const SYSTEMTIME& utc, SYSTEMTIME& local) const {
    return ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) != FALSE;
}

void set_schedule_clock(const CSSRClock* clock) { g_clock.store(clock); }

const CSSRClock& schedule_clock() {
    static const CSSRClock systemClock;
    const CSSRClock* clock = g_clock.load();
    return clock ? *clock : systemClock;
}

void set_scan_routine(SsrScanRoutine routine) { g_scanRoutine.store(routine); }

std::vector<BYTE> build_scan_request(DWORD source, const std::vector<BYTE>& userSid) {
    std::vector<BYTE> request(sizeof(DWORD) + userSid.size() + 4, 0);
    std::memcpy(request.data(), &source, sizeof(source));
    if (!userSid.empty()) std::memcpy(request.data() + sizeof(DWORD), userSid.data(), userSid.size());
    return request;
}

CSSRSchedulePeriodic::CSSRSchedulePeriodic(const std::wstring& text) {
    const wchar_t* const fn = L"CSSRSchedulePeriodic::CSSRSchedulePeriodic";
    const _PERIODIC_SCHEDULE_SETTINGS settings = get_periodic_schedule_wrapper(text);
    m_scale = scale_of(settings.interval_scale, fn).name;
    if (settings.interval == 0) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    m_interval = settings.interval;
    m_start = convert_iso_str_2_time(settings.start_date);
    m_lastRun = real_last_scan_end();
}

bool CSSRSchedulePeriodic::is_time() {
    const wchar_t* const fn = L"CSSRSchedulePeriodic::is_time";
    const SYSTEMTIME now = schedule_clock().utc_now();
    if (compare_system_time(m_start, now) >= 0) return false;
    int sign = 0;
    const unsigned long long elapsed = get_system_time_diff(now, m_lastRun, sign);
    if (sign == 0) return false;
    const ScaleEntry& scale = scale_of(m_scale, fn);
    // A last run later than now means the clock was set back: waiting for
    // that moment to come round again could stop scans for as long.
    if (sign > 0 && elapsed / scale.unit < m_interval) return false;
    m_lastRun = now;
    return true;
}

DWORD CSSRSchedulePeriodic::get_check_period() {
    return scale_of(m_scale, L"CSSRSchedulePeriodic::get_check_period").checkPeriod;
}

CSSRScheduleWeekly::CSSRScheduleWeekly(const std::wstring& text) {
    for (const _WEEKLY_SCHEDULE_ITEM_SETTINGS& item : get_weekly_schedule_wrapper(text)) {
        const WeekdayEntry* day = find_named(kWeekdays, item.day);
        if (!day) VR_RAISE(ERROR_INVALID_PARAMETER, L"CSSRScheduleWeekly::CSSRScheduleWeekly");
        m_items.push_back({day->number, item.hour, item.minute});
    }
}

bool CSSRScheduleWeekly::is_time() {
    const wchar_t* const fn = L"CSSRScheduleWeekly::is_time";
    const SYSTEMTIME lastEnd = real_last_scan_end();
    const CSSRClock& clock = schedule_clock();
    const SYSTEMTIME utcNow = clock.utc_now();
    SYSTEMTIME now;
    if (!clock.utc_to_local(utcNow, now)) VR_RAISE_LAST_ERROR(fn);
    for (const Item& item : m_items) {
        if (item.weekday != now.wDayOfWeek || time_of_day_before(now.wHour, now.wMinute, item.hour, item.minute))
            continue;
        if (is_empty_system_time(lastEnd)) return true;
        SYSTEMTIME last;
        if (!clock.utc_to_local(lastEnd, last)) {
            VR_TRACE(VrBase::TL_WARNING, fn, L" get local time failed. err %d", static_cast<int>(::GetLastError()));
            return false;
        }
        // Set back in UTC: the hour repeated when daylight saving ends is
        // not a clock set back.
        if (compare_system_time(lastEnd, utcNow) > 0) return true;
        if (last.wYear != now.wYear || last.wMonth != now.wMonth || last.wDay != now.wDay) return true;
        if (time_of_day_before(last.wHour, last.wMinute, item.hour, item.minute)) return true;
    }
    return false;
}

CSSRScheduler& CSSRScheduler::instance() {
    static CSSRScheduler scheduler;
    return scheduler;
}

CSSRSchedulerLocker::~CSSRSchedulerLocker() {
    VrBase::GuardVoid(L"CSSRSchedulerLocker::~CSSRSchedulerLocker", [] { CSSRScheduler::instance().unlock(); });
}

void CSSRScheduler::init_schedule(std::shared_ptr<CSSRSchedule>& schedule, bool& scheduleSet,
                                  const std::wstring& text) {
    const wchar_t* const fn = L"CSSRScheduler::init_schedule";
    VrBase::GuardVoid(fn, [&] {
        if (text.empty()) {
            VR_TRACE(VrBase::TL_DETAIL, fn, L"%ls", L"None");
            schedule = std::make_shared<CSSRScheduleNone>();
            return;
        }
        if (!is_schedule_set(text)) {
            VR_TRACE(VrBase::TL_DETAIL, fn, L"%ls", L"None");
            schedule = std::make_shared<CSSRScheduleNone>();
            scheduleSet = false;
            return;
        }
        const std::wstring type = get_schedule_type_str_wrapper(text);
        const TypeEntry* entry = find_named(kTypes, type);
        if (!entry) {
            VR_TRACE(VrBase::TL_ERROR, fn, L"Wrong schedule type in saved cfg! Type<%ls>", type.c_str());
            VR_RAISE(ERROR_INVALID_PARAMETER, fn);
        }
        VR_TRACE(VrBase::TL_DETAIL, fn, L"%ls", type.c_str());
        schedule = entry->factory(text);
        // Only with the schedule in place, so the scan state never reports
        // a schedule that is not in force.
        scheduleSet = true;
    });
}

void CSSRScheduler::check_schedule(const std::wstring& text) {
    const wchar_t* const fn = L"CSSRScheduler::check_schedule";
    try {
        std::shared_ptr<CSSRSchedule> slot;
        bool scheduleSet = false;
        init_schedule(slot, scheduleSet, text);
        if (!slot) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    } catch (...) {
        VR_UNWIND_TRACE(fn);
        throw;
    }
}

void CSSRScheduler::initialize() {
    init_watchdog();
    std::wstring text;
    {
        CSSRDiskDepotLocker lock;
        CSSRDiskDepot::instance().load_last_config(text);
    }
    bool scheduleSet = false;
    init_schedule(m_schedule, scheduleSet, text);
    CSSRStateLocker lock;
    CSSRState::instance().set_scheduler_state(scheduleSet);
}

void CSSRScheduler::apply_schedule(const std::wstring& text) {
    bool scheduleSet = false;
    init_schedule(m_schedule, scheduleSet, text);
    CSSRStateLocker lock;
    CSSRState::instance().set_scheduler_state(scheduleSet);
}

void CSSRScheduler::init_watchdog() {
    const wchar_t* const fn = L"CSSRScheduler::init_watchdog";
    VrBase::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) VR_RAISE_LAST_ERROR(fn);
    const HANDLE stopEvent = event.get();
    m_stopEvent = std::move(event);
    CWrkThreadPoolLocker lock;
    if (!CWrkThreadPool::instance().run_thread(&CSSRScheduler::watchdog_function, stopEvent, nullptr, 0)) {
        VR_TRACE(VrBase::TL_ERROR, fn,
                 L"Watch dog start failed. Service shutdown in progress. Pool of working threads is inactive.");
        VR_RAISE(kPoolRefused, fn);
    }
}

void CSSRScheduler::stop() {
    // Signalled before the lock is taken: the watchdog may hold the lock
    // while it waits to queue a scan, and gives up when it sees the event.
    if (m_stopEvent && !::SetEvent(m_stopEvent.get())) VR_RAISE_LAST_ERROR(L"CSSRScheduler::stop");
    CSSRSchedulerLocker lock;
    m_schedule = std::make_shared<CSSRScheduleNone>();
}

void CSSRScheduler::do_action() {
    const wchar_t* const fn = L"CSSRScheduler::do_action";
    VrBase::GuardVoid(fn, [&] {
        {
            CSSRStateLocker lock;
            if (CSSRState::instance().is_scan_in_progress()) return;
        }
        const SsrScanRoutine routine = g_scanRoutine.load();
        if (!routine) {
            VR_TRACE(VrBase::TL_WARNING, fn, L"No scan routine connected. No scan queued.");
            return;
        }
        const std::vector<BYTE> request = build_scan_request(SES_SOURCE_POLICY, get_current_user_sid());
        VrBase::unique_handle event = create_task_stop_event();
        if (!event) VR_RAISE_LAST_ERROR(fn);
        CWrkThreadPool& pool = CWrkThreadPool::instance();
        if (!lock_pool_unless_stopping(pool, m_stopEvent.get())) {
            VR_TRACE(VrBase::TL_INFO, fn, L"Scheduler stopped. No scan queued.");
            return;
        }
        VrBase::scope_exit unlock([&] { pool.unlock(); });
        if (!pool.run_thread(routine, event.get(), request.data(), request.size()))
            VR_TRACE(VrBase::TL_ERROR, fn, L"Scheduled scan not queued.");
    });
}

void CSSRScheduler::watchdog_function(HANDLE stopEvent, void*) {
    const wchar_t* const fn = L"CSSRScheduler::watchdog_function";
    VrBase::GuardVoid(fn, [&] {
        CSSRScheduler& scheduler = instance();
        for (;;) {
            DWORD period = 0;
            {
                CSSRSchedulerLocker lock;
                period = scheduler.m_schedule->get_check_period();
            }
            const DWORD rc = ::WaitForSingleObject(stopEvent, period);
            if (rc == WAIT_OBJECT_0) {
                VR_TRACE(VrBase::TL_INFO, fn, L"Watchdog stop event set to signal state.");
                return;
            }
            if (rc == WAIT_FAILED) VR_RAISE_LAST_ERROR(fn);
            if (rc != WAIT_TIMEOUT) {
                VR_TRACE(VrBase::TL_INFO, fn, L"DBG OUT: Watchdog wait result = %d", static_cast<int>(rc));
                continue;
            }
            CSSRSchedulerLocker lock;
            if (scheduler.m_schedule->is_time()) {
                VR_TRACE(VrBase::TL_INFO, fn, L"is_time");
                scheduler.do_action();
            }
        }
    });
}
