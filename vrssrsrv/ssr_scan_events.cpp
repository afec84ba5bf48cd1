#include "ssr_scan_events.h"

#include "vrbase/exception_guard.h"

#include <atomic>

namespace {
std::atomic<IScanEventSink*> g_sink{nullptr};
}

void set_scan_event_sink(IScanEventSink* sink) { g_sink.store(sink); }

void reg_evt_scan_error(const std::wstring& operationId, DWORD stage, const std::wstring& text, DWORD reason,
                        const std::wstring& userSid) {
    if (IScanEventSink* sink = g_sink.load()) sink->scan_error(operationId, stage, text, reason, userSid);
}

void reg_evt_file_error(const std::wstring& operationId, DWORD stage, const std::wstring& path,
                        const std::wstring& userSid) noexcept {
    VrBase::GuardVoid(L"reg_evt_file_error",
                      [&] { reg_evt_scan_error(operationId, stage, path, SSR_REASON_ONE_FILE, userSid); });
}

CScanErrorEvtReg::~CScanErrorEvtReg() {
    if (!m_armed) return;
    VrBase::GuardVoid(L"CScanErrorEvtReg::~CScanErrorEvtReg",
                      [&] { reg_evt_scan_error(m_operationId, m_stage, m_text, m_reason, m_userSid); });
}
