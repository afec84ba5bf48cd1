#pragma once
// Error events of a scan. The scan operation connects the writer; until
// then (and in tests) whoever is connected observes them.
#include <windows.h>
#include <string>

enum : DWORD {
    SSR_STAGE_TARGET_CHECK = 102,
    SSR_STAGE_COLLECT_FILE = 103,
    SSR_STAGE_FILE_CHECKSUM = 104,
    SSR_STAGE_SAVE_DOCUMENT = 105,
    SSR_REASON_ONE_FILE = 106,
    SSR_REASON_GENERAL = 107,
};

struct IScanEventSink {
    virtual ~IScanEventSink() = default;
    virtual void scan_error(const std::wstring& operationId, DWORD stage, const std::wstring& text, DWORD reason,
                            const std::wstring& userSid) = 0;
};

// The process-wide receiver of scan error events; null drops them.
void set_scan_event_sink(IScanEventSink* sink);
void reg_evt_scan_error(const std::wstring& operationId, DWORD stage, const std::wstring& text, DWORD reason,
                        const std::wstring& userSid);
// One file's error event: a write that fails is traced and costs the scan
// nothing else, neither the file nor the files after it.
void reg_evt_file_error(const std::wstring& operationId, DWORD stage, const std::wstring& path,
                        const std::wstring& userSid) noexcept;

// Registers the error event when the scope is left by an exception, or
// whenever it ends while still armed.
class CScanErrorEvtReg {
public:
    CScanErrorEvtReg(std::wstring operationId, std::wstring userSid, std::wstring text, DWORD stage, DWORD reason)
        : m_operationId(std::move(operationId)), m_userSid(std::move(userSid)), m_text(std::move(text)),
          m_stage(stage), m_reason(reason) {}
    ~CScanErrorEvtReg();
    CScanErrorEvtReg(const CScanErrorEvtReg&) = delete;
    CScanErrorEvtReg& operator=(const CScanErrorEvtReg&) = delete;
    void disarm() { m_armed = false; }

private:
    std::wstring m_operationId, m_userSid, m_text;
    DWORD m_stage, m_reason;
    bool m_armed = true;
};
