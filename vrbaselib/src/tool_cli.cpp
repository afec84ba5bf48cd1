#include "vrbase/tool_cli.h"

#include "vrbase/error_description.h"
#include "vrbase/vr_error.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>

namespace VrBase {

void ToolStreamsUtf8() {
    fflush(stdout);
    fflush(stderr);
    _setmode(_fileno(stdout), _O_U8TEXT);
    _setmode(_fileno(stderr), _O_U8TEXT);
}

bool IsHelpArgument(const std::wstring& argument) {
    return argument == L"--help" || argument == L"-h" || argument == L"/?" || argument == L"help";
}

int ToolHelp(const wchar_t* usage) {
    fwprintf(stdout, L"%ls", usage);
    fflush(stdout);
    return 0;
}

int ToolUsageError(const wchar_t* tool, const std::wstring& argument, const std::wstring& why) {
    fflush(stdout);
    if (argument.empty())
        fwprintf(stderr, L"%ls: %ls (%ls --help shows the usage)\n", tool, why.c_str(), tool);
    else
        fwprintf(stderr, L"%ls: %ls: %ls (%ls --help shows the usage)\n", tool, argument.c_str(), why.c_str(), tool);
    fflush(stderr);
    return kExitUsage;
}

std::wstring CodeWords(DWORD code) {
    std::wstring words = DescribeCode(code);
    // DescribeCode answers with the number itself when no table knows it.
    if (words.compare(0, 2, L"0x") == 0) return L"error";
    while (!words.empty() && (words.back() == L'.' || words.back() == L' ' || words.back() == L'\n'))
        words.pop_back();
    return words;
}

std::wstring CodeInWords(DWORD code) {
    wchar_t number[16];
    if (code > 0xFFFF)
        swprintf(number, 16, L"0x%08X", static_cast<unsigned>(code));
    else
        swprintf(number, 16, L"%u", static_cast<unsigned>(code));
    std::wstring words = CodeWords(code);
    return words == L"error" ? L"error " + std::wstring(number) : words + L" (" + number + L")";
}

bool IsAbsoluteWindowsPath(const std::wstring& path) {
    auto slash = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && slash(path[2])) return true;
    return path.size() > 2 && slash(path[0]) && slash(path[1]);
}

std::wstring FullWindowsPath(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
        if (n == 0) VR_RAISE_LAST_ERROR(L"FullWindowsPath");
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        full.resize(n);  // n counts the terminator when the buffer was short
    }
}

void ToolError(const wchar_t* tool, const std::wstring& what, DWORD code) {
    fflush(stdout);
    fwprintf(stderr, L"%ls: %ls: %ls\n", tool, what.c_str(), CodeInWords(code).c_str());
    fflush(stderr);
}

} // namespace VrBase
