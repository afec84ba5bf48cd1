#include "system_exception.h"

#include "vrbase/scope.h"

#include <dbghelp.h>
#include <cwchar>

namespace VrBase {
namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

std::wstring DumpFilePath() {
    wchar_t temp[520] = {};
    DWORD n = ::GetTempPathW(520, temp);
    if (n == 0 || n >= 520) temp[0] = L'\0';
    wchar_t module[520] = {};
    std::wstring base = L"dmpfile";
    n = ::GetModuleFileNameW(nullptr, module, 520);
    if (n > 0 && n < 520) {
        std::wstring full(module, n);
        size_t slash = full.find_last_of(L"\\/");
        std::wstring name = slash == std::wstring::npos ? full : full.substr(slash + 1);
        size_t dot = name.rfind(L'.');
        if (dot != std::wstring::npos) name.erase(dot);
        if (!name.empty()) base = name;
    }
    wchar_t tick[16];
    swprintf(tick, 16, L"%08X", static_cast<unsigned>(::GetTickCount()));
    return std::wstring(temp) + base + L"-" + tick + L".dmp";
}

} // namespace

std::wstring WriteMiniDump(EXCEPTION_POINTERS* pointers) {
    const std::wstring path = DumpFilePath();
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return L"Can't create file in temp folder!";

    bool written = false;
    unique_hmodule dbghelp(::LoadLibraryW(L"dbghelp.dll"));
    if (dbghelp) {
        auto write = reinterpret_cast<MiniDumpWriteDumpFn>(
            reinterpret_cast<void*>(::GetProcAddress(dbghelp.get(), "MiniDumpWriteDump")));
        if (write) {
            MINIDUMP_EXCEPTION_INFORMATION info{::GetCurrentThreadId(), pointers, FALSE};
            MINIDUMP_EXCEPTION_INFORMATION* infoArg = pointers ? &info : nullptr;
            written = write(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), MiniDumpWithFullMemory,
                            infoArg, nullptr, nullptr) ||
                      write(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), MiniDumpNormal, infoArg,
                            nullptr, nullptr);
        }
    }
    if (written) return path;
    DWORD error = ::GetLastError();
    wchar_t code[40];
    swprintf(code, 40, L"0x%08X (%d)", static_cast<unsigned>(error), static_cast<int>(error));
    return path + code;
}

} // namespace VrBase
