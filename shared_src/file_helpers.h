#pragma once
// File operations of the depot, all reaching long paths.
#include <windows.h>
#include <string>

// "\\?\" + path, unless the path already starts with "\\?\" or "\\".
std::wstring long_path_form(const std::wstring& path);
void CreateDirectoryWrapper(const std::wstring& path, SECURITY_ATTRIBUTES* security);
void CopyFileWrapper(const std::wstring& source, const std::wstring& target, bool failIfExists);
// Never raises: true when the file is gone by this call.
bool delete_file(const std::wstring& path);
// UTF-8 without byte-order mark; the file is created or truncated.
void save_wstring_2_utf8file(const std::wstring& path, const std::wstring& text);
// The lines of a UTF-8 file joined without their breaks; empty when the
// file cannot be opened.
void load_utf8file_2_wstring(const std::wstring& path, std::wstring& text);
