// vrhash FILE...: prints each file's checksum text as the software state
// document carries it, computed through Vr5CryptoApi.dll the way a scan reads
// the file, so an administrator can check a document entry by hand.
#include "path_ops.h"
#include "vrbase/error_description.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"
#include "vrbasecrypt/gost_r_3411_1994.h"

#include <winioctl.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
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

} // namespace

int wmain(int argc, wchar_t** argv) {
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    _setmode(_fileno(stdout), _O_U8TEXT);
    _setmode(_fileno(stderr), _O_U8TEXT);
    if (argc < 2) {
        fwprintf(stderr, L"usage: vrhash FILE...\n"
                         L"Prints the GOST R 34.11-94 checksum of each file as the software state document "
                         L"holds it.\n");
        return 2;
    }
    int result = 0;
    for (int i = 1; i < argc; ++i) {
        std::wstring text;
        const DWORD code = VrBase::GuardCode(L"wmain", [&]() -> DWORD {
            text = FileChecksum(argv[i]);
            return 0;
        });
        if (code == 0) {
            wprintf(L"%ls  %ls\n", text.c_str(), argv[i]);
        } else {
            fflush(stdout);
            std::wstring message = VrBase::DescribeCode(code);
            // A code without a text is already given as its number.
            if (message.compare(0, 2, L"0x") != 0) {
                wchar_t number[16];
                swprintf(number, 16, L" (0x%08X)", static_cast<unsigned>(code));
                message += number;
            }
            fwprintf(stderr, L"vrhash: %ls: %ls\n", argv[i], message.c_str());
            result = 1;
        }
    }
    return result;
}
