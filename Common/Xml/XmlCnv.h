#pragma once
// Text <-> typed value converters of the XML layer.
#include "Com/com_ptr.h"

#include <string>

namespace Xml {
namespace Cnv {

template <class T>
class CFromBSTRBase {
public:
    operator T() const { return m_value; }
    T value() const { return m_value; }

protected:
    T m_value{};
};

template <class T>
class CFromBSTR;

// "true"/"yes" and "false"/"no" in any case; otherwise the leading decimal
// integer, read as _wtol reads it, is the answer.
template <>
class CFromBSTR<bool> : public CFromBSTRBase<bool> {
public:
    explicit CFromBSTR(const std::wstring& text);
};

template <>
class CFromBSTR<unsigned long> : public CFromBSTRBase<unsigned long> {
public:
    explicit CFromBSTR(const std::wstring& text);
};

template <>
class CFromBSTR<std::wstring> : public CFromBSTRBase<std::wstring> {
public:
    explicit CFromBSTR(const std::wstring& text) { m_value = text; }
};

// Owns a VARIANT holding the value as a string.
class CToVariantBase {
public:
    const VARIANT& variant() const { return m_v.get(); }
    operator const VARIANT&() const { return m_v.get(); }

protected:
    void assign(const std::wstring& text);
    Com::CVariant m_v;
};

template <class T>
class CToVariant;

template <>
class CToVariant<std::wstring> : public CToVariantBase {
public:
    explicit CToVariant(const std::wstring& value) { assign(value); }
};

template <>
class CToVariant<bool> : public CToVariantBase {
public:
    explicit CToVariant(bool value) { assign(value ? L"true" : L"false"); }
};

} // namespace Cnv
} // namespace Xml
