#include "ssr_reg_depot.h"

#include "Registry/reg_key.h"
#include "ssr_security.h"
#include "time_convertions.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <functional>

namespace {

const wchar_t kStart[] = L"LastScanStartTime";
const wchar_t kEnd[] = L"LastScanEndTime";
const wchar_t kRealEnd[] = L"RealLastScanEndTime";
const wchar_t kConfigDigest[] = L"LastConfigDigest";
const wchar_t kPendingConfigDigest[] = L"PendingConfigDigest";
constexpr REGSAM kReadWrite = 0x2001F;

void write_text(const wchar_t* name, const std::wstring& text) {
    VrBase::unique_hkey key = reg::OpenKey(HKEY_LOCAL_MACHINE, kSsrKey, KEY_SET_VALUE);
    LONG rc = ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS) reg::ThrowValueWriteError(name, static_cast<DWORD>(rc));
}

SYSTEMTIME read_time(const wchar_t* name) {
    VrBase::unique_hkey key = reg::OpenKey(HKEY_LOCAL_MACHINE, kSsrKey, KEY_READ);
    wchar_t text[64] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t), type = 0;
    LONG rc = ::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    if (rc != ERROR_SUCCESS) reg::ThrowValueReadError(name, static_cast<DWORD>(rc));
    if (type != REG_SZ) reg::ThrowValueReadError(name, ERROR_INVALID_DATA);
    if (text[0] == L'\0') return get_empty_system_time();
    return convert_iso_str_2_time(text);
}

// Up to five tries, 3 ms apart: the last answer decides.
template <class Probe>
bool exists_with_retry(Probe probe, const std::function<void(LONG)>& onError) {
    LONG rc = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 5; ++attempt) {
        rc = probe();
        if (rc == ERROR_SUCCESS) return true;
        ::Sleep(3);
    }
    if (rc == ERROR_FILE_NOT_FOUND) return false;
    onError(rc);
    VR_RAISE(static_cast<DWORD>(rc), L"CSSRRegDepot::exists");
}

} // namespace

CSSRRegDepot& CSSRRegDepot::instance() {
    static CSSRRegDepot depot;
    return depot;
}

CSSRRegDepotLocker::~CSSRRegDepotLocker() {
    VrBase::GuardVoid(L"CSSRRegDepotLocker::~CSSRRegDepotLocker", [] { CSSRRegDepot::instance().unlock(); });
}

std::vector<BYTE> create_regdepot_security() {
    return build_self_relative_sd(WinBuiltinAdministratorsSid, {
                                                                   {WinLocalSystemSid, GENERIC_ALL, 0},
                                                                   {WinAuthenticatedUserSid, GENERIC_READ, 0},
                                                                   {WinBuiltinUsersSid, GENERIC_READ, 0},
                                                                   {WinBuiltinAdministratorsSid, GENERIC_ALL, 0},
                                                               });
}

bool CSSRRegDepot::key_exists(const wchar_t* path) {
    return exists_with_retry(
        [&] {
            VrBase::unique_hkey key;
            return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.put());
        },
        [&](LONG) { VR_TRACE(VrBase::TL_ERROR, L"CSSRRegDepot::key_exists", L"reg key check presents error. %ls", path); });
}

bool CSSRRegDepot::value_exists(const wchar_t* path, const wchar_t* name) {
    LONG rc = ERROR_SUCCESS;
    {
        VrBase::unique_hkey key;
        rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.put());
        if (rc == ERROR_SUCCESS) rc = ::RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, nullptr);
    }
    if (rc == ERROR_SUCCESS) return true;
    if (rc == ERROR_FILE_NOT_FOUND) return false;
    VR_TRACE(VrBase::TL_ERROR, L"CSSRRegDepot::value_exists", L"reg val check presents error. %ls %ls", path, name);
    VR_RAISE(static_cast<DWORD>(rc), L"CSSRRegDepot::value_exists");
}

void CSSRRegDepot::prepare() {
    if (!key_exists(kSsrKey)) {
        VrBase::unique_hkey parent = reg::OpenKey(HKEY_LOCAL_MACHINE, kSsrParentKey, KEY_WRITE);
        std::vector<BYTE> sd = create_regdepot_security();
        SECURITY_ATTRIBUTES sa{sizeof(sa), sd.data(), FALSE};
        reg::CreateKey(parent.get(), L"SSR", kReadWrite, 0, &sa);
    }
    for (const wchar_t* name : {kStart, kEnd, kRealEnd})
        if (!value_exists(kSsrKey, name)) write_text(name, L"");
}

SYSTEMTIME CSSRRegDepot::read_start() { return read_time(kStart); }
SYSTEMTIME CSSRRegDepot::read_end() { return read_time(kEnd); }
SYSTEMTIME CSSRRegDepot::read_real_end() { return read_time(kRealEnd); }

void CSSRRegDepot::write_start(const SYSTEMTIME& time) { write_text(kStart, convert_time_to_iso_str(time)); }

void CSSRRegDepot::write_end(const SYSTEMTIME& time) {
    const std::wstring text = convert_time_to_iso_str(time);
    write_text(kEnd, text);
    if (!is_empty_system_time(time)) write_text(kRealEnd, text);
}

void CSSRRegDepot::clear_end() { write_text(kEnd, L""); }

std::wstring CSSRRegDepot::read_config_digest(bool pending) {
    VrBase::unique_hkey key = reg::OpenKey(HKEY_LOCAL_MACHINE, kSsrKey, KEY_READ);
    const wchar_t* name = pending ? kPendingConfigDigest : kConfigDigest;
    wchar_t text[80] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t), type = 0;
    const LONG rc = ::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    if (rc == ERROR_FILE_NOT_FOUND) return std::wstring();
    if (rc != ERROR_SUCCESS) reg::ThrowValueReadError(name, static_cast<DWORD>(rc));
    return type == REG_SZ ? std::wstring(text) : std::wstring();
}

void CSSRRegDepot::write_config_digest(bool pending, const std::wstring& digest) {
    write_text(pending ? kPendingConfigDigest : kConfigDigest, digest);
}

void CSSRRegDepot::clear_pending_config_digest() {
    VrBase::unique_hkey key = reg::OpenKey(HKEY_LOCAL_MACHINE, kSsrKey, KEY_SET_VALUE);
    const LONG rc = ::RegDeleteValueW(key.get(), kPendingConfigDigest);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        reg::ThrowValueWriteError(kPendingConfigDigest, static_cast<DWORD>(rc));
}
