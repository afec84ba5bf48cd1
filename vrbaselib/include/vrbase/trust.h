#pragma once
// The one place that answers "could an ordinary user have planted, linked or
// changed this?" for accounts, security descriptors, folders, stored files
// and paths. Every caller that trusts something on disk asks here.
#include <windows.h>
#include <string>
#include <vector>

namespace VrBase {
namespace Trust {

// A well-known SID that needs no domain (LocalSystem, Administrators...).
std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type);

// LocalSystem, BUILTIN\Administrators or TrustedInstaller's service SID.
bool IsTrustedOwner(PSID sid);

// A trusted owner, or this process's own user when the process runs as an
// administrator: what such a process creates is owned by its user where the
// token names no other default owner.
bool IsTrustedAccount(PSID sid);

// Self-relative: owner Administrators; protected DACL with LocalSystem and
// Administrators full control, inherited by files and folders below, and
// Authenticated Users and Users read only when users_may_read.
std::vector<BYTE> AdminOnlyFolderDescriptor(bool users_may_read);

// True when the DACL is missing or NULL, or any allow entry of an account
// that IsTrustedAccount refuses grants a right that changes, deletes or
// re-permits the object (entries meant only for children count too).
bool DescriptorLetsOthersWrite(PSECURITY_DESCRIPTOR sd);

// A trusted owner, a protected DACL and nobody else able to write.
bool DescriptorIsSound(PSECURITY_DESCRIPTOR sd);

// What EnsureAdminOnlyFolder does with a folder that already exists: one of
// the program's own (the depot, its dumps) is set right; one a person named
// (a trace folder) may be shared with others, so it is only judged.
enum class ExistingFolder { Repair, Refuse };

// Creates the folder with AdminOnlyFolderDescriptor; an existing one must not
// be a reparse point (raises 5). When its owner is not trusted or someone
// else may write, Repair sets its owner and protected DACL again and returns
// true, Refuse raises 5 and changes nothing.
bool EnsureAdminOnlyFolder(const std::wstring& path, bool users_may_read,
                           ExistingFolder existing = ExistingFolder::Repair);

// Why a stored file opened by its handle cannot be trusted.
enum class FileDoubt {
    None,
    ForeignOwner,   // owned by an account IsTrustedAccount refuses
    SeveralNames,   // a hard link elsewhere lets its owner change it
    ReparsePoint,   // a link or mount point, not the file itself
    Unreadable      // its information or owner could not be read
};
FileDoubt StoredFileDoubt(HANDLE file);
const wchar_t* FileDoubtText(FileDoubt doubt);

// Opens an existing stored file for reading without following a reparse
// point; INVALID_HANDLE_VALUE with the last error set when it cannot.
HANDLE OpenStoredFileForRead(const std::wstring& path);

// The first of the path itself and its folders, from the path upwards, that
// is a reparse point whose owner IsTrustedOwner refuses (or whose owner
// cannot be read); empty when there is none. Parts that do not exist yet are
// skipped.
std::wstring UntrustedLinkOnPath(const std::wstring& path);

// Named kernel objects (events, mutexes) in the global namespace, where
// anyone may create one first under any name (trust_objects.cpp).

// The SID of this process's user (LocalSystem in the service).
std::vector<BYTE> ProcessUserSid();

// True when the descriptor names an owner and it is `owner`. A descriptor
// without an owner answers false: nothing tells who made the object.
bool DescriptorOwnedBy(PSECURITY_DESCRIPTOR descriptor, PSID owner);

// True when the object behind the handle is owned by this process's own
// account: one the service's account made, not one an ordinary user (or an
// administrator) created first under the same name.
bool ObjectOwnedByOwnAccount(HANDLE object);

} // namespace Trust
} // namespace VrBase
