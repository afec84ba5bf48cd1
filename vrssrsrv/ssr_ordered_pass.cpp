#include "ssr_ordered_pass.h"

#include "path_ops.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {

enum : BYTE { kPending = 0, kDone = 1, kFailed = 2 };

class COrderedPass {
public:
    COrderedPass(HANDLE abortEvent, size_t count, const std::function<bool(size_t, unsigned)>& work)
        : m_abort(abortEvent), m_work(work), m_state(count, kPending) {}

    void worker(unsigned id) {
        // Each worker reads files of its own: faults in reading them are
        // caught on this thread as on the scan's.
        VrBase::CSehCatcher catcher;
        VrBase::CRTLTranslator translator;
        try {
            while (!m_stop.load() && ::WaitForSingleObject(m_abort, 0) != WAIT_OBJECT_0) {
                const size_t index = m_next.fetch_add(1);
                if (index >= m_state.size()) break;
                const BYTE state = m_work(index, id) ? kDone : kFailed;
                std::lock_guard<std::mutex> lock(m_mutex);
                m_state[index] = state;
                m_changed.notify_all();
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_error) m_error = std::current_exception();
            m_stop = true;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_running;
        m_changed.notify_all();
    }

    // The state of an index once its work is done; kPending when the
    // workers stopped before it.
    BYTE wait_for(size_t index) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_state[index] != kPending || m_running == 0; });
        return m_state[index];
    }

    void start(unsigned workers) {
        m_running = workers;
        for (unsigned i = 0; i < workers; ++i) m_threads.emplace_back([this, i] { worker(i); });
    }
    void stop_and_join() {
        m_stop = true;
        for (std::thread& t : m_threads) t.join();
        m_threads.clear();
    }
    void rethrow_worker_error() {
        if (m_error) std::rethrow_exception(m_error);
    }

private:
    HANDLE m_abort;
    const std::function<bool(size_t, unsigned)>& m_work;
    std::vector<BYTE> m_state;  // one byte per item
    std::atomic<size_t> m_next{0};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    unsigned m_running = 0;
    std::exception_ptr m_error;
    std::vector<std::thread> m_threads;
};

} // namespace

unsigned scan_worker_count() {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors < 1 ? 1 : info.dwNumberOfProcessors > 8 ? 8 : info.dwNumberOfProcessors;
}

void ordered_pass(HANDLE abortEvent, size_t count, unsigned workers, const std::function<bool(size_t, unsigned)>& work,
                  const std::function<void(size_t)>& report) {
    if (workers <= 1) {
        // One thread: the calling one, which may be in background mode.
        for (size_t i = 0; i < count; ++i) {
            mission_abort_required(abortEvent);
            if (!work(i, 0)) report(i);
        }
        mission_abort_required(abortEvent);
        return;
    }
    COrderedPass pass(abortEvent, count, work);
    VrBase::scope_exit join([&] { pass.stop_and_join(); });
    pass.start(workers);
    for (size_t i = 0; i < count; ++i) {
        const BYTE state = pass.wait_for(i);
        if (state == kPending) break;
        if (state == kFailed) report(i);
    }
    join.dismiss();
    pass.stop_and_join();
    pass.rethrow_worker_error();
    mission_abort_required(abortEvent);
}
