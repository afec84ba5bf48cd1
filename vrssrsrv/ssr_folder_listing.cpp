#include "ssr_folder_listing.h"

#include "ssr_backup_read.h"

#include <cstddef>
#include <cstring>

namespace {
// Holds some forty entries of long names, and one of the longest name a
// file system allows many times over; one per folder on the walk's chain.
constexpr size_t kListingBufferBytes = 8192;

FILETIME filetime_of(const LARGE_INTEGER& value) {
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(value.QuadPart & 0xFFFFFFFF);
    t.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(value.QuadPart) >> 32);
    return t;
}
} // namespace

bool listed_entry(const BYTE* buffer, size_t size, size_t offset, WIN32_FIND_DATAW& entry, size_t& next) {
    constexpr size_t kHeader = offsetof(FILE_FULL_DIR_INFO, FileName);
    if (offset > size || size - offset < kHeader) return false;
    FILE_FULL_DIR_INFO record;
    std::memcpy(&record, buffer + offset, kHeader);
    if (record.FileNameLength > size - offset - kHeader || record.FileNameLength % sizeof(wchar_t)) return false;
    const size_t nameChars = record.FileNameLength / sizeof(wchar_t);
    if (nameChars == 0 || nameChars >= MAX_PATH) return false;
    if (record.NextEntryOffset != 0 &&
        (record.NextEntryOffset < kHeader || record.NextEntryOffset > size - offset))
        return false;

    entry = WIN32_FIND_DATAW{};
    entry.dwFileAttributes = record.FileAttributes;
    entry.ftCreationTime = filetime_of(record.CreationTime);
    entry.ftLastAccessTime = filetime_of(record.LastAccessTime);
    entry.ftLastWriteTime = filetime_of(record.LastWriteTime);
    entry.nFileSizeHigh = static_cast<DWORD>(static_cast<unsigned long long>(record.EndOfFile.QuadPart) >> 32);
    entry.nFileSizeLow = static_cast<DWORD>(record.EndOfFile.QuadPart & 0xFFFFFFFF);
    // The record's EA size field carries the reparse tag of a reparse point.
    if (record.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) entry.dwReserved0 = record.EaSize;
    std::memcpy(entry.cFileName, buffer + offset + kHeader, record.FileNameLength);
    entry.cFileName[nameChars] = L'\0';
    next = record.NextEntryOffset ? offset + record.NextEntryOffset : 0;
    return true;
}

bool CFolderListing::open(const std::wstring& folder) {
    m_buffer.clear();
    m_more = false;
    m_folder = open_folder_for_scan(folder);
    if (!m_folder) return false;
    // A file opens as well under backup semantics; it has no entries.
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(m_folder.get(), FileBasicInfo, &basic, sizeof(basic))) {
        VrBase::CLastErrorKeeper keep;
        m_folder.reset();
        return false;
    }
    if (!(basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        m_folder.reset();
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    return true;
}

bool CFolderListing::fill() {
    if (m_buffer.empty()) m_buffer.resize(kListingBufferBytes);
    std::memset(m_buffer.data(), 0, m_buffer.size());
    // The plainest class that carries every field the walk reads: file
    // systems that keep no file ids or short names answer it as well.
    if (!::GetFileInformationByHandleEx(m_folder.get(), FileFullDirectoryInfo, m_buffer.data(),
                                        static_cast<DWORD>(m_buffer.size())))
        return false;
    m_at = 0;
    m_more = true;
    return true;
}

bool CFolderListing::next(WIN32_FIND_DATAW& entry) {
    if (!m_more && !fill()) return false;
    size_t next = 0;
    if (!listed_entry(m_buffer.data(), m_buffer.size(), m_at, entry, next)) {
        m_more = false;
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    m_more = next != 0;
    m_at = next;
    return true;
}
