#include "vrbase/trust.h"

#include "vrbase/scope.h"
#include "vrbase/tool_cli.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <aclapi.h>
#include <sddl.h>

namespace VrBase {
namespace Trust {

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size)) VR_RAISE_LAST_ERROR(L"Trust::WellKnownSid");
    sid.resize(size);
    return sid;
}

namespace {

const wchar_t kTrustedInstallerSid[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Every right that lets an account change, delete or re-permit a file or a
// folder, or add and remove what a folder holds.
constexpr ACCESS_MASK kWritingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                       FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                       GENERIC_ALL | MAXIMUM_ALLOWED;

std::vector<BYTE> FromText(const wchar_t* text) {
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(text, &sid)) VR_RAISE_LAST_ERROR(L"Trust::FromText");
    unique_hlocal owned(sid);
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + ::GetLengthSid(sid));
}

struct TrustedSids {
    std::vector<BYTE> system = WellKnownSid(WinLocalSystemSid);
    std::vector<BYTE> admins = WellKnownSid(WinBuiltinAdministratorsSid);
    std::vector<BYTE> installer = FromText(kTrustedInstallerSid);
};

// EqualSid and CheckTokenMembership take SIDs they never change.
PSID AsSid(const std::vector<BYTE>& sid) { return const_cast<BYTE*>(sid.data()); }

const TrustedSids& Trusted() {
    static const TrustedSids sids;
    return sids;
}

// The process's user when the process is LocalSystem or an administrator;
// empty otherwise. The process token does not change, so it is read once.
std::vector<BYTE> ReadOwnAdminUser() {
    std::vector<BYTE> user = ProcessUserSid();
    if (user.empty()) return {};
    BOOL admin = FALSE;
    if (!::EqualSid(AsSid(user), AsSid(Trusted().system)) &&
        (!::CheckTokenMembership(nullptr, AsSid(Trusted().admins), &admin) || !admin))
        return {};
    return user;
}

bool IsOwnAdminUser(PSID sid) {
    static const std::vector<BYTE> own = ReadOwnAdminUser();
    return !own.empty() && ::EqualSid(sid, AsSid(own));
}

std::wstring LongForm(const std::wstring& path) {
    if (path.compare(0, 2, L"\\\\") == 0) return path;
    return L"\\\\?\\" + path;
}

// The owner of an object opened by handle; false when it cannot be read.
template <class Check>
bool OwnerPasses(HANDLE object, Check check) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          &sd) != ERROR_SUCCESS)
        return false;
    unique_hlocal owned(sd);
    return owner && check(owner);
}

// Granting an ordinary user the right to take ownership: LocalSystem holds
// both privileges, an administrator's token holds them disabled.
class CPrivilegesEnabled {
public:
    CPrivilegesEnabled() {
        HANDLE raw = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) return;
        m_token.reset(raw);
        struct {
            DWORD count;
            LUID_AND_ATTRIBUTES privileges[2];
        } wanted{2, {}};
        if (!::LookupPrivilegeValueW(nullptr, SE_TAKE_OWNERSHIP_NAME, &wanted.privileges[0].Luid) ||
            !::LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &wanted.privileges[1].Luid))
            return;
        wanted.privileges[0].Attributes = wanted.privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
        DWORD size = sizeof(m_previous);
        m_adjusted = ::AdjustTokenPrivileges(m_token.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&wanted),
                                             sizeof(m_previous), reinterpret_cast<TOKEN_PRIVILEGES*>(&m_previous),
                                             &size) != FALSE;
    }
    ~CPrivilegesEnabled() {
        if (m_adjusted)
            ::AdjustTokenPrivileges(m_token.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&m_previous), 0,
                                    nullptr, nullptr);
    }
    CPrivilegesEnabled(const CPrivilegesEnabled&) = delete;
    CPrivilegesEnabled& operator=(const CPrivilegesEnabled&) = delete;

private:
    unique_handle m_token;
    struct {
        DWORD count;
        LUID_AND_ATTRIBUTES privileges[2];
    } m_previous{};
    bool m_adjusted = false;
};

HANDLE OpenFolderForRepair(const std::wstring& path) {
    const DWORD access = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE folder = ::CreateFileW(LongForm(path).c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (folder != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_ACCESS_DENIED) return folder;
    // A folder a user made and closed to everyone else.
    CPrivilegesEnabled privileges;
    return ::CreateFileW(LongForm(path).c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

} // namespace

bool IsTrustedOwner(PSID sid) {
    if (!sid || !::IsValidSid(sid)) return false;
    const TrustedSids& t = Trusted();
    return ::EqualSid(sid, AsSid(t.system)) || ::EqualSid(sid, AsSid(t.admins)) || ::EqualSid(sid, AsSid(t.installer));
}

bool IsTrustedAccount(PSID sid) { return IsTrustedOwner(sid) || (sid && ::IsValidSid(sid) && IsOwnAdminUser(sid)); }

std::vector<BYTE> AdminOnlyFolderDescriptor(bool users_may_read) {
    const wchar_t* const fn = L"Trust::AdminOnlyFolderDescriptor";
    const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    struct Entry {
        std::vector<BYTE> sid;
        ACCESS_MASK access;
    };
    std::vector<Entry> entries;
    entries.push_back({WellKnownSid(WinLocalSystemSid), FILE_ALL_ACCESS});
    if (users_may_read) {
        entries.push_back({WellKnownSid(WinAuthenticatedUserSid), FILE_GENERIC_READ | FILE_GENERIC_EXECUTE});
        entries.push_back({WellKnownSid(WinBuiltinUsersSid), FILE_GENERIC_READ | FILE_GENERIC_EXECUTE});
    }
    entries.push_back({WellKnownSid(WinBuiltinAdministratorsSid), FILE_ALL_ACCESS});

    DWORD aclSize = sizeof(ACL);
    for (const Entry& e : entries)
        aclSize += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + e.sid.size());
    aclSize = (aclSize + 3) & ~3u;
    std::vector<BYTE> acl(aclSize);
    PACL dacl = reinterpret_cast<PACL>(acl.data());
    if (!::InitializeAcl(dacl, aclSize, ACL_REVISION)) VR_RAISE_LAST_ERROR(fn);
    for (Entry& e : entries)
        if (!::AddAccessAllowedAceEx(dacl, ACL_REVISION, inherit, e.access, e.sid.data())) VR_RAISE_LAST_ERROR(fn);

    std::vector<BYTE> owner = WellKnownSid(WinBuiltinAdministratorsSid);
    SECURITY_DESCRIPTOR absolute;
    if (!::InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorOwner(&absolute, owner.data(), FALSE) ||
        !::SetSecurityDescriptorDacl(&absolute, TRUE, dacl, FALSE) ||
        !::SetSecurityDescriptorControl(&absolute, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        VR_RAISE_LAST_ERROR(fn);
    DWORD size = 0;
    ::MakeSelfRelativeSD(&absolute, nullptr, &size);
    std::vector<BYTE> relative(size);
    if (!size || !::MakeSelfRelativeSD(&absolute, relative.data(), &size)) VR_RAISE_LAST_ERROR(fn);
    return relative;
}

bool DescriptorLetsOthersWrite(PSECURITY_DESCRIPTOR sd) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!sd || !::IsValidSecurityDescriptor(sd) || !::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted))
        return true;
    // No DACL grants everyone everything.
    if (!present || !dacl || !::IsValidAcl(dacl)) return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) return true;
        const bool plainAllow =
            header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        const bool otherAllow = header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                                header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE ||
                                header->AceType == ACCESS_ALLOWED_COMPOUND_ACE_TYPE;
        if (!plainAllow && !otherAllow) continue;
        const ACCESS_MASK mask = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->Mask;
        if (!(mask & kWritingRights)) continue;
        // Entries whose account is not where a plain entry keeps it are not
        // read further: a writing one is taken as someone else's.
        if (otherAllow) return true;
        const size_t sidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
        if (header->AceSize < sidOffset + sizeof(SID)) return true;
        PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart;
        if (!::IsValidSid(sid) || sidOffset + ::GetLengthSid(sid) > header->AceSize) return true;
        if (!IsTrustedAccount(sid)) return true;
    }
    return false;
}

bool DescriptorIsSound(PSECURITY_DESCRIPTOR sd) {
    if (!sd || !::IsValidSecurityDescriptor(sd)) return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !IsTrustedAccount(owner)) return false;
    if (!::GetSecurityDescriptorControl(sd, &control, &revision) || !(control & SE_DACL_PROTECTED)) return false;
    return !DescriptorLetsOthersWrite(sd);
}

bool EnsureAdminOnlyFolder(const std::wstring& path, bool users_may_read, ExistingFolder existing) {
    const wchar_t* const fn = L"Trust::EnsureAdminOnlyFolder";
    std::vector<BYTE> wanted = AdminOnlyFolderDescriptor(users_may_read);
    SECURITY_ATTRIBUTES sa{sizeof(sa), wanted.data(), FALSE};
    if (::CreateDirectoryW(LongForm(path).c_str(), &sa)) return false;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) VR_RAISE_LAST_ERROR(fn);

    // By name as well as by handle: a link Wine cannot open as itself still
    // shows its attribute by name.
    const DWORD byName = ::GetFileAttributesW(LongForm(path).c_str());
    unique_hfile folder(OpenFolderForRepair(path));
    if (!folder) VR_RAISE_LAST_ERROR(fn);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(folder.get(), &info)) VR_RAISE_LAST_ERROR(fn);
    if ((info.dwFileAttributes | (byName == INVALID_FILE_ATTRIBUTES ? 0 : byName)) & FILE_ATTRIBUTE_REPARSE_POINT) {
        VR_TRACE(TL_ERROR, fn, L"<%ls> is a link, not a folder of its own", path.c_str());
        VR_RAISE(ERROR_ACCESS_DENIED, fn);
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) VR_RAISE(ERROR_DIRECTORY, fn);

    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR current = nullptr;
    const DWORD rc = ::GetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                       &dacl, nullptr, &current);
    if (rc != ERROR_SUCCESS) VR_RAISE(rc, fn);
    unique_hlocal ownedCurrent(current);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(current, &control, &revision);
    const bool fault = !IsTrustedAccount(owner) || DescriptorLetsOthersWrite(current);
    if (existing == ExistingFolder::Refuse) {
        if (!fault) return false;
        VR_TRACE(TL_ERROR, fn, L"<%ls> lets others write into it; not taken", path.c_str());
        VR_RAISE(ERROR_ACCESS_DENIED, fn);
    }
    if (!fault && (control & SE_DACL_PROTECTED)) return false;

    // A sound but unprotected DACL is protected as well: entries the parent
    // gains later would otherwise reach the folder.
    PSID wantedOwner = nullptr;
    PACL wantedDacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    ::GetSecurityDescriptorOwner(wanted.data(), &wantedOwner, &defaulted);
    ::GetSecurityDescriptorDacl(wanted.data(), &present, &wantedDacl, &defaulted);
    const DWORD set = ::SetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                            PROTECTED_DACL_SECURITY_INFORMATION,
                                        wantedOwner, nullptr, wantedDacl, nullptr);
    if (set != ERROR_SUCCESS) VR_RAISE(set, fn);
    return fault;
}

FileDoubt StoredFileDoubt(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag)) ||
        !::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)))
        return FileDoubt::Unreadable;
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileDoubt::ReparsePoint;
    if (standard.NumberOfLinks != 1) return FileDoubt::SeveralNames;
    bool ownerRead = false;
    const bool trusted = OwnerPasses(file, [&](PSID owner) {
        ownerRead = true;
        return IsTrustedAccount(owner);
    });
    if (!ownerRead) return FileDoubt::Unreadable;
    return trusted ? FileDoubt::None : FileDoubt::ForeignOwner;
}

const wchar_t* FileDoubtText(FileDoubt doubt) {
    switch (doubt) {
    case FileDoubt::None: return L"trusted";
    case FileDoubt::ForeignOwner: return L"owned by an account that is not an administrator";
    case FileDoubt::SeveralNames: return L"has more than one name (hard link)";
    case FileDoubt::ReparsePoint: return L"is a link or mount point";
    case FileDoubt::Unreadable: return L"its owner or link information cannot be read";
    }
    return L"unknown";
}

HANDLE OpenStoredFileForRead(const std::wstring& path) {
    // No write sharing: nobody changes the file between the check and the read.
    return ::CreateFileW(LongForm(path).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

std::wstring UntrustedLinkOnPath(const std::wstring& path) {
    std::wstring full = FullWindowsPath(path);
    if (full.compare(0, 4, L"\\\\?\\") == 0) full.erase(0, 4);
    while (full.size() > 1 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();

    // The root of a drive or share is not walked: it is no link a user made.
    size_t rootEnd = full.find(L'\\');
    if (full.compare(0, 2, L"\\\\") == 0) {
        const size_t server = full.find(L'\\', 2);
        rootEnd = server == std::wstring::npos ? server : full.find(L'\\', server + 1);
    }
    for (std::wstring part = full; !part.empty() && rootEnd != std::wstring::npos && part.size() > rootEnd;) {
        const DWORD attributes = ::GetFileAttributesW(LongForm(part).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            unique_hfile link(::CreateFileW(LongForm(part).c_str(), READ_CONTROL,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
            if (!link || !OwnerPasses(link.get(), [](PSID owner) { return IsTrustedOwner(owner); })) return part;
        }
        const size_t slash = part.find_last_of(L'\\');
        if (slash == std::wstring::npos) break;
        part.resize(slash);
    }
    return std::wstring();
}

} // namespace Trust
} // namespace VrBase
