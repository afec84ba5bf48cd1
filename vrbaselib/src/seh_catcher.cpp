#include "vrbase/seh_catcher.h"

#include "system_exception.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace VrBase {
namespace {

constexpr DWORD kStackOverflowCode = 0xE6060018;

DWORD CatcherTlsIndex() {
    static const DWORD index = ::TlsAlloc();
    return index;
}

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
    CVrError error(EXCEPTION_STACK_OVERFLOW, job->pointers);
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

void InstallProcessHandlerOnce() {
    static const PVOID handler = ::AddVectoredExceptionHandler(1, TranslateSystemException);
    (void)handler;
}

} // namespace

CSehCatcher::CSehCatcher() {
    InstallProcessHandlerOnce();
    const DWORD index = CatcherTlsIndex();
    m_previous = ::TlsGetValue(index);
    ::TlsSetValue(index, reinterpret_cast<void*>(reinterpret_cast<ULONG_PTR>(m_previous) + 1));
}

CSehCatcher::~CSehCatcher() { ::TlsSetValue(CatcherTlsIndex(), m_previous); }

bool CSehCatcher::IsArmed() {
    const DWORD index = CatcherTlsIndex();
    DWORD keep = ::GetLastError();  // TlsGetValue clears it on success
    bool armed = index != TLS_OUT_OF_INDEXES && ::TlsGetValue(index) != nullptr;
    ::SetLastError(keep);
    return armed;
}

CRTLTranslator::CRTLTranslator() : m_previousNew(std::set_new_handler(&CRTLTranslator::NewHandler)) {}

CRTLTranslator::~CRTLTranslator() { std::set_new_handler(m_previousNew); }

void CRTLTranslator::NewHandler() {
    VR_RAISE(static_cast<DWORD>(E_OUTOFMEMORY), L"VrBase::CRTLTranslator::NewHandler");
}

} // namespace VrBase
