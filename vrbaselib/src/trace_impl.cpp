#include "trace_impl.h"

#include "vrbase/scope.h"
#include "vrbase/trust.h"

#include <cstdio>
#include <vector>

namespace VrBase {
namespace {

bool ReadDword(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD data = 0, size = sizeof(data), type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(data))
        return false;
    value = data;
    return true;
}

bool ReadString(HKEY key, const wchar_t* name, size_t maxChars, std::wstring& value) {
    std::vector<wchar_t> buf(maxChars + 1, L'\0');
    DWORD size = static_cast<DWORD>(maxChars * sizeof(wchar_t)), type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    value.assign(buf.data());
    return true;
}

std::wstring EnvironmentValue(const wchar_t* name) {
    wchar_t buf[MAX_PATH * 2];
    DWORD n = ::GetEnvironmentVariableW(name, buf, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2) return std::wstring();
    return std::wstring(buf, n);
}

std::string ToCodePage1251(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = ::WideCharToMultiByte(1251, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(1251, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// A message whose arguments cannot be formatted is written as its format
// with this note, never as a buffer's worth of nothing.
const wchar_t kUnformattable[] = L" [arguments cannot be formatted]";
const char kUnformattableNarrow[] = " [arguments cannot be formatted]";

// Formats into a 256-character buffer, doubling while the text does not fit.
std::wstring FormatWide(_locale_t locale, const wchar_t* format, va_list args) {
    std::vector<wchar_t> buf(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = locale ? _vsnwprintf_l(buf.data(), buf.size() - 1, format, locale, copy)
                       : _vsnwprintf(buf.data(), buf.size() - 1, format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buf.size() - 1) return std::wstring(buf.data(), static_cast<size_t>(n));
        if (n < 0) {
            // -1 is also the answer for an argument that cannot be converted;
            // only the count tells it from a buffer that is too small.
            va_copy(copy, args);
            int needed = locale ? _vscwprintf_l(format, locale, copy) : _vscwprintf(format, copy);
            va_end(copy);
            if (needed < 0) return std::wstring(format) + kUnformattable;
        }
        if (buf.size() >= (size_t(1) << 26)) return std::wstring(buf.data(), buf.size() - 1);  // runaway format
        buf.assign(buf.size() * 2, L'\0');
    }
}

std::string FormatNarrow(_locale_t locale, const char* format, va_list args) {
    std::vector<char> buf(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = locale ? _vsnprintf_l(buf.data(), buf.size() - 1, format, locale, copy)
                       : _vsnprintf(buf.data(), buf.size() - 1, format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buf.size() - 1) return std::string(buf.data(), static_cast<size_t>(n));
        if (n < 0) {
            va_copy(copy, args);
            int needed = locale ? _vscprintf_l(format, locale, copy) : _vscprintf(format, copy);
            va_end(copy);
            if (needed < 0) return std::string(format) + kUnformattableNarrow;
        }
        if (buf.size() >= (size_t(1) << 26)) return std::string(buf.data(), buf.size() - 1);
        buf.assign(buf.size() * 2, '\0');
    }
}

const char kSeparator[] =
    "\r\n********************************************************************\r\n\r\n";
static_assert(sizeof(kSeparator) - 1 == 74, "separator is 74 bytes");

} // namespace

std::wstring TraceFileName(const std::wstring& name) {
    if (!name.empty() && name.back() == L'.') return name + L"log";
    size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || name.size() - dot - 1 != 3) return name + L".log";
    return name;
}

TraceConfig ReadTraceConfig(const std::wstring& traceName) {
    TraceConfig cfg;
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTraceKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return cfg;

    ReadDword(key.get(), L"EnableMask", cfg.enableMask);
    ReadDword(key.get(), L"ParamsMask", cfg.paramsMask);
    ReadDword(key.get(), L"CommonFileFlag", cfg.commonFileFlag);

    std::wstring commonFileName;
    unique_hkey sub;
    if (::RegOpenKeyExW(key.get(), traceName.c_str(), 0, KEY_READ, sub.put()) == ERROR_SUCCESS) {
        ReadDword(sub.get(), L"EnableMask", cfg.enableMask);
        ReadDword(sub.get(), L"ParamsMask", cfg.paramsMask);
        ReadDword(sub.get(), L"CommonFileFlag", cfg.commonFileFlag);
        ReadDword(sub.get(), L"ContextMask", cfg.contextMask);
        if (cfg.commonFileFlag != 0) ReadString(sub.get(), L"CommonFileName", 520, commonFileName);
    }

    ReadDword(key.get(), L"ForceEnableMask", cfg.enableMask);
    ReadDword(key.get(), L"ForceParamsMask", cfg.paramsMask);
    ReadDword(key.get(), L"ForceCommonFileFlag", cfg.commonFileFlag);
    DWORD disableContext = 0;
    if (ReadDword(key.get(), L"DisableContextFlag", disableContext) && disableContext != 0) cfg.contextMask = kNoContext;

    if (cfg.commonFileFlag != 0 && !commonFileName.empty()) {
        cfg.filePath = commonFileName;
        return cfg;
    }
    std::wstring fileName = TraceFileName(cfg.commonFileFlag == 0 ? traceName : std::wstring(L"VrTrace"));
    std::wstring folder;
    if (!ReadString(key.get(), L"TracePath", MAX_PATH * 2, folder) || folder.empty()) {
        for (const wchar_t* var : {L"Temp", L"Tmp", L"windir"}) {
            folder = EnvironmentValue(var);
            if (!folder.empty()) break;
        }
        if (folder.empty()) folder = L"C:\\";
    }
    if (folder.back() != L'\\') folder += L'\\';
    cfg.filePath = folder + fileName;
    return cfg;
}

CTraceImpl::CTraceImpl(std::wstring traceName)
    : m_name(std::move(traceName)), m_path(std::make_shared<const std::wstring>()) {
    m_locale = _create_locale(LC_ALL, "Russian");
}

CTraceImpl::~CTraceImpl() {
    if (m_consoleAllocated) ::FreeConsole();
    if (m_locale) _free_locale(m_locale);
}

std::wstring CTraceImpl::FilePath() const {
    if (!(Params() & TP_FILE)) return std::wstring();
    return *std::atomic_load(&m_path);
}

void CTraceImpl::Load() {
    TraceConfig cfg = ReadTraceConfig(m_name);
    std::atomic_store(&m_path, std::make_shared<const std::wstring>(cfg.filePath));
    m_enable.exchange(cfg.enableMask);
    m_params.exchange(cfg.paramsMask);
    m_context.exchange(cfg.contextMask);
    m_common.exchange(cfg.commonFileFlag);

    if (cfg.paramsMask & TP_FILE) {
        bool keep = cfg.commonFileFlag != 0 || (cfg.paramsMask & TP_KEEP_FILE) != 0;
        std::string separator(kSeparator);
        OpenFile(keep, (cfg.commonFileFlag == 0 && (cfg.paramsMask & TP_KEEP_FILE)) ? &separator : nullptr);
    }
    if (cfg.paramsMask & TP_CONSOLE) {
        if (!m_console) {
            m_consoleAllocated = ::AllocConsole() != FALSE;
            HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
            m_console = (out == INVALID_HANDLE_VALUE) ? nullptr : out;
        }
        ::SetConsoleTitleW(m_name.c_str());
    } else if (m_consoleAllocated) {
        ::FreeConsole();
        m_consoleAllocated = false;
        m_console = nullptr;
    }
}

namespace {

// Opens the trace file without following a link, and only when it is a file
// of its own: a link or hard link planted at the trace name must not receive
// the lines (nor the emptying) of a process that may be LocalSystem.
// (Its owner is not asked: in %Temp% a user's program writes its own file.)
unique_hfile OpenTraceFile(const std::wstring& path, DWORD access) {
    unique_hfile file(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return file;
    const Trust::FileDoubt doubt = Trust::StoredFileDoubt(file.get());
    if (doubt != Trust::FileDoubt::None && doubt != Trust::FileDoubt::ForeignOwner) file.reset();
    return file;
}

} // namespace

void CTraceImpl::OpenFile(bool keep, const std::string* firstText) {
    std::wstring path = *std::atomic_load(&m_path);
    unique_hfile file = OpenTraceFile(path, keep ? FILE_APPEND_DATA : (FILE_APPEND_DATA | FILE_WRITE_DATA));
    if (!file) return;
    if (!keep) {
        // Emptied through the checked handle, never by opening the name anew.
        LARGE_INTEGER zero{};
        if (!::SetFilePointerEx(file.get(), zero, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get())) return;
    }
    if (!firstText) return;
    DWORD written = 0;
    ::WriteFile(file.get(), firstText->data(), static_cast<DWORD>(firstText->size()), &written, nullptr);
}

CTraceImpl::LockResult CTraceImpl::LockWithin(HANDLE file, OVERLAPPED& range) {
    // Once a line found the lock held, the next ones try only once until one
    // gets it: a holder that keeps it costs each line no wait at all, while
    // another writer's brief turn after that costs no line.
    const ULONGLONG now = ::GetTickCount64();
    const bool recentlyHeld = now - m_lastHeldTick.load(std::memory_order_relaxed) < kTraceHeldBackoffMs;
    const ULONGLONG end = now + (recentlyHeld ? 0 : kTraceLockWaitMs);
    for (;;) {
        if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
            m_lastHeldTick.store(0, std::memory_order_relaxed);
            return LockResult::Locked;
        }
        // A file system without locks only loses the turn-taking.
        if (::GetLastError() != ERROR_LOCK_VIOLATION && ::GetLastError() != ERROR_IO_PENDING)
            return LockResult::NoLocks;
        if (::GetTickCount64() >= end) break;
        ::Sleep(1);
    }
    m_lastHeldTick.store(::GetTickCount64(), std::memory_order_relaxed);
    return LockResult::Held;
}

void CTraceImpl::AppendToFile(const std::string& line) {
    std::wstring path = *std::atomic_load(&m_path);
    // One open, one append, one close per line: no handle is held between
    // lines. Append-only writes are not atomic everywhere (Wine loses lines
    // of concurrent writers), so writers of one file, in any thread, module
    // or process, take turns on a lock over a byte no line ever reaches.
    // Any process that can open the file can hold that lock for ever: the
    // wait is bounded, and a line that cannot have it is dropped and counted.
    std::lock_guard<std::mutex> turn(m_fileMutex);
    // Read access too: Windows locks only for a handle that may read or write
    // data, and write access would put the lines at the start of the file.
    unique_hfile file = OpenTraceFile(path, FILE_APPEND_DATA | FILE_READ_DATA);
    OVERLAPPED sentinel{};
    sentinel.Offset = 0xFFFFFFFE;
    sentinel.OffsetHigh = 0x7FFFFFFF;
    const LockResult lock = file ? LockWithin(file.get(), sentinel) : LockResult::Held;
    if (lock == LockResult::Held) {
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    scope_exit unlock([&] {
        if (lock == LockResult::Locked) ::UnlockFileEx(file.get(), 0, 1, 0, &sentinel);
    });
    std::string text;
    if (const unsigned long dropped = m_dropped.exchange(0, std::memory_order_relaxed)) {
        char note[160];
        snprintf(note, sizeof(note),
                 "W> %lu trace line(s) dropped before this one: the trace file was locked by another process, or a link\r\n",
                 dropped);
        text = note;
    }
    text += line;
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void CTraceImpl::Emit(int level, const std::string& message) {
    const DWORD params = Params();
    char head[96];
    std::string line;
    line.reserve(message.size() + 64);

    SYSTEMTIME now;
    ::GetLocalTime(&now);
    if (params & TP_DATE) {
        snprintf(head, sizeof(head), "%02d.%02d.%04d ", now.wDay, now.wMonth, now.wYear);
        line += head;
    }
    if (params & TP_TIME) {
        snprintf(head, sizeof(head), "%02d:%02d:%02d", now.wHour, now.wMinute, now.wSecond);
        line += head;
        if (params & TP_MILLISECONDS) {
            snprintf(head, sizeof(head), ".%03u", static_cast<unsigned>(now.wMilliseconds));
            line += head;
        }
    }
    if ((params & TP_NAME) || m_common.load(std::memory_order_relaxed) != 0) {
        line += '[';
        line += ToCodePage1251(m_name);
        line += "] ";
    }
    if (params & TP_SESSION) {
        DWORD session = 0;
        if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) session = 0xFFFFFFFF;
        snprintf(head, sizeof(head), "[%08lX] ", static_cast<unsigned long>(session));
        line += head;
    }
    if (params & TP_PID_TID) {
        snprintf(head, sizeof(head), "[%lX:%lX] ", static_cast<unsigned long>(::GetCurrentProcessId()),
                 static_cast<unsigned long>(::GetCurrentThreadId()));
        line += head;
    }
    if (level == 4) line += "W> ";
    else if (level == 8) line += "E> ";
    line += message;
    line += "\r\n";

    if (params & TP_DEBUGGER) ::OutputDebugStringA(line.c_str());
    if (params & TP_FILE) AppendToFile(line);
    if ((params & TP_CONSOLE) && m_console) {
        DWORD written = 0;
        ::WriteConsoleA(m_console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    if (level == 16) {
        ::OutputDebugStringA(line.c_str());
        ::OutputDebugStringA("W> A break is requested after last output, but ommitted in release.\n");
    }
}

void CTraceImpl::WriteNarrow(int level, const char* format, va_list args) {
    if (!IsLevelEnabled(level) || !format || !*format) return;
    Emit(level, FormatNarrow(m_locale, format, args));
}

void CTraceImpl::WriteWide(int level, const wchar_t* format, va_list args) {
    if (!IsLevelEnabled(level) || !format || !*format) return;
    Emit(level, ToCodePage1251(FormatWide(m_locale, format, args)));
}

void CTraceImpl::Dump(int level, const wchar_t* title, const void* data, size_t size, unsigned flags) {
    if (!IsLevelEnabled(level) || !data || size == 0) return;
    unsigned width;         // bytes per element
    size_t perLine, group;  // elements per line, elements per " -" group
    size_t twoDigitLimit, fourDigitLimit;
    if (flags & 0x80) {
        width = 4; perLine = 8; group = 0; twoDigitLimit = 1024; fourDigitLimit = 0x3FFFF;
    } else if (flags & 0x40) {
        width = 2; perLine = 16; group = 8; twoDigitLimit = 512; fourDigitLimit = 0x1FFFF;
    } else {
        width = 1; perLine = 32; group = 8; twoDigitLimit = 256; fourDigitLimit = 0xFFFF;
    }
    const int indexDigits = size < twoDigitLimit ? 2 : (size <= fourDigitLimit ? 4 : 8);
    const size_t count = size / width;
    const auto* bytes = static_cast<const unsigned char*>(data);

    std::wstring text = title ? title : L"";
    wchar_t cell[32];
    for (size_t i = 0; i < count; ++i) {
        if (i % perLine == 0) {
            swprintf(cell, 32, L"\r\n %0*llX:", indexDigits, static_cast<unsigned long long>(i));
            text += cell;
        } else if (group && i % group == 0) {
            text += L" -";
        }
        unsigned long value = 0;
        for (unsigned b = 0; b < width; ++b) value |= static_cast<unsigned long>(bytes[i * width + b]) << (8 * b);
        swprintf(cell, 32, L" %0*lX", static_cast<int>(width * 2), value);
        text += cell;
    }
    Emit(level, ToCodePage1251(text));
}

} // namespace VrBase
