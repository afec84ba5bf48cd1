#pragma once
// One file of the event journal: its lines, an index of record numbers to
// offsets, and its rotation. Not locked: its owner (CEventJournal) is.
#include "journal_format.h"
#include "vrbase/scope.h"

#include <string>
#include <utility>
#include <vector>

namespace vrcc {

class CJournalFile {
public:
    struct Slice {
        uint64_t seq;
        uint64_t from;
        uint64_t to;
    };

    // Creates the file as needed, indexes its records and cuts off a last
    // line left incomplete by a crash. Returns the highest record number.
    uint64_t Open(const std::wstring& path);
    // Appends and flushes one line; past kMaxBytes the file starts afresh
    // and keeps the part before as "<name>.1".
    void Append(uint64_t seq, const std::string& line);
    // The records numbered above `since`, in order, with their byte ranges.
    std::vector<Slice> After(uint64_t since) const;
    std::string ReadRange(uint64_t from, uint64_t to);
    const std::wstring& Path() const { return m_path; }

    static constexpr uint64_t kMaxBytes = 32ull << 20;

private:
    void Rotate();
    std::wstring m_path;
    VrBase::unique_hfile m_file;
    std::vector<std::pair<uint64_t, uint64_t>> m_index;  // record number, offset
    uint64_t m_end = 0;
};

// Creates a folder and its parents; new folders get an ACL for SYSTEM and
// Administrators only.
void CreateFolderTree(const std::wstring& folder);

} // namespace vrcc
