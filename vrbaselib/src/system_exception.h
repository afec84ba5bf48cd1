#pragma once
#include <windows.h>
#include <string>

namespace VrBase {

// The product code a system exception is reported with (1064 when unlisted).
DWORD ErrorCodeForSystemException(DWORD exceptionCode);

// Writes a minidump of this process into the temporary folder and returns
// the text for the "MiniDumpFile" field: the path, the path followed by the
// failure code, or the text saying that no file could be created.
std::wstring WriteMiniDump(EXCEPTION_POINTERS* pointers);

} // namespace VrBase
