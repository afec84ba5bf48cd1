#pragma once
#include "vrbase/trace_config.h"

#include <windows.h>
#include <atomic>
#include <cstdarg>
#include <locale.h>
#include <memory>
#include <string>

namespace VrBase {

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
