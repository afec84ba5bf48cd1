#pragma once
// One line of the event journal per event: UTF-8, fields separated by tabs,
// tabs, line breaks and backslashes inside texts escaped, "\r\n" at the end.
//   seq  time  pid  source  category-name  category  event-id  type  sid  data-hex  n  string1 ... stringN
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vrcc {

struct JournalRecord {
    uint64_t seq = 0;
    std::wstring time;  // UTC, 2024-01-31T12:00:00.123Z
    DWORD processId = 0;
    std::wstring source;
    std::wstring categoryName;
    WORD category = 0;
    DWORD eventId = 0;
    WORD type = 0;
    std::wstring sid;  // "-" when none was given
    std::string dataHex;
    std::vector<std::wstring> strings;
};

std::string FormatJournalLine(const JournalRecord& record);
// The line without its terminator; false when it is not a record.
bool ParseJournalLine(const std::string& line, JournalRecord& record);

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);
std::wstring UtcTimeText(const FILETIME& time);

} // namespace vrcc
