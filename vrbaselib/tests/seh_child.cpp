// Child process for the system-exception tests: faults that end a process.
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "support/test_support.h"

#include <windows.h>
#include <cwchar>

VR_DEFINE_MODULE_TRACE(L"VrBaseSehChild")

namespace {

// Addresses come through volatile globals so the compiler can neither
// drop the faulting access nor turn it into a trap of its own.
int* volatile g_null = nullptr;

VR_NOINLINE void WriteThrough(int* p) { *static_cast<volatile int*>(p) = 1; }

VR_NOINLINE int Recurse(volatile int depth) {
    volatile char pad[4096];
    pad[0] = static_cast<char>(depth);
    if (depth < 0) return 0;  // never: the stack runs out first
    return Recurse(depth + 1) + pad[0];
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (argc < 2) return 2;
    if (wcscmp(argv[1], L"av-no-catcher") == 0) {
        WriteThrough(g_null);
        return 0;
    }
    if (wcscmp(argv[1], L"stack-overflow") == 0) {
        VrBase::CSehCatcher seh;
        return Recurse(0);
    }
    return 2;
}
