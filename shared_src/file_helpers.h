#pragma once
// File operations of the depot, all reaching long paths.
#include "vrbase/scope.h"

#include <windows.h>
#include <string>

void CreateDirectoryWrapper(const std::wstring& path, SECURITY_ATTRIBUTES* security);
void CopyFileWrapper(const std::wstring& source, const std::wstring& target, bool failIfExists);
// Never raises: true when the file is gone by this call.
bool delete_file(const std::wstring& path);
// A file made new for writing: a leftover of that name (a file or a link
// someone planted) is deleted first, and the creation fails rather than open
// anything that exists. Raises when the leftover cannot be deleted.
VrBase::unique_hfile create_new_file(const std::wstring& path, DWORD access, DWORD share);
// Everything from the handle's position to the end.
std::string read_whole_file(HANDLE file);
// The text as UTF-8 bytes, without byte-order mark.
std::string utf8_bytes(const std::wstring& text);
// UTF-8 bytes as text, the lines joined without their breaks and a leading
// byte-order mark removed.
std::wstring utf8_lines_to_wstring(const std::string& bytes);
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
