#pragma once
// Scope objects that own handles and undo steps, so nothing is released by
// hand on the normal path.
#include <windows.h>
#include <objbase.h>
#include <winsvc.h>
#include <utility>

namespace VrBase {

// Owns one resource value; Traits gives its invalid value and how to close it.
template <class Traits>
class unique_resource {
public:
    using value_type = typename Traits::type;
    unique_resource() noexcept : m_value(Traits::invalid()) {}
    explicit unique_resource(value_type v) noexcept : m_value(v) {}
    ~unique_resource() { reset(); }
    unique_resource(unique_resource&& o) noexcept : m_value(o.release()) {}
    unique_resource& operator=(unique_resource&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;

    value_type get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return m_value != Traits::invalid(); }
    value_type* put() noexcept { reset(); return &m_value; }
    value_type release() noexcept { return std::exchange(m_value, Traits::invalid()); }
    void reset(value_type v = Traits::invalid()) noexcept {
        value_type old = std::exchange(m_value, v);
        if (old != Traits::invalid()) Traits::close(old);
    }

private:
    value_type m_value;
};

struct handle_traits {
    using type = HANDLE;
    static HANDLE invalid() noexcept { return nullptr; }
    static void close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct file_handle_traits {
    using type = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct hkey_traits {
    using type = HKEY;
    static HKEY invalid() noexcept { return nullptr; }
    static void close(HKEY h) noexcept { ::RegCloseKey(h); }
};
struct hmodule_traits {
    using type = HMODULE;
    static HMODULE invalid() noexcept { return nullptr; }
    static void close(HMODULE h) noexcept { ::FreeLibrary(h); }
};
struct local_mem_traits {
    using type = HLOCAL;
    static HLOCAL invalid() noexcept { return nullptr; }
    static void close(HLOCAL h) noexcept { ::LocalFree(h); }
};

struct schandle_traits {
    using type = SC_HANDLE;
    static SC_HANDLE invalid() noexcept { return nullptr; }
    static void close(SC_HANDLE h) noexcept { ::CloseServiceHandle(h); }
};
struct find_traits {
    using type = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { ::FindClose(h); }
};
struct cotaskmem_traits {
    using type = void*;
    static void* invalid() noexcept { return nullptr; }
    static void close(void* p) noexcept { ::CoTaskMemFree(p); }
};

struct virtual_mem_traits {
    using type = void*;
    static void* invalid() noexcept { return nullptr; }
    static void close(void* p) noexcept { ::VirtualFree(p, 0, MEM_RELEASE); }
};

using unique_handle = unique_resource<handle_traits>;          // events, threads, processes
using unique_hfile = unique_resource<file_handle_traits>;      // CreateFile results
using unique_hkey = unique_resource<hkey_traits>;
using unique_hmodule = unique_resource<hmodule_traits>;
using unique_hlocal = unique_resource<local_mem_traits>;
using unique_cotaskmem = unique_resource<cotaskmem_traits>;
using unique_schandle = unique_resource<schandle_traits>;
using unique_hfind = unique_resource<find_traits>;             // FindFirstFile searches
using unique_virtual_mem = unique_resource<virtual_mem_traits>; // VirtualAlloc: pages cost only once touched

// Runs a callable when the scope ends unless dismissed.
template <class F>
class scope_exit {
public:
    explicit scope_exit(F f) : m_f(std::move(f)) {}
    ~scope_exit() { if (m_active) m_f(); }
    void dismiss() noexcept { m_active = false; }
    scope_exit(const scope_exit&) = delete;
    scope_exit& operator=(const scope_exit&) = delete;

private:
    F m_f;
    bool m_active = true;
};

// Keeps the thread's last-error value across a scope.
class CLastErrorKeeper {
public:
    CLastErrorKeeper() noexcept : m_error(::GetLastError()) {}
    ~CLastErrorKeeper() { ::SetLastError(m_error); }
    CLastErrorKeeper(const CLastErrorKeeper&) = delete;
    CLastErrorKeeper& operator=(const CLastErrorKeeper&) = delete;

private:
    DWORD m_error;
};

} // namespace VrBase
