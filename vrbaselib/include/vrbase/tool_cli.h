#pragma once
// What every command-line tool of the product does alike: help on standard
// output with exit code 0, a wrong argument as one line with exit code 87,
// and failures in words with their code after them.
#include <windows.h>
#include <string>

namespace VrBase {

constexpr int kExitUsage = ERROR_INVALID_PARAMETER;  // 87

// Every line a tool prints goes this one way: formatted to a wide string
// first, then written whole, with WriteConsoleW to a console and as UTF-8
// bytes to a pipe or a file, each line ending in CR LF (never CR CR LF).
// The C runtime's wide streams are not used: Wine's drops every formatted
// number when they write to a console.
// False when the text did not go out whole (a full disk, a closed pipe).
enum class ToolStream { Out, Err };
bool ToolWrite(ToolStream stream, const std::wstring& text);
// UTF-8 text (what a portable part of a tool produces), written the same way.
bool ToolWriteUtf8(ToolStream stream, const std::string& text);
// UTF-8 and back; a byte-order mark is kept as U+FEFF.
std::string Utf8Of(const std::wstring& text);
std::wstring WideOfUtf8(const std::string& text);
// printf-style formatting to a string; the formats of swprintf.
std::wstring FormatText(const wchar_t* format, ...);
// Formatted, to standard output and to standard error.
void ToolPrint(const wchar_t* format, ...);
void ToolPrintError(const wchar_t* format, ...);
// Whether the stream is a console (a person reads it as it comes).
bool ToolStreamIsConsole(ToolStream stream);

// --help, -h, /? and help.
bool IsHelpArgument(const std::wstring& argument);

// Prints the usage text to standard output; returns 0.
int ToolHelp(const wchar_t* usage);

// "TOOL: ARGUMENT: WHY (TOOL --help shows the usage)" on one line to
// standard error, without "ARGUMENT: " when it is empty; returns 87.
int ToolUsageError(const wchar_t* tool, const std::wstring& argument, const std::wstring& why);

// The system's words for a code without the closing full stop; "error N"
// when no message table knows it.
std::wstring CodeWords(DWORD code);

// "words (code)": the code in decimal, an HRESULT or NTSTATUS in hexadecimal.
std::wstring CodeInWords(DWORD code);

// "X:\..." or "\\server\share...": a path that means the same whatever the
// current folder of the program that reads it.
bool IsAbsoluteWindowsPath(const std::wstring& path);

// The full form of a path as the system resolves it when opening it: "." and
// ".." folded, trailing dots and blanks of the last part dropped. A folder
// stored as typed ("C:\x. ") would otherwise never be found again.
std::wstring FullWindowsPath(const std::wstring& path);

// "TOOL: WHAT: words (code)" to standard error.
void ToolError(const wchar_t* tool, const std::wstring& what, DWORD code);

} // namespace VrBase
