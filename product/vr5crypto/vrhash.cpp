// vrhash [--recursive] FILE...: prints each file's checksum text as the
// software state document carries it, computed through Vr5CryptoApi.dll the
// way a scan reads the file, so an administrator can check a document entry
// by hand.
#include "path_ops.h"
#include "vrbase/module_path.h"
#include "vrbase/error_description.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/tool_cli.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"
#include "vrbasecrypt/gost_r_3411_1994.h"

#include <winioctl.h>

#include <algorithm>
#include <cwchar>
#include <cstdio>
#include <string>
#include <vector>

VR_DEFINE_MODULE_TRACE(L"vrhash")

namespace {

const DWORD kReadSize = 0x100000;  // a scan reads 1 MiB at a time
const DWORD kErrorDirectoryNotSupported = 336;  // ERROR_DIRECTORY_NOT_SUPPORTED, absent from MinGW's headers

// Absolute "\\?\" form, so paths past MAX_PATH open too.
std::wstring LongPath(const std::wstring& path) {
    DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) VR_RAISE_LAST_ERROR(L"LongPath");
    std::wstring full(needed, L'\0');
    DWORD length = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) VR_RAISE_LAST_ERROR(L"LongPath");
    full.resize(length);
    return long_path(full);
}

// Up to count bytes from the current position; stops early at end of file.
void HashRegion(HANDLE file, ULONGLONG count, std::vector<BYTE>& buffer,
                GOST_R_3411_1994::CAccumulativeHash& hash) {
    while (count > 0) {
        const DWORD request = static_cast<DWORD>(std::min<ULONGLONG>(count, kReadSize));
        DWORD read = 0;
        if (!::ReadFile(file, buffer.data(), request, &read, nullptr)) VR_RAISE_LAST_ERROR(L"HashRegion");
        if (read == 0) break;
        hash.Add(buffer.data(), read);
        count -= read;
    }
}

// A sparse file's holes are not hashed, only its allocated ranges in order.
void HashAllocatedRanges(HANDLE file, ULONGLONG size, std::vector<BYTE>& buffer,
                         GOST_R_3411_1994::CAccumulativeHash& hash) {
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.Length.QuadPart = static_cast<LONGLONG>(size);
    for (;;) {
        FILE_ALLOCATED_RANGE_BUFFER range{};
        DWORD returned = 0;
        const DWORD status = ::DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof(query), &range,
                                               sizeof(range), &returned, nullptr)
                                 ? ERROR_SUCCESS
                                 : ::GetLastError();
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) VR_RAISE(status, L"HashAllocatedRanges");
        if (returned < sizeof(range)) return;
        if (!::SetFilePointerEx(file, range.FileOffset, nullptr, FILE_BEGIN))
            VR_RAISE_LAST_ERROR(L"HashAllocatedRanges");
        HashRegion(file, static_cast<ULONGLONG>(range.Length.QuadPart), buffer, hash);
        const LONGLONG next = range.FileOffset.QuadPart + range.Length.QuadPart;
        // A range that does not move the query on would repeat for ever.
        if (status == ERROR_SUCCESS || next <= query.FileOffset.QuadPart ||
            next >= static_cast<LONGLONG>(size))
            return;
        query.FileOffset.QuadPart = next;
        query.Length.QuadPart = static_cast<LONGLONG>(size) - next;
    }
}

std::wstring FileChecksum(const std::wstring& path) {
    const std::wstring longPath = LongPath(path);
    const DWORD attributes = ::GetFileAttributesW(longPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) VR_RAISE_LAST_ERROR(L"FileChecksum");
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) VR_RAISE(kErrorDirectoryNotSupported, L"FileChecksum");

    GOST_R_3411_1994::CAccumulativeHash hash(nullptr, GOST_R_3411_1994::test_param_block());
    // Shared for reading only, as a scan opens it: a file someone is writing
    // fails here just as it fails in the scan.
    VrBase::unique_hfile file(::CreateFileW(longPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) VR_RAISE_LAST_ERROR(L"FileChecksum");
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof(standard)))
        VR_RAISE_LAST_ERROR(L"FileChecksum");
    const ULONGLONG size = static_cast<ULONGLONG>(standard.EndOfFile.QuadPart);

    std::vector<BYTE> buffer(kReadSize);
    if (attributes & FILE_ATTRIBUTE_SPARSE_FILE)
        HashAllocatedRanges(file.get(), size, buffer, hash);
    else
        HashRegion(file.get(), size, buffer, hash);

    BYTE digest[GOST_R_3411_1994::HashSize];
    hash.Finish(digest, sizeof(digest));
    return GOST_R_3411_1994::checksum_text(digest);
}

const wchar_t kTool[] = L"vrhash";

const wchar_t kUsage[] =
    L"usage: vrhash [--recursive] FILE...\n"
    L"Prints the GOST R 34.11-94 checksum of each file as the software state document holds it,\n"
    L"one line per file: CHECKSUM, two blanks, the path.\n"
    L"\n"
    L"  FILE            a file; * and ? in the last part of a path match names the Windows way\n"
    L"  -r, --recursive hash every file in the folders given or matched, and in their subfolders\n"
    L"                  (links to folders are not followed)\n"
    L"  --              what follows is a FILE even when it starts with -\n"
    L"\n"
    L"Exit code: 0 when every file was hashed, 1 when any could not be, 87 for a usage error.\n";

// A person reads "is a folder" sooner than the system's wording for 336.
std::wstring FailureText(DWORD code) {
    if (code == kErrorDirectoryNotSupported) return L"is a folder (336)";
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        return L"no such file or folder (" + std::to_wstring(code) + L")";
    return VrBase::CodeInWords(code);
}

class CHasher {
public:
    explicit CHasher(bool recursive) : m_recursive(recursive) {}

    // One argument as typed: a file, a folder (with --recursive) or a pattern.
    void Argument(const std::wstring& argument) {
        const size_t cut = argument.find_last_of(L"\\/:");
        const std::wstring leaf = cut == std::wstring::npos ? argument : argument.substr(cut + 1);
        if (leaf.find_first_of(L"*?") == std::wstring::npos) {
            Path(argument);
            return;
        }
        const std::wstring prefix = cut == std::wstring::npos ? std::wstring() : argument.substr(0, cut + 1);
        std::vector<Entry> matches;
        const DWORD code = List(argument, matches);
        if (code != 0 && code != ERROR_FILE_NOT_FOUND) return Failed(argument, FailureText(code));
        bool any = false;
        for (const Entry& e : matches) {
            if (!e.folder || m_recursive) any = true;
            if (e.folder && m_recursive) Folder(prefix + e.name);
            else if (!e.folder) File(prefix + e.name);
        }
        if (!any) Failed(argument, L"no file matches (2)");
    }

    int ExitCode() const { return m_failed ? 1 : 0; }

private:
    struct Entry {
        std::wstring name;
        bool folder;
    };

    void Path(const std::wstring& path) {
        DWORD attributes = INVALID_FILE_ATTRIBUTES;
        const DWORD code = VrBase::GuardCode(L"Path", [&]() -> DWORD {
            attributes = ::GetFileAttributesW(LongPath(path).c_str());
            return attributes == INVALID_FILE_ATTRIBUTES ? ::GetLastError() : 0;
        });
        if (code != 0) return Failed(path, FailureText(code));
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return File(path);
        if (m_recursive) return Folder(path);
        Failed(path, FailureText(kErrorDirectoryNotSupported));
    }

    // Every file below the folder, each folder's files in name order before
    // its subfolders; an explicit stack, so depth costs no process stack.
    void Folder(const std::wstring& root) {
        std::vector<std::wstring> pending{root};
        while (!pending.empty()) {
            const std::wstring folder = pending.back();
            pending.pop_back();
            const std::wstring base = folder.empty() || folder.back() == L'\\' || folder.back() == L'/' ||
                                              folder.back() == L':'
                                          ? folder
                                          : folder + Separator(folder);
            std::vector<Entry> entries;
            if (const DWORD code = List(base + L"*", entries)) {
                Failed(folder, FailureText(code));
                continue;
            }
            std::vector<std::wstring> subfolders;
            for (const Entry& e : entries) {
                if (e.folder) subfolders.push_back(base + e.name);
                else File(base + e.name);
            }
            pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
        }
    }

    // The names a search pattern matches, in name order; folders that are
    // links are left out so a walk never leaves the tree it was given.
    static DWORD List(const std::wstring& pattern, std::vector<Entry>& entries) {
        return VrBase::GuardCode(L"List", [&]() -> DWORD {
            WIN32_FIND_DATAW data;
            VrBase::unique_hfind search(::FindFirstFileW(LongPath(pattern).c_str(), &data));
            if (!search) return ::GetLastError();
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") continue;
                const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                if (folder && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
                entries.push_back({name, folder});
            } while (::FindNextFileW(search.get(), &data));
            const DWORD end = ::GetLastError();
            if (end != ERROR_NO_MORE_FILES) return end;
            std::sort(entries.begin(), entries.end(),
                      [](const Entry& a, const Entry& b) { return _wcsicmp(a.name.c_str(), b.name.c_str()) < 0; });
            return 0;
        });
    }

    // Children are joined the way the person wrote the path.
    static const wchar_t* Separator(const std::wstring& path) {
        return path.find(L'/') != std::wstring::npos && path.find(L'\\') == std::wstring::npos ? L"/" : L"\\";
    }

    void File(const std::wstring& path) {
        std::wstring text;
        const DWORD code = VrBase::GuardCode(L"File", [&]() -> DWORD {
            text = FileChecksum(path);
            return 0;
        });
        if (code != 0) return Failed(path, FailureText(code));
        VrBase::ToolPrint(L"%ls  %ls\n", text.c_str(), path.c_str());
    }

    void Failed(const std::wstring& path, const std::wstring& why) {
        VrBase::ToolPrintError(L"%ls: %ls: %ls\n", kTool, path.c_str(), why.c_str());
        m_failed = true;
    }

    bool m_recursive;
    bool m_failed = false;
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    VrBase::RestrictDllSearch();
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    bool recursive = false;
    bool optionsEnd = false;
    std::vector<std::wstring> paths;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        // An empty name would resolve to the current folder.
        if (arg.empty()) return VrBase::ToolUsageError(kTool, L"", L"an empty FILE names no file");
        if (optionsEnd || arg[0] != L'-' || arg == L"-") paths.push_back(arg);
        else if (arg == L"--") optionsEnd = true;
        else if (VrBase::IsHelpArgument(arg)) return VrBase::ToolHelp(kUsage);
        else if (arg == L"--recursive" || arg == L"-r") recursive = true;
        else return VrBase::ToolUsageError(kTool, arg, L"unknown option");
    }
    if (argc == 2 && std::wstring(argv[1]) == L"/?") return VrBase::ToolHelp(kUsage);
    if (paths.empty()) return VrBase::ToolUsageError(kTool, L"", L"no FILE given");
    CHasher hasher(recursive);
    for (const std::wstring& path : paths) hasher.Argument(path);
    return hasher.ExitCode();
}
