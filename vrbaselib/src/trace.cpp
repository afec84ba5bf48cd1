#include "vrbase/trace.h"

#include "trace_impl.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"

#include <string>

namespace VrBase {

CVrTrace::CVrTrace(const wchar_t* traceName) {
    CLastErrorKeeper keep;
    // The trace is below the exception guard: it cannot report its own
    // failure anywhere but the debugger, and then stays inert.
    try {
        m_impl = std::make_unique<CTraceImpl>(traceName ? traceName : L"");
        m_impl->Load();
    } catch (...) {
        ::OutputDebugStringA("Exception raised in CVrTrace::CVrTrace()\n");
        m_impl.reset();
    }
}

CVrTrace::~CVrTrace() = default;

void CVrTrace::Write(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteV(level, format, args);
    va_end(args);
}

void CVrTrace::Write(int level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    WriteV(level, format, args);
    va_end(args);
}

void CVrTrace::WriteV(int level, const char* format, va_list args) {
    CLastErrorKeeper keep;
    if (m_impl) m_impl->WriteNarrow(level, format, args);
}

void CVrTrace::WriteV(int level, const wchar_t* format, va_list args) {
    CLastErrorKeeper keep;
    if (m_impl) m_impl->WriteWide(level, format, args);
}

void CVrTrace::Dump(int level, const wchar_t* title, const void* data, size_t size, unsigned flags) {
    CLastErrorKeeper keep;
    if (!m_impl) return;
    try {
        m_impl->Dump(level, title, data, size, flags);
    } catch (...) {
        ::OutputDebugStringA("Exception raised in CVrTrace::Dump()\n");
    }
}

void CVrTrace::Reload() {
    CLastErrorKeeper keep;
    if (!m_impl) return;
    try {
        m_impl->Load();
    } catch (...) {
        ::OutputDebugStringA("Exception raised in CVrTrace::Reload()\n");
    }
}

bool CVrTrace::IsActive() const { return m_impl && m_impl->IsActive(); }
bool CVrTrace::IsLevelEnabled(int level) const { return m_impl && m_impl->IsLevelEnabled(level); }
bool CVrTrace::ContextEquals(DWORD value) const { return m_impl && m_impl->Context() == value; }
bool CVrTrace::TimeEnabled() const { return m_impl && (m_impl->Params() & TP_TIME) != 0; }
bool CVrTrace::MillisecondsEnabled() const { return m_impl && (m_impl->Params() & TP_MILLISECONDS) != 0; }

std::wstring CVrTrace::FilePath() const {
    CLastErrorKeeper keep;
    return m_impl ? m_impl->FilePath() : std::wstring();
}

void CTracePrefix::Write(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    WriteV(format, args);
    va_end(args);
}

void CTracePrefix::WriteV(const wchar_t* format, va_list args) {
    if (!m_trace.IsLevelEnabled(m_level) || !format || !*format) return;
    if (!m_function || !*m_function) {
        m_trace.WriteV(m_level, format, args);
        return;
    }
    CLastErrorKeeper keep;
    std::wstring joined(m_function);
    joined += L' ';
    joined += format;
    m_trace.WriteV(m_level, joined.c_str(), args);
}

void CTracePrefix::Write(const char* format, ...) {
    if (!m_trace.IsLevelEnabled(m_level) || !format || !*format) return;
    CLastErrorKeeper keep;
    va_list args;
    va_start(args, format);
    std::string joined;
    if (m_function && *m_function) {
        for (const wchar_t* p = m_function; *p; ++p) joined += static_cast<char>(*p < 0x80 ? *p : L'?');
        joined += ' ';
    }
    joined += format;
    m_trace.WriteV(m_level, joined.c_str(), args);
    va_end(args);
}

CTraceFuncInOut::CTraceFuncInOut(const wchar_t* function)
    : m_function(function ? function : L"!!! CODE ERROR !!!") {
    CLastErrorKeeper keep;  // outlives the catchers, whose set-up touches it
    CSehCatcher seh;
    CRTLTranslator rtl;
    ITrace& trace = ModuleTrace();
    CTracePrefix(trace, TL_INFO, L"CTraceFuncInOut::CTraceFuncInOut").Write(L" ");
    CTracePrefix(trace, TL_INFO, L"CTraceFuncInOut::CTraceFuncInOut").Write(L" %ls(in) >> ", m_function);
}

CTraceFuncInOut::~CTraceFuncInOut() {
    CLastErrorKeeper keep;
    CSehCatcher seh;
    CRTLTranslator rtl;
    ITrace& trace = ModuleTrace();
    CTracePrefix(trace, TL_INFO, L"CTraceFuncInOut::~CTraceFuncInOut").Write(L" %ls(out) << ", m_function);
    CTracePrefix(trace, TL_INFO, L"CTraceFuncInOut::~CTraceFuncInOut").Write(L" ");
}

} // namespace VrBase
