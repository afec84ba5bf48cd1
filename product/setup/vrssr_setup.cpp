// vrssr-setup: installs and removes the VrSoftwareState service on a test or
// demo machine, with the machine-wide LocalProtectionDir variable it needs.
// The product's real installer is not part of this system.
#include "vrbase/exception_guard.h"
#include "vrbase/module_path.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"
#include "vrbase/error_description.h"

#include <windows.h>
#include <shlobj.h>
#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <string>

VR_DEFINE_MODULE_TRACE(L"VrSSRSetup")

namespace {

const wchar_t kServiceName[] = L"VrSoftwareState";
const wchar_t kDisplayName[] = L"Varnel Software State";
const wchar_t kEnvKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const wchar_t kEnvName[] = L"LocalProtectionDir";
const wchar_t kProductKey[] = L"SOFTWARE\\Calderis\\Varnel Studio";
const wchar_t kLocalProtectionKey[] = L"SOFTWARE\\Calderis\\Varnel Studio\\Client\\Local Protection";

void usage() {
    fwprintf(stderr,
             L"usage: vrssr-setup install [--start=auto|demand] [--protection-dir=FOLDER] [--locale=ll-CC]\n"
             L"       vrssr-setup uninstall\n"
             L"install   registers the VrSoftwareState service (own process, VrSSRSrv.exe beside this tool)\n"
             L"          and sets the machine variable LocalProtectionDir (default: %%ProgramData%%\\Varnel\\);\n"
             L"          where the product is not installed it also creates the product's registry key\n"
             L"          and its ProductLocale (default en-US; an existing value is kept)\n"
             L"uninstall stops and removes the service and the variable\n");
}

std::wstring default_protection_dir() {
    wchar_t buf[MAX_PATH];
    DWORD n = ::GetEnvironmentVariableW(L"ProgramData", buf, MAX_PATH);
    std::wstring base = (n > 0 && n < MAX_PATH) ? std::wstring(buf, n) : L"C:\\ProgramData";
    return base + L"\\Varnel\\";
}

// An absolute folder, ending in a backslash.
std::wstring normalise_protection_dir(const std::wstring& given) {
    wchar_t full[MAX_PATH * 2];
    DWORD n = ::GetFullPathNameW(given.c_str(), MAX_PATH * 2, full, nullptr);
    if (n == 0 || n >= MAX_PATH * 2) VR_RAISE(ERROR_BAD_PATHNAME, L"normalise_protection_dir");
    std::wstring dir(full, n);
    if (dir.back() != L'\\') dir += L'\\';
    return dir;
}

void announce_environment_change() {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"),
                          SMTO_ABORTIFHUNG, 2000, &result);
}

// The installer owns the product's folder; the service only adds its depot.
void create_protection_dir(const std::wstring& dir) {
    int rc = ::SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS && rc != ERROR_FILE_EXISTS)
        VR_RAISE(static_cast<DWORD>(rc), L"create_protection_dir");
}

void set_protection_dir(const std::wstring& dir) {
    create_protection_dir(dir);
    VrBase::unique_hkey key;
    LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEnvKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"set_protection_dir");
    rc = ::RegSetValueExW(key.get(), kEnvName, 0, REG_SZ, reinterpret_cast<const BYTE*>(dir.c_str()),
                          static_cast<DWORD>((dir.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"set_protection_dir");
    announce_environment_change();
}

void remove_protection_dir() {
    VrBase::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEnvKey, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return;
    LONG rc = ::RegDeleteValueW(key.get(), kEnvName);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) VR_RAISE(static_cast<DWORD>(rc), L"remove_protection_dir");
    announce_environment_change();
}

// What the product's installer would have left: its key, the parent of the
// service's own key, and the product locale.
void ensure_product_keys(const std::wstring& locale) {
    for (const wchar_t* path : {kProductKey, kLocalProtectionKey}) {
        VrBase::unique_hkey key;
        LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
        if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"ensure_product_keys");
    }
    VrBase::unique_hkey product;
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS, product.put());
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"ensure_product_keys");
    if (::RegQueryValueExW(product.get(), L"ProductLocale", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) return;
    rc = ::RegSetValueExW(product.get(), L"ProductLocale", 0, REG_SZ, reinterpret_cast<const BYTE*>(locale.c_str()),
                          static_cast<DWORD>((locale.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"ensure_product_keys");
}

VrBase::unique_schandle open_scm() {
    VrBase::unique_schandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) VR_RAISE_LAST_ERROR(L"open_scm");
    return scm;
}

int install(DWORD startType, const std::wstring& protectionDir, const std::wstring& locale) {
    const std::wstring binary = L"\"" + VrBase::ProgramFolder() + L"VrSSRSrv.exe\"";
    if (::GetFileAttributesW((VrBase::ProgramFolder() + L"VrSSRSrv.exe").c_str()) == INVALID_FILE_ATTRIBUTES)
        VR_RAISE(ERROR_FILE_NOT_FOUND, L"install");
    VrBase::unique_schandle scm = open_scm();
    VrBase::unique_schandle service(::CreateServiceW(scm.get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                                     SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                                     binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        if (::GetLastError() != ERROR_SERVICE_EXISTS) VR_RAISE_LAST_ERROR(L"install");
        service.reset(::OpenServiceW(scm.get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!service) VR_RAISE_LAST_ERROR(L"install");
        if (!::ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                    binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, kDisplayName))
            VR_RAISE_LAST_ERROR(L"install");
    }
    set_protection_dir(protectionDir);
    ensure_product_keys(locale);
    wprintf(L"installed %ls (%ls start), %ls=%ls\n", kServiceName, startType == SERVICE_AUTO_START ? L"automatic" : L"demand",
            kEnvName, protectionDir.c_str());
    return 0;
}

void stop_service(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) return;
    ::ControlService(service, SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 600 && ::QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i)
        ::Sleep(100);
    if (status.dwCurrentState != SERVICE_STOPPED) VR_RAISE(ERROR_SERVICE_REQUEST_TIMEOUT, L"stop_service");
}

int uninstall() {
    VrBase::unique_schandle scm = open_scm();
    VrBase::unique_schandle service(::OpenServiceW(scm.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (service) {
        stop_service(service.get());
        if (!::DeleteService(service.get())) VR_RAISE_LAST_ERROR(L"uninstall");
    } else if (::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        VR_RAISE_LAST_ERROR(L"uninstall");
    }
    remove_protection_dir();
    wprintf(L"removed %ls and %ls\n", kServiceName, kEnvName);
    return 0;
}

int run(int argc, wchar_t** argv) {
    if (argc < 2) {
        usage();
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring command = argv[1];
    if (command == L"uninstall" && argc == 2) return uninstall();
    if (command != L"install") {
        usage();
        return ERROR_INVALID_PARAMETER;
    }
    DWORD startType = SERVICE_AUTO_START;
    std::wstring dir = default_protection_dir();
    std::wstring locale = L"en-US";
    for (int i = 2; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--start=auto") startType = SERVICE_AUTO_START;
        else if (arg == L"--start=demand") startType = SERVICE_DEMAND_START;
        else if (arg.rfind(L"--protection-dir=", 0) == 0 && arg.size() > 17) dir = arg.substr(17);
        else if (arg.rfind(L"--locale=", 0) == 0 && arg.size() == 14) locale = arg.substr(9);
        else {
            fwprintf(stderr, L"unknown option: %ls\n", arg.c_str());
            usage();
            return ERROR_INVALID_PARAMETER;
        }
    }
    return install(startType, normalise_protection_dir(dir), locale);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_U8TEXT);
    _setmode(_fileno(stderr), _O_U8TEXT);
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    try {
        return run(argc, argv);
    } catch (VrBase::CVrError& e) {
        fwprintf(stderr, L"vrssr-setup: %ls (0x%08X) in %ls\n", e.GetDescription(), e.GetCode(),
                 e.Field(L"Function") ? e.Field(L"Function") : L"?");
        return static_cast<int>(VrBase::HandleCurrentException(L"wmain"));
    } catch (...) {
        fwprintf(stderr, L"vrssr-setup: unexpected failure\n");
        return static_cast<int>(VrBase::HandleCurrentException(L"wmain"));
    }
}
