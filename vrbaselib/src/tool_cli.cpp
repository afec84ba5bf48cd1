#include "vrbase/tool_cli.h"

#include "vrbase/error_description.h"
#include "vrbase/vr_error.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace VrBase {

namespace {

// Chunks for WriteConsoleW: older consoles refuse one large write.
constexpr size_t kConsoleChunkChars = 4096;

HANDLE StreamHandle(ToolStream stream) {
    return ::GetStdHandle(stream == ToolStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != FALSE;
}

// Whether the last character written to each stream was a CR, so a LF in
// the next text does not get a second one.
bool g_lastWasCr[2] = {false, false};

std::wstring WithCrLf(ToolStream stream, const std::wstring& text) {
    bool& lastWasCr = g_lastWasCr[stream == ToolStream::Out ? 0 : 1];
    std::wstring out;
    out.reserve(text.size() + text.size() / 16);
    for (wchar_t c : text) {
        if (c == L'\n' && !lastWasCr) out += L'\r';
        out += c;
        lastWasCr = c == L'\r';
    }
    return out;
}

bool WriteConsoleText(HANDLE console, const std::wstring& text) {
    for (size_t at = 0; at < text.size();) {
        size_t n = std::min(kConsoleChunkChars, text.size() - at);
        // A surrogate pair stays in one write.
        if (at + n < text.size() && IS_HIGH_SURROGATE(text[at + n - 1]) && n > 1) --n;
        DWORD written = 0;
        if (!::WriteConsoleW(console, text.data() + at, static_cast<DWORD>(n), &written, nullptr) || written == 0)
            return false;
        at += written;
    }
    return true;
}

bool WriteBytes(HANDLE handle, const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        DWORD written = 0;
        const DWORD n = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1u << 20));
        if (!::WriteFile(handle, bytes.data() + at, n, &written, nullptr) || written == 0) return false;
        at += written;
    }
    return true;
}

std::wstring FormatList(const wchar_t* format, va_list args) {
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buffer.size()) return std::wstring(buffer.data(), n);
        // Some runtimes answer -1 for a short buffer, others the length needed.
        // At the cap the text is cut short; some runtimes leave no terminator then.
        if (buffer.size() >= (64u << 20)) return std::wstring(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
        buffer.resize(n > 0 ? static_cast<size_t>(n) + 1 : buffer.size() * 2);
    }
}

} // namespace

std::string Utf8Of(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
    return bytes;
}

std::wstring WideOfUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n > 0 ? n : 0, L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

bool ToolWrite(ToolStream stream, const std::wstring& text) {
    if (text.empty()) return true;
    HANDLE handle = StreamHandle(stream);
    if (!handle || handle == INVALID_HANDLE_VALUE) return false;
    const std::wstring lines = WithCrLf(stream, text);
    return IsConsole(handle) ? WriteConsoleText(handle, lines) : WriteBytes(handle, Utf8Of(lines));
}

bool ToolWriteUtf8(ToolStream stream, const std::string& text) { return ToolWrite(stream, WideOfUtf8(text)); }

bool ToolStreamIsConsole(ToolStream stream) { return IsConsole(StreamHandle(stream)); }

std::wstring FormatText(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatList(format, args);
    va_end(args);
    return text;
}

void ToolPrint(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatList(format, args);
    va_end(args);
    ToolWrite(ToolStream::Out, text);
}

void ToolPrintError(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatList(format, args);
    va_end(args);
    ToolWrite(ToolStream::Err, text);
}

bool IsHelpArgument(const std::wstring& argument) {
    return argument == L"--help" || argument == L"-h" || argument == L"/?" || argument == L"help";
}

int ToolHelp(const wchar_t* usage) {
    ToolWrite(ToolStream::Out, usage);
    return 0;
}

int ToolUsageError(const wchar_t* tool, const std::wstring& argument, const std::wstring& why) {
    if (argument.empty())
        ToolPrintError(L"%ls: %ls (%ls --help shows the usage)\n", tool, why.c_str(), tool);
    else
        ToolPrintError(L"%ls: %ls: %ls (%ls --help shows the usage)\n", tool, argument.c_str(), why.c_str(), tool);
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
    ToolPrintError(L"%ls: %ls: %ls\n", tool, what.c_str(), CodeInWords(code).c_str());
}

} // namespace VrBase
