#include "com_assert.h"

#include "vrbase/scope.h"
#include "vrbase/vr_error.h"

#include <objbase.h>
#include <cwchar>
#include <string>

namespace Com {
namespace {

std::wstring ClassIdentifier(REFCLSID clsid) {
    LPOLESTR text = nullptr;
    if (SUCCEEDED(::ProgIDFromCLSID(clsid, &text)) && text) {
        VrBase::unique_cotaskmem owner(text);
        return text;
    }
    text = nullptr;
    if (SUCCEEDED(::StringFromCLSID(clsid, &text)) && text) {
        VrBase::unique_cotaskmem owner(text);
        return text;
    }
    return std::wstring();
}

} // namespace

void AssertObjectCreated(HRESULT hr, REFCLSID clsid) {
    if (hr >= 0) return;
    wchar_t code[40];
    swprintf(code, 40, L"0x%08X (%d)", static_cast<unsigned>(hr), static_cast<int>(hr));
    VR_RAISE_INSERTS(0xE6240002, L"Com::AssertObjectCreated", ClassIdentifier(clsid).c_str(), code);
}

} // namespace Com
