#include "path_ops.h"

#include "vrbase/exception_guard.h"
#include "vrbase/tool_cli.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <clocale>
#include <vector>

_locale_t path_locale() {
    static const _locale_t locale = [] {
        const char* current = std::setlocale(LC_ALL, nullptr);
        _locale_t l = _create_locale(LC_ALL, current ? current : "C");
        return l ? l : _create_locale(LC_ALL, "C");
    }();
    return locale;
}

bool compare_paths(const std::wstring& a, const std::wstring& b, int& relation) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    if (_wcsnicmp_l(a.c_str(), b.c_str(), n, path_locale()) != 0) return false;
    if (a.size() == b.size()) {
        relation = 0;
        return true;
    }
    const std::wstring& longer = a.size() > b.size() ? a : b;
    const std::wstring& shorter = a.size() > b.size() ? b : a;
    // C:\ab and C:\abc share a prefix but are not related.
    bool related = (n > 0 && shorter[n - 1] == L'\\') || longer[n] == L'\\';
    if (!related) return false;
    relation = a.size() < b.size() ? -1 : 1;
    return true;
}

std::wstring expand_path(const std::wstring& text) {
    const wchar_t* const fn = L"expand_path";
    if (text.empty()) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    // Longer is no path, and the system may cut an expansion at this
    // length while still asking for more room.
    if (text.size() > kMaxPathChars) VR_RAISE(ERROR_FILENAME_EXCED_RANGE, fn);
    std::vector<wchar_t> buf(1);
    for (;;) {
        DWORD n = ::ExpandEnvironmentStringsW(text.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) VR_RAISE_LAST_ERROR(fn);
        if (n > kMaxPathChars + 1) VR_RAISE(ERROR_FILENAME_EXCED_RANGE, fn);
        if (n <= buf.size()) return std::wstring(buf.data());
        buf.assign(n, L'\0');
    }
}

DWORD check_fo_existance(const std::wstring& path, bool& exists) {
    exists = false;
    return VrBase::GuardCode(L"check_fo_existance", [&]() -> DWORD {
        if (::GetFileAttributesW(long_path(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
            exists = true;
            return 0;
        }
        DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return 0;
        VR_RAISE(error, L"check_fo_existance");
    });
}

void mission_abort_required(HANDLE abortEvent) {
    const wchar_t* const fn = L"mission_abort_required";
    switch (::WaitForSingleObject(abortEvent, 0)) {
    case WAIT_OBJECT_0:
        VR_TRACE(VrBase::TL_DETAIL, fn, L" >>> Operation aborted <<<");
        VR_RAISE(ERROR_REQUEST_ABORTED, fn);
    case WAIT_TIMEOUT:
        return;
    case WAIT_FAILED:
        VR_RAISE_LAST_ERROR(fn);
    default:
        VR_RAISE(1, fn);
    }
}

std::wstring full_path(const std::wstring& path) { return VrBase::FullWindowsPath(path); }

std::wstring long_path(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0) return path;
    if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}
