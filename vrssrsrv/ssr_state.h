#pragma once
// What the service knows about its scans: never ran, running, completed,
// and when.
#include <windows.h>
#include <mutex>
#include <string>

constexpr const wchar_t* kStatusNone = L"None";
constexpr const wchar_t* kStatusInProgress = L"InProgress";
constexpr const wchar_t* kStatusComplete = L"Complete";

enum SesBuildSource : DWORD { SES_SOURCE_ADMIN = 0, SES_SOURCE_POLICY = 1, SES_SOURCE_SERVICE = 2 };

std::wstring convert_SES_BUILD_SOURCE_2_str(DWORD source);

class CSSRState {
public:
    static CSSRState& instance();
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }

    // The caller holds the state lock for everything below.
    void initialize();
    void set_scan_state(const std::wstring& status, DWORD source);
    void set_scheduler_state(bool scheduled);
    bool is_scan_in_progress() const;
    std::wstring get_status() const { return m_status; }
    SYSTEMTIME get_real_last_scan_end_time() const { return m_realEnd; }
    // The VevadediDuzavareState reply, UTF-16 text without byte-order mark.
    std::wstring get_ssr_state_str();

    // Back to the state of a fresh process; for tests.
    void reset_for_tests();

private:
    std::recursive_mutex m_mutex;
    std::wstring m_status = kStatusNone;
    std::wstring m_source;
    SYSTEMTIME m_start{}, m_end{}, m_realEnd{};
    bool m_scheduled = false;
};

// Lock order of the service's stores, on every path (configuration, the
// watchdog, scan start, state reply, export): settings, scheduler, state,
// disk depot, registry depot, and the worker pool's lock after any of
// them. A path takes any subset in that order; so the state lock always
// comes before the depot lock, also where a new configuration is saved and
// then reads the state for its schedule.
class CSSRStateLocker {
public:
    CSSRStateLocker() { CSSRState::instance().lock(); }
    ~CSSRStateLocker();
    CSSRStateLocker(const CSSRStateLocker&) = delete;
    CSSRStateLocker& operator=(const CSSRStateLocker&) = delete;
};

// The reply document from the values given; runs on an executor thread.
std::wstring build_ssr_state_str(const std::wstring& uniqueId, const std::wstring& status, const std::wstring& source,
                                 const SYSTEMTIME& start, const SYSTEMTIME& end, bool scheduled);
