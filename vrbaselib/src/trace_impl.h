#pragma once
#include "vrbase/trace_config.h"

#include <windows.h>
#include <atomic>
#include <cstdarg>
#include <locale.h>
#include <memory>
#include <mutex>
#include <string>

namespace VrBase {

// How long one line waits at most for the lock of its trace file, and for
// how long after finding it held the next lines try only once (until one
// gets it).
constexpr DWORD kTraceLockWaitMs = 20;
constexpr DWORD kTraceHeldBackoffMs = 1000;

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
    // Lines lost since the last one that reached the file.
    unsigned long DroppedLines() const { return m_dropped.load(std::memory_order_relaxed); }

    void WriteNarrow(int level, const char* format, va_list args);
    void WriteWide(int level, const wchar_t* format, va_list args);
    void Dump(int level, const wchar_t* title, const void* data, size_t size, unsigned flags);

private:
    void Emit(int level, const std::string& message);
    void OpenFile(bool keep, const std::string* firstText);
    void AppendToFile(const std::string& line);
    enum class LockResult { Locked, Held, NoLocks };
    LockResult LockWithin(HANDLE file, OVERLAPPED& range);

    std::wstring m_name;
    std::atomic<DWORD> m_enable{0};
    std::atomic<DWORD> m_params{0};
    std::atomic<DWORD> m_context{kNoContext};
    std::atomic<DWORD> m_common{0};
    std::shared_ptr<const std::wstring> m_path;  // swapped atomically on reload
    std::mutex m_fileMutex;  // threads of this process take turns without the file's budget
    std::atomic<unsigned long> m_dropped{0};
    std::atomic<ULONGLONG> m_lastHeldTick{0};
    HANDLE m_console = nullptr;
    bool m_consoleAllocated = false;
    _locale_t m_locale = nullptr;
};

} // namespace VrBase
