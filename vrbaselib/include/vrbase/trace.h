#pragma once
// The process-wide trace: configured from the core service's Trace registry
// key, written to a file, the debugger and/or a console.
#include <windows.h>
#include <cstdarg>
#include <memory>

namespace VrBase {

enum TraceLevel : int {
    TL_INFO = 1,
    TL_DETAIL = 2,
    TL_WARNING = 4,
    TL_ERROR = 8,
    TL_BREAK = 16,
};

// Hex dump element widths.
enum : unsigned { TRACE_DUMP_WORDS = 0x40, TRACE_DUMP_DWORDS = 0x80 };

// Slot order matters to callers built against the interface.
struct ITrace {
    virtual void Write(int level, const char* format, ...) = 0;
    virtual void Write(int level, const wchar_t* format, ...) = 0;
    virtual void WriteV(int level, const char* format, va_list args) = 0;
    virtual void WriteV(int level, const wchar_t* format, va_list args) = 0;
    virtual void Dump(int level, const wchar_t* title, const void* data, size_t size, unsigned flags) = 0;
    virtual ~ITrace() = default;
    virtual void Reload() = 0;
    virtual bool IsActive() const = 0;
    virtual bool IsLevelEnabled(int level) const = 0;
    virtual bool ContextEquals(DWORD value) const = 0;
    virtual bool TimeEnabled() const = 0;
    virtual bool MillisecondsEnabled() const = 0;
};

class CTraceImpl;

class CVrTrace : public ITrace {
public:
    explicit CVrTrace(const wchar_t* traceName);
    ~CVrTrace() override;
    CVrTrace(const CVrTrace&) = delete;
    CVrTrace& operator=(const CVrTrace&) = delete;

    void Write(int level, const char* format, ...) override;
    void Write(int level, const wchar_t* format, ...) override;
    void WriteV(int level, const char* format, va_list args) override;
    void WriteV(int level, const wchar_t* format, va_list args) override;
    void Dump(int level, const wchar_t* title, const void* data, size_t size, unsigned flags) override;
    void Reload() override;
    bool IsActive() const override;
    bool IsLevelEnabled(int level) const override;
    bool ContextEquals(DWORD value) const override;
    bool TimeEnabled() const override;
    bool MillisecondsEnabled() const override;

    // The file lines go to; empty when no file target is configured.
    std::wstring FilePath() const;

private:
    std::unique_ptr<CTraceImpl> m_impl;
};

// The trace object of the module (program or DLL) this code is linked into.
// Each module defines it once with VR_DEFINE_MODULE_TRACE.
CVrTrace& ModuleTrace();

// One trace call: puts the caller's function name in front of the message.
class CTracePrefix {
public:
    CTracePrefix(ITrace& trace, int level, const wchar_t* function)
        : m_trace(trace), m_level(level), m_function(function) {}
    void Write(const wchar_t* format, ...);
    void Write(const char* format, ...);
    void WriteV(const wchar_t* format, va_list args);

private:
    ITrace& m_trace;
    int m_level;
    const wchar_t* m_function;
};

// Traces entry and exit of a function (used by the agent proxy module).
class CTraceFuncInOut {
public:
    explicit CTraceFuncInOut(const wchar_t* function = nullptr);
    ~CTraceFuncInOut();
    CTraceFuncInOut(const CTraceFuncInOut&) = delete;
    CTraceFuncInOut& operator=(const CTraceFuncInOut&) = delete;

private:
    const wchar_t* m_function;
};

} // namespace VrBase

// Defines the module's trace object; built during static initialisation so
// the configuration is read before the module's entry runs.
#define VR_DEFINE_MODULE_TRACE(name)                                   \
    VrBase::CVrTrace& VrBase::ModuleTrace() {                          \
        static VrBase::CVrTrace s_trace(name);                         \
        return s_trace;                                                \
    }                                                                  \
    namespace { const bool s_vrModuleTraceBuilt = (VrBase::ModuleTrace(), true); }

// The everyday trace call. An inactive trace costs two checks.
#define VR_TRACE(level, function, ...)                                          \
    do {                                                                         \
        VrBase::CVrTrace& vrTrace_ = VrBase::ModuleTrace();                      \
        if (vrTrace_.IsLevelEnabled(level))                                      \
            VrBase::CTracePrefix(vrTrace_, (level), (function)).Write(__VA_ARGS__); \
    } while (0)
