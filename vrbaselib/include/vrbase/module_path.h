#pragma once
#include <windows.h>
#include <string>

namespace VrBase {

// The folder of the running program, ending in a backslash: where the
// product's programs and DLLs lie side by side.
std::wstring ProgramFolder();

// The folder of the module (program or DLL) that holds the given address,
// ending in a backslash; empty when it cannot be told.
std::wstring ModuleFolderOf(const void* address);

// The system folder (System32), ending in a backslash.
std::wstring SystemFolder();

// Loads a library by its full path, its own dependencies from its folder
// and System32 only. A library that cannot be loaded raises `code` with the
// full path as the item "Library", under `function`.
HMODULE LoadLibraryByPath(const std::wstring& fullPath, DWORD code, const wchar_t* function);

// Takes the current folder and PATH out of the search for DLLs the process
// loads later: the program's folder and System32 remain. Called first in
// every program of the product.
void RestrictDllSearch();

} // namespace VrBase
