#include "ssr_communication.h"

#include "agent_mng.h"
#include "ssr_actions.h"
#include "ssr_disk_depot.h"
#include "ssr_export_params.h"
#include "ssr_messages.h"
#include "ssr_full_config.h"
#include "ssr_policy_ops.h"
#include "ssr_scheduler.h"
#include "ssr_scan_events.h"
#include "ssr_state.h"
#include "ssr_wrk_pool.h"
#include "sid_helpers.h"
#include "vr_srv.h"
#include "vrevtapi.h"

#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/trust.h"
#include "vrbase/vr_error.h"

#include <cwchar>
#include <iterator>

namespace {

constexpr DWORD kSubscribedMessages[] = {VRM_SSR_SET_FULL_CONFIG, VRM_SSR_GET_STATE, VRM_SSR_START_SCAN,
                                         VRM_SSR_EXPORT_SOFTWARE_STATE};

constexpr DWORD EID_SP_SES_BUILD_STARTED = 0x44C;
constexpr DWORD EID_SP_SES_BUILD_COMPLETE = 0x44E;
constexpr DWORD EID_SP_SES_BUILD_ERROR = 0xC000044D;
constexpr DWORD EID_SP_SES_SAVED = 0x451;
constexpr WORD kEventCategory = 1;

struct StartSourceInsert {
    DWORD source;
    DWORD insert;
};
constexpr StartSourceInsert kStartSourceInserts[] = {{SES_SOURCE_ADMIN, 100}, {SES_SOURCE_POLICY, 101}};

std::wstring insertion(DWORD number) { return L"%%" + std::to_wstring(number); }

// The scan's per-file events go to the writers of the link.
struct CommunicationEventSink : IScanEventSink {
    void scan_error(const std::wstring& operationId, DWORD stage, const std::wstring& text, DWORD reason,
                    const std::wstring& userSid) override {
        CSSRCommunication::instance().reg_evt_scan_error(operationId, stage, text, reason, userSid);
    }
};

} // namespace

// The record the core calls back through; the name stays with it.
struct CSSRCommunication::Session {
    VR_SESSION record{};
};

CSSRCommunication& CSSRCommunication::instance() {
    static CSSRCommunication communication;
    return communication;
}

CSSRCommunication::~CSSRCommunication() {
    VrBase::GuardVoid(L"CSSRCommunication::~CSSRCommunication", [&] { break_connection(); });
}

void CSSRCommunication::initialize() {
    static CommunicationEventSink sink;
    set_scan_event_sink(&sink);
    set_ssr_operations(this);
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_stopping = false;
    }
    m_waitEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_waitEvent) VR_RAISE_LAST_ERROR(L"CSSRCommunication::initialize");
    CWrkThreadPoolLocker lock;
    if (!CWrkThreadPool::instance().run_thread(&CSSRCommunication::wait_4_VrCC, m_waitEvent.get(), nullptr, 0)) {
        VR_TRACE(VrBase::TL_ERROR, L"CSSRCommunication::initialize", L"Wait thread for VrCC creation failed!");
        VR_RAISE(static_cast<DWORD>(E_FAIL), L"CSSRCommunication::initialize");
    }
}

bool CSSRCommunication::access_2_VrCC() {
    return VrBase::GuardBool(L"access_2_VrCC", [] {
        CVrQuick quick;
        std::vector<DWORD> ids;
        quick.srv().GetSubsystemIds(ids);
        return true;
    });
}

// Waits for the core, connects, and while connected checks the link every
// poll: a core that went away is waited for again, so a restarted core is
// served without restarting the service.
void CSSRCommunication::wait_4_VrCC(HANDLE stopEvent, void*) {
    VrBase::GuardVoid(L"wait_4_VrCC", [&] {
        CSSRCommunication& self = instance();
        for (;;) {
            // A failed open (the core going away again meanwhile) is tried
            // again at the next poll rather than leaving the service
            // unreachable for the rest of its run.
            if (!self.is_connected() && access_2_VrCC())
                VrBase::GuardVoid(L"wait_4_VrCC", [&] {
                    self.establish_connection();
                    self.flush_service_errors();
                });
            DWORD wait = ::WaitForSingleObject(stopEvent, kCorePollMs);
            if (wait == WAIT_OBJECT_0) return;
            if (wait != WAIT_TIMEOUT) {
                DWORD error = ::GetLastError();
                VR_TRACE(VrBase::TL_ERROR, L"wait_4_VrCC", L"Wait for VrCC failed! Code: %d, last_err %d",
                         static_cast<int>(wait), static_cast<int>(error));
                VR_RAISE(error, L"wait_4_VrCC");
            }
            if (self.is_connected() && !self.session_alive()) {
                VR_TRACE(VrBase::TL_WARNING, L"wait_4_VrCC", L"Connection to VrCC lost. Waiting for VrCC again.");
                VrBase::GuardVoid(L"wait_4_VrCC", [&] { self.break_connection(); });
            }
        }
    });
}

bool CSSRCommunication::is_connected() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_session != nullptr;
}

HANDLE CSSRCommunication::session_handle() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_session ? m_session->record.Handle : nullptr;
}

// The core calls below run outside the lock: a hung core must not hold up
// the shut-down's closing of the session. A handle closed meanwhile only
// fails the call.
bool CSSRCommunication::session_alive() {
    HANDLE handle = session_handle();
    if (!handle) return false;
    DWORD ids[4] = {};
    DWORD count = static_cast<DWORD>(std::size(ids));
    DWORD result = ::VrGetSubsystemIds(handle, kSsrSubsystemName, &count, ids);
    return result == ERROR_SUCCESS || result == ERROR_MORE_DATA;
}

void CSSRCommunication::stop() {
    std::unique_ptr<Session> session;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_stopping = true;
        if (m_waitEvent) ::SetEvent(m_waitEvent.get());
        session = std::move(m_session);
    }
    if (session) close_session(std::move(session));
}

void CSSRCommunication::establish_connection() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_stopping) VR_RAISE(ERROR_SERVICE_NOT_ACTIVE, L"CSSRCommunication::establish_connection");
    auto session = std::make_unique<Session>();
    VR_SESSION& record = session->record;
    record.Name = kSsrSubsystemName;
    record.PostRoutine = &PostRoutine;
    record.SendRoutine = &SendRoutine;
    record.Version = record.Version2 = read_client_version();
    record.Flags = 0;
    record.Context = nullptr;
    m_session.reset();
    if (DWORD result = ::VrOpenSession(&record)) VR_RAISE(result, L"CSSRCommunication::establish_connection");
    m_session = std::move(session);
    for (DWORD id : kSubscribedMessages) ::VrSubscribeMessage(m_session->record.Handle, id, TRUE);

    if (!m_eventSource) {
        m_eventSource = ::VrRegisterEventSourceEx(L"ROZEDURI", L"RarudodaVaridide");
        if (!m_eventSource) VR_RAISE_LAST_ERROR(L"CSSRCommunication::establish_connection");
    }
    VR_TRACE(VrBase::TL_INFO, L"CSSRCommunication::establish_connection", L"Connected to VrCC. Session id %u",
             static_cast<unsigned>(m_session->record.SessionId));
}

// Closing waits for a routine still running on the callback thread, and
// such a routine may be writing an event under the lock: close outside it.
void CSSRCommunication::break_connection() {
    std::unique_ptr<Session> session;
    HANDLE source = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        session = std::move(m_session);
        source = m_eventSource;
        m_eventSource = nullptr;
    }
    if (session) {
        try {
            close_session(std::move(session));
        } catch (...) {
            std::lock_guard<std::recursive_mutex> lock(m_mutex);
            if (!m_eventSource) m_eventSource = source;
            throw;
        }
    }
    if (source && !::VrDeregisterEventSource(source)) VR_RAISE_LAST_ERROR(L"CSSRCommunication::break_connection");
}

void CSSRCommunication::close_session(std::unique_ptr<Session> session) {
    for (DWORD id : kSubscribedMessages) ::VrSubscribeMessage(session->record.Handle, id, FALSE);
    if (DWORD result = ::VrCloseSession(session->record.Handle)) {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (!m_session) m_session = std::move(session);
        VR_RAISE(result, L"CSSRCommunication::close_session");
    }
}

DWORD CSSRCommunication::setup_new_full_config(const std::wstring& configuration) {
    return VrBase::GuardCode(L"CSSRCommunication::setup_new_full_config", [&] {
        accept_full_config(configuration);
        return ERROR_SUCCESS;
    });
}

DWORD CSSRCommunication::query_ssr_state(std::wstring& document) {
    return VrBase::GuardCode(L"CSSRCommunication::query_ssr_state", [&] {
        CSSRStateLocker lock;
        document = CSSRState::instance().get_ssr_state_str();
        return ERROR_SUCCESS;
    });
}

DWORD CSSRCommunication::start_software_scan(const std::vector<BYTE>& userSid) {
    return VrBase::GuardCode(L"CSSRCommunication::start_software_scan", [&]() -> DWORD {
        VrBase::unique_handle stop = create_task_stop_event();
        if (!stop) VR_RAISE_LAST_ERROR(L"CSSRCommunication::start_software_scan");
        std::vector<BYTE> request = build_scan_request(SES_SOURCE_ADMIN, userSid);
        CWrkThreadPool& pool = CWrkThreadPool::instance();
        if (!pool.lock_unless_torn_down()) return static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        VrBase::scope_exit unlock([&] { pool.unlock(); });
        if (!pool.run_thread(&software_scan, stop.get(), request.data(), request.size())) {
            VR_TRACE(VrBase::TL_WARNING, L"CSSRCommunication::start_software_scan",
                     L"The worker pool refused the scan task.");
            return static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        }
        return ERROR_SUCCESS;
    });
}

DWORD CSSRCommunication::export_software_state(const std::wstring& parameters, const std::wstring& userSid,
                                               std::wstring& uniqueId) {
    return VrBase::GuardCode(L"CSSRCommunication::export_software_state", [&]() -> DWORD {
        bool deleteAfter = false;
        std::wstring path;
        if (HRESULT hr = read_export_params(parameters, deleteAfter, path)) return static_cast<DWORD>(hr);
        std::wstring id;
        {
            // One hold of the state from the check to the state change: a
            // scan starting in between would otherwise be marked "None"
            // while it runs, and a second one let in beside it.
            CSSRStateLocker state;
            if (_wcsicmp(CSSRState::instance().get_status().c_str(), kStatusComplete) != 0) return ERROR_NOT_READY;
            {
                CSSRDiskDepotLocker depot;
                id = CSSRDiskDepot::instance().export_ss(path, deleteAfter);
            }
            if (deleteAfter) CSSRState::instance().set_scan_state(kStatusNone, SES_SOURCE_SERVICE);
        }
        if (id.size() >= 128) return ERROR_BUFFER_OVERFLOW;
        reg_evt_export(id, userSid);
        uniqueId = id;
        return ERROR_SUCCESS;
    });
}

void CSSRCommunication::write_event(const wchar_t* name, DWORD eventId, WORD type,
                                    const std::vector<std::wstring>& strings, const std::wstring& userSid) {
    // The settings are asked before the link's lock is taken: a scan saving
    // its document holds the depot lock and then asks the link for the
    // computer record, while a new configuration holds the settings lock
    // and then takes the depot lock.
    {
        CSSROpSettingsLocker settings;
        if (!CSSROpSettings::instance().is_event_registered(name)) return;
    }
    HANDLE source = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        source = m_eventSource;
    }
    if (source) write_to(source, eventId, type, strings, get_SID_4m_str_SID(userSid));
}

void CSSRCommunication::write_to(HANDLE source, DWORD eventId, WORD type, const std::vector<std::wstring>& strings,
                                 std::vector<BYTE> sid) {
    std::vector<const WCHAR*> texts;
    for (const std::wstring& s : strings) texts.push_back(s.c_str());
    // Written outside the lock, like the other core calls; a source
    // released meanwhile only fails the write.
    if (!::VrWriteEvent(source, type, kEventCategory, eventId, sid.empty() ? nullptr : sid.data(),
                        static_cast<WORD>(texts.size()), 0, texts.data(), nullptr))
        VR_TRACE(VrBase::TL_ERROR, L"CSSRCommunication::write_event", L"Registration failed. Err %d",
                 static_cast<int>(::GetLastError()));
}

void CSSRCommunication::reg_evt_service_error(const std::wstring& text) {
    reg_evt_service_fault({SSR_REASON_GENERAL, text, SSR_REASON_GENERAL});
}

void CSSRCommunication::reg_evt_depot_fault(const std::wstring& path, const std::wstring& why) {
    reg_evt_service_fault({SSR_STAGE_SAVE_DOCUMENT, path + L": " + why, SSR_REASON_ONE_FILE});
}

// No caller behind it, so the service's own account is named.
void CSSRCommunication::reg_evt_service_fault(ServiceFault fault) {
    HANDLE source = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        source = m_eventSource;
        if (!source) {
            if (m_pendingServiceErrors.size() < kMaxPendingServiceErrors)
                m_pendingServiceErrors.push_back(std::move(fault));
            return;
        }
    }
    write_to(source, EID_SP_SES_BUILD_ERROR, 1, {L"", insertion(fault.stage), fault.text, insertion(fault.reason)},
             VrBase::Trust::ProcessUserSid());
}

void CSSRCommunication::flush_service_errors() {
    std::vector<ServiceFault> pending;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        pending.swap(m_pendingServiceErrors);
    }
    for (ServiceFault& fault : pending) reg_evt_service_fault(std::move(fault));
}

void CSSRCommunication::reg_evt_scan_start(DWORD source, const std::wstring& operationId,
                                           const std::wstring& userSid) {
    for (const StartSourceInsert& s : kStartSourceInserts)
        if (s.source == source)
            return write_event(L"EID_SP_SES_BUILD_STARTED", EID_SP_SES_BUILD_STARTED, 0,
                               {operationId, insertion(s.insert)}, userSid);
    VR_TRACE(VrBase::TL_ERROR, L"CSSRCommunication::reg_evt_scan_start", L"Unknown start scan source %ls",
             std::to_wstring(source).c_str());
}

void CSSRCommunication::reg_evt_scan_finished(const std::wstring& operationId, const std::wstring& userSid) {
    write_event(L"EID_SP_SES_BUILD_COMPLETE", EID_SP_SES_BUILD_COMPLETE, 0, {operationId}, userSid);
}

void CSSRCommunication::reg_evt_scan_error(const std::wstring& operationId, DWORD stage, const std::wstring& text,
                                           DWORD reason, const std::wstring& userSid) {
    write_event(L"EID_SP_SES_BUILD_ERROR", EID_SP_SES_BUILD_ERROR, 1,
                {operationId, insertion(stage), text.empty() ? L"N/A" : text, insertion(reason)}, userSid);
}

void CSSRCommunication::reg_evt_export(const std::wstring& uniqueId, const std::wstring& userSid) {
    write_event(L"EID_SP_SES_SAVED", EID_SP_SES_SAVED, 0, {uniqueId}, userSid);
}

std::wstring CSSRCommunication::get_comp_info_4m_db(const std::wstring& className) {
    struct Field {
        const wchar_t* name;
        size_t offset;
    };
    static const Field kFields[] = {
        {L"Department", offsetof(VR_COMPUTER_INFO_1, Department)},
        {L"AutomationSystem", offsetof(VR_COMPUTER_INFO_1, AutomationSystem)},
        {L"Location", offsetof(VR_COMPUTER_INFO_1, Location)},
        {L"SerialNumber", offsetof(VR_COMPUTER_INFO_1, SerialNumber)},
        {L"Type", offsetof(VR_COMPUTER_INFO_1, Type)},
        {L"ResponsibleEmployee", offsetof(VR_COMPUTER_INFO_1, ResponsibleEmployee)},
        {L"DBMS", offsetof(VR_COMPUTER_INFO_1, DBMS)},
    };
    const Field* field = nullptr;
    for (const Field& f : kFields)
        if (className == f.name) field = &f;
    if (!field) VR_RAISE(ERROR_INVALID_PARAMETER, L"get_comp_info_4m_db");

    HANDLE handle = session_handle();
    if (!handle) VR_RAISE(ERROR_NOT_READY, L"get_comp_info_4m_db");
    void* buffer = nullptr;
    if (DWORD result = ::VrComputerGetInfo(handle, nullptr, 1, &buffer))
        VR_RAISE(result, L"get_comp_info_4m_db");
    VrBase::scope_exit release([&] { ::VrApiBufferFree(buffer); });
    const WCHAR* text = reinterpret_cast<const WCHAR*>(static_cast<const BYTE*>(buffer) + field->offset);
    std::wstring value(text, wcsnlen(text, VR_COMPUTER_FIELD_CHARS));
    VR_TRACE(VrBase::TL_INFO, L"get_comp_info_4m_db", L"Comp info. ClassName <%ls>  Value <%ls>", className.c_str(),
             value.c_str());
    return value;
}
