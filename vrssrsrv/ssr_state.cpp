#include "ssr_state.h"

#include "agent_mng.h"
#include "exec/apartment_executor.h"
#include "ssr_disk_depot.h"
#include "ssr_reg_depot.h"
#include "time_convertions.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"
#include "xml_common.h"

#include <cwchar>

std::wstring convert_SES_BUILD_SOURCE_2_str(DWORD source) {
    if (source == SES_SOURCE_ADMIN) return L"Admin";
    if (source == SES_SOURCE_POLICY) return L"Policy";
    VR_RAISE(ERROR_INVALID_PARAMETER, L"convert_SES_BUILD_SOURCE_2_str");
}

CSSRState& CSSRState::instance() {
    static CSSRState state;
    return state;
}

CSSRStateLocker::~CSSRStateLocker() {
    VrBase::GuardVoid(L"CSSRStateLocker::~CSSRStateLocker", [] { CSSRState::instance().unlock(); });
}

void CSSRState::reset_for_tests() {
    m_status = kStatusNone;
    m_source.clear();
    m_start = m_end = m_realEnd = SYSTEMTIME{};
    m_scheduled = false;
}

void CSSRState::initialize() {
    const wchar_t* const fn = L"CSSRState::initialize";
    SYSTEMTIME start = get_empty_system_time(), end = start, realEnd = start;
    try {
        CSSRRegDepotLocker lock;
        CSSRRegDepot& depot = CSSRRegDepot::instance();
        start = depot.read_start();
        end = depot.read_end();
        realEnd = depot.read_real_end();
    } catch (VrBase::CVrError&) {
        VR_TRACE(VrBase::TL_WARNING, fn, L"Last scan time load failed! Use empty time.");
        start = end = realEnd = get_empty_system_time();
    }
    m_realEnd = realEnd;
    if (is_empty_system_time(start) && !is_empty_system_time(end)) {
        VR_TRACE(VrBase::TL_WARNING, fn, L"Data corrupted! No start scan time. End time will be droped.");
        end = get_empty_system_time();
        CSSRRegDepotLocker lock;
        CSSRRegDepot::instance().clear_end();
    }
    m_status = is_empty_system_time(end) ? kStatusNone : kStatusComplete;
    CSSRRegDepotLocker lock;
    CSSRRegDepot::instance().write_start(start);
    m_start = start;
    CSSRRegDepot::instance().write_end(end);
    m_end = end;
    if (!is_empty_system_time(end)) m_realEnd = end;
}

void CSSRState::set_scan_state(const std::wstring& status, DWORD source) {
    const wchar_t* const fn = L"CSSRState::set_scan_state";
    if (status != kStatusNone && status != kStatusInProgress && status != kStatusComplete)
        VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    // The source is checked before anything changes.
    const std::wstring sourceText = status == kStatusInProgress ? convert_SES_BUILD_SOURCE_2_str(source) : m_source;
    const std::wstring before = m_status;
    m_status = status;
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    {
        CSSRRegDepotLocker lock;
        CSSRRegDepot& depot = CSSRRegDepot::instance();
        if (status == kStatusNone) {
            depot.write_start(get_empty_system_time());
            m_start = get_empty_system_time();
            depot.write_end(get_empty_system_time());
            m_end = get_empty_system_time();
        } else if (status == kStatusInProgress) {
            depot.write_start(now);
            m_start = now;
            depot.write_end(get_empty_system_time());
            m_end = get_empty_system_time();
        } else {
            depot.write_end(now);
            m_end = now;
            m_realEnd = now;
        }
    }
    if (status == kStatusInProgress) m_source = sourceText;
    if (_wcsicmp(before.c_str(), m_status.c_str()) != 0)
        VrBase::GuardVoid(L"CSSRState::set_scan_state", [] { notify_status_changed(); });
}

void CSSRState::set_scheduler_state(bool scheduled) {
    const bool changed = m_scheduled != scheduled;
    m_scheduled = scheduled;
    if (changed) VrBase::GuardVoid(L"CSSRState::set_scheduler_state", [] { notify_status_changed(); });
}

bool CSSRState::is_scan_in_progress() const { return _wcsicmp(m_status.c_str(), kStatusInProgress) == 0; }

std::wstring build_ssr_state_str(const std::wstring& uniqueId, const std::wstring& status, const std::wstring& source,
                                 const SYSTEMTIME& start, const SYSTEMTIME& end, bool scheduled) {
    Xml::CDocument doc;
    Xml::CElement scan = doc.Create(L"VevadediDuzavareState").Append(L"Scan");
    scan.Append(L"UniqueId").SetValue(uniqueId);
    scan.Append(L"Status").SetValue(status);
    if (_wcsicmp(status.c_str(), kStatusInProgress) == 0) scan.Append(L"InProgress").SetValue(source);
    scan.Append(L"LastScanStartTime").SetValue(is_empty_system_time(start) ? L"" : convert_time_to_iso_str(start));
    scan.Append(L"LastScanEndTime").SetValue(is_empty_system_time(end) ? L"" : convert_time_to_iso_str(end));
    scan.Append(L"ScheduleScan").SetValue(scheduled);
    std::wstring text;
    HRESULT hr = save_xml_to_wstring(doc, text);
    if (FAILED(hr)) VR_RAISE(static_cast<DWORD>(hr), L"CSSRState::get_ssr_state_str");
    return text;
}

std::wstring CSSRState::get_ssr_state_str() {
    try {
        std::wstring uniqueId;
        {
            CSSRDiskDepotLocker lock;
            uniqueId = CSSRDiskDepot::instance().get_last_ses_unique_id();
        }
        const std::wstring status = m_status, source = m_source;
        const SYSTEMTIME start = m_start, end = m_end;
        const bool scheduled = m_scheduled;
        return exec::run_in_sta([&] { return build_ssr_state_str(uniqueId, status, source, start, end, scheduled); });
    } catch (...) {
        VR_UNWIND_TRACE(L"CSSRState::get_ssr_state_str");
        throw;
    }
}
