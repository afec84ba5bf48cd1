#include "vrbase/product_locale.h"

#include "vrbase/scope.h"

#include <cwchar>

namespace VrBase {
namespace {

constexpr const wchar_t* kProductKey = L"SOFTWARE\\Calderis\\Varnel Studio";
constexpr DWORD kLocaleChars = 6;  // five characters and the NUL

using RegQueryValueExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);

RegQueryValueExWFn query_value_function() {
    static const RegQueryValueExWFn fn = [] {
        HMODULE advapi = ::GetModuleHandleW(L"Advapi32.dll");
        if (!advapi) advapi = ::LoadLibraryW(L"Advapi32.dll");
        return advapi ? reinterpret_cast<RegQueryValueExWFn>(
                            reinterpret_cast<void*>(::GetProcAddress(advapi, "RegQueryValueExW")))
                      : nullptr;
    }();
    return fn;
}

} // namespace

DWORD read_locale_value(HKEY hive, wchar_t* buffer, DWORD& length) {
    if (!buffer) return ERROR_INVALID_PARAMETER;
    RegQueryValueExWFn query = query_value_function();
    if (!query) return ERROR_PROC_NOT_FOUND;
    VrBase::unique_hkey key;
    LONG rc = ::RegOpenKeyExW(hive, kProductKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put());
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    wchar_t value[kLocaleChars + 2] = {};
    DWORD size = sizeof(value), type = 0;
    rc = query(key.get(), L"ProductLocale", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    if (rc == ERROR_MORE_DATA) return ERROR_INVALID_DATA;
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size != kLocaleChars * sizeof(wchar_t) ||
        value[kLocaleChars - 1] != L'\0' || wcslen(value) != kLocaleChars - 1)
        return ERROR_INVALID_DATA;
    if (length < kLocaleChars) {
        length = kLocaleChars;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    wmemcpy(buffer, value, kLocaleChars);
    length = kLocaleChars;
    return 0;
}

} // namespace VrBase
