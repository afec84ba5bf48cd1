#pragma once
// The entries of one folder, read through a handle the scan opened on it
// with backup semantics, a buffer at a time.
#include "vrbase/scope.h"

#include <windows.h>
#include <string>
#include <vector>

class CFolderListing {
public:
    // False, with the reason in GetLastError, when the folder cannot be
    // opened or is not a folder (ERROR_DIRECTORY).
    bool open(const std::wstring& folder);
    bool is_open() const { return static_cast<bool>(m_folder); }
    // The next entry in the order the file system keeps, "." and ".."
    // included; false at the end (GetLastError gives ERROR_NO_MORE_FILES)
    // or on a failure (its code).
    bool next(WIN32_FIND_DATAW& entry);

private:
    bool fill();

    VrBase::unique_hfile m_folder;
    std::vector<BYTE> m_buffer;  // allocated when first read
    size_t m_at = 0;             // the next record in the buffer
    bool m_more = false;         // the buffer holds records not yet taken
};

// One directory record as the file system wrote it into a buffer of size
// bytes, at offset: false when it does not lie inside the buffer.
bool listed_entry(const BYTE* buffer, size_t size, size_t offset, WIN32_FIND_DATAW& entry, size_t& next);
