#include "ssr_ordered_pass.h"

#include "path_ops.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"

#include <system_error>

namespace {
enum : BYTE { kPending = 0, kDone = 1, kFailed = 2 };
}

unsigned scan_worker_count() {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    // One processor: the scan's own thread does the work, in the background
    // mode the scan takes there; workers would run outside it.
    if (info.dwNumberOfProcessors <= 1) return 1;
    const DWORD n = 2 * info.dwNumberOfProcessors;
    return n > 8 ? 8 : n;
}

COrderedWork::COrderedWork(HANDLE abortEvent, unsigned workers, Work work, Report report, const Starter& start)
    : m_abort(abortEvent), m_work(std::move(work)), m_report(std::move(report)), m_inline(workers <= 1) {
    if (m_inline) return;
    m_threads.reserve(workers);
    // A constructor left by an exception runs no destructor: the workers
    // already started must not outlive it.
    VrBase::scope_exit joinStarted([this] { stop_and_join(); });
    for (unsigned i = 0; i < workers; ++i) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_running;
        }
        try {
            std::function<void()> body = [this, i] { worker(i); };
            m_threads.push_back(start ? start(std::move(body)) : std::thread(std::move(body)));
        } catch (const std::system_error& e) {
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_running;
            VR_TRACE(VrBase::TL_WARNING, L"COrderedWork",
                     L"worker %u of %u not started (%hs); the pass goes on with %u.", i + 1, workers, e.what(), i);
            break;
        }
    }
    m_inline = m_threads.empty();
    joinStarted.dismiss();
}

COrderedWork::~COrderedWork() { stop_and_join(); }

void COrderedWork::stop_and_join() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_changed.notify_all();
    }
    for (std::thread& t : m_threads) t.join();
    m_threads.clear();
}

void COrderedWork::added(size_t count) {
    if (m_inline) {
        // One thread: the producer's, which may be in background mode.
        while (m_state.size() < count) {
            mission_abort_required(m_abort);
            const size_t index = m_state.size();
            m_state.push_back(kDone);
            ++m_reported;
            if (!m_work(index, 0)) m_report(index);
        }
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state.size() < count) m_state.resize(count, kPending);
    // Waking a thread costs a round trip to the system: only when one waits.
    if (m_idle) m_changed.notify_all();
}

void COrderedWork::worker(unsigned id) {
    // Each worker reads files of its own: faults in reading them are caught
    // on this thread as on the scan's.
    VrBase::CSehCatcher catcher;
    VrBase::CRTLTranslator translator;
    try {
        for (;;) {
            size_t index = 0;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                ++m_idle;
                m_changed.wait(lock, [&] { return m_stop || m_closed || m_next < m_state.size(); });
                --m_idle;
                if (m_stop || m_next >= m_state.size()) break;
                index = m_next++;
            }
            if (::WaitForSingleObject(m_abort, 0) == WAIT_OBJECT_0) break;
            const BYTE state = m_work(index, id) ? kDone : kFailed;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_state[index] = state;
            if (m_reporting) m_changed.notify_all();
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

void COrderedWork::report_until(bool wait) {
    if (m_inline) return;
    for (;;) {
        BYTE state = kPending;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (wait) {
                m_reporting = true;
                m_changed.wait(lock, [&] {
                    return m_reported >= m_state.size() || m_state[m_reported] != kPending || m_running == 0;
                });
                m_reporting = false;
            }
            if (m_reported >= m_state.size() || m_state[m_reported] == kPending) return;
            state = m_state[m_reported++];
        }
        if (state == kFailed) m_report(m_reported - 1);
    }
}

void COrderedWork::finish() {
    if (!m_inline) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
            m_changed.notify_all();
        }
        report_until(true);
        stop_and_join();
        if (m_error) std::rethrow_exception(m_error);
    }
    mission_abort_required(m_abort);
}

void ordered_pass(HANDLE abortEvent, size_t count, unsigned workers, const COrderedWork::Work& work,
                  const COrderedWork::Report& report, const COrderedWork::Starter& start) {
    COrderedWork pass(abortEvent, workers, work, report, start);
    pass.added(count);
    pass.finish();
}
