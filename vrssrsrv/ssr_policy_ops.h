#pragma once
// The configuration document and the scan settings taken from it.
#include "ssr_path_review.h"

#include <windows.h>
#include <mutex>
#include <set>
#include <string>
#include <vector>

using EventSet = std::set<std::wstring>;

struct _WEEKLY_SCHEDULE_ITEM_SETTINGS {
    std::wstring day;
    DWORD hour = 0;
    DWORD minute = 0;
};

struct _PERIODIC_SCHEDULE_SETTINGS {
    std::wstring start_date;
    std::wstring interval_scale;
    DWORD interval = 0;
};

// Each reads one section of the whole document text on an executor thread
// of its own; a document that does not load, or a missing element or
// attribute, raises.
PathSet get_scan_paths_wrapper(const std::wstring& text);
PathSet get_scan_exclusions_wrapper(const std::wstring& text);
PathSet get_scan_file_extentions_wrapper(const std::wstring& text);
EventSet get_registred_events_wrapper(const std::wstring& text);
std::wstring get_schedule_type_str_wrapper(const std::wstring& text);
// An enabled schedule of type "None" (any case) raises 87.
bool is_schedule_set(const std::wstring& text);
_PERIODIC_SCHEDULE_SETTINGS get_periodic_schedule_wrapper(const std::wstring& text);
std::vector<_WEEKLY_SCHEDULE_ITEM_SETTINGS> get_weekly_schedule_wrapper(const std::wstring& text);

class CSSROpSettings {
public:
    static CSSROpSettings& instance();
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }

    // The caller holds the settings lock for everything below.
    // Loads the stored configuration when there is one; never raises.
    void initialize();
    void check_new_settings(const std::wstring& text);
    // All four sets or none.
    void apply_new_settings(const std::wstring& text);
    PathSet get_scan_paths() const { return m_sets.paths; }
    PathSet get_scan_exclusions() const { return m_sets.exclusions; }
    PathSet get_scan_extensions() const { return m_sets.extensions; }
    bool is_event_registered(const std::wstring& eventId) const { return m_sets.events.count(eventId) != 0; }

    // Back to the values of a fresh process; for tests.
    void reset_for_tests();

private:
    struct Sets {
        PathSet paths, exclusions, extensions;
        EventSet events;
    };
    static Sets default_sets();
    static Sets parse(const std::wstring& text);

    std::recursive_mutex m_mutex;
    Sets m_sets = default_sets();
};

class CSSROpSettingsLocker {
public:
    CSSROpSettingsLocker() { CSSROpSettings::instance().lock(); }
    ~CSSROpSettingsLocker();
    CSSROpSettingsLocker(const CSSROpSettingsLocker&) = delete;
    CSSROpSettingsLocker& operator=(const CSSROpSettingsLocker&) = delete;
};
