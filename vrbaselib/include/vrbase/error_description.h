#pragma once
// Message texts for Win32 codes, HRESULTs and the product's own codes.
#include <windows.h>
#include <string>
#include <vector>

namespace VrBase {

// The one-line text for a code, from the message table that owns it, in the
// product message language; "0x%08X (%d)" when no table knows the code.
// Code 0xFFFFFFFF stands for the thread's last error.
std::wstring DescribeCode(DWORD code, const std::vector<std::wstring>* inserts = nullptr);

// The library whose message table holds the code ("" for the system table).
const wchar_t* MessageSourceFor(DWORD code);

// Where a message library lies, by full path: the product's own beside the
// module that asks (the program or the proxy), the platform's in System32.
// Loaded as data, but a planted copy would still put its texts in our mouth.
std::wstring MessageLibraryPath(const wchar_t* file);

// The product locale name from the registry when it is well formed
// (five characters, such as ru-RU), else empty.
std::wstring ReadProductLocaleName();

// The product message language, computed once per process: the product
// locale's identifier, 1049 when it is missing or does not convert.
LCID ProductMessageLanguage();
LCID ComputeProductMessageLanguage();

} // namespace VrBase
