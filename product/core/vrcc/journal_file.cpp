#include "journal_file.h"

#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <sddl.h>

#include <algorithm>

namespace vrcc {

void CreateFolderTree(const std::wstring& folder) {
    if (folder.empty() || ::GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    size_t cut = folder.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut > 2) CreateFolderTree(folder.substr(0, cut));
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)",
                                                                SDDL_REVISION_1, &sd, nullptr))
        VR_RAISE_LAST_ERROR(L"vrcc::CreateFolderTree");
    VrBase::unique_hlocal owner(sd);
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    if (!::CreateDirectoryW(folder.c_str(), &sa) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        VR_RAISE_LAST_ERROR(L"vrcc::CreateFolderTree");
}

uint64_t CJournalFile::Open(const std::wstring& path) {
    m_path = path;
    m_file.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file) VR_RAISE_LAST_ERROR(L"CJournalFile::Open");

    m_index.clear();
    uint64_t lastSeq = 0;
    uint64_t offset = 0, lineStart = 0;
    std::string line;
    char buf[65536];
    DWORD got = 0;
    while (::ReadFile(m_file.get(), buf, sizeof buf, &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i, ++offset) {
            if (buf[i] != '\n') {
                line += buf[i];
                continue;
            }
            if (!line.empty() && line.back() == '\r') line.pop_back();
            JournalRecord r;
            if (ParseJournalLine(line, r) && r.seq > lastSeq) {
                m_index.emplace_back(r.seq, lineStart);
                lastSeq = r.seq;
            } else if (!line.empty()) {
                VR_TRACE(VrBase::TL_WARNING, L"CJournalFile::Open", L"%ls: unreadable line at offset %llu skipped",
                         path.c_str(), static_cast<unsigned long long>(lineStart));
            }
            line.clear();
            lineStart = offset + 1;
        }
    }
    m_end = lineStart;
    if (offset != lineStart) {
        VR_TRACE(VrBase::TL_WARNING, L"CJournalFile::Open", L"%ls: incomplete last record (%llu bytes) dropped",
                 path.c_str(), static_cast<unsigned long long>(offset - lineStart));
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(lineStart);
        if (!::SetFilePointerEx(m_file.get(), at, nullptr, FILE_BEGIN) || !::SetEndOfFile(m_file.get()))
            VR_RAISE_LAST_ERROR(L"CJournalFile::Open");
    }
    return lastSeq;
}

void CJournalFile::Rotate() {
    m_file.reset();
    const std::wstring previous = m_path + L".1";
    if (!::MoveFileExW(m_path.c_str(), previous.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        VR_TRACE(VrBase::TL_ERROR, L"CJournalFile::Rotate", L"cannot keep the older part of %ls, err %u",
                 m_path.c_str(), ::GetLastError());
    m_file.reset(::CreateFileW(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file) VR_RAISE_LAST_ERROR(L"CJournalFile::Rotate");
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(m_file.get(), &size)) VR_RAISE_LAST_ERROR(L"CJournalFile::Rotate");
    if (size.QuadPart != 0) {
        // The move failed and this is the old file: start it afresh.
        LARGE_INTEGER zero{};
        if (!::SetFilePointerEx(m_file.get(), zero, nullptr, FILE_BEGIN) || !::SetEndOfFile(m_file.get()))
            VR_RAISE_LAST_ERROR(L"CJournalFile::Rotate");
    }
    const uint64_t last = m_index.empty() ? 0 : m_index.back().first;
    m_index.clear();
    m_end = 0;
    VR_TRACE(VrBase::TL_INFO, L"CJournalFile::Rotate", L"%ls started afresh after record %llu", m_path.c_str(),
             static_cast<unsigned long long>(last));
}

void CJournalFile::Append(uint64_t seq, const std::string& line) {
    if (m_end > 0 && m_end + line.size() > kMaxBytes) Rotate();
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(m_end);
    DWORD written = 0;
    if (!::SetFilePointerEx(m_file.get(), at, nullptr, FILE_BEGIN) ||
        !::WriteFile(m_file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size() || !::FlushFileBuffers(m_file.get())) {
        DWORD e = ::GetLastError();
        // Whatever part reached the file is cut off again, so the next
        // record starts on a line of its own.
        ::SetFilePointerEx(m_file.get(), at, nullptr, FILE_BEGIN);
        ::SetEndOfFile(m_file.get());
        VR_RAISE(e ? e : ERROR_WRITE_FAULT, L"CJournalFile::Append");
    }
    m_index.emplace_back(seq, m_end);
    m_end += line.size();
}

std::vector<CJournalFile::Slice> CJournalFile::After(uint64_t since) const {
    std::vector<Slice> out;
    auto it = std::upper_bound(m_index.begin(), m_index.end(), std::make_pair(since, UINT64_MAX));
    for (; it != m_index.end(); ++it) {
        auto next = it + 1;
        out.push_back(Slice{it->first, it->second, next == m_index.end() ? m_end : next->second});
    }
    return out;
}

std::string CJournalFile::ReadRange(uint64_t from, uint64_t to) {
    std::string out(static_cast<size_t>(to - from), '\0');
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(from);
    ov.OffsetHigh = static_cast<DWORD>(from >> 32);
    DWORD got = 0;
    if (!out.empty() && (!::ReadFile(m_file.get(), &out[0], static_cast<DWORD>(out.size()), &got, &ov) ||
                         got != out.size()))
        VR_RAISE(::GetLastError() ? ::GetLastError() : ERROR_READ_FAULT, L"CJournalFile::ReadRange");
    return out;
}

} // namespace vrcc
