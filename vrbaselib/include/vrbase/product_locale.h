#pragma once
// The one reader of the product locale settings ("ProductLocale" of the
// product key), shared by the message language and the language lists.
#include <windows.h>

namespace VrBase {

// Reads "ProductLocale" of the product key under the hive: 0 and the locale,
// 87 for no buffer, 13 for a value that is not a five-character string
// (REG_SZ or REG_EXPAND_SZ), 122 with the needed length (6) when the buffer
// is short, or the key's error.
DWORD read_locale_value(HKEY hive, wchar_t* buffer, DWORD& length);

} // namespace VrBase
