#include "ssr_backup_read.h"

#include "path_ops.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <atomic>
#include <vector>

namespace {

std::atomic<const ScanOpenObserver*> g_observer{nullptr};

void observe(const VrBase::unique_hfile& opened, const std::wstring& path) {
    if (!opened) return;
    if (const ScanOpenObserver* observer = g_observer.load()) {
        VrBase::CLastErrorKeeper keep;
        (*observer)(path);
    }
}

LUID backup_privilege_luid(const wchar_t* fn) {
    LUID luid{};
    if (!::LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &luid)) VR_RAISE_LAST_ERROR(fn);
    return luid;
}

} // namespace

CThreadBackupPrivilege::CThreadBackupPrivilege() {
    const wchar_t* const fn = L"CThreadBackupPrivilege";
    m_error = VrBase::GuardCode(fn, [&]() -> DWORD {
        HANDLE previous = nullptr;
        if (::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &previous))
            m_previous.reset(previous);
        else if (::GetLastError() != ERROR_NO_TOKEN)
            VR_RAISE_LAST_ERROR(fn);

        VrBase::unique_handle process, own;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE, process.put())) VR_RAISE_LAST_ERROR(fn);
        // A copy: the process token, which every thread of the service
        // shares, never holds the privilege enabled.
        if (!::DuplicateTokenEx(process.get(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY | TOKEN_IMPERSONATE, nullptr,
                                SecurityImpersonation, TokenImpersonation, own.put()))
            VR_RAISE_LAST_ERROR(fn);
        TOKEN_PRIVILEGES wanted{};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Luid = backup_privilege_luid(fn);
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!::AdjustTokenPrivileges(own.get(), FALSE, &wanted, 0, nullptr, nullptr)) VR_RAISE_LAST_ERROR(fn);
        // Success with ERROR_NOT_ALL_ASSIGNED: the account lacks it.
        if (::GetLastError() == ERROR_NOT_ALL_ASSIGNED) VR_RAISE(ERROR_NOT_ALL_ASSIGNED, fn);
        if (!::SetThreadToken(nullptr, own.get())) VR_RAISE_LAST_ERROR(fn);
        m_set = true;
        return 0;
    });
}

CThreadBackupPrivilege::~CThreadBackupPrivilege() {
    if (!m_set) return;
    VrBase::CLastErrorKeeper keep;
    const BOOL restored = m_previous ? ::SetThreadToken(nullptr, m_previous.get()) : ::RevertToSelf();
    if (!restored)
        VR_TRACE(VrBase::TL_ERROR, L"CThreadBackupPrivilege::~CThreadBackupPrivilege",
                 L"the thread's token could not be put back: %u", static_cast<unsigned>(::GetLastError()));
}

COrderedWork::Starter backup_reading_starter() {
    return [](std::function<void()> body) {
        return std::thread([work = std::move(body)] {
            CThreadBackupPrivilege reading;
            work();
        });
    };
}

bool thread_has_backup_privilege() {
    const wchar_t* const fn = L"thread_has_backup_privilege";
    VrBase::unique_handle token;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
        if (::GetLastError() != ERROR_NO_TOKEN) VR_RAISE_LAST_ERROR(fn);
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) VR_RAISE_LAST_ERROR(fn);
    }
    const LUID luid = backup_privilege_luid(fn);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
    if (size < sizeof(TOKEN_PRIVILEGES)) VR_RAISE_LAST_ERROR(fn);
    std::vector<BYTE> buffer(size);
    if (!::GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size)) VR_RAISE_LAST_ERROR(fn);
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    if (FIELD_OFFSET(TOKEN_PRIVILEGES, Privileges) + privileges->PrivilegeCount * sizeof(LUID_AND_ATTRIBUTES) > size)
        VR_RAISE(ERROR_INVALID_DATA, fn);
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
        if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart)
            return (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    return false;
}

VrBase::unique_hfile open_folder_for_scan(const std::wstring& path) {
    // Listing and attributes only; the share mode lets everyone else go on
    // changing the folder while it is listed.
    VrBase::unique_hfile folder(::CreateFileW(long_path(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    observe(folder, path);
    return folder;
}

VrBase::unique_hfile open_file_for_scan(const std::wstring& path, DWORD share) {
    VrBase::unique_hfile file(::CreateFileW(long_path(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    observe(file, path);
    return file;
}

DWORD scan_attributes(const std::wstring& path) {
    const std::wstring name = long_path(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES || ::GetLastError() != ERROR_ACCESS_DENIED) return attributes;
    VrBase::unique_hfile entry(::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                             nullptr));
    FILE_BASIC_INFO basic{};
    if (!entry || !::GetFileInformationByHandleEx(entry.get(), FileBasicInfo, &basic, sizeof(basic)))
        return INVALID_FILE_ATTRIBUTES;
    return basic.FileAttributes;
}

void set_scan_open_observer(const ScanOpenObserver* observer) { g_observer.store(observer); }
