#include "ssr_wrk_pool.h"

#include "vrbase/exception_guard.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

VrBase::unique_handle duplicate_event(HANDLE event, const wchar_t* function) {
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), event, ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        VR_RAISE_LAST_ERROR(function);
    return VrBase::unique_handle(copy);
}

} // namespace

CWrkThreadPool& CWrkThreadPool::instance() {
    static CWrkThreadPool pool;
    return pool;
}

CWrkThreadPool::~CWrkThreadPool() {
    VrBase::GuardVoid(L"CWrkThreadPool::~CWrkThreadPool", [&] { teardown_pool(); });
}

void CWrkThreadPool::lock() {
    VrBase::GuardVoid(L"CWrkThreadPool::lock", [&] { m_mutex.lock(); });
}

bool CWrkThreadPool::lock_unless_torn_down() {
    for (;;) {
        if (m_inactive.load()) return false;
        if (m_mutex.try_lock()) {
            if (!m_inactive.load()) return true;
            m_mutex.unlock();
            return false;
        }
        ::Sleep(5);
    }
}

void CWrkThreadPool::unlock() {
    VrBase::GuardVoid(L"CWrkThreadPool::unlock", [&] { m_mutex.unlock(); });
}

void CWrkThreadPool::reap_finished() {
    for (auto it = m_tasks.begin(); it != m_tasks.end();) {
        if (::WaitForSingleObject(it->second.stopEvent.get(), 0) == WAIT_OBJECT_0) {
            if (it->second.thread.joinable()) it->second.thread.join();
            it = m_tasks.erase(it);
        } else {
            ++it;
        }
    }
}

bool CWrkThreadPool::run_thread(WrkTask task, HANDLE stopEvent, const void* data, size_t length) {
    if (m_inactive.load()) return false;
    return VrBase::GuardBool(L"CWrkThreadPool::run_thread", [&] {
        reap_finished();
        VrBase::unique_handle threadEvent = duplicate_event(stopEvent, L"CWrkThreadPool::run_thread");
        VrBase::unique_handle mapEvent = duplicate_event(stopEvent, L"CWrkThreadPool::run_thread");

        // Never empty, so a task without data still gets a valid pointer.
        auto block = std::make_unique<unsigned char[]>(length ? length : 1);
        std::memset(block.get(), 0, length ? length : 1);
        if (data && length) std::memcpy(block.get(), data, length);

        HANDLE eventForThread = threadEvent.get();
        std::thread thread(&CWrkThreadPool::thread_wrapper, this, std::move(task), eventForThread, block.get());
        threadEvent.release();  // the thread owns them now
        block.release();
        // A thread that cannot be registered (a failed allocation, a reused
        // id) is asked to stop and joined, never left running untracked.
        VrBase::scope_exit joinUnregistered([&] {
            ::SetEvent(mapEvent.get());
            thread.join();
        });

        const std::thread::id id = thread.get_id();
        if (m_tasks.count(id)) {
            VR_TRACE(VrBase::TL_WARNING, L"CWrkThreadPool::run_thread",
                     L"Thread id already exist in map!! Too bad, we need new id for map...");
            VR_RAISE(ERROR_ALREADY_EXISTS, L"CWrkThreadPool::run_thread");
        }
        Entry& entry = m_tasks[id];  // the only step that can fail
        joinUnregistered.dismiss();
        entry.thread = std::move(thread);
        entry.stopEvent = std::move(mapEvent);
        return true;
    });
}

void CWrkThreadPool::thread_wrapper(CWrkThreadPool*, WrkTask task, HANDLE stopEvent, void* block) {
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    VrBase::unique_handle event(stopEvent);
    std::unique_ptr<unsigned char[]> data(static_cast<unsigned char*>(block));
    std::unique_ptr<CEvtTrigger> trigger;
    VrBase::GuardVoid(L"CWrkThreadPool::thread_wrapper", [&] {
        trigger = std::make_unique<CEvtTrigger>(event.get());
        task(event.get(), data.get());
    });
    // The block goes first, then the trigger marks the task as ended.
    data.reset();
    trigger.reset();
}

void CWrkThreadPool::teardown_pool() {
    m_inactive.store(true);
    VrBase::GuardVoid(L"CWrkThreadPool::teardown_pool", [&] {
        while (!m_tasks.empty()) {
            auto it = m_tasks.begin();
            ::SetEvent(it->second.stopEvent.get());
            if (it->second.thread.joinable()) it->second.thread.join();
            m_tasks.erase(it);
        }
    });
}

size_t CWrkThreadPool::task_count_for_tests() { return m_tasks.size(); }

CEvtTrigger::CEvtTrigger(HANDLE event) {
    try {
        m_event = duplicate_event(event, L"CEvtTrigger::CEvtTrigger");
    } catch (VrBase::CVrError&) {
        VR_UNWIND_TRACE(L"CEvtTrigger::CEvtTrigger");
        throw;
    }
}

CEvtTrigger::~CEvtTrigger() {
    if (m_event) ::SetEvent(m_event.get());
}

CThreadBackgroundTrigger::CThreadBackgroundTrigger() {
    VrBase::GuardVoid(L"CThreadBackgroundTrigger::CThreadBackgroundTrigger", [&] {
        if (!::SetThreadPriority(::GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN))
            VR_RAISE_LAST_ERROR(L"CThreadBackgroundTrigger::CThreadBackgroundTrigger");
        m_entered = true;
    });
}

CThreadBackgroundTrigger::~CThreadBackgroundTrigger() {
    if (m_entered && !::SetThreadPriority(::GetCurrentThread(), THREAD_MODE_BACKGROUND_END))
        VR_TRACE(VrBase::TL_ERROR, L"CThreadBackgroundTrigger::~CThreadBackgroundTrigger",
                 L"Leaving background mode failed, %u", ::GetLastError());
}

VrBase::unique_handle create_task_stop_event() {
    return VrBase::unique_handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}
