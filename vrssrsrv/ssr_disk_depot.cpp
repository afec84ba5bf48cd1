#include "ssr_disk_depot.h"

#include "exec/apartment_executor.h"
#include "file_helpers.h"
#include "path_ops.h"
#include "ssr_security.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

CSSRDiskDepot& CSSRDiskDepot::instance() {
    static CSSRDiskDepot depot;
    return depot;
}

CSSRDiskDepotLocker::~CSSRDiskDepotLocker() {
    VrBase::GuardVoid(L"CSSRDiskDepotLocker::~CSSRDiskDepotLocker", [] { CSSRDiskDepot::instance().unlock(); });
}

CDeleteFileWatchDog::~CDeleteFileWatchDog() {
    if (!m_armed) return;
    if (!delete_file(m_path) && ::GetLastError() != ERROR_FILE_NOT_FOUND)
        VR_TRACE(VrBase::TL_ERROR, L"CDeleteFileWatchDog::~CDeleteFileWatchDog", L"Can't delete <%ls>, %u",
                 m_path.c_str(), ::GetLastError());
}

std::vector<BYTE> create_depot_security() {
    return build_self_relative_sd(WinBuiltinAdministratorsSid, {
                                                                   {WinLocalSystemSid, GENERIC_ALL, 0},
                                                                   {WinAuthenticatedUserSid, GENERIC_READ, 0},
                                                                   {WinBuiltinUsersSid, GENERIC_READ, 0},
                                                                   {WinBuiltinAdministratorsSid, GENERIC_ALL, 0},
                                                               });
}

namespace {

// The machine-wide value, for a process whose environment was built before
// the variable was set (services inherit their manager's environment).
std::wstring machine_protection_dir() {
    VrBase::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                        KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t value[MAX_PATH * 2] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t), type = 0;
    if (::RegQueryValueExW(key.get(), L"LocalProtectionDir", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::wstring();
    // An empty value is no folder; expanding it would raise.
    if (!value[0]) return std::wstring();
    return expand_path(value);
}

// A folder's volume and file index, the same under every spelling of its
// path (short names, "..", another case); false when it cannot be opened.
bool folder_identity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
    VrBase::unique_hfile folder(::CreateFileW(long_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return folder && ::GetFileInformationByHandle(folder.get(), &info);
}

// An export into the depot would overwrite the stored configuration or
// leave files beside the document that nobody owns.
bool lands_in_folder(const std::wstring& target, const std::wstring& folder) {
    const std::wstring full = full_path(target);
    const size_t slash = full.find_last_of(L'\\');
    if (slash == std::wstring::npos) return false;
    std::wstring parent = full.substr(0, slash);
    if (!parent.empty() && parent.back() == L':') parent += L'\\';
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    if (!folder_identity(parent, a) || !folder_identity(folder, b)) return false;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

} // namespace

void adopt_machine_protection_dir() {
    const std::wstring machine = machine_protection_dir();
    if (machine.empty() || machine.find(L'%') != std::wstring::npos) return;
    wchar_t current[MAX_PATH * 2] = {};
    const DWORD n = ::GetEnvironmentVariableW(L"LocalProtectionDir", current, ARRAYSIZE(current));
    if (n > 0 && n < ARRAYSIZE(current) && machine == current) return;
    if (n > 0)
        VR_TRACE(VrBase::TL_WARNING, L"adopt_machine_protection_dir", L"LocalProtectionDir <%ls> replaced by <%ls>",
                 n < ARRAYSIZE(current) ? current : L"...", machine.c_str());
    // Not fatal: the depot then works from what the process was given.
    if (!::SetEnvironmentVariableW(L"LocalProtectionDir", machine.c_str()))
        VR_TRACE(VrBase::TL_ERROR, L"adopt_machine_protection_dir", L"not set, err %u", ::GetLastError());
}

std::wstring CSSRDiskDepot::depot_folder() const {
    std::wstring folder = expand_path(L"%LocalProtectionDir%ssr_depot");
    if (folder.find(L'%') == std::wstring::npos) return folder;
    // Never a path relative to wherever the process happens to run.
    std::wstring dir = machine_protection_dir();
    if (dir.empty() || dir.find(L'%') != std::wstring::npos) VR_RAISE(ERROR_ENVVAR_NOT_FOUND, L"CSSRDiskDepot::depot_folder");
    return dir + L"ssr_depot";
}

void CSSRDiskDepot::create_depot(const std::wstring& folder) {
    std::vector<BYTE> sd = create_depot_security();
    SECURITY_ATTRIBUTES sa{sizeof(sa), sd.data(), FALSE};
    CreateDirectoryWrapper(folder, &sa);
}

void CSSRDiskDepot::ensure_depot() {
    CSSRDiskDepotLocker lock;
    const std::wstring folder = depot_folder();
    bool exists = false;
    if (DWORD rc = check_fo_existance(folder, exists)) VR_RAISE(rc, L"ensure_depot");
    if (!exists) {
        create_depot(folder);
        return;
    }
    // A save cut short by a crash leaves its partial file: never a document.
    delete_file(partial_ses_path(ses_path()));
    delete_file(partial_file_path(config_path()));
}

void CSSRDiskDepot::save_software_state(const std::wstring& uniqueId, const FileObjectMap& files) {
    const std::wstring path = ses_path();
    exec::run_in_sta([&] { save_software_state_worker(path, uniqueId, files); });
}

void CSSRDiskDepot::delete_soft_state() {
    try {
        delete_file(ses_path());
    } catch (...) {
        VR_UNWIND_TRACE(L"CSSRDiskDepot::delete_soft_state");
        throw;
    }
}

std::wstring CSSRDiskDepot::get_last_ses_unique_id() {
    const std::wstring path = ses_path();
    return exec::run_in_sta([&] { return read_ses_unique_id(path); });
}

std::wstring CSSRDiskDepot::export_ss(const std::wstring& target, bool deleteAfter) {
    const wchar_t* const fn = L"CSSRDiskDepot::export_ss";
    const std::wstring path = ses_path();
    if (::GetFileAttributesW(long_path(path).c_str()) == INVALID_FILE_ATTRIBUTES) VR_RAISE(ERROR_FILE_NOT_FOUND, fn);
    const std::wstring id = exec::run_in_sta([&] { return read_ses_unique_id(path); });
    if (lands_in_folder(target, depot_folder())) VR_RAISE(ERROR_ACCESS_DENIED, fn);
    CopyFileWrapper(path, target, false);
    if (deleteAfter && !delete_file(path)) VR_RAISE_LAST_ERROR(fn);
    return id;
}

void CSSRDiskDepot::save_last_config(const std::wstring& text) { save_wstring_2_utf8file(config_path(), text); }

bool CSSRDiskDepot::load_last_config(std::wstring& text) {
    const std::wstring path = config_path();
    if (::GetFileAttributesW(long_path(path).c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    load_utf8file_2_wstring(path, text);
    return true;
}
