// vrssr-setup: installs and removes the VrSoftwareState service on a test or
// demo machine, with the machine-wide LocalProtectionDir variable it needs.
// The product's real installer is not part of this system.
#include "vrbase/trust.h"
#include "vrbase/exception_guard.h"
#include "vrbase/module_path.h"
#include "vrbase/product_locale.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"
#include "vrbase/tool_cli.h"

#include <windows.h>
#include <shlobj.h>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

VR_DEFINE_MODULE_TRACE(L"VrSSRSetup")

namespace {

const wchar_t kServiceName[] = L"VrSoftwareState";
const wchar_t kDisplayName[] = L"Varnel Software State";
const wchar_t kEnvKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const wchar_t kEnvName[] = L"LocalProtectionDir";
const wchar_t kProductKey[] = L"SOFTWARE\\Calderis\\Varnel Studio";
const wchar_t kLocalProtectionKey[] = L"SOFTWARE\\Calderis\\Varnel Studio\\Client\\Local Protection";

const wchar_t kTool[] = L"vrssr-setup";

const wchar_t kUsage[] =
    L"usage: vrssr-setup install [--start=auto|demand] [--protection-dir=FOLDER] [--locale=ll-CC]\n"
    L"       vrssr-setup uninstall\n"
    L"install   registers the VrSoftwareState service (own process, VrSSRSrv.exe beside this tool)\n"
    L"          and sets the machine variable LocalProtectionDir to FOLDER, an absolute folder\n"
    L"          (default: the folder it names already, else %ProgramData%\\Varnel\\); where the\n"
    L"          product is not installed it also creates the product's registry key and its\n"
    L"          ProductLocale, the language of the product's messages: --locale, else this\n"
    L"          user's locale when VrError.dll has messages in it, else en-US (a usable\n"
    L"          value already there is kept; an empty or unknown one is replaced).\n"
    L"          A new service starts automatically unless --start=demand; installing again keeps\n"
    L"          the start type and the folder unless --start or --protection-dir is given.\n"
    L"uninstall stops and removes the service and the variable\n"
    L"Exit code: 0 on success, 87 for a usage error, else the system's error code.\n";

std::wstring default_protection_dir() {
    wchar_t buf[MAX_PATH];
    DWORD n = ::GetEnvironmentVariableW(L"ProgramData", buf, MAX_PATH);
    std::wstring base = (n > 0 && n < MAX_PATH) ? std::wstring(buf, n) : L"C:\\ProgramData";
    return base + L"\\Varnel\\";
}

// The absolute folder in its normal form, ending in a backslash.
std::wstring normalise_protection_dir(const std::wstring& given) {
    std::wstring dir = VrBase::FullWindowsPath(given);
    if (dir.empty() || dir.back() != L'\\') dir += L'\\';
    return dir;
}

// The folder the machine variable names now; empty when it is not set or
// not absolute.
std::wstring current_protection_dir() {
    wchar_t dir[MAX_PATH * 2] = {};
    DWORD size = sizeof(dir);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kEnvKey, kEnvName, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                       nullptr, dir, &size) != ERROR_SUCCESS ||
        !VrBase::IsAbsoluteWindowsPath(dir))
        return std::wstring();
    return dir;
}

void announce_environment_change() {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"),
                          SMTO_ABORTIFHUNG, 2000, &result);
}

// The installer owns the product's folder; the service only adds its depot.
// The folder itself is made (or set again) admin-only with a protected DACL,
// so nothing ProgramData lets users do reaches the depot below it.
void create_protection_dir(const std::wstring& dir) {
    std::wstring folder = dir;
    while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    const size_t slash = folder.find_last_of(L'\\');
    if (slash != std::wstring::npos && slash > 2) {
        const std::wstring parent = folder.substr(0, slash);
        int rc = ::SHCreateDirectoryExW(nullptr, parent.c_str(), nullptr);
        if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS && rc != ERROR_FILE_EXISTS)
            VR_RAISE_ITEM(static_cast<DWORD>(rc), L"create_protection_dir", L"Path", parent.c_str());
    }
    if (VrBase::Trust::EnsureAdminOnlyFolder(folder, true))
        VrBase::ToolPrintError(L"%ls: owner and access rules of %ls set again (others could write)\n", kTool,
                      folder.c_str());
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

// The installing user's locale when the product's message library beside
// this tool has messages in its language, else en-US.
std::wstring default_product_locale() {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (!::GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) || wcslen(name) != 5) return L"en-US";
    const LCID lcid = ::LocaleNameToLCID(name, 0);
    VrBase::unique_hmodule messages(::LoadLibraryExW((VrBase::ProgramFolder() + L"VrError.dll").c_str(), nullptr,
                                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (lcid == 0 || !messages ||
        !::FindResourceExW(messages.get(), RT_MESSAGETABLE, MAKEINTRESOURCEW(1), LANGIDFROMLCID(lcid)))
        return L"en-US";
    return name;
}

// What the product's installer would have left: its key, the parent of the
// service's own key, and the product locale (locale empty: the default).
// Returns the locale in force and whether it was set now.
std::pair<std::wstring, bool> ensure_product_keys(const std::wstring& locale) {
    for (const wchar_t* path : {kProductKey, kLocalProtectionKey}) {
        VrBase::unique_hkey key;
        LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
        if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"ensure_product_keys");
    }
    VrBase::unique_hkey product;
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS, product.put());
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"ensure_product_keys");
    // A value the product cannot read (empty, not a locale name) leaves its
    // messages in the fallback language, as a missing one does: replaced.
    wchar_t current[16] = {};
    DWORD length = ARRAYSIZE(current);
    if (VrBase::read_locale_value(HKEY_LOCAL_MACHINE, current, length) == 0 &&
        ::LocaleNameToLCID(current, 0) != 0)
        return {current, false};
    const std::wstring chosen = locale.empty() ? default_product_locale() : locale;
    rc = ::RegSetValueExW(product.get(), L"ProductLocale", 0, REG_SZ, reinterpret_cast<const BYTE*>(chosen.c_str()),
                          static_cast<DWORD>((chosen.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"ensure_product_keys");
    return {chosen, true};
}

VrBase::unique_schandle open_scm() {
    VrBase::unique_schandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) VR_RAISE_LAST_ERROR(L"open_scm");
    return scm;
}

// Reads back what the service control manager holds for the service.
DWORD configured_start_type(SC_HANDLE service) {
    DWORD needed = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed))
        VR_RAISE_LAST_ERROR(L"configured_start_type");
    return config->dwStartType;
}

// startType SERVICE_NO_CHANGE: automatic for a new service, kept for one
// that is already installed. protectionDir empty: the folder the machine
// variable names, else the default.
int install(DWORD startType, const std::wstring& protectionDir, const std::wstring& locale) {
    const std::wstring program = VrBase::ProgramFolder() + L"VrSSRSrv.exe";
    const std::wstring binary = L"\"" + program + L"\"";
    if (::GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES)
        VR_RAISE_ITEM(ERROR_FILE_NOT_FOUND, L"install", L"Path", program.c_str());
    VrBase::unique_schandle scm = open_scm();
    VrBase::unique_schandle service(::CreateServiceW(scm.get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                                     SERVICE_WIN32_OWN_PROCESS,
                                                     startType == SERVICE_NO_CHANGE ? SERVICE_AUTO_START : startType,
                                                     SERVICE_ERROR_NORMAL,
                                                     binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        if (::GetLastError() != ERROR_SERVICE_EXISTS) VR_RAISE_LAST_ERROR(L"install");
        service.reset(::OpenServiceW(scm.get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!service) VR_RAISE_LAST_ERROR(L"install");
        if (!::ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                    binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, kDisplayName))
            VR_RAISE_LAST_ERROR(L"install");
    }
    // The depot stays where it is unless another folder is asked for.
    const std::wstring current = protectionDir.empty() ? current_protection_dir() : std::wstring();
    const std::wstring dir = !protectionDir.empty() ? protectionDir
                             : !current.empty()     ? current
                                                    : normalise_protection_dir(default_protection_dir());
    if (current.empty())
        set_protection_dir(dir);
    else
        create_protection_dir(dir);
    const std::pair<std::wstring, bool> productLocale = ensure_product_keys(locale);
    const DWORD configured = configured_start_type(service.get());
    VrBase::ToolPrint(L"installed %ls (%ls start), %ls=%ls%ls, ProductLocale=%ls%ls\n", kServiceName,
            configured == SERVICE_AUTO_START ? L"automatic" : configured == SERVICE_DEMAND_START ? L"demand" : L"other",
            kEnvName, dir.c_str(), current.empty() ? L"" : L" (kept)", productLocale.first.c_str(),
            productLocale.second ? L"" : L" (kept)");
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
    if (!service) {
        if (::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) VR_RAISE_LAST_ERROR(L"uninstall");
        remove_protection_dir();
        VrBase::ToolPrint(L"%ls is not installed\n", kServiceName);
        return 0;
    }
    stop_service(service.get());
    if (!::DeleteService(service.get())) VR_RAISE_LAST_ERROR(L"uninstall");
    remove_protection_dir();
    VrBase::ToolPrint(L"removed %ls and %ls\n", kServiceName, kEnvName);
    return 0;
}

int run(int argc, wchar_t** argv) {
    if (argc < 2) return VrBase::ToolUsageError(kTool, L"", L"no command given; the commands are install and uninstall");
    const std::wstring command = argv[1];
    if (VrBase::IsHelpArgument(command)) return VrBase::ToolHelp(kUsage);
    if (command == L"uninstall") {
        if (argc > 2) return VrBase::ToolUsageError(kTool, argv[2], L"uninstall takes no arguments");
        return uninstall();
    }
    if (command != L"install") return VrBase::ToolUsageError(kTool, command, L"unknown command; the commands are install and uninstall");
    DWORD startType = SERVICE_NO_CHANGE;
    std::wstring dir;
    std::wstring locale;
    for (int i = 2; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const size_t eq = arg.find(L'=');
        const std::wstring name = arg.substr(0, eq);
        const std::wstring value = eq == std::wstring::npos ? std::wstring() : arg.substr(eq + 1);
        if (VrBase::IsHelpArgument(arg)) return VrBase::ToolHelp(kUsage);
        if (name == L"--start") {
            if (value == L"auto") startType = SERVICE_AUTO_START;
            else if (value == L"demand") startType = SERVICE_DEMAND_START;
            else return VrBase::ToolUsageError(kTool, arg, L"the start type is auto or demand");
        } else if (name == L"--protection-dir") {
            if (!VrBase::IsAbsoluteWindowsPath(value))
                return VrBase::ToolUsageError(kTool, arg, L"the folder must be absolute, such as C:\\ProgramData\\Varnel");
            dir = value;
        } else if (name == L"--locale") {
            if (value.size() != 5 || value[2] != L'-' || ::LocaleNameToLCID(value.c_str(), 0) == 0)
                return VrBase::ToolUsageError(kTool, arg, L"a locale name has five characters, such as en-US");
            locale = value;
        } else {
            return VrBase::ToolUsageError(kTool, arg, L"unknown option");
        }
    }
    return install(startType, dir.empty() ? dir : normalise_protection_dir(dir), locale);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    VrBase::RestrictDllSearch();
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    try {
        return run(argc, argv);
    } catch (VrBase::CVrError& e) {
        const wchar_t* step = e.Field(L"Function");
        const wchar_t* path = e.Field(L"Path");
        std::wstring what = step ? step : L"failed";
        if (path) what += std::wstring(L": ") + path;
        VrBase::ToolError(kTool, what, e.GetCode());
        return static_cast<int>(VrBase::HandleCurrentException(L"wmain"));
    } catch (...) {
        const DWORD code = VrBase::HandleCurrentException(L"wmain");
        VrBase::ToolError(kTool, L"unexpected failure", code);
        return static_cast<int>(code);
    }
}
