#include "ssr_file_info.h"

#include "file_ver_helper.h"
#include "i18n/i18n.h"
#include "path_ops.h"
#include "ssr_backup_read.h"
#include "ssr_ordered_pass.h"
#include "ssr_scan_events.h"
#include "time_convertions.h"
#include "version_block.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"
#include "vrbasecrypt/gost_r_3411_1994.h"

#include <memory>
#include <vector>

namespace {

constexpr DWORD kFsctlQueryAllocatedRanges = 0x940CF;

struct FileAllocatedRangeBuffer {
    LARGE_INTEGER FileOffset;
    LARGE_INTEGER Length;
};

VrBase::unique_hfile open_for_checksum(const std::wstring& path) {
    // Read sharing only: a file another process is writing fails with a
    // sharing violation instead of being hashed half-written.
    VrBase::unique_hfile file = open_file_for_scan(path);
    if (!file) VR_RAISE_LAST_ERROR(L"calc_file_checksum");
    return file;
}

void store_checksum(_SSR_FILE_OBJECT_INFO& info, GOST_R_3411_1994::CAccumulativeHash& hash) {
    BYTE digest[GOST_R_3411_1994::HashSize];
    hash.Finish(digest, sizeof(digest));
    info.checksum = GOST_R_3411_1994::checksum_text(digest);
}

} // namespace

DWORD query_file_info(const std::wstring& path, _SSR_FILE_OBJECT_INFO& info) {
    return query_file_info(path, nullptr, info);
}

DWORD query_file_info(const std::wstring& path, HANDLE file, _SSR_FILE_OBJECT_INFO& info) {
    return VrBase::GuardCode(L"query_file_info", [&]() -> DWORD {
        CPrefferedProductLanguages languages;
        const std::wstring working = long_path(path);
        std::vector<BYTE> block;
        if (!(file ? get_version_info(working, file, block) : get_version_info(working, block))) {
            VrBase::GuardVoid(L"get_file_type_str", [&] { info.type = get_file_type_str(0, path); });
            return 0;
        }
        const VersionTranslation translation = choose_translation(block);
        info.company_name = query_version_string(block, L"CompanyName", translation);
        info.product_name = query_version_string(block, L"ProductName", translation);
        info.product_version = query_version_string(block, L"ProductVersion", translation);
        info.description = query_version_string(block, L"FileDescription", translation);
        info.file_version = query_version_string(block, L"FileVersion", translation);

        DWORD fileType = 0;
        void* fixed = nullptr;
        UINT length = 0;
        if (::VerQueryValueW(block.data(), L"\\", &fixed, &length) && fixed && length >= sizeof(VS_FIXEDFILEINFO) &&
            lies_inside(block.data(), version_block_extent(block.data(), block.size()), fixed, sizeof(VS_FIXEDFILEINFO)))
            fileType = static_cast<const VS_FIXEDFILEINFO*>(fixed)->dwFileType;
        VrBase::GuardVoid(L"get_file_type_str", [&] { info.type = get_file_type_str(fileType, path); });
        return 0;
    });
}

_SSR_FILE_OBJECT_INFO listed_file_info(const std::wstring& path, const WIN32_FIND_DATAW& entry) {
    _SSR_FILE_OBJECT_INFO info;
    info.size = (static_cast<unsigned long long>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    info.change_time = convert_time_to_iso_str(entry.ftLastWriteTime);
    VrBase::GuardVoid(L"get_file_type_str", [&] { info.type = get_file_type_str(0, path); });
    return info;
}

DWORD get_base_file_info(HANDLE file, _SSR_FILE_OBJECT_INFO& info) {
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)))
        VR_RAISE_LAST_ERROR(L"get_base_file_info");
    info.size = static_cast<unsigned long long>(standard.EndOfFile.QuadPart);
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)))
        VR_RAISE_LAST_ERROR(L"get_base_file_info");
    FILETIME changed;
    changed.dwLowDateTime = static_cast<DWORD>(basic.ChangeTime.QuadPart & 0xFFFFFFFF);
    changed.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(basic.ChangeTime.QuadPart) >> 32);
    info.change_time = convert_time_to_iso_str(changed);
    return basic.FileAttributes;
}

void calc_file_region_checksum(HANDLE file, unsigned long long count, GOST_R_3411_1994::CAccumulativeHash& hash,
                               HANDLE abortEvent) {
    CReadBuffer buffer;
    calc_file_region_checksum(file, count, hash, buffer, abortEvent);
}

void calc_file_region_checksum(HANDLE file, unsigned long long count, GOST_R_3411_1994::CAccumulativeHash& hash,
                               CReadBuffer& buffer, HANDLE abortEvent) {
    // Between reads only: whoever hands out the file looks at the event
    // before its first, and each look is a round trip to the system.
    for (bool first = true; count > 0; first = false) {
        if (abortEvent && !first) mission_abort_required(abortEvent);
        const DWORD wanted = count < kReadChunk ? static_cast<DWORD>(count) : kReadChunk;
        DWORD got = 0;
        if (!::ReadFile(file, buffer.data(), wanted, &got, nullptr)) VR_RAISE_LAST_ERROR(L"calc_file_region_checksum");
        // The file ended before the size measured: it shrank while being
        // read, and a checksum of a shorter prefix would pass for the file's.
        if (got == 0) VR_RAISE(ERROR_HANDLE_EOF, L"calc_file_region_checksum");
        hash.Add(buffer.data(), got);
        // What was read, not what was asked: a short read must not end the
        // region early.
        count -= got;
    }
}

DWORD query_allocated_range(HANDLE file, unsigned long long offset, unsigned long long size, AllocatedRange& range) {
    FileAllocatedRangeBuffer query{}, answer{};
    query.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
    query.Length.QuadPart = static_cast<LONGLONG>(size);
    DWORD returned = 0;
    DWORD status = ::DeviceIoControl(file, kFsctlQueryAllocatedRanges, &query, sizeof(query), &answer, sizeof(answer),
                                     &returned, nullptr)
                       ? 0
                       : ::GetLastError();
    range.offset = returned >= sizeof(answer) ? static_cast<unsigned long long>(answer.FileOffset.QuadPart) : 0;
    range.length = returned >= sizeof(answer) ? static_cast<unsigned long long>(answer.Length.QuadPart) : 0;
    return status;
}

void hash_allocated_ranges(HANDLE file, unsigned long long size, const AllocatedRangeQuery& query,
                           GOST_R_3411_1994::CAccumulativeHash& hash, HANDLE abortEvent) {
    CReadBuffer buffer;  // one for all the ranges
    unsigned long long offset = 0;
    for (bool first = true;; first = false) {
        if (abortEvent && !first) mission_abort_required(abortEvent);
        AllocatedRange range{0, 0};
        DWORD status = query(file, offset, size, range);
        if (status != 0 && status != ERROR_MORE_DATA) VR_RAISE(status, L"calc_sparse_file_checksum");
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(range.offset);
        if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) VR_RAISE_LAST_ERROR(L"calc_sparse_file_checksum");
        calc_file_region_checksum(file, range.length, hash, buffer, abortEvent);
        if (status == 0) return;
        const unsigned long long next = range.offset + range.length;
        // A range that does not move on would loop for ever.
        if (next <= offset) VR_RAISE(ERROR_INVALID_DATA, L"calc_sparse_file_checksum");
        offset = next;
    }
}

DWORD calc_file_checksum(const std::wstring& path, _SSR_FILE_OBJECT_INFO& info, HANDLE abortEvent) {
    CReadBuffer buffer;
    return calc_file_checksum(path, info, buffer, abortEvent);
}

DWORD calc_file_checksum(const std::wstring& path, _SSR_FILE_OBJECT_INFO& info, CReadBuffer& buffer,
                         HANDLE abortEvent) {
    return VrBase::GuardCode(L"calc_file_checksum", [&]() -> DWORD {
        VrBase::unique_hfile file = open_for_checksum(path);
        return calc_file_checksum(file.get(), info, buffer, abortEvent);
    });
}

DWORD calc_file_checksum(HANDLE file, _SSR_FILE_OBJECT_INFO& info, CReadBuffer& buffer, HANDLE abortEvent) {
    return VrBase::GuardCode(L"calc_file_checksum", [&]() -> DWORD {
        // Size, change time and whether the file is sparse all come from the
        // handle that is then read.
        const DWORD attributes = get_base_file_info(file, info);
        const LARGE_INTEGER start{};
        if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) VR_RAISE_LAST_ERROR(L"calc_file_checksum");
        GOST_R_3411_1994::CAccumulativeHash hash(nullptr, GOST_R_3411_1994::test_param_block());
        if (attributes & FILE_ATTRIBUTE_SPARSE_FILE)
            hash_allocated_ranges(file, info.size, query_allocated_range, hash, abortEvent);
        else
            calc_file_region_checksum(file, info.size, hash, buffer, abortEvent);
        store_checksum(info, hash);
        return 0;
    });
}

VrBase::unique_hfile open_for_collection(const std::wstring& path) {
    return open_file_for_scan(path);
}

void calc_fo_checksums(HANDLE abortEvent, const std::wstring& operationId, const std::wstring& userSid,
                       FileObjectMap& files) {
    std::vector<FileObjectMap::value_type*> order;
    // Those whose checksum the walk took are done.
    for (auto& entry : files)
        if (entry.second.checksum.empty()) order.push_back(&entry);
    if (order.empty()) {
        // A stop that came after the walk still ends the scan here.
        mission_abort_required(abortEvent);
        return;
    }
    const unsigned workers = scan_worker_count();
    std::vector<CReadBuffer> buffers(workers);
    ordered_pass(
        abortEvent, order.size(), workers,
        [&](size_t index, unsigned worker) {
            const DWORD code = calc_file_checksum(order[index]->first, order[index]->second, buffers[worker], abortEvent);
            // A file cut short by a stop is no fault of the file's; the pass
            // sees the stop before its next item.
            return code == 0 ||
                   (code == ERROR_REQUEST_ABORTED && ::WaitForSingleObject(abortEvent, 0) == WAIT_OBJECT_0);
        },
        [&](size_t index) {
            const std::wstring& path = order[index]->first;
            reg_evt_file_error(operationId, SSR_STAGE_FILE_CHECKSUM, path, userSid);
            VR_TRACE(VrBase::TL_WARNING, L"calc_fo_checksums", L"file <%ls> checksum calculation failed!",
                     path.c_str());
        },
        backup_reading_starter());
}
