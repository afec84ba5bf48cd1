#pragma once
// Independent work on many files spread over the processors, with what
// each file reports kept in the files' order.
#include <windows.h>
#include <functional>

// The threads a pass uses on this machine: one per processor, at most 8.
unsigned scan_worker_count();

// Runs work(index, worker) for every index below count on `workers`
// threads (on the calling thread when there is one) and report(index) on
// the calling thread, in index order, for each index whose work returned
// false. The abort event is looked at before every item a worker takes:
// once it is set each worker ends after the item in hand, and the pass
// raises 1235 when all have stopped. An exception from work or report
// stops the pass and comes through once every worker has stopped.
void ordered_pass(HANDLE abortEvent, size_t count, unsigned workers,
                  const std::function<bool(size_t index, unsigned worker)>& work,
                  const std::function<void(size_t index)>& report);
