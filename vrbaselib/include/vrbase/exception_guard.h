#pragma once
// The one exception guard of every boundary function: thread bodies, service
// callbacks, message routines and interface methods.
#include <windows.h>
#include <type_traits>
#include <utility>

namespace VrBase {

// Call only from inside a catch block. Traces the exception in flight under
// the boundary function's name and gives its result code: a CVrError's code,
// 1 for a standard-library exception, a CAtlException's HRESULT, E_FAIL for
// anything else.
DWORD HandleCurrentException(const wchar_t* function) noexcept;

// The same guard for functions that answer an HRESULT: a CVrError's
// description is traced as a warning and its code returned as an HRESULT
// (Win32 codes through HRESULT_FROM_WIN32); other exceptions give E_FAIL,
// a CAtlException its HRESULT.
HRESULT HandleCurrentExceptionAsHResult(const wchar_t* function) noexcept;

template <class F>
HRESULT GuardHResult(const wchar_t* function, F&& f) noexcept {
    try {
        std::forward<F>(f)();
        return S_OK;
    } catch (...) {
        return HandleCurrentExceptionAsHResult(function);
    }
}

// The same for a body that chooses its own success code (S_OK, S_FALSE).
template <class F>
HRESULT GuardHResultOf(const wchar_t* function, F&& f) noexcept {
    try {
        return std::forward<F>(f)();
    } catch (...) {
        return HandleCurrentExceptionAsHResult(function);
    }
}

// Runs f; on failure the guard's result code. f returns the success code.
template <class F>
DWORD GuardCode(const wchar_t* function, F&& f) noexcept {
    try {
        return static_cast<DWORD>(std::forward<F>(f)());
    } catch (...) {
        return HandleCurrentException(function);
    }
}

// Runs f; false from every branch of the guard.
template <class F>
bool GuardBool(const wchar_t* function, F&& f) noexcept {
    try {
        return static_cast<bool>(std::forward<F>(f)());
    } catch (...) {
        HandleCurrentException(function);
        return false;
    }
}

// Runs f; failures are only traced.
template <class F>
void GuardVoid(const wchar_t* function, F&& f) noexcept {
    try {
        std::forward<F>(f)();
    } catch (...) {
        HandleCurrentException(function);
    }
}

// HRESULT of a guard result: a positive Win32 code c becomes
// 0x80070000 + (c mod 0x10000); HRESULTs and 0 pass unchanged.
inline HRESULT ResultToHResult(DWORD code) {
    if (static_cast<LONG>(code) <= 0) return static_cast<HRESULT>(code);
    return static_cast<HRESULT>(0x80070000u + (code & 0xFFFF));
}

} // namespace VrBase

// Traces " (stack unwind trace) " under the function's name while an error
// passes through it; use in a catch block that rethrows.
#define VR_UNWIND_TRACE(function) VR_TRACE(::VrBase::TL_ERROR, (function), L" (stack unwind trace) ")
