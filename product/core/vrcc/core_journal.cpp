#include "core_journal.h"

#include "vrbase/vr_error.h"

#include <algorithm>

namespace vrcc {

void CEventJournal::Open(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t cut = path.find_last_of(L'\\');
    if (cut != std::wstring::npos) CreateFolderTree(path.substr(0, cut));
    const uint64_t services = m_services.Open(path);
    const uint64_t ordinary = m_ordinary.Open(OrdinaryPath(path));
    m_lastSeq = std::max(services, ordinary);
}

uint64_t CEventJournal::Append(JournalRecord record, bool privilegedWriter) {
    std::lock_guard<std::mutex> lock(m_mutex);
    record.seq = m_lastSeq + 1;
    const std::string line = FormatJournalLine(record);
    if (line.size() > kMaxRecordBytes) VR_RAISE(ERROR_INVALID_PARAMETER, L"CEventJournal::Append");
    (privilegedWriter ? m_services : m_ordinary).Append(record.seq, line);
    m_lastSeq = record.seq;
    return record.seq;
}

std::string CEventJournal::Read(uint64_t since, size_t maxBytes, bool& more) {
    std::lock_guard<std::mutex> lock(m_mutex);
    more = false;
    const std::vector<CJournalFile::Slice> a = m_services.After(since);
    const std::vector<CJournalFile::Slice> b = m_ordinary.After(since);
    std::string out;
    size_t ia = 0, ib = 0;
    // Runs of consecutive records from one file lie together on disk: one
    // read each.
    while (ia < a.size() || ib < b.size()) {
        if (!out.empty() && out.size() > maxBytes) {
            more = true;
            break;
        }
        const bool fromA = ib == b.size() || (ia < a.size() && a[ia].seq < b[ib].seq);
        const auto& list = fromA ? a : b;
        size_t& i = fromA ? ia : ib;
        const uint64_t other = fromA ? (ib < b.size() ? b[ib].seq : UINT64_MAX) : (ia < a.size() ? a[ia].seq : UINT64_MAX);
        const uint64_t from = list[i].from;
        uint64_t to = list[i].to;
        for (++i; i < list.size() && list[i].seq < other && out.size() + (to - from) <= maxBytes; ++i)
            to = list[i].to;
        out += (fromA ? m_services : m_ordinary).ReadRange(from, to);
    }
    return out;
}

uint64_t CEventJournal::LastSeq() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastSeq;
}

} // namespace vrcc
