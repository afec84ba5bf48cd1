#include "file_helpers.h"

#include "path_ops.h"

#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/trust.h"
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

VrBase::unique_hfile create_new_file(const std::wstring& path, DWORD access, DWORD share) {
    const wchar_t* const fn = L"create_new_file";
    if (!delete_file(path) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
        const DWORD error = ::GetLastError();
        VR_TRACE(VrBase::TL_ERROR, fn, L"A leftover <%ls> cannot be deleted, %u", path.c_str(), error);
        VR_RAISE(error, fn);
    }
    VrBase::unique_hfile file(::CreateFileW(long_path(path).c_str(), access, share, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) VR_RAISE_LAST_ERROR(fn);
    return file;
}

std::string read_whole_file(HANDLE file) {
    std::string bytes;
    char buf[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buf, sizeof(buf), &got, nullptr)) {
            VR_TRACE(VrBase::TL_ERROR, L"read_whole_file", L" error = %u", ::GetLastError());
            VR_RAISE(static_cast<DWORD>(E_FAIL), L"read_whole_file");
        }
        if (got == 0) return bytes;
        bytes.append(buf, got);
    }
}

std::wstring utf8_lines_to_wstring(const std::string& bytes) {
    std::wstring all;
    if (!bytes.empty()) {
        int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        all.resize(static_cast<size_t>(n > 0 ? n : 0));
        if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &all[0], n);
    }
    // Lines joined without their breaks, as a line reader would give them.
    std::wstring text;
    text.reserve(all.size());
    for (wchar_t c : all)
        if (c != L'\r' && c != L'\n') text += c;
    if (!text.empty() && (text[0] == 0xFEFF || text[0] == 0xFFFE)) text.erase(0, 1);
    return text;
}

void commit_file(const std::wstring& written, const std::wstring& target) {
    const wchar_t* const fn = L"commit_file";
    {
        VrBase::unique_hfile file(::CreateFileW(long_path(written).c_str(), GENERIC_WRITE | READ_CONTROL,
                                                FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file || !::FlushFileBuffers(file.get())) VR_RAISE_LAST_ERROR(fn);
        // What goes into place is the file written, not one linked in its stead.
        const VrBase::Trust::FileDoubt doubt = VrBase::Trust::StoredFileDoubt(file.get());
        if (doubt != VrBase::Trust::FileDoubt::None) {
            VR_TRACE(VrBase::TL_ERROR, fn, L"<%ls> %ls: not moved into place", written.c_str(),
                     VrBase::Trust::FileDoubtText(doubt));
            VR_RAISE(ERROR_ACCESS_DENIED, fn);
        }
    }
    if (!::MoveFileExW(long_path(written).c_str(), long_path(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        VR_RAISE_LAST_ERROR(fn);
}

std::string utf8_bytes(const std::wstring& text) {
    std::string bytes;
    if (text.empty()) return bytes;
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) VR_RAISE_LAST_ERROR(L"utf8_bytes");
    bytes.resize(static_cast<size_t>(n));
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
    return bytes;
}

void save_wstring_2_utf8file(const std::wstring& path, const std::wstring& text) {
    const wchar_t* const fn = L"save_wstring_2_utf8file";
    const std::string bytes = utf8_bytes(text);
    const std::wstring partial = partial_file_path(path);
    VrBase::scope_exit removePartial([&] { delete_file(partial); });
    {
        VrBase::unique_hfile file = create_new_file(partial, GENERIC_WRITE, 0);
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size()) {
            VR_TRACE(VrBase::TL_ERROR, fn, L" error = %u", ::GetLastError());
            VR_RAISE(static_cast<DWORD>(E_FAIL), fn);
        }
    }
    commit_file(partial, path);
    removePartial.dismiss();
}

void load_utf8file_2_wstring(const std::wstring& path, std::wstring& text) {
    text.clear();
    VrBase::unique_hfile file(::CreateFileW(long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    text = utf8_lines_to_wstring(read_whole_file(file.get()));
}
