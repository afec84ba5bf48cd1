#include "system_exception.h"

#include "vrbase/minidump.h"
#include "vrbase/module_path.h"
#include "vrbase/scope.h"

#include <dbghelp.h>
#include <objbase.h>

#include <cwchar>
#include <mutex>

namespace VrBase {
namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// The module's name without folder and extension; "dmpfile" when unknown.
std::wstring DumpBaseName() {
    wchar_t module[520] = {};
    std::wstring base = L"dmpfile";
    const DWORD n = ::GetModuleFileNameW(nullptr, module, 520);
    if (n > 0 && n < 520) {
        std::wstring full(module, n);
        size_t slash = full.find_last_of(L"\\/");
        std::wstring name = slash == std::wstring::npos ? full : full.substr(slash + 1);
        size_t dot = name.rfind(L'.');
        if (dot != std::wstring::npos) name.erase(dot);
        if (!name.empty()) base = name;
    }
    return base;
}

std::wstring TempFolder() {
    wchar_t temp[520] = {};
    DWORD n = ::GetTempPathW(520, temp);
    if (n == 0 || n >= 520) temp[0] = L'\0';
    return temp;
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
    bool folderNamed = false;  // by SetMiniDumpFolder: then only there
    std::wstring folder;
};

DumpShare& Share() {
    static DumpShare* share = new DumpShare;  // used up to the last fault of the process
    return *share;
}

} // namespace

void SetMiniDumpFolder(const std::wstring& folder) {
    DumpShare& share = Share();
    std::lock_guard<std::mutex> lock(share.mutex);
    share.folderNamed = true;
    share.folder = folder;
    if (!share.folder.empty() && share.folder.back() != L'\\') share.folder += L'\\';
}

std::wstring UnguessableName() {
    GUID guid{};
    if (FAILED(::CoCreateGuid(&guid))) return std::wstring();
    wchar_t text[40] = {};
    if (!::StringFromGUID2(guid, text, 40)) return std::wstring();
    std::wstring name(text);
    return name.size() > 2 ? name.substr(1, name.size() - 2) : std::wstring();  // without braces
}

HANDLE CreateNewDumpFile(const std::wstring& folder, const std::wstring& base,
                         const std::function<std::wstring()>& unique, std::wstring& path) {
    for (unsigned attempt = 0; attempt < kDumpNameAttempts; ++attempt) {
        const std::wstring name = unique();
        if (name.empty()) break;
        path = folder + base + L"-" + name + L".dmp";
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return INVALID_HANDLE_VALUE;
}

std::wstring WriteMiniDump(EXCEPTION_POINTERS* pointers, DWORD threadId) {
    DumpShare& share = Share();
    std::lock_guard<std::mutex> lock(share.mutex);
    if (share.count >= kMaxDumpsPerRun || share.bytes >= kDumpBytesPerRun)
        return L"Not written: this process has written its share of dumps";

    if (share.folderNamed && share.folder.empty()) return L"Not written: this process has no dump folder";
    std::wstring path;
    unique_hfile file(CreateNewDumpFile(share.folderNamed ? share.folder : TempFolder(), DumpBaseName(),
                                        &UnguessableName, path));
    if (!file) return share.folderNamed ? L"Can't create file in the dump folder!" : L"Can't create file in temp folder!";
    ++share.count;

    bool written = false;
    unsigned long long size = 0;
    unique_hmodule dbghelp(::LoadLibraryW((SystemFolder() + L"dbghelp.dll").c_str()));
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
