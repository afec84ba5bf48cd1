// Child process for the pool test: every allocation of a submission fails
// in turn. A thread left joinable by a failed submission ends the process
// (std::terminate), so the outcome is read from the exit code.
#include "ssr_wrk_pool.h"

#include "vrbase/trace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

VR_DEFINE_MODULE_TRACE(L"VrSSRPoolChild")

namespace {
thread_local int t_failAt = 0;  // the n-th allocation of this thread fails; 0: none
std::atomic<int> g_running{0};
}

void* operator new(std::size_t size) {
    if (t_failAt > 0 && --t_failAt == 0) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int wmain() {
    int refused = 0;
    for (int n = 1; n <= 40; ++n) {
        CWrkThreadPool pool;
        VrBase::unique_handle event = create_task_stop_event();
        CWrkThreadPoolLocker lock(pool);
        t_failAt = n;
        const bool ran = pool.run_thread(
            [](HANDLE stop, void*) {
                ++g_running;
                ::WaitForSingleObject(stop, INFINITE);
                --g_running;
            },
            event.get(), nullptr, 0);
        t_failAt = 0;
        if (!ran) {
            ++refused;
            // Refused means not running: nothing was left behind.
            if (g_running.load() != 0 || pool.task_count_for_tests() != 0) return 3;
        }
        pool.teardown_pool();
        if (g_running.load() != 0) return 4;
    }
    std::printf("refused %d\n", refused);
    return refused > 0 ? 0 : 5;
}
