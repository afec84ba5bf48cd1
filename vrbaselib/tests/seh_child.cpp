// Child process for the system-exception tests: faults that end a process.
#include "vrbase/exception_guard.h"
#include "vrbase/minidump.h"
#include "vrbase/vr_error.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "support/test_support.h"

#include <windows.h>
#include <cstdio>
#include <cwchar>
#include <atomic>
#include <thread>

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
        std::printf("thread %lu\n", ::GetCurrentThreadId());
        std::fflush(stdout);
        VrBase::CSehCatcher seh;
        return Recurse(0);
    }
    if (wcscmp(argv[1], L"unloaded-module") == 0) {
        // Exceptions after a module that armed a catcher has gone, raised
        // the ways a host raises them: C++ throws and debug output.
        HMODULE module = ::LoadLibraryW(L"vrbase_seh_module.dll");
        if (!module) return 3;
        auto arm = reinterpret_cast<BOOL (*)()>(reinterpret_cast<void*>(::GetProcAddress(module, "ArmCatcher")));
        if (!arm || !arm()) return 4;
        ::FreeLibrary(module);
        if (::GetModuleHandleW(L"vrbase_seh_module.dll")) return 5;
        int caught = 0;
        for (int i = 0; i < 3; ++i) {
            try {
                throw i;
            } catch (int) {
                ++caught;
            }
            ::OutputDebugStringW(L"vrbase_seh_child: after the unload\n");
        }
        // Said out loud: a host killed in exception dispatch may end with 0.
        std::printf("host alive, %d caught\n", caught);
        return caught == 3 ? 0 : 6;
    }
    if (wcscmp(argv[1], L"repeated-faults") == 0) {
        // The same fault again and again, each caught by the guard.
        VrBase::CSehCatcher seh;
        int caught = 0;
        for (int i = 0; i < 6; ++i)
            if (VrBase::GuardCode(L"RepeatedFault", [] { WriteThrough(g_null); return 0; }) == 0xE6060005) ++caught;
        std::printf("caught %d\n", caught);
        return 0;
    }
    if (wcscmp(argv[1], L"fault-into") == 0 && argc > 2) {
        // The service's way: dumps only into the folder it names.
        VrBase::SetMiniDumpFolder(argv[2]);
        VrBase::CSehCatcher seh;
        std::wstring file;
        try {
            WriteThrough(g_null);
        } catch (VrBase::CVrError& e) {
            const wchar_t* field = e.Field(L"MiniDumpFile");
            file = field ? field : L"";
        }
        std::printf("dump %ls\n", file.c_str());
        return 0;
    }
    if (wcscmp(argv[1], L"unload-while-faulting") == 0) {
        // Hosts raise exceptions on their own threads while another thread
        // frees a module that armed a catcher: a module's handler still
        // running when its code is unmapped kills the host. Arguments: the
        // number of unloads, a pause in ms, the module, "throw-only" for
        // C++ throws alone.
        std::atomic<bool> stop{false};
        std::atomic<long> faults{0};
        // The host takes its own raised exceptions back (last in line);
        // every handler in front of it sees each one first.
        PVOID own = ::AddVectoredExceptionHandler(0, [](EXCEPTION_POINTERS* p) -> LONG {
            return p->ExceptionRecord->ExceptionCode == EXCEPTION_INT_OVERFLOW &&
                           p->ExceptionRecord->NumberParameters == 1 &&
                           p->ExceptionRecord->ExceptionInformation[0] == 0x5EB
                       ? EXCEPTION_CONTINUE_EXECUTION
                       : EXCEPTION_CONTINUE_SEARCH;
        });
        auto fault = [&] {
            const ULONG_PTR marker = 0x5EB;
            while (!stop.load()) {
                if (argc <= 5) ::RaiseException(EXCEPTION_INT_OVERFLOW, 0, 1, &marker);
                try {
                    throw 1;
                } catch (int) {
                }
                ++faults;
            }
        };
        std::thread a(fault), b(fault);
        int cycles = 0;
        const int wanted = argc > 2 ? _wtoi(argv[2]) : 1500;
        for (; cycles < wanted; ++cycles) {
            HMODULE module = ::LoadLibraryW(argc > 4 ? argv[4] : L"vrbase_seh_module.dll");
            if (!module) break;
            auto arm = reinterpret_cast<BOOL (*)()>(reinterpret_cast<void*>(::GetProcAddress(module, "ArmCatcher")));
            if (arm) arm();
            ::FreeLibrary(module);
        }
        if (argc > 3) ::Sleep(_wtoi(argv[3]));
        stop = true;
        a.join();
        b.join();
        ::RemoveVectoredExceptionHandler(own);
        std::printf("host alive, %d unloads, %ld faults\n", cycles, faults.load());
        return 0;
    }
    return 2;
}
