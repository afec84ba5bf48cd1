#include "system_exception.h"

#include "vrbase/scope.h"

#include <dbghelp.h>
#include <cwchar>
#include <mutex>

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

unsigned long long FileSize(HANDLE file) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(file, &size) ? static_cast<unsigned long long>(size.QuadPart) : 0;
}

bool Truncate(HANDLE file) {
    LARGE_INTEGER zero{};
    return ::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
}

// What this process has written so far; held while a dump is written, so
// faults on several threads at once stay within the share.
struct DumpShare {
    std::mutex mutex;
    unsigned count = 0;
    unsigned long long bytes = 0;
};

DumpShare& Share() {
    static DumpShare* share = new DumpShare;  // used up to the last fault of the process
    return *share;
}

} // namespace

std::wstring WriteMiniDump(EXCEPTION_POINTERS* pointers, DWORD threadId) {
    DumpShare& share = Share();
    std::lock_guard<std::mutex> lock(share.mutex);
    if (share.count >= kMaxDumpsPerRun || share.bytes >= kDumpBytesPerRun)
        return L"Not written: this process has written its share of dumps";

    const std::wstring path = DumpFilePath();
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return L"Can't create file in temp folder!";
    ++share.count;

    bool written = false;
    unsigned long long size = 0;
    unique_hmodule dbghelp(::LoadLibraryW(L"dbghelp.dll"));
    if (dbghelp) {
        auto write = reinterpret_cast<MiniDumpWriteDumpFn>(
            reinterpret_cast<void*>(::GetProcAddress(dbghelp.get(), "MiniDumpWriteDump")));
        if (write) {
            MINIDUMP_EXCEPTION_INFORMATION info{threadId, pointers, FALSE};
            MINIDUMP_EXCEPTION_INFORMATION* infoArg = pointers ? &info : nullptr;
            auto writeAs = [&](MINIDUMP_TYPE type) {
                return write(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), type, infoArg, nullptr,
                             nullptr) != FALSE;
            };
            written = writeAs(MiniDumpWithFullMemory);
            size = written ? FileSize(file.get()) : 0;
            // A full dump that would pass the share gives way to a small one.
            if (!written || share.bytes + size > kDumpBytesPerRun) {
                written = Truncate(file.get()) && writeAs(MiniDumpNormal);
                size = written ? FileSize(file.get()) : 0;
            }
        }
    }
    if (written && share.bytes + size > kDumpBytesPerRun) {
        file.reset();
        ::DeleteFileW(path.c_str());
        share.bytes = kDumpBytesPerRun;
        return L"Not written: this process has written its share of dumps";
    }
    if (written) {
        share.bytes += size;
        return path;
    }
    DWORD error = ::GetLastError();
    wchar_t code[40];
    swprintf(code, 40, L"0x%08X (%d)", static_cast<unsigned>(error), static_cast<int>(error));
    return path + code;
}

} // namespace VrBase
