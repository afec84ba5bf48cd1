#include "XmlCnv.h"

#include "vrbase/vr_error.h"

#include <cstdlib>
#include <cwchar>

namespace Xml {
namespace Cnv {

CFromBSTR<bool>::CFromBSTR(const std::wstring& text) {
    if (_wcsicmp(text.c_str(), L"true") == 0 || _wcsicmp(text.c_str(), L"yes") == 0)
        m_value = true;
    else if (_wcsicmp(text.c_str(), L"false") == 0 || _wcsicmp(text.c_str(), L"no") == 0)
        m_value = false;
    else
        m_value = _wtol(text.c_str()) != 0;
}

CFromBSTR<unsigned long>::CFromBSTR(const std::wstring& text) {
    m_value = static_cast<unsigned long>(_wtol(text.c_str()));
}

void CToVariantBase::assign(const std::wstring& text) {
    VARIANT* v = m_v.put();
    v->vt = VT_BSTR;
    v->bstrVal = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!v->bstrVal) {
        v->vt = VT_EMPTY;
        VR_RAISE(static_cast<DWORD>(E_OUTOFMEMORY), L"Xml::Cnv::CToVariantBase::assign");
    }
}

} // namespace Cnv
} // namespace Xml
