#pragma once
// One-line texts of error codes for the management, from the message table
// that owns the code, in the product language.
#include <windows.h>
#include <map>
#include <string>

// Which library serves which code range, and the libraries loaded so far
// (kept for the life of the process).
class CErrDescSrc {
public:
    static CErrDescSrc& instance();
    // The library that describes the code; null for the system table.
    HMODULE get_lib(DWORD code);
    HMODULE load_lib(DWORD rangeKey);
    // The range key of a code; 0 for the system table.
    static DWORD range_key(DWORD code);

private:
    CErrDescSrc();
    std::map<DWORD, std::wstring> m_files;
    std::map<DWORD, HMODULE> m_modules;
};

// The description, or empty when no table knows the code. Raises what the
// language switch or the library load raise.
std::wstring get_error_str(DWORD code);
// 0 or the Win32 error of the look-up; the text is cut at its last line
// break and each insert marker becomes two dots.
DWORD get_msg_from_dll(HMODULE module, std::wstring& text, DWORD code);
