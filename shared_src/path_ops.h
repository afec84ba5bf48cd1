#pragma once
// Paths: the case-insensitive relation test, expansion, existence, and the
// zero-wait abort check of long loops.
#include <windows.h>
#include <locale.h>
#include <string>

// The C run-time locale that path comparisons use, created once.
_locale_t path_locale();

// Related when one path is the other or lies below it. relation: 0 equal,
// -1 when a is the ancestor of b, 1 when a lies below b.
bool compare_paths(const std::wstring& a, const std::wstring& b, int& relation);

// The longest path the file-system calls take, in characters ("\\?\" form).
constexpr size_t kMaxPathChars = 32767;

// Environment variables expanded; an empty text raises 87, a text or an
// expansion longer than kMaxPathChars 206.
std::wstring expand_path(const std::wstring& text);

// 0 with exists set (true, or false for "not found"); any other failure,
// such as a missing parent folder (3), is returned as the code.
DWORD check_fo_existance(const std::wstring& path, bool& exists);

// Returns when the event is not signalled; raises 1235 when it is.
void mission_abort_required(HANDLE abortEvent);

// The form of a path that file-system calls need to reach long paths:
// "\\?\" + path, and "\\?\UNC\server\share..." for "\\server\share...".
// A path that already has the prefix, or names a device ("\\.\"), is
// used as it is.
std::wstring long_path(const std::wstring& path);
// The full, normalised form of a path as given by a person or another
// program: relative, with "." and "..", with forward slashes, of any length.
std::wstring full_path(const std::wstring& path);
