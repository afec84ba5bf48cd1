#pragma once
#include <windows.h>
#include <functional>
#include <string>

namespace VrBase {

// The product code a system exception is reported with (1064 when unlisted).
DWORD ErrorCodeForSystemException(DWORD exceptionCode);

// Writes a minidump of this process into its dump folder (SetMiniDumpFolder), with the
// exception of the given thread, and returns the text for the "MiniDumpFile"
// field: the path, the path followed by the failure code, or the text saying
// that no file was created. A process writes at most kMaxDumpsPerRun dumps
// and never more than kDumpBytesPerRun bytes of them: a fault repeated for
// every file of a hostile folder must not fill the disk.
std::wstring WriteMiniDump(EXCEPTION_POINTERS* pointers, DWORD threadId);

// Creates a new dump file in the folder, named by `base`, "-", a name from
// `unique` and ".dmp"; never opens a file that exists (someone may have put
// it there to receive the dump), trying kDumpNameAttempts names. The path
// goes out; an invalid handle when none could be created.
HANDLE CreateNewDumpFile(const std::wstring& folder, const std::wstring& base,
                         const std::function<std::wstring()>& unique, std::wstring& path);

// A name nobody can guess before the dump is written.
std::wstring UnguessableName();

constexpr unsigned kDumpNameAttempts = 4;
constexpr unsigned kMaxDumpsPerRun = 3;
constexpr unsigned long long kDumpBytesPerRun = 512ull << 20;

} // namespace VrBase
