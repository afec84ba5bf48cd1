#pragma once
// Independent work on many files spread over the processors, with what
// each file reports kept in the files' order.
#include <windows.h>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The threads a pass uses on this machine: two per processor, at most 8;
// one, the caller's, on a single processor. A file's open, reads and close
// wait on the system about as long as its hashing keeps a processor busy,
// so one thread per processor leaves them idle part of the time.
unsigned scan_worker_count();

// Items numbered from 0 as their producer adds them; work(index, worker)
// runs on `workers` threads (on the producer's thread when there is one),
// report(index) on the producer's thread, in index order, for each index
// whose work returned false. The abort event is looked at before every
// item a worker takes: once it is set each worker ends after the item in
// hand. An exception from work or report stops the pass; the destructor
// stops and joins the workers. A worker the system cannot start leaves the
// pass to those it could; with none, the producer's thread does the work.
class COrderedWork {
public:
    using Work = std::function<bool(size_t index, unsigned worker)>;
    using Report = std::function<void(size_t index)>;
    // Starts one worker thread running `body`; raises when it cannot.
    using Starter = std::function<std::thread(std::function<void()> body)>;
    COrderedWork(HANDLE abortEvent, unsigned workers, Work work, Report report, const Starter& start = Starter());
    ~COrderedWork();
    COrderedWork(const COrderedWork&) = delete;
    COrderedWork& operator=(const COrderedWork&) = delete;

    // Items below count may now be taken.
    void added(size_t count);
    // Reports what is done, in order, without waiting.
    void report_done() { report_until(false); }
    // No more items: waits for the workers, reports the rest, and raises
    // the workers' error, or 1235 when the pass was aborted.
    void finish();
    // Stops the workers after the items in hand, when the producer gives up.
    void stop_and_join();

private:
    void worker(unsigned id);
    void report_until(bool wait);

    HANDLE m_abort;
    Work m_work;
    Report m_report;
    bool m_inline;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<BYTE> m_state;  // one byte per item added
    size_t m_next = 0;          // the next item a worker takes
    size_t m_reported = 0;      // items below it are reported
    bool m_closed = false, m_stop = false;
    bool m_reporting = false;  // the producer waits for a report
    unsigned m_running = 0, m_idle = 0;
    std::exception_ptr m_error;
    std::vector<std::thread> m_threads;
};

// All count items at once: COrderedWork added and finished.
void ordered_pass(HANDLE abortEvent, size_t count, unsigned workers, const COrderedWork::Work& work,
                  const COrderedWork::Report& report, const COrderedWork::Starter& start = COrderedWork::Starter());
