#pragma once
#include <windows.h>
#include <string>

namespace VrBase {

// The product code a system exception is reported with (1064 when unlisted).
DWORD ErrorCodeForSystemException(DWORD exceptionCode);

// Writes a minidump of this process into the temporary folder, with the
// exception of the given thread, and returns the text for the "MiniDumpFile"
// field: the path, the path followed by the failure code, or the text saying
// that no file was created. A process writes at most kMaxDumpsPerRun dumps
// and never more than kDumpBytesPerRun bytes of them: a fault repeated for
// every file of a hostile folder must not fill the disk.
std::wstring WriteMiniDump(EXCEPTION_POINTERS* pointers, DWORD threadId);

constexpr unsigned kMaxDumpsPerRun = 3;
constexpr unsigned long long kDumpBytesPerRun = 512ull << 20;

} // namespace VrBase
