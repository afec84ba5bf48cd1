#pragma once
// The trace settings of one module as the registry holds them, readable by
// the tools that show and change them.
#include <windows.h>
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

} // namespace VrBase
