#include "vrbase/module_path.h"

#include "vrbase/vr_error.h"

#include <vector>

namespace VrBase {
namespace {

std::wstring FolderOfModule(HMODULE module) {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            std::wstring full(path.data(), n);
            return full.substr(0, full.find_last_of(L'\\') + 1);
        }
        path.resize(path.size() * 2);  // a long path was cut: ask again
    }
}

} // namespace

std::wstring ProgramFolder() { return FolderOfModule(nullptr); }

std::wstring ModuleFolderOf(const void* address) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<const wchar_t*>(address), &module))
        return std::wstring();
    return FolderOfModule(module);
}

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return L"C:\\Windows\\System32\\";
    std::wstring out(folder, n);
    if (out.back() != L'\\') out += L'\\';
    return out;
}

HMODULE LoadLibraryByPath(const std::wstring& fullPath, DWORD code, const wchar_t* function) {
    HMODULE module =
        ::LoadLibraryExW(fullPath.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) VR_RAISE_ITEM(code, function, L"Library", fullPath.c_str());
    return module;
}

void RestrictDllSearch() {
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

} // namespace VrBase
