#include "vrbase/module_path.h"

#include <windows.h>
#include <vector>

namespace VrBase {

std::wstring ProgramFolder() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            std::wstring full(path.data(), n);
            return full.substr(0, full.find_last_of(L'\\') + 1);
        }
        path.resize(path.size() * 2);  // a long path was cut: ask again
    }
}

} // namespace VrBase
