#pragma once
// The worker pool: every long or waiting task of the service runs on a new
// thread of its own, tracked so that shut-down can stop and join them all.
#include "vrbase/scope.h"

#include <windows.h>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

// A task gets its own duplicate of the stop event and its private data block.
using WrkTask = std::function<void(HANDLE stopEvent, void* data)>;

class CWrkThreadPool {
public:
    static CWrkThreadPool& instance();

    CWrkThreadPool() = default;
    ~CWrkThreadPool();
    CWrkThreadPool(const CWrkThreadPool&) = delete;
    CWrkThreadPool& operator=(const CWrkThreadPool&) = delete;

    void lock();
    void unlock();
    // For a submitter that must not wait on a teardown joining it.
    bool try_lock() noexcept { return m_mutex.try_lock(); }
    // Locks, unless a teardown has begun: a teardown holds the lock while it
    // joins the tasks, so a submitter that the teardown may wait for (a
    // message routine the closing session waits on) must not wait for it.
    bool lock_unless_torn_down();

    // Caller holds the lock. True: the task runs and is registered. The
    // caller's event handle stays the caller's.
    bool run_thread(WrkTask task, HANDLE stopEvent, const void* data, size_t length);

    // Caller holds the lock (but in the destructor). Refuses new tasks from
    // here on, signals every task and joins every thread.
    void teardown_pool();

    size_t task_count_for_tests();
    // Takes tasks again after a teardown; for tests that stop the service.
    void reactivate_for_tests() { m_inactive.store(false); }

private:
    struct Entry {
        std::thread thread;
        VrBase::unique_handle stopEvent;
    };
    static void thread_wrapper(CWrkThreadPool* pool, WrkTask task, HANDLE stopEvent, void* block);
    void reap_finished();

    std::map<std::thread::id, Entry> m_tasks;
    std::mutex m_mutex;
    std::atomic<bool> m_inactive{false};
};

class CWrkThreadPoolLocker {
public:
    explicit CWrkThreadPoolLocker(CWrkThreadPool& pool = CWrkThreadPool::instance()) : m_pool(pool) { m_pool.lock(); }
    ~CWrkThreadPoolLocker() { m_pool.unlock(); }
    CWrkThreadPoolLocker(const CWrkThreadPoolLocker&) = delete;
    CWrkThreadPoolLocker& operator=(const CWrkThreadPoolLocker&) = delete;

private:
    CWrkThreadPool& m_pool;
};

// Signals an event when the scope ends.
class CEvtTrigger {
public:
    explicit CEvtTrigger(HANDLE event);
    ~CEvtTrigger();
    CEvtTrigger(const CEvtTrigger&) = delete;
    CEvtTrigger& operator=(const CEvtTrigger&) = delete;

private:
    VrBase::unique_handle m_event;
};

// Background processing mode for the current thread while it lives; when
// the system refuses it, the failure is traced and the object stays inert.
class CThreadBackgroundTrigger {
public:
    CThreadBackgroundTrigger();
    ~CThreadBackgroundTrigger();
    CThreadBackgroundTrigger(const CThreadBackgroundTrigger&) = delete;
    CThreadBackgroundTrigger& operator=(const CThreadBackgroundTrigger&) = delete;
    bool entered() const { return m_entered; }

private:
    bool m_entered = false;
};

// An unnamed manual-reset event, non-signalled: the stop event of a task.
VrBase::unique_handle create_task_stop_event();
