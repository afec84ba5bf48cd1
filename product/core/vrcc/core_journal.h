#pragma once
// The durable event journal: one line per event, appended and flushed to
// disk before the writer is answered. Records are numbered from 1 across
// two files: the records of SYSTEM and administrators (the services) in the
// journal's own file, those of ordinary callers in "<journal>.users", each
// rotated on its own, so no ordinary caller's records can push a service's
// out. Read as one journal in number order; the number is the mark an
// administrator reads "since".
#include "journal_file.h"

#include <mutex>
#include <string>

namespace vrcc {

class CEventJournal {
public:
    // Creates the folders and the files as needed; numbering continues
    // after the highest number in either file.
    void Open(const std::wstring& path);
    // Numbers the record, appends and flushes it to the file of its kind of
    // writer; returns its number.
    uint64_t Append(JournalRecord record, bool privilegedWriter);
    // Whole lines of the records numbered above `since`, from both files in
    // number order, up to about maxBytes (at least one record); `more` when
    // some were left.
    std::string Read(uint64_t since, size_t maxBytes, bool& more);
    uint64_t LastSeq();
    const std::wstring& Path() const { return m_services.Path(); }

    static std::wstring OrdinaryPath(const std::wstring& path) { return path + L".users"; }
    // One record's line at most.
    static constexpr size_t kMaxRecordBytes = 1u << 20;

private:
    std::mutex m_mutex;
    CJournalFile m_services;
    CJournalFile m_ordinary;
    uint64_t m_lastSeq = 0;
};

} // namespace vrcc
