#include "file_helpers.h"

#include "path_ops.h"

#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <vector>

void CreateDirectoryWrapper(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
    if (!::CreateDirectoryW(long_path(path).c_str(), security)) VR_RAISE_LAST_ERROR(L"CreateDirectoryWrapper");
}

void CopyFileWrapper(const std::wstring& source, const std::wstring& target, bool failIfExists) {
    if (::CopyFileW(long_path(source).c_str(), long_path(target).c_str(), failIfExists ? TRUE : FALSE))
        return;
    const DWORD error = ::GetLastError();
    VR_TRACE(VrBase::TL_ERROR, L"CopyFileWrapper", L"src: %ls", source.c_str());
    VR_TRACE(VrBase::TL_ERROR, L"CopyFileWrapper", L"trg: %ls", target.c_str());
    VR_RAISE(error, L"CopyFileWrapper");
}

bool delete_file(const std::wstring& path) { return ::DeleteFileW(long_path(path).c_str()) != FALSE; }

std::wstring partial_file_path(const std::wstring& path) { return path + L".partial"; }

void commit_file(const std::wstring& written, const std::wstring& target) {
    const wchar_t* const fn = L"commit_file";
    {
        VrBase::unique_hfile file(::CreateFileW(long_path(written).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || !::FlushFileBuffers(file.get())) VR_RAISE_LAST_ERROR(fn);
    }
    if (!::MoveFileExW(long_path(written).c_str(), long_path(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        VR_RAISE_LAST_ERROR(fn);
}

void save_wstring_2_utf8file(const std::wstring& path, const std::wstring& text) {
    const wchar_t* const fn = L"save_wstring_2_utf8file";
    std::string bytes;
    if (!text.empty()) {
        int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        if (n <= 0) VR_RAISE_LAST_ERROR(fn);
        bytes.resize(static_cast<size_t>(n));
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
    }
    const std::wstring partial = partial_file_path(path);
    VrBase::scope_exit removePartial([&] { delete_file(partial); });
    {
        VrBase::unique_hfile file(::CreateFileW(long_path(partial).c_str(), GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size()) {
            VR_TRACE(VrBase::TL_ERROR, fn, L" error = %u", ::GetLastError());
            VR_RAISE(static_cast<DWORD>(E_FAIL), fn);
        }
    }
    commit_file(partial, path);
    removePartial.dismiss();
}

void load_utf8file_2_wstring(const std::wstring& path, std::wstring& text) {
    const wchar_t* const fn = L"load_utf8file_2_wstring";
    text.clear();
    VrBase::unique_hfile file(::CreateFileW(long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    std::string bytes;
    char buf[65536];
    DWORD got = 0;
    for (;;) {
        if (!::ReadFile(file.get(), buf, sizeof(buf), &got, nullptr)) {
            VR_TRACE(VrBase::TL_ERROR, fn, L" error = %u", ::GetLastError());
            VR_RAISE(static_cast<DWORD>(E_FAIL), fn);
        }
        if (got == 0) break;
        bytes.append(buf, got);
    }
    std::wstring all;
    if (!bytes.empty()) {
        int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        all.resize(static_cast<size_t>(n > 0 ? n : 0));
        if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &all[0], n);
    }
    // Lines joined without their breaks, as a line reader would give them.
    text.reserve(all.size());
    for (wchar_t c : all)
        if (c != L'\r' && c != L'\n') text += c;
    if (!text.empty() && (text[0] == 0xFEFF || text[0] == 0xFFFE)) text.erase(0, 1);
}
