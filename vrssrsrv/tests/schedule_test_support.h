#pragma once
// Configuration documents, a settable clock and a store in a scratch folder
// for the settings and scheduler tests.
#include "agent_mng.h"
#include "ssr_disk_depot.h"
#include "ssr_policy_ops.h"
#include "ssr_reg_depot.h"
#include "ssr_scheduler.h"
#include "ssr_state.h"
#include "ssr_wrk_pool.h"

#include "support/test_support.h"
#include "time_convertions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace schedtest {

// The sections of a configuration document; each test changes the ones it
// is about.
struct ConfigDoc {
    std::wstring paths = L"<Paths all=\"false\"><Path>C:\\Data</Path></Paths>";
    std::wstring exclusions = L"<ExcludePaths enable=\"true\"><Path>C:\\Data\\tmp</Path></ExcludePaths>";
    std::wstring extensions = L"<Extensions all=\"false\"><Ext>exe</Ext></Extensions>";
    std::wstring schedule = L"<ScheduleScan enabled=\"false\"/>";
    std::wstring events =
        L"<EventRegistration><Event name=\"EID_SP_SES_BUILD_STARTED\" enabled=\"true\"/></EventRegistration>";
    std::wstring text() const {
        return L"<Root><Settings><ScanSetting>" + paths + exclusions + extensions + L"</ScanSetting>" + schedule +
               events + L"</Settings></Root>";
    }
};

inline std::wstring Periodic(const std::wstring& start, const std::wstring& interval, const std::wstring& scale) {
    return L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"Periodic\"><Periodic startDate=\"" + start +
           L"\" interval=\"" + interval + L"\" intervalScale=\"" + scale + L"\"/></Schedule></ScheduleScan>";
}

// Items as "<Item day=... />" texts.
inline std::wstring Weekly(const std::wstring& items) {
    return L"<ScheduleScan enabled=\"true\"><Schedule scheduleType=\"Weekly\"><Week>" + items +
           L"</Week></Schedule></ScheduleScan>";
}
inline std::wstring Item(const wchar_t* day, int hour, int minute) {
    return std::wstring(L"<Item day=\"") + day + L"\" hour=\"" + std::to_wstring(hour) + L"\" minute=\"" +
           std::to_wstring(minute) + L"\"/>";
}

inline SYSTEMTIME At(const wchar_t* iso) { return convert_iso_str_2_time(iso); }

// A clock at a chosen instant, UTC or a fixed time zone; counts its reads.
class TestClock : public CSSRClock {
public:
    TestClock() { set_schedule_clock(this); }
    ~TestClock() override { set_schedule_clock(nullptr); }
    void set(const wchar_t* iso) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_now = At(iso);
    }
    void set_zone(const TIME_ZONE_INFORMATION& zone) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_zone = zone;
        m_zoned = true;
    }
    SYSTEMTIME utc_now() const override {
        ++reads;
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_now;
    }
    bool utc_to_local(const SYSTEMTIME& utc, SYSTEMTIME& local) const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_zoned) {
            local = repair_systemtime(utc);
            return true;
        }
        return ::SystemTimeToTzSpecificLocalTime(&m_zone, &utc, &local) != FALSE;
    }
    mutable std::atomic<int> reads{0};

private:
    mutable std::mutex m_mutex;
    SYSTEMTIME m_now = At(L"2026-12-07T12:00:00.000Z");
    TIME_ZONE_INFORMATION m_zone{};
    bool m_zoned = false;
};

inline bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000) {
    const ULONGLONG until = ::GetTickCount64() + timeoutMs;
    while (!done()) {
        if (::GetTickCount64() > until) return false;
        ::Sleep(10);
    }
    return true;
}

// Joins every pool task that has ended (or was asked to stop): the pool
// reaps them when the next task is submitted.
inline void ReapPoolTasks() {
    VrBase::unique_handle event = create_task_stop_event();
    CWrkThreadPoolLocker lock;
    CWrkThreadPool::instance().run_thread([](HANDLE, void*) {}, event.get(), nullptr, 0);
}

// The depot in a scratch folder, the service's registry key, a fresh scan
// state (no scan ever completed) and the default settings.
class StoreFixture : public ::testing::Test {
protected:
    vrtest::TempDir dir{L"vrsched"};
    vrtest::EnvScope protection{L"LocalProtectionDir", dir.path() + L"\\"};
    vrtest::RegKeyScope product{L"SOFTWARE\\Calderis\\Varnel Studio"};
    std::vector<std::wstring> notifications;
    std::mutex notificationMutex;

    void SetUp() override {
        product.SetString(nullptr, L"ProductLocale", L"en-US");
        product.SetString(L"Client\\Local Protection", L"Marker", L"");
        set_agent_notification_observer([this](const wchar_t* what) {
            std::lock_guard<std::mutex> lock(notificationMutex);
            notifications.push_back(what);
        });
        CSSRDiskDepot::instance().ensure_depot();
        {
            CSSRRegDepotLocker lock;
            CSSRRegDepot::instance().prepare();
        }
        SetLastScanEnd(L"");
        CSSROpSettingsLocker lock;
        CSSROpSettings::instance().reset_for_tests();
    }
    void TearDown() override {
        // Stopped and joined, so no watchdog outlives its test.
        CSSRScheduler::instance().stop();
        ReapPoolTasks();
        set_agent_notification_observer(nullptr);
    }

    std::wstring ConfigPath() { return dir.path() + L"\\ssr_depot\\SSR_LastConfig.xml"; }

    // The scan state as after a restart whose last scan ended then (empty:
    // never).
    void SetLastScanEnd(const wchar_t* iso) {
        const wchar_t* key = L"Client\\Local Protection\\SSR";
        product.SetString(key, L"LastScanStartTime", iso);
        product.SetString(key, L"LastScanEndTime", iso);
        product.SetString(key, L"RealLastScanEndTime", iso);
        CSSRStateLocker lock;
        CSSRState::instance().reset_for_tests();
        CSSRState::instance().initialize();
    }
};

} // namespace schedtest
