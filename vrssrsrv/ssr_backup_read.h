#pragma once
// Reading for a scan whatever a folder's or file's DACL says: the backup
// privilege, enabled on a token of the reading thread's own for as long as
// it reads, and the opens that make use of it.
#include "ssr_ordered_pass.h"
#include "vrbase/scope.h"

#include <windows.h>
#include <functional>
#include <string>

// Enables SeBackupPrivilege on a copy of the process token set on this
// thread for the life of the scope; the process token and the other
// threads keep what they had, and leaving the scope puts back the thread's
// own token. Never raises: a privilege that cannot be enabled leaves the
// thread as it was and error() tells why.
class CThreadBackupPrivilege {
public:
    CThreadBackupPrivilege();
    ~CThreadBackupPrivilege();
    CThreadBackupPrivilege(const CThreadBackupPrivilege&) = delete;
    CThreadBackupPrivilege& operator=(const CThreadBackupPrivilege&) = delete;
    // 0 when the privilege is enabled on this thread.
    DWORD error() const { return m_error; }

private:
    VrBase::unique_handle m_previous;  // the token the thread had, if any
    bool m_set = false;
    DWORD m_error = 0;
};

// Starts a worker of an ordered pass that reads for the scan: the worker's
// thread holds the privilege from its start to its end. A worker that
// cannot enable it reads as the scan's thread does then, which says so.
COrderedWork::Starter backup_reading_starter();

// Whether the calling thread's token (its own, else the process's) holds
// the privilege enabled.
bool thread_has_backup_privilege();

// Read-only opens with backup semantics: with the privilege enabled the
// system grants read access whatever the DACL says, and nothing else.
// Not valid when the object cannot be opened (GetLastError tells why).
VrBase::unique_hfile open_folder_for_scan(const std::wstring& path);
VrBase::unique_hfile open_file_for_scan(const std::wstring& path, DWORD share = FILE_SHARE_READ);

// An entry's attributes, asked by name; where the name is refused, through
// a backup-semantics open of the entry itself (not what it leads to).
// INVALID_FILE_ATTRIBUTES with the reason in GetLastError.
DWORD scan_attributes(const std::wstring& path);

// Called on the opening thread after each successful open above; for the
// tests that read the thread's token back while it works. Null: none.
using ScanOpenObserver = std::function<void(const std::wstring& path)>;
void set_scan_open_observer(const ScanOpenObserver* observer);
