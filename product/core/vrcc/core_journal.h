#pragma once
// The durable event journal: one line per event, appended and flushed to
// disk before the writer is answered. Records are numbered from 1; the
// number is the mark an administrator reads "since".
#include "journal_format.h"
#include "vrbase/scope.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vrcc {

class CEventJournal {
public:
    // Creates the folders and the file as needed. A last line cut short by a
    // crash was never confirmed to its writer and is dropped.
    void Open(const std::wstring& path);
    // Numbers the record, appends and flushes it; returns its number.
    uint64_t Append(JournalRecord record);
    // Whole lines of the records numbered above `since`, up to about
    // maxBytes (at least one record); `more` when some were left.
    std::string Read(uint64_t since, size_t maxBytes, bool& more);
    uint64_t LastSeq();
    const std::wstring& Path() const { return m_path; }

    // One journal file holds at most this much; then it is rotated.
    static constexpr uint64_t kMaxJournalBytes = 32ull << 20;
    // One record's line at most.
    static constexpr size_t kMaxRecordBytes = 1u << 20;

private:
    void Rotate();
    std::mutex m_mutex;
    std::wstring m_path;
    VrBase::unique_hfile m_file;
    std::vector<std::pair<uint64_t, uint64_t>> m_index;  // record number, offset
    uint64_t m_end = 0;
    uint64_t m_lastSeq = 0;
};

// Creates a folder and its parents; new folders get an ACL for SYSTEM and
// Administrators only.
void CreateFolderTree(const std::wstring& folder);

} // namespace vrcc
