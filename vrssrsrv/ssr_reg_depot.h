#pragma once
// The scan times in the service's own registry key.
#include <windows.h>
#include <mutex>
#include <string>
#include <vector>

constexpr const wchar_t* kSsrParentKey = L"SOFTWARE\\Calderis\\Varnel Studio\\Client\\Local Protection";
constexpr const wchar_t* kSsrKey = L"SOFTWARE\\Calderis\\Varnel Studio\\Client\\Local Protection\\SSR";

class CSSRRegDepot {
public:
    static CSSRRegDepot& instance();
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }

    // The caller holds the lock for everything below.
    // Creates the key (with its access rules) and the three values when
    // missing; leaves what exists alone.
    void prepare();
    SYSTEMTIME read_start();
    SYSTEMTIME read_end();
    SYSTEMTIME read_real_end();
    void write_start(const SYSTEMTIME& time);
    // Also refreshes the real end time when the time is not empty.
    void write_end(const SYSTEMTIME& time);
    void clear_end();

    // Digests of the stored configuration: the accepted one, and the one
    // whose file is being put in place (empty when none is recorded).
    std::wstring read_config_digest(bool pending);
    void write_config_digest(bool pending, const std::wstring& digest);
    void clear_pending_config_digest();

    static bool key_exists(const wchar_t* path);
    static bool value_exists(const wchar_t* path, const wchar_t* name);

private:
    std::recursive_mutex m_mutex;
};

class CSSRRegDepotLocker {
public:
    CSSRRegDepotLocker() { CSSRRegDepot::instance().lock(); }
    ~CSSRRegDepotLocker();
    CSSRRegDepotLocker(const CSSRRegDepotLocker&) = delete;
    CSSRRegDepotLocker& operator=(const CSSRRegDepotLocker&) = delete;
};

std::vector<BYTE> create_regdepot_security();
