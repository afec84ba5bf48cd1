#pragma once
// The agent's caller as the work thread's identity: the work of an
// interface call runs on a thread of its own, which would otherwise act,
// and be judged, as the process.
#include "exec/apartment_executor.h"
#include "vrbase/scope.h"

#include <windows.h>

class CCallerIdentity {
public:
    // Takes the calling thread's impersonation token, if it has one.
    CCallerIdentity();
    CCallerIdentity(const CCallerIdentity&) = delete;
    CCallerIdentity& operator=(const CCallerIdentity&) = delete;

    // The current thread impersonates the caller until the scope ends.
    class Use {
    public:
        explicit Use(const CCallerIdentity& identity);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        bool m_active = false;
    };

private:
    VrBase::unique_handle m_token;
};

// Runs f on a fresh single-threaded apartment thread as the calling thread's
// identity, and waits for it.
template <class F>
auto run_as_caller_in_sta(F f) {
    CCallerIdentity caller;
    return exec::run_in_sta([&caller, f = std::move(f)]() mutable {
        CCallerIdentity::Use use(caller);
        return f();
    });
}
