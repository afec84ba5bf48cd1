#include "ssr_policy_ops.h"

#include "exec/apartment_executor.h"
#include "ssr_disk_depot.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"
#include "xml_common.h"

#include <cwchar>

namespace {

// Loads the text and runs the reader on the document's root element, on an
// executor thread; every failure is passed on under the caller's name.
template <class F>
auto read_config(const std::wstring& text, const wchar_t* fn, F reader) {
    try {
        return exec::run_in_sta([&] {
            Xml::CDocument doc;
            const HRESULT hr = LoadXml4mWstring(doc, text);
            if (FAILED(hr)) VR_RAISE(static_cast<DWORD>(hr), fn);
            return reader(doc.GetRoot());
        });
    } catch (...) {
        VR_UNWIND_TRACE(fn);
        throw;
    }
}

template <class Set>
Set child_texts(const Xml::CElement& parent, const wchar_t* xpath) {
    Set result;
    auto children = parent.SelectNodes(xpath);
    for (Xml::CElement child; children.Next(child);) result.insert(child.GetValue<std::wstring>());
    return result;
}

bool section_flag(const Xml::CElement& root, const wchar_t* xpath, const wchar_t* attribute) {
    return root.Lookup(xpath).GetAttribute<bool>(attribute);
}

} // namespace

PathSet get_scan_paths_wrapper(const std::wstring& text) {
    return read_config(text, L"get_scan_paths_wrapper", [](const Xml::CElement& root) {
        const Xml::CElement paths = root.Lookup(L"./Settings/ScanSetting/Paths");
        if (paths.GetAttribute<bool>(L"all")) return PathSet{kScanAllLocals};
        return child_texts<PathSet>(paths, L"./Path");
    });
}

PathSet get_scan_exclusions_wrapper(const std::wstring& text) {
    return read_config(text, L"get_scan_exclusions_wrapper", [](const Xml::CElement& root) {
        const Xml::CElement excluded = root.Lookup(L"./Settings/ScanSetting/ExcludePaths");
        if (!excluded.GetAttribute<bool>(L"enable")) return PathSet{};
        return child_texts<PathSet>(excluded, L"./Path");
    });
}

PathSet get_scan_file_extentions_wrapper(const std::wstring& text) {
    return read_config(text, L"get_scan_file_extentions_wrapper", [](const Xml::CElement& root) {
        const Xml::CElement extensions = root.Lookup(L"./Settings/ScanSetting/Extensions");
        if (extensions.GetAttribute<bool>(L"all")) return PathSet{};
        // Names are matched on what follows their last dot, so ".dll" as
        // written by a person means "dll", not a set that matches nothing.
        PathSet written = child_texts<PathSet>(extensions, L"./Ext"), taken;
        for (const std::wstring& ext : written) taken.insert(!ext.empty() && ext[0] == L'.' ? ext.substr(1) : ext);
        return taken;
    });
}

EventSet get_registred_events_wrapper(const std::wstring& text) {
    return read_config(text, L"get_registred_events_wrapper", [](const Xml::CElement& root) {
        EventSet events;
        auto children = root.Lookup(L"./Settings/EventRegistration").SelectNodes(L"./Event");
        for (Xml::CElement event; children.Next(event);) {
            // Both attributes are required on every entry, enabled or not.
            std::wstring name = event.GetAttribute<std::wstring>(L"name");
            if (event.GetAttribute<bool>(L"enabled")) events.insert(std::move(name));
        }
        return events;
    });
}

std::wstring get_schedule_type_str_wrapper(const std::wstring& text) {
    return read_config(text, L"get_schedule_type_str_wrapper", [](const Xml::CElement& root) {
        const Xml::CElement schedule = root.Lookup(L"./Settings/ScheduleScan");
        if (!schedule.GetAttribute<bool>(L"enabled")) return std::wstring(L"None");
        return schedule.Lookup(L"./Schedule").GetAttribute<std::wstring>(L"scheduleType");
    });
}

bool is_schedule_set(const std::wstring& text) {
    const wchar_t* const fn = L"is_schedule_set";
    const bool enabled = read_config(text, fn, [](const Xml::CElement& root) {
        return section_flag(root, L"./Settings/ScheduleScan", L"enabled");
    });
    if (!enabled) return false;
    if (_wcsicmp(get_schedule_type_str_wrapper(text).c_str(), L"None") == 0) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    return true;
}

_PERIODIC_SCHEDULE_SETTINGS get_periodic_schedule_wrapper(const std::wstring& text) {
    return read_config(text, L"get_periodic_schedule_wrapper", [](const Xml::CElement& root) {
        const Xml::CElement periodic = root.Lookup(L"./Settings/ScheduleScan/Schedule/Periodic");
        _PERIODIC_SCHEDULE_SETTINGS settings;
        settings.start_date = periodic.GetAttribute<std::wstring>(L"startDate");
        settings.interval = periodic.GetAttribute<unsigned long>(L"interval");
        settings.interval_scale = periodic.GetAttribute<std::wstring>(L"intervalScale");
        return settings;
    });
}

std::vector<_WEEKLY_SCHEDULE_ITEM_SETTINGS> get_weekly_schedule_wrapper(const std::wstring& text) {
    return read_config(text, L"get_weekly_schedule_wrapper", [](const Xml::CElement& root) {
        std::vector<_WEEKLY_SCHEDULE_ITEM_SETTINGS> items;
        auto children = root.Lookup(L"./Settings/ScheduleScan/Schedule/Week").SelectNodes(L"./Item");
        for (Xml::CElement item; children.Next(item);) {
            _WEEKLY_SCHEDULE_ITEM_SETTINGS settings;
            settings.day = item.GetAttribute<std::wstring>(L"day");
            settings.hour = item.GetAttribute<unsigned long>(L"hour");
            settings.minute = item.GetAttribute<unsigned long>(L"minute");
            items.push_back(std::move(settings));
        }
        return items;
    });
}

CSSROpSettings& CSSROpSettings::instance() {
    static CSSROpSettings settings;
    return settings;
}

CSSROpSettingsLocker::~CSSROpSettingsLocker() {
    VrBase::GuardVoid(L"CSSROpSettingsLocker::~CSSROpSettingsLocker", [] { CSSROpSettings::instance().unlock(); });
}

CSSROpSettings::Sets CSSROpSettings::default_sets() {
    Sets sets;
    sets.extensions = {L"exe", L"com", L"dll", L"ocx", L"cmd", L"bat", L"vb",  L"vbs", L"vbe", L"cpl", L"scr", L"drv",
                       L"sys", L"js",  L"jse", L"jar", L"ps1", L"wsf", L"msi", L"msu", L"bpl", L"ppl", L"ovl"};
    sets.events = {L"EID_SP_SES_BUILD_STARTED", L"EID_SP_SES_BUILD_ERROR", L"EID_SP_SES_BUILD_COMPLETE",
                   L"EID_SP_SES_SAVED"};
    return sets;
}

CSSROpSettings::Sets CSSROpSettings::parse(const std::wstring& text) {
    Sets sets;
    sets.paths = get_scan_paths_wrapper(text);
    sets.exclusions = get_scan_exclusions_wrapper(text);
    sets.extensions = get_scan_file_extentions_wrapper(text);
    sets.events = get_registred_events_wrapper(text);
    return sets;
}

void CSSROpSettings::reset_for_tests() { m_sets = default_sets(); }

void CSSROpSettings::initialize() {
    VrBase::GuardVoid(L"CSSROpSettings::initialize", [&] {
        std::wstring text;
        {
            CSSRDiskDepotLocker lock;
            if (!CSSRDiskDepot::instance().load_last_config(text)) return;
        }
        m_sets = parse(text);
    });
}

void CSSROpSettings::check_new_settings(const std::wstring& text) {
    try {
        // Refused now rather than accepted and failing every scan after,
        // each of which would leave the computer without a document.
        const Sets sets = parse(text);
        check_scan_entries(sets.paths, sets.exclusions);
    } catch (...) {
        VR_UNWIND_TRACE(L"CSSROpSettings::check_new_settings");
        throw;
    }
}

void CSSROpSettings::apply_new_settings(const std::wstring& text) { m_sets = parse(text); }
