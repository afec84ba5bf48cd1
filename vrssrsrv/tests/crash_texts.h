#pragma once
// The configuration texts the crash child saves in turn: large enough that
// a kill often lands while one is being written.
#include <string>

inline std::wstring config_crash_text(wchar_t fill) {
    return L"<Settings><Path>" + std::wstring(4u << 20, fill) + L"</Path></Settings>";
}
