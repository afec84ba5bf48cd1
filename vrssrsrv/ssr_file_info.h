#pragma once
// What a scan learns about each file: version texts and type during the
// walk, and size, change time and checksum from the same open where the
// file allows it; the checksum pass after the walk takes the rest.
#include "ssr_file_object.h"

#include "vrbase/scope.h"

#include <windows.h>
#include <functional>
#include <memory>

namespace GOST_R_3411_1994 {
class CAccumulativeHash;
}

// 0, or the failure's code (the file is then not collected).
DWORD query_file_info(const std::wstring& path, _SSR_FILE_OBJECT_INFO& info);
// The same from the file open for reading, when file is not null.
DWORD query_file_info(const std::wstring& path, HANDLE file, _SSR_FILE_OBJECT_INFO& info);
// The file opened as both passes read it (read sharing only); not valid
// when it cannot be, the passes then open it each their own way.
VrBase::unique_hfile open_for_collection(const std::wstring& path);
// Size and change time from the open file; answers its attributes.
DWORD get_base_file_info(HANDLE file, _SSR_FILE_OBJECT_INFO& info);
// The record of a file that could not be queried: size and last write time
// from its folder listing, type unknown, no version texts.
_SSR_FILE_OBJECT_INFO listed_file_info(const std::wstring& path, const WIN32_FIND_DATAW& entry);

constexpr DWORD kReadChunk = 0x100000;  // 1 MiB

// The buffer files are read into, kept across the files of one thread.
class CReadBuffer {
public:
    CReadBuffer() : m_data(new BYTE[kReadChunk]) {}
    BYTE* data() { return m_data.get(); }

private:
    std::unique_ptr<BYTE[]> m_data;
};

// Every record's size, change time and checksum, files hashed on every
// processor; a file that fails keeps what it has and is reported (stage
// 104) in map order. Records whose checksum the walk took already are
// left as they are. Raises only 1235.
void calc_fo_checksums(HANDLE abortEvent, const std::wstring& operationId, const std::wstring& userSid,
                       FileObjectMap& files);
// 0, or the failure's code; what was learned before a failure is kept.
// abortEvent, when given, is checked between reads, so a stop never waits
// for the rest of a large file (the file then fails with 1235).
DWORD calc_file_checksum(const std::wstring& path, _SSR_FILE_OBJECT_INFO& info, HANDLE abortEvent = nullptr);
DWORD calc_file_checksum(const std::wstring& path, _SSR_FILE_OBJECT_INFO& info, CReadBuffer& buffer,
                         HANDLE abortEvent = nullptr);
// The same from the open file, read from its start.
DWORD calc_file_checksum(HANDLE file, _SSR_FILE_OBJECT_INFO& info, CReadBuffer& buffer, HANDLE abortEvent = nullptr);
// Reads count bytes from the current position in reads of at most 1 MiB.
void calc_file_region_checksum(HANDLE file, unsigned long long count, GOST_R_3411_1994::CAccumulativeHash& hash,
                               HANDLE abortEvent = nullptr);
void calc_file_region_checksum(HANDLE file, unsigned long long count, GOST_R_3411_1994::CAccumulativeHash& hash,
                               CReadBuffer& buffer, HANDLE abortEvent = nullptr);

// One allocated range of a sparse file, as the file system reports it.
struct AllocatedRange {
    unsigned long long offset, length;
};
// The next allocated range at or after offset within size bytes; answers 0
// (last range) or ERROR_MORE_DATA (more follow).
using AllocatedRangeQuery =
    std::function<DWORD(HANDLE file, unsigned long long offset, unsigned long long size, AllocatedRange& range)>;
// Hashes the allocated ranges in order, joined, holes left out.
void hash_allocated_ranges(HANDLE file, unsigned long long size, const AllocatedRangeQuery& query,
                           GOST_R_3411_1994::CAccumulativeHash& hash, HANDLE abortEvent = nullptr);
DWORD query_allocated_range(HANDLE file, unsigned long long offset, unsigned long long size, AllocatedRange& range);
