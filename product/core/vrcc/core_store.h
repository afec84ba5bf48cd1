#pragma once
// The core's configuration in the registry: its parameters, the policy
// sections and the computer record. Read on every request, so an
// administrator's change applies at once.
#include <windows.h>

#include <string>
#include <vector>

namespace vrcc {

struct CoreParameters {
    DWORD replyTimeoutMs = 180000;
    DWORD maxConnections = 256;
    std::wstring journalPath;
};

// Parameters\ReplyTimeoutMs, MaxConnections, JournalPath; defaults for
// what is absent or out of range.
CoreParameters ReadCoreParameters();
std::wstring DefaultJournalPath();

// A section nobody set reads as an empty text.
std::wstring ReadPolicySection(const std::wstring& section);
std::vector<std::wstring> PolicySections();
void WritePolicySection(const std::wstring& section, const std::wstring& text);
// ERROR_FILE_NOT_FOUND when there is no such section.
DWORD DeletePolicySection(const std::wstring& section);

// The seven fields of the computer record, in record order.
const std::vector<std::wstring>& ComputerFields();
// The field's own spelling, or empty when it is not one (case ignored).
std::wstring CanonicalComputerField(const std::wstring& name);
// The record of information class 1: each field cut to 127 characters.
std::vector<BYTE> ComputerRecord();
void WriteComputerField(const std::wstring& field, const std::wstring& value);

} // namespace vrcc
