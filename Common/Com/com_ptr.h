#pragma once
// Owners for COM references, BSTRs and VARIANTs.
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <utility>

namespace Com {

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    explicit ComPtr(T* p) noexcept : m_p(p) {}  // takes over a reference
    ComPtr(const ComPtr& o) noexcept : m_p(o.m_p) { if (m_p) m_p->AddRef(); }
    ComPtr(ComPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    ComPtr& operator=(ComPtr o) noexcept {
        std::swap(m_p, o.m_p);
        return *this;
    }
    ~ComPtr() { reset(); }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    T** put() noexcept {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    void reset() noexcept {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    template <class U>
    HRESULT As(const IID& iid, ComPtr<U>& out) const noexcept {
        return m_p ? m_p->QueryInterface(iid, out.put_void()) : E_POINTER;
    }

private:
    T* m_p = nullptr;
};

class CBstr {
public:
    CBstr() noexcept = default;
    explicit CBstr(const std::wstring& s) : m_b(::SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    explicit CBstr(const wchar_t* s) : m_b(::SysAllocString(s)) {}
    ~CBstr() { ::SysFreeString(m_b); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    BSTR get() const noexcept { return m_b; }
    BSTR* put() noexcept {
        ::SysFreeString(m_b);
        m_b = nullptr;
        return &m_b;
    }
    std::wstring str() const { return m_b ? std::wstring(m_b, ::SysStringLen(m_b)) : std::wstring(); }

private:
    BSTR m_b = nullptr;
};

class CVariant {
public:
    CVariant() noexcept { ::VariantInit(&m_v); }
    ~CVariant() { ::VariantClear(&m_v); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
    VARIANT* put() noexcept {
        ::VariantClear(&m_v);
        return &m_v;
    }
    const VARIANT& get() const noexcept { return m_v; }
    VARIANT& ref() noexcept { return m_v; }

private:
    VARIANT m_v;
};

} // namespace Com
