#include "guid_helper.h"

#include "vrbase/vr_error.h"

#include <objbase.h>
#include <cwctype>

std::wstring get_new_guid() {
    GUID guid;
    HRESULT hr = ::CoCreateGuid(&guid);
    if (FAILED(hr)) VR_RAISE(static_cast<DWORD>(hr), L"get_new_guid");
    wchar_t text[40] = {};
    if (!::StringFromGUID2(guid, text, 40)) VR_RAISE(ERROR_INSUFFICIENT_BUFFER, L"get_new_guid");
    std::wstring id(text);
    if (!id.empty() && id.front() == L'{') id.erase(0, 1);
    if (!id.empty() && id.back() == L'}') id.pop_back();
    for (wchar_t& c : id) c = static_cast<wchar_t>(towupper(c));
    return id;
}
