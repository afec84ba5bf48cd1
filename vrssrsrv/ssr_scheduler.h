#pragma once
// Scans that start by themselves: the schedule kinds and the watchdog that
// asks the schedule in force whether a scan is due.
#include "ssr_policy_ops.h"
#include "vrbase/scope.h"

#include <windows.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The clock the schedules read. Tests set a fixed instant and time zone.
class CSSRClock {
public:
    virtual ~CSSRClock() = default;
    virtual SYSTEMTIME utc_now() const;
    // The computer's time zone; false with the platform error as last error.
    virtual bool utc_to_local(const SYSTEMTIME& utc, SYSTEMTIME& local) const;
};
// Null puts the system clock back.
void set_schedule_clock(const CSSRClock* clock);
const CSSRClock& schedule_clock();

class CSSRSchedule {
public:
    virtual ~CSSRSchedule() = default;
    // May update the schedule's own memory of its last run.
    virtual bool is_time() = 0;
    // The watchdog's wake-up period in milliseconds.
    virtual DWORD get_check_period() { return 60000; }
};

class CSSRScheduleNone : public CSSRSchedule {
public:
    explicit CSSRScheduleNone(const std::wstring& = std::wstring()) {}
    bool is_time() override { return false; }
};

class CSSRSchedulePeriodic : public CSSRSchedule {
public:
    explicit CSSRSchedulePeriodic(const std::wstring& text);
    bool is_time() override;
    DWORD get_check_period() override;

private:
    std::wstring m_scale;
    DWORD m_interval = 0;
    SYSTEMTIME m_start{};
    SYSTEMTIME m_lastRun{};
};

class CSSRScheduleWeekly : public CSSRSchedule {
public:
    explicit CSSRScheduleWeekly(const std::wstring& text);
    bool is_time() override;

private:
    struct Item {
        DWORD weekday, hour, minute;
    };
    std::vector<Item> m_items;
};

// The work item a due schedule queues: the scan, with its stop event and
// the request block. Connected by the scan operation; while nothing is
// connected no scan is queued.
using SsrScanRoutine = void (*)(HANDLE stopEvent, void* request);
void set_scan_routine(SsrScanRoutine routine);

// The scan request block: the 32-bit source, the binary SID, four zero bytes.
std::vector<BYTE> build_scan_request(DWORD source, const std::vector<BYTE>& userSid);

class CSSRScheduler {
public:
    static CSSRScheduler& instance();
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }

    // Never raises: on any failure the schedule is left as it was. An empty
    // text gives no schedule and leaves the flag alone.
    static void init_schedule(std::shared_ptr<CSSRSchedule>& schedule, bool& scheduleSet, const std::wstring& text);

    // The caller holds the scheduler lock for everything below.
    // Raises 87 when the schedule sections are not acceptable.
    void check_schedule(const std::wstring& text);
    void initialize();
    void apply_schedule(const std::wstring& text);
    void init_watchdog();
    // Also takes the lock itself, after the watchdog is told to stop.
    void stop();
    void do_action();

    static void watchdog_function(HANDLE stopEvent, void* data);

private:
    std::recursive_mutex m_mutex;
    std::shared_ptr<CSSRSchedule> m_schedule = std::make_shared<CSSRScheduleNone>();
    VrBase::unique_handle m_stopEvent;
};

class CSSRSchedulerLocker {
public:
    CSSRSchedulerLocker() { CSSRScheduler::instance().lock(); }
    ~CSSRSchedulerLocker();
    CSSRSchedulerLocker(const CSSRSchedulerLocker&) = delete;
    CSSRSchedulerLocker& operator=(const CSSRSchedulerLocker&) = delete;
};
