#pragma once
// Version resources of files: the block, the translation to read, strings.
#include <windows.h>
#include <string>
#include <vector>

struct VersionTranslation {
    WORD language;
    WORD codePage;
};

// The whole version resource of the file; false when it has none (1812,
// 1813). Other failures raise.
bool get_version_info(const std::wstring& path, std::vector<BYTE>& block);
// The same, from the file already open for reading (read sharing only);
// its file position is left anywhere.
bool get_version_info(const std::wstring& path, HANDLE file, std::vector<BYTE>& block);
// The same, always through the platform's version functions; the answer
// get_version_info must equal.
bool get_version_info_from_platform(const std::wstring& path, std::vector<BYTE>& block);

// The first translation in a product language, else the last English
// (1033), else the first; 1033/1252 when the block lists none.
VersionTranslation choose_translation(const std::vector<BYTE>& block);
VersionTranslation choose_translation(const VersionTranslation* entries, size_t count);

// The named string of the translation, control characters removed; empty
// when absent.
std::wstring query_version_string(const std::vector<BYTE>& block, const wchar_t* name,
                                  const VersionTranslation& translation);

// The type text of a version resource's file type; "unknown" gets the
// file's extension in brackets.
std::wstring get_file_type_str(DWORD fileType, const std::wstring& path);
