#include "vrbase/seh_catcher.h"

#include "system_exception.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <atomic>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace VrBase {
namespace {

constexpr DWORD kStackOverflowCode = 0xE6060018;

// Error-class exceptions only: warnings and notices (debug output, C++
// throws, breakpoints) belong to their own handlers.
bool IsTranslatable(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case 0xC0000417:  // invalid C run-time parameter
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_NONCONTINUABLE_EXCEPTION:
    case EXCEPTION_INVALID_DISPOSITION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
        return true;
    default:
        return false;
    }
}

// Only faults in code we built or in the C run-time it calls are ours to
// translate; system code probes memory by faulting and handles it itself.
bool FaultIsOurs(const void* address) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(address), &module))
        return false;
    if (module == reinterpret_cast<HMODULE>(&__ImageBase)) return true;
    for (const wchar_t* crt : {L"msvcrt.dll", L"ucrtbase.dll"})
        if (module == ::GetModuleHandleW(crt)) return true;
    return false;
}

struct StackOverflowJob {
    EXCEPTION_POINTERS* pointers;
    DWORD thread;
};

// Runs on a fresh stack: the faulting thread has none left.
DWORD WINAPI ReportStackOverflow(void* param) {
    auto* job = static_cast<StackOverflowJob*>(param);
    CVrError error(EXCEPTION_STACK_OVERFLOW, job->pointers, job->thread);
    VR_TRACE(TL_ERROR, L"CSehCatcher", L"Stack overflow in thread %X, the process ends", job->thread);
    VR_TRACE(TL_WARNING, L"CSehCatcher", L"%ls", error.GetDump());
    return 0;
}

LONG CALLBACK TranslateSystemException(EXCEPTION_POINTERS* pointers) {
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (!IsTranslatable(code) || !CSehCatcher::IsArmed() || !FaultIsOurs(pointers->ExceptionRecord->ExceptionAddress))
        return EXCEPTION_CONTINUE_SEARCH;
    if (code == EXCEPTION_STACK_OVERFLOW) {
        StackOverflowJob job{pointers, ::GetCurrentThreadId()};
        HANDLE reporter = ::CreateThread(nullptr, 1 << 20, ReportStackOverflow, &job, 0, nullptr);
        if (reporter) ::WaitForSingleObject(reporter, 60000);
        ::TerminateProcess(::GetCurrentProcess(), kStackOverflowCode);
    }
    throw CVrError(code, pointers);
}

// The handler and the thread slot belong to the module that linked this
// code. They go when the module goes (a DLL's statics end at its unload),
// so no exception anywhere in the host ever runs code that is gone.
class CModuleHandler {
public:
    CModuleHandler()
        : m_index(::TlsAlloc()), m_handler(::AddVectoredExceptionHandler(1, TranslateSystemException)) {}
    ~CModuleHandler() {
        m_gone.store(true);
        if (m_handler) ::RemoveVectoredExceptionHandler(m_handler);
        if (m_index != TLS_OUT_OF_INDEXES) ::TlsFree(m_index);
    }
    CModuleHandler(const CModuleHandler&) = delete;
    CModuleHandler& operator=(const CModuleHandler&) = delete;

    // TLS_OUT_OF_INDEXES once the module is going away.
    DWORD index() const { return m_gone.load() ? TLS_OUT_OF_INDEXES : m_index; }

private:
    std::atomic<bool> m_gone{false};
    DWORD m_index;
    PVOID m_handler;
};

CModuleHandler& ModuleHandler() {
    static CModuleHandler handler;
    return handler;
}

} // namespace

CSehCatcher::CSehCatcher() {
    const DWORD index = ModuleHandler().index();
    m_previous = nullptr;
    if (index == TLS_OUT_OF_INDEXES) return;
    m_previous = ::TlsGetValue(index);
    ::TlsSetValue(index, reinterpret_cast<void*>(reinterpret_cast<ULONG_PTR>(m_previous) + 1));
}

CSehCatcher::~CSehCatcher() {
    const DWORD index = ModuleHandler().index();
    if (index != TLS_OUT_OF_INDEXES) ::TlsSetValue(index, m_previous);
}

bool CSehCatcher::IsArmed() {
    CLastErrorKeeper keep;  // TlsGetValue clears it on success
    const DWORD index = ModuleHandler().index();
    return index != TLS_OUT_OF_INDEXES && ::TlsGetValue(index) != nullptr;
}

CRTLTranslator::CRTLTranslator() : m_previousNew(std::set_new_handler(&CRTLTranslator::NewHandler)) {}

CRTLTranslator::~CRTLTranslator() { std::set_new_handler(m_previousNew); }

void CRTLTranslator::NewHandler() {
    VR_RAISE(static_cast<DWORD>(E_OUTOFMEMORY), L"VrBase::CRTLTranslator::NewHandler");
}

} // namespace VrBase
