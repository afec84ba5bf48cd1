#include "sid_helpers.h"

#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <ntsecapi.h>
#include <sddl.h>

#include <atomic>

namespace {

bool registry_text_present(HKEY key, const wchar_t* name) {
    wchar_t buf[512] = {};
    DWORD size = sizeof(buf) - sizeof(wchar_t), type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS)
        return false;
    return (type == REG_SZ || type == REG_EXPAND_SZ) && buf[0] != L'\0';
}

bool read_directory_mode() {
    VrBase::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Orvane\\Varnel 5\\LDS", 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return false;
    return registry_text_present(key.get(), L"srvName") && registry_text_present(key.get(), L"DomainName");
}

std::wstring name2sid(const std::wstring& name) {
    std::wstring result;
    VrBase::GuardVoid(L"name2sid", [&] {
        DWORD sidSize = 0, domainSize = 0;
        SID_NAME_USE use;
        ::LookupAccountNameW(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) VR_RAISE_LAST_ERROR(L"name2sid");
        std::vector<BYTE> sid(sidSize);
        std::wstring domain(domainSize, L'\0');
        if (!::LookupAccountNameW(nullptr, name.c_str(), sid.data(), &sidSize, &domain[0], &domainSize, &use))
            VR_RAISE_LAST_ERROR(L"name2sid");
        result = get_StrSID_4m_SID(sid.data());
    });
    return result;
}

// A standalone computer's own SID is its account domain SID; the local
// security authority knows it even where an account lookup of the name fails.
std::wstring account_domain_sid() {
    std::wstring result;
    VrBase::GuardVoid(L"account_domain_sid", [&] {
        LSA_OBJECT_ATTRIBUTES attributes{};
        LSA_HANDLE policy = nullptr;
        NTSTATUS status = ::LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy);
        if (status != 0) VR_RAISE(::LsaNtStatusToWinError(status), L"account_domain_sid");
        VrBase::scope_exit closePolicy([&] { ::LsaClose(policy); });
        POLICY_ACCOUNT_DOMAIN_INFO* info = nullptr;
        status = ::LsaQueryInformationPolicy(policy, PolicyAccountDomainInformation, reinterpret_cast<void**>(&info));
        if (status != 0) VR_RAISE(::LsaNtStatusToWinError(status), L"account_domain_sid");
        VrBase::scope_exit freeInfo([&] { ::LsaFreeMemory(info); });
        if (info->DomainSid) result = get_StrSID_4m_SID(info->DomainSid);
    });
    return result;
}

} // namespace

namespace {
// -1 until first read; the LDS values are read once per process.
std::atomic<int> g_directoryMode{-1};
}

bool is_directory_mode() {
    int mode = g_directoryMode.load();
    if (mode < 0) {
        mode = read_directory_mode() ? 1 : 0;
        g_directoryMode.store(mode);
    }
    return mode == 1;
}

void reset_directory_mode_for_tests() { g_directoryMode.store(-1); }

std::wstring query_host_name(COMPUTER_NAME_FORMAT format) {
    std::vector<wchar_t> buf(260);
    for (;;) {
        DWORD size = static_cast<DWORD>(buf.size());
        if (::GetComputerNameExW(format, buf.data(), &size)) return std::wstring(buf.data(), size);
        if (::GetLastError() != ERROR_MORE_DATA) VR_RAISE_LAST_ERROR(L"query_host_name");
        buf.resize(size > buf.size() ? size : buf.size() * 2);
    }
}

std::wstring query_host_sid() {
    std::wstring name = query_host_name(ComputerNameDnsHostname);
    if (name.empty()) name = query_host_name(ComputerNameNetBIOS);
    if (is_directory_mode()) name += L"$";
    VR_TRACE(VrBase::TL_INFO, L"query_host_sid", L"Host name: %ls", name.c_str());
    std::wstring sid = name2sid(name);
    if (sid.empty() && !is_directory_mode()) sid = account_domain_sid();
    if (sid.empty()) VR_RAISE(static_cast<DWORD>(E_FAIL), L"query_host_sid");
    VR_TRACE(VrBase::TL_INFO, L"query_host_sid", L"Host SID: %ls", sid.c_str());
    return sid;
}

std::vector<BYTE> get_current_user_sid() {
    const wchar_t* const fn = L"get_current_user_sid";
    VrBase::unique_handle token;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_READ, TRUE, token.put())) {
        if (::GetLastError() != ERROR_NO_TOKEN) VR_RAISE_LAST_ERROR(fn);
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_READ, token.put())) VR_RAISE_LAST_ERROR(fn);
    }
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) VR_RAISE_LAST_ERROR(fn);
    std::vector<BYTE> buf(size);
    if (!::GetTokenInformation(token.get(), TokenUser, buf.data(), size, &size)) VR_RAISE_LAST_ERROR(fn);
    PSID sid = reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid;
    if (!sid || !::IsValidSid(sid)) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    const BYTE* begin = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(begin, begin + ::GetLengthSid(sid));
}

std::wstring get_StrSID_4m_SID(const void* sid) {
    if (!sid || !::IsValidSid(const_cast<void*>(sid))) VR_RAISE(ERROR_INVALID_PARAMETER, L"get_StrSID_4m_SID");
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(const_cast<void*>(sid), &text)) VR_RAISE_LAST_ERROR(L"get_StrSID_4m_SID");
    VrBase::unique_hlocal owner(text);
    return text;
}

std::vector<BYTE> get_SID_4m_str_SID(const std::wstring& text) {
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(text.c_str(), &sid)) VR_RAISE_LAST_ERROR(L"get_SID_4m_str_SID");
    VrBase::unique_hlocal owner(sid);
    if (!::IsValidSid(sid)) VR_RAISE(ERROR_INVALID_PARAMETER, L"get_SID_4m_str_SID");
    const BYTE* begin = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(begin, begin + ::GetLengthSid(sid));
}
