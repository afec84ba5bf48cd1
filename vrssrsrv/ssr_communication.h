#pragma once
// The service's end of the link to the core service: its session, the
// operations behind the four messages, and the component's events.
#include "ssr_msg_dispatch.h"
#include "vrsrvapi.h"
#include "vrbase/scope.h"

#include <windows.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CSSRCommunication : public ISsrOperations {
public:
    static CSSRCommunication& instance();

    CSSRCommunication() = default;
    ~CSSRCommunication() override;
    CSSRCommunication(const CSSRCommunication&) = delete;
    CSSRCommunication& operator=(const CSSRCommunication&) = delete;

    // Start-up: queues the task that waits for the core and keeps the link.
    void initialize();
    void establish_connection();
    void break_connection();
    // Shut-down: ends the link task and closes the session, so the task
    // cannot open it again behind the closing. The event source stays for
    // the scans that are still ending; break_connection releases it once
    // the tasks are joined.
    void stop();
    bool is_connected();

    DWORD setup_new_full_config(const std::wstring& configuration) override;
    DWORD query_ssr_state(std::wstring& document) override;
    DWORD start_software_scan(const std::vector<BYTE>& userSid) override;
    DWORD export_software_state(const std::wstring& parameters, const std::wstring& userSid,
                                std::wstring& uniqueId) override;

    void reg_evt_scan_start(DWORD source, const std::wstring& operationId, const std::wstring& userSid);
    void reg_evt_scan_finished(const std::wstring& operationId, const std::wstring& userSid);
    void reg_evt_scan_error(const std::wstring& operationId, DWORD stage, const std::wstring& text, DWORD reason,
                            const std::wstring& userSid);
    void reg_evt_export(const std::wstring& uniqueId, const std::wstring& userSid);
    // The service's own findings, not a scan's: an object it could not trust,
    // a depot file or folder refused or repaired (named with why). Written
    // whatever events the configuration registers, and kept until the link to
    // the core is up when it is not yet, at most kMaxPendingServiceErrors.
    void reg_evt_service_error(const std::wstring& text);
    void reg_evt_depot_fault(const std::wstring& path, const std::wstring& why);

    // One field of the core's computer record by its name; 87 for another.
    std::wstring get_comp_info_4m_db(const std::wstring& className);

private:
    struct Session;
    static void wait_4_VrCC(HANDLE stopEvent, void* data);
    static bool access_2_VrCC();
    bool session_alive();
    HANDLE session_handle();
    void close_session(std::unique_ptr<Session> session);
    struct ServiceFault {
        DWORD stage;
        std::wstring text;
        DWORD reason;
    };
    void reg_evt_service_fault(ServiceFault fault);
    void write_event(const wchar_t* name, DWORD eventId, WORD type, const std::vector<std::wstring>& strings,
                     const std::wstring& userSid);
    static void write_to(HANDLE source, DWORD eventId, WORD type, const std::vector<std::wstring>& strings,
                         std::vector<BYTE> sid);
    void flush_service_errors();

    std::recursive_mutex m_mutex;
    std::unique_ptr<Session> m_session;
    HANDLE m_eventSource = nullptr;
    bool m_stopping = false;
    VrBase::unique_handle m_waitEvent;
    std::vector<ServiceFault> m_pendingServiceErrors;
};

// Service errors kept while the core is not reached; more are only traced.
constexpr size_t kMaxPendingServiceErrors = 16;

// How often the link task asks for the core, and checks it once connected.
constexpr DWORD kCorePollMs = 3000;
