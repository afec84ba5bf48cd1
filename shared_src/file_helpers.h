#pragma once
// File operations of the depot, all reaching long paths.
#include <windows.h>
#include <string>

void CreateDirectoryWrapper(const std::wstring& path, SECURITY_ATTRIBUTES* security);
void CopyFileWrapper(const std::wstring& source, const std::wstring& target, bool failIfExists);
// Never raises: true when the file is gone by this call.
bool delete_file(const std::wstring& path);
// Where a file is written before it is moved to its name.
std::wstring partial_file_path(const std::wstring& path);
// Flushes the written file to the disk, then moves it over the target: after
// a crash or a power loss the target holds the old text or the whole new one.
void commit_file(const std::wstring& written, const std::wstring& target);
// UTF-8 without byte-order mark, written beside the file and moved over it.
void save_wstring_2_utf8file(const std::wstring& path, const std::wstring& text);
// The lines of a UTF-8 file joined without their breaks; empty when the
// file cannot be opened.
void load_utf8file_2_wstring(const std::wstring& path, std::wstring& text);
