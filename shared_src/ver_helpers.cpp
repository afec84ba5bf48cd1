#include "ver_helpers.h"

#include "Com/com_assert.h"
#include "Com/com_ptr.h"
#include "exec/apartment_executor.h"
#include "file_ver_helper.h"
#include "lang_helper.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/vr_error.h"

#include <wbemidl.h>
#include <vector>

namespace {

constexpr const wchar_t* kCurrentVersionKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// A string value of the CurrentVersion key; false when absent.
bool read_current_version(const wchar_t* name, std::wstring& value) {
    VrBase::unique_hkey key;
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put());
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"read_current_version");
    DWORD size = 0, type = 0;
    rc = ::RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) return false;
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"read_current_version");
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, L'\0');
    rc = ::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size);
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"read_current_version");
    value = buf.data();
    return true;
}

std::wstring optional_value(const wchar_t* name) {
    std::wstring value;
    read_current_version(name, value);
    return value;
}

std::wstring with_build(std::wstring text, const std::wstring& build) {
    if (!build.empty()) text += L", " + load_product_string(201) + build;
    return text;
}

std::wstring wmi_caption() {
    const wchar_t* const fn = L"get_os_ver_formated_wmi";
    Com::ComPtr<IWbemLocator> locator;
    Com::AssertObjectCreated(
        ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, locator.put_void()),
        CLSID_WbemLocator);
    Com::ComPtr<IWbemServices> services;
    VR_CHECK_HR(locator->ConnectServer(Com::CBstr(L"ROOT\\CIMV2").get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                 services.put()),
          fn);
    VR_CHECK_HR(::CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
          fn);
    Com::ComPtr<IEnumWbemClassObject> objects;
    VR_CHECK_HR(services->ExecQuery(Com::CBstr(L"WQL").get(), Com::CBstr(L"SELECT * FROM Win32_OperatingSystem").get(),
                              WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, objects.put()),
          fn);
    Com::ComPtr<IWbemClassObject> os;
    ULONG got = 0;
    VR_CHECK_HR(objects->Next(WBEM_INFINITE, 1, os.put(), &got), fn);
    if (got == 0 || !os) return std::wstring();
    Com::CVariant caption;
    VR_CHECK_HR(os->Get(L"Caption", 0, caption.put(), nullptr, nullptr), fn);
    if (caption.get().vt != VT_BSTR || !caption.get().bstrVal) return std::wstring();
    return caption.get().bstrVal;
}

using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);

} // namespace

std::wstring get_win_build_4m_kernel32() {
    std::wstring version;
    VrBase::GuardVoid(L"get_win_build_4m_kernel32", [&] {
        wchar_t path[MAX_PATH * 2];
        DWORD n = ::ExpandEnvironmentStringsW(L"%systemroot%\\system32\\kernel32.dll", path, MAX_PATH * 2);
        if (n == 0 || n > MAX_PATH * 2) VR_RAISE_LAST_ERROR(L"get_win_build_4m_kernel32");
        std::vector<BYTE> block;
        if (!get_version_info(path, block)) return;
        version = query_version_string(block, L"ProductVersion", choose_translation(block));
    });
    return version;
}

std::wstring get_os_ver_formated_wmi() {
    std::wstring text;
    VrBase::GuardVoid(L"get_os_ver_formated_wmi_wrapper", [&] {
        text = exec::run_in_sta([] {
            std::wstring caption = wmi_caption();
            if (caption.empty()) caption = optional_value(L"ProductName");
            std::wstring build = optional_value(L"CurrentBuild");
            if (build.empty()) build = get_win_build_4m_kernel32();
            return with_build(caption + optional_value(L"CSDVersion"), build);
        });
    });
    return text;
}

std::wstring get_os_ver_formated_registry() {
    std::wstring text;
    VrBase::GuardVoid(L"get_os_ver_formated_registry_wrap", [&] {
        text = exec::run_in_sta([] {
            std::wstring product;
            if (!read_current_version(L"ProductName", product))
                VR_RAISE(ERROR_FILE_NOT_FOUND, L"get_os_ver_formated_registry");
            return with_build(product + optional_value(L"CSDVersion"), optional_value(L"CurrentBuild"));
        });
    });
    return text;
}

int windows_version_code(unsigned major, unsigned minor, bool workstation, bool serverR2) {
    if (major == 10) return workstation ? 15 : 0;
    if (major == 6) {
        switch (minor) {
        case 0: return workstation ? 7 : 8;
        case 1: return workstation ? 10 : 9;
        case 2: return workstation ? 11 : 12;
        case 3: return workstation ? 13 : 14;
        default: return 0;
        }
    }
    if (major == 5) {
        if (minor == 0) return workstation ? 1 : 2;
        if (minor == 1) return 3;
        if (minor == 2) return serverR2 ? 4 : (workstation ? 6 : 5);
    }
    return 0;
}

std::wstring windows_name_for_code(int code) {
    static const wchar_t* const names[] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,  nullptr, L"Vista",
                                           L"2008", L"2008R2", L"7", L"8", L"2012", L"8.1", L"2012R2", L"10"};
    if (code < 0 || code >= static_cast<int>(sizeof(names) / sizeof(names[0])) || !names[code]) return std::wstring();
    return names[code];
}

std::wstring get_os_ver_formated_api() {
    std::wstring text;
    VrBase::GuardVoid(L"get_os_ver_formated_api", [&] {
        HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        auto rtlGetVersion = ntdll ? reinterpret_cast<RtlGetVersionFn>(
                                         reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")))
                                   : nullptr;
        if (!rtlGetVersion) VR_RAISE(ERROR_PROC_NOT_FOUND, L"get_os_ver_formated_api");
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        LONG status = rtlGetVersion(&info);
        if (status != 0) VR_RAISE(static_cast<DWORD>(status), L"get_os_ver_formated_api");
        int code = windows_version_code(info.dwMajorVersion, info.dwMinorVersion,
                                        info.wProductType == VER_NT_WORKSTATION, ::GetSystemMetrics(SM_SERVERR2) != 0);
        std::wstring result = L"Microsoft Windows";
        std::wstring name = windows_name_for_code(code);
        if (!name.empty()) result += L" " + name;
        if (info.wServicePackMajor != 0)
            result += L", Service Pack " + std::to_wstring(info.wServicePackMajor) + L"." +
                      std::to_wstring(info.wServicePackMinor);
        std::wstring build = get_win_build_4m_kernel32();
        if (!build.empty()) result += L" " + load_product_string(201) + build;
        text = result;
    });
    return text;
}

std::wstring first_os_description(const std::function<std::wstring()>& wmi,
                                  const std::function<std::wstring()>& registry,
                                  const std::function<std::wstring()>& api) {
    for (const auto* method : {&wmi, &registry, &api}) {
        std::wstring text = (*method)();
        if (!text.empty()) return text;
    }
    return std::wstring();
}

std::wstring get_os_ver_formated() {
    return first_os_description(get_os_ver_formated_wmi, get_os_ver_formated_registry, get_os_ver_formated_api);
}
