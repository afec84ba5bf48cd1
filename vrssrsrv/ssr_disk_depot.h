#pragma once
// The service's protected folder: the software state document and the last
// configuration, behind one lock.
#include "ssr_file_object.h"
#include "vrbase/scope.h"

#include <windows.h>
#include <mutex>
#include <string>
#include <vector>

constexpr const wchar_t* kSesFileName = L"SSR_LastSoftState.xml";
constexpr const wchar_t* kConfigFileName = L"SSR_LastConfig.xml";

// A service inherits its manager's environment, which can predate the
// installation that set LocalProtectionDir or changed it since: the machine's
// current value, where there is one, replaces what the process was given.
void adopt_machine_protection_dir();

class CSSRDiskDepot {
public:
    static CSSRDiskDepot& instance();

    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }

    // "%LocalProtectionDir%ssr_depot", expanded anew each time.
    std::wstring depot_folder() const;
    std::wstring ses_path() const { return depot_folder() + L"\\" + kSesFileName; }
    std::wstring config_path() const { return depot_folder() + L"\\" + kConfigFileName; }

    // Takes the lock itself: creates the folder when it is missing and
    // removes what an interrupted save left behind.
    void ensure_depot();
    void create_depot(const std::wstring& folder);

    // The caller holds the depot lock for the operations below.
    void save_software_state(const std::wstring& uniqueId, const FileObjectMap& files);
    void delete_soft_state();
    std::wstring export_ss(const std::wstring& target, bool deleteAfter);
    std::wstring get_last_ses_unique_id();
    // The digest of what is saved is kept in the registry depot; a stored
    // configuration is used only when it matches.
    void save_last_config(const std::wstring& text);
    bool load_last_config(std::wstring& text);

private:
    // Repairs the folder's owner and access rules when others could write.
    void check_depot_folder();
    // The stored file, opened and checked; invalid (and reported) when it
    // cannot be trusted or opened.
    VrBase::unique_hfile open_trusted(const std::wstring& path);

    std::recursive_mutex m_mutex;
    std::wstring m_refusedDigest;
};

class CSSRDiskDepotLocker {
public:
    CSSRDiskDepotLocker() { CSSRDiskDepot::instance().lock(); }
    ~CSSRDiskDepotLocker();
    CSSRDiskDepotLocker(const CSSRDiskDepotLocker&) = delete;
    CSSRDiskDepotLocker& operator=(const CSSRDiskDepotLocker&) = delete;
};

// Deletes the file when the scope ends, unless dismissed.
class CDeleteFileWatchDog {
public:
    explicit CDeleteFileWatchDog(std::wstring path) : m_path(std::move(path)) {}
    ~CDeleteFileWatchDog();
    CDeleteFileWatchDog(const CDeleteFileWatchDog&) = delete;
    CDeleteFileWatchDog& operator=(const CDeleteFileWatchDog&) = delete;
    void dismiss() { m_armed = false; }

private:
    std::wstring m_path;
    bool m_armed = true;
};

// Owner Administrators; a protected DACL: LocalSystem all, authenticated
// users and users read, Administrators all, inherited below; self-relative.
std::vector<BYTE> create_depot_security();
// Traced and registered as an error event naming the file or folder.
void report_depot_fault(const std::wstring& path, const std::wstring& why);
// SHA-256 of the bytes, as upper-case hexadecimal.
std::wstring config_digest(const std::string& bytes);

// Writes the document to path (its partial form first, moved into place
// when complete).
void save_software_state_worker(const std::wstring& path, const std::wstring& uniqueId, const FileObjectMap& files);
// The UniqueId of a stored document; empty when there is none.
std::wstring read_ses_unique_id(const std::wstring& path);
// Where a document is written until it is complete.
std::wstring partial_ses_path(const std::wstring& path);
