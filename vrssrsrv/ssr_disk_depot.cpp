#include "ssr_disk_depot.h"

#include "exec/apartment_executor.h"
#include "file_helpers.h"
#include "path_ops.h"
#include "ssr_communication.h"
#include "ssr_reg_depot.h"
#include "ssr_security.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/trust.h"
#include "vrbase/vr_error.h"
#include "xml_common.h"

#include <cwctype>
#include <wincrypt.h>

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

// Protected: the parent's inheritable entries (ProgramData lets users create
// and append) never reach the depot.
std::vector<BYTE> create_depot_security() { return VrBase::Trust::AdminOnlyFolderDescriptor(true); }

void report_depot_fault(const std::wstring& path, const std::wstring& why) {
    VR_TRACE(VrBase::TL_ERROR, L"report_depot_fault", L"<%ls> %ls", path.c_str(), why.c_str());
    VrBase::GuardVoid(L"report_depot_fault", [&] { CSSRCommunication::instance().reg_evt_depot_fault(path, why); });
}

std::wstring config_digest(const std::string& bytes) {
    const wchar_t* const fn = L"config_digest";
    HCRYPTPROV provider = 0;
    if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        VR_RAISE_LAST_ERROR(fn);
    VrBase::scope_exit releaseProvider([&] { ::CryptReleaseContext(provider, 0); });
    HCRYPTHASH hash = 0;
    if (!::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) VR_RAISE_LAST_ERROR(fn);
    VrBase::scope_exit destroyHash([&] { ::CryptDestroyHash(hash); });
    if (!::CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0))
        VR_RAISE_LAST_ERROR(fn);
    BYTE value[32];
    DWORD size = sizeof(value);
    if (!::CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0) || size != sizeof(value)) VR_RAISE_LAST_ERROR(fn);
    std::wstring hex;
    for (BYTE b : value) {
        wchar_t two[3];
        swprintf(two, 3, L"%02X", b);
        hex += two;
    }
    return hex;
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

void CSSRDiskDepot::check_depot_folder() {
    const std::wstring folder = depot_folder();
    if (VrBase::Trust::EnsureAdminOnlyFolder(folder, true))
        report_depot_fault(folder, L"had an owner or access rules that let others write; owner and rules set again");
}

void CSSRDiskDepot::ensure_depot() {
    CSSRDiskDepotLocker lock;
    check_depot_folder();
    // A save cut short by a crash leaves its partial file: never a document.
    delete_file(partial_ses_path(ses_path()));
    delete_file(partial_file_path(config_path()));
}

void CSSRDiskDepot::save_software_state(const std::wstring& uniqueId, const FileObjectMap& files) {
    check_depot_folder();
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

VrBase::unique_hfile CSSRDiskDepot::open_trusted(const std::wstring& path) {
    VrBase::unique_hfile file(VrBase::Trust::OpenStoredFileForRead(path));
    if (!file) return file;
    const VrBase::Trust::FileDoubt doubt = VrBase::Trust::StoredFileDoubt(file.get());
    if (doubt == VrBase::Trust::FileDoubt::None) return file;
    report_depot_fault(path, std::wstring(VrBase::Trust::FileDoubtText(doubt)) + L"; not used");
    file.reset();
    ::SetLastError(ERROR_FILE_CORRUPT);
    return file;
}

std::wstring CSSRDiskDepot::export_ss(const std::wstring& requested, bool deleteAfter) {
    const wchar_t* const fn = L"CSSRDiskDepot::export_ss";
    // Made whole once and used for every check and the write: a spelling the
    // checks read one way (a trailing dot dropped, "..") must not open another.
    // Only a whole path is taken: a relative one would land in the service's
    // own current folder.
    const bool whole = requested.compare(0, 2, L"\\\\") == 0 ||
                       (requested.size() > 2 && iswalpha(requested[0]) && requested[1] == L':' &&
                        (requested[2] == L'\\' || requested[2] == L'/'));
    if (!whole) VR_RAISE_ITEM(ERROR_INVALID_NAME, fn, L"Path", requested.c_str());
    const std::wstring target = full_path(requested);
    const std::wstring path = ses_path();
    if (::GetFileAttributesW(long_path(path).c_str()) == INVALID_FILE_ATTRIBUTES) VR_RAISE(ERROR_FILE_NOT_FOUND, fn);
    if (lands_in_folder(target, depot_folder())) VR_RAISE(ERROR_ACCESS_DENIED, fn);
    // Never written through a link someone other than an administrator made.
    const std::wstring link = VrBase::Trust::UntrustedLinkOnPath(target);
    if (!link.empty()) {
        VR_TRACE(VrBase::TL_ERROR, fn, L"Export to <%ls> refused: <%ls> is a link not made by an administrator",
                 target.c_str(), link.c_str());
        VR_RAISE_ITEM(ERROR_ACCESS_DENIED, fn, L"Path", link.c_str());
    }
    // One checked handle for the identifier and the copy.
    VrBase::unique_hfile document = open_trusted(path);
    if (!document) VR_RAISE_LAST_ERROR(fn);
    const std::wstring id = exec::run_in_sta([&] { return CXmlLiteReader(document.get()).get_unique_node_value(L"UniqueId"); });
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(document.get(), start, nullptr, FILE_BEGIN)) VR_RAISE_LAST_ERROR(fn);
    {
        // Opened without truncating: a target that is a second name of
        // another file (or a link) is refused before a byte of it changes.
        VrBase::unique_hfile copy(::CreateFileW(long_path(target).c_str(), GENERIC_WRITE | READ_CONTROL, 0, nullptr,
                                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                                nullptr));
        if (!copy) {
            const DWORD error = ::GetLastError();
            VR_TRACE(VrBase::TL_ERROR, fn, L"trg: %ls", target.c_str());
            VR_RAISE(error, fn);
        }
        const VrBase::Trust::FileDoubt doubt = VrBase::Trust::StoredFileDoubt(copy.get());
        if (doubt != VrBase::Trust::FileDoubt::None && doubt != VrBase::Trust::FileDoubt::ForeignOwner) {
            VR_TRACE(VrBase::TL_ERROR, fn, L"Export to <%ls> refused: it %ls", target.c_str(),
                     VrBase::Trust::FileDoubtText(doubt));
            VR_RAISE_ITEM(ERROR_ACCESS_DENIED, fn, L"Path", target.c_str());
        }
        if (!::SetEndOfFile(copy.get())) VR_RAISE_LAST_ERROR(fn);
        char buf[65536];
        for (;;) {
            DWORD got = 0, put = 0;
            if (!::ReadFile(document.get(), buf, sizeof(buf), &got, nullptr)) VR_RAISE_LAST_ERROR(fn);
            if (got == 0) break;
            if (!::WriteFile(copy.get(), buf, got, &put, nullptr) || put != got) VR_RAISE_LAST_ERROR(fn);
        }
    }
    document.reset();
    if (deleteAfter && !delete_file(path)) VR_RAISE_LAST_ERROR(fn);
    return id;
}

// The digest of the new text is recorded as pending before its file is put
// in place and becomes the accepted one after: a crash in between leaves a
// file that matches one of the two.
void CSSRDiskDepot::save_last_config(const std::wstring& text) {
    check_depot_folder();
    const std::wstring digest = config_digest(utf8_bytes(text));
    {
        CSSRRegDepotLocker lock;
        CSSRRegDepot::instance().write_config_digest(true, digest);
    }
    // A save refused before its file is in place leaves no digest that a
    // file of the refused text could match later.
    VrBase::scope_exit dropPending([] {
        VrBase::GuardVoid(L"CSSRDiskDepot::save_last_config", [] {
            CSSRRegDepotLocker lock;
            CSSRRegDepot::instance().clear_pending_config_digest();
        });
    });
    save_wstring_2_utf8file(config_path(), text);
    dropPending.dismiss();
    CSSRRegDepotLocker lock;
    CSSRRegDepot::instance().write_config_digest(false, digest);
    CSSRRegDepot::instance().clear_pending_config_digest();
}

bool CSSRDiskDepot::load_last_config(std::wstring& text) {
    const std::wstring path = config_path();
    if (::GetFileAttributesW(long_path(path).c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    VrBase::unique_hfile file = open_trusted(path);
    if (!file) return false;
    const std::string bytes = read_whole_file(file.get());
    const std::wstring digest = config_digest(bytes);
    std::wstring accepted, pending;
    {
        CSSRRegDepotLocker lock;
        accepted = CSSRRegDepot::instance().read_config_digest(false);
        pending = CSSRRegDepot::instance().read_config_digest(true);
        if (!pending.empty() && digest == pending) {
            // The save got as far as the move: finish recording it.
            CSSRRegDepot::instance().write_config_digest(false, pending);
            CSSRRegDepot::instance().clear_pending_config_digest();
            accepted = pending;
        } else if (!pending.empty() && digest == accepted) {
            // The save never put its file in place and is over (the depot
            // is locked): its digest must not let that text in later.
            CSSRRegDepot::instance().clear_pending_config_digest();
        }
    }
    if (accepted.empty() || digest != accepted) {
        // Reported once per content: the settings and the scheduler both read it.
        if (digest != m_refusedDigest)
            report_depot_fault(path, accepted.empty() ? L"no digest was recorded when it was accepted; not used"
                                                      : L"does not match the digest recorded when it was accepted; not used");
        m_refusedDigest = digest;
        return false;
    }
    text = utf8_lines_to_wstring(bytes);
    return true;
}
