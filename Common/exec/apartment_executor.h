#pragma once
// Runs a callable synchronously on a fresh thread with its own COM
// apartment, hands back its result, and raises its error again on the
// caller's thread.
#include "vrbase/scope.h"
#include "vrbase/vr_error.h"

#include <windows.h>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace exec {

// A bound call together with the place for its result.
template <class R, class B>
class callable {
public:
    explicit callable(B bound) : m_bound(std::move(bound)) {}
    void operator()() { m_result.emplace(m_bound()); }
    R take() { return std::move(*m_result); }

private:
    B m_bound;
    std::optional<R> m_result;
};

template <class B>
class callable<void, B> {
public:
    explicit callable(B bound) : m_bound(std::move(bound)) {}
    void operator()() { m_bound(); }
    void take() {}

private:
    B m_bound;
};

namespace details {

// The thread, its start and its end; the callable lives in the derived class.
class thread_executor {
public:
    thread_executor(const thread_executor&) = delete;
    thread_executor& operator=(const thread_executor&) = delete;

protected:
    explicit thread_executor(DWORD apartment) : m_apartment(apartment) {}
    virtual ~thread_executor() = default;
    virtual void call() = 0;

    void start(const wchar_t* name);
    // Waits for the thread; raises the error the call left, if any.
    void finish(const wchar_t* name);

private:
    static unsigned __stdcall thread_body(void* self);

    DWORD m_apartment;
    VrBase::unique_handle m_thread;
    std::unique_ptr<VrBase::CVrError> m_error;
};

} // namespace details

template <DWORD Apartment, class C>
class apartment_executor;

template <DWORD Apartment, class R, class B>
class apartment_executor<Apartment, callable<R, B>> : private details::thread_executor {
public:
    explicit apartment_executor(B bound) : thread_executor(Apartment), m_callable(std::move(bound)) {}

    void invoke() { start(L"exec::apartment_executor::invoke"); }
    R wait() {
        finish(L"exec::apartment_executor::wait");
        return m_callable.take();
    }

private:
    void call() override { m_callable(); }
    callable<R, B> m_callable;
};

// The everyday form: an ordinary synchronous call whose body runs in a
// fresh single-threaded apartment.
template <class F>
auto run_in_sta(F&& f) -> std::invoke_result_t<std::decay_t<F>&> {
    using R = std::invoke_result_t<std::decay_t<F>&>;
    apartment_executor<COINIT_APARTMENTTHREADED, callable<R, std::decay_t<F>>> executor(std::forward<F>(f));
    executor.invoke();
    return executor.wait();
}

} // namespace exec
