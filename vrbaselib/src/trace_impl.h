#pragma once
#include <windows.h>
#include <atomic>
#include <cstdarg>
#include <locale.h>
#include <memory>
#include <string>

namespace VrBase {

// ParamsMask bits.
enum : DWORD {
    TP_FILE = 0x1,
    TP_DEBUGGER = 0x8,
    TP_CONSOLE = 0x10,
    TP_KEEP_FILE = 0x100,
    TP_MILLISECONDS = 0x400,
    TP_PID_TID = 0x800,
    TP_TIME = 0x1000,
    TP_DATE = 0x2000,
    TP_SESSION = 0x4000,
    TP_NAME = 0x8000,
};

constexpr DWORD kNoContext = 0xFFFFFFFF;
constexpr const wchar_t* kTraceKey = L"SYSTEM\\CurrentControlSet\\Services\\vrcc0\\Trace";

struct TraceConfig {
    DWORD enableMask = 0;
    DWORD paramsMask = 0;
    DWORD contextMask = kNoContext;
    DWORD commonFileFlag = 0;
    std::wstring filePath;
};

// Reads the configuration of the named trace from the registry.
TraceConfig ReadTraceConfig(const std::wstring& traceName);

// The trace file name rule: a name ending in "." gets "log", a name without
// a three-character extension gets ".log".
std::wstring TraceFileName(const std::wstring& name);

class CTraceImpl {
public:
    explicit CTraceImpl(std::wstring traceName);
    ~CTraceImpl();
    CTraceImpl(const CTraceImpl&) = delete;
    CTraceImpl& operator=(const CTraceImpl&) = delete;

    void Load();
    bool IsActive() const {
        return m_enable.load(std::memory_order_relaxed) != 0 &&
               (m_params.load(std::memory_order_relaxed) & 0xFF) != 0;
    }
    bool IsLevelEnabled(int level) const {
        return IsActive() && (static_cast<DWORD>(level) & m_enable.load(std::memory_order_relaxed)) != 0;
    }
    DWORD Params() const { return m_params.load(std::memory_order_relaxed); }
    DWORD Context() const { return m_context.load(std::memory_order_relaxed); }
    std::wstring FilePath() const;

    void WriteNarrow(int level, const char* format, va_list args);
    void WriteWide(int level, const wchar_t* format, va_list args);
    void Dump(int level, const wchar_t* title, const void* data, size_t size, unsigned flags);

private:
    void Emit(int level, const std::string& message);
    void OpenFile(bool keep, const std::string* firstText);
    void AppendToFile(const std::string& line);

    std::wstring m_name;
    std::atomic<DWORD> m_enable{0};
    std::atomic<DWORD> m_params{0};
    std::atomic<DWORD> m_context{kNoContext};
    std::atomic<DWORD> m_common{0};
    std::shared_ptr<const std::wstring> m_path;  // swapped atomically on reload
    HANDLE m_console = nullptr;
    bool m_consoleAllocated = false;
    _locale_t m_locale = nullptr;
};

} // namespace VrBase
