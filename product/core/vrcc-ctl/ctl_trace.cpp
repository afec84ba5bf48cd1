#include "ctl_trace.h"

#include "ctl_error.h"
#include "vrbase/scope.h"
#include "vrbase/tool_cli.h"
#include "vrbase/trace.h"
#include "vrbase/trace_config.h"
#include "vrbase/trust.h"
#include "vrbase/vr_error.h"

#include <shlobj.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

namespace vrccctl {

const wchar_t kTraceUsage[] =
    L"  trace show [MODULE|all]           the trace settings and where each module's file is written\n"
    L"  trace set MODULE|all [--levels=LEVELS] [--targets=TARGETS] [--folder=FOLDER]\n"
    L"                                    LEVELS: none, errors, warnings (and errors), info (and both),\n"
    L"                                    all, or a mask such as 0x0C; TARGETS: file, debugger, console,\n"
    L"                                    comma-separated; FOLDER: where the files go, for all modules\n"
    L"                                    (absolute; created when missing; default: %TEMP% of each process)\n"
    L"  trace clear MODULE|all            remove a module's own settings, or every trace setting\n"
    L"                                    MODULE: VrSSRSrv VrSSRProxy VrCC VrSrvApi VrEvtApi VrPolicyApi\n"
    L"                                    vragent vrhash VrSSRSetup VrCCCtl; a program reads them when it starts\n";

namespace {

const wchar_t* const kModules[] = {L"VrSSRSrv", L"VrSSRProxy", L"VrCC",       L"VrSrvApi", L"VrEvtApi",
                                   L"VrPolicyApi", L"vragent",  L"vrhash",    L"VrSSRSetup", L"VrCCCtl"};

struct Named {
    const wchar_t* name;
    DWORD value;
};
// Each level name takes the more severe levels along.
const Named kLevels[] = {{L"none", 0},  {L"errors", VrBase::TL_ERROR},
                         {L"warnings", VrBase::TL_ERROR | VrBase::TL_WARNING},
                         {L"info", VrBase::TL_ERROR | VrBase::TL_WARNING | VrBase::TL_INFO},
                         {L"detail", 0x0F}, {L"all", 0x0F}};
const Named kLevelBits[] = {{L"errors", VrBase::TL_ERROR}, {L"warnings", VrBase::TL_WARNING},
                            {L"info", VrBase::TL_INFO},    {L"detail", VrBase::TL_DETAIL},
                            {L"break", VrBase::TL_BREAK}};
const Named kTargets[] = {{L"file", VrBase::TP_FILE}, {L"debugger", VrBase::TP_DEBUGGER},
                          {L"console", VrBase::TP_CONSOLE}};
// Lines of a trace set here carry date and time.
const DWORD kLineFields = VrBase::TP_DATE | VrBase::TP_TIME;

// The module's name as the program spells it; empty for "all".
std::wstring CanonicalModule(const std::wstring& given) {
    if (_wcsicmp(given.c_str(), L"all") == 0) return std::wstring();
    for (const wchar_t* m : kModules)
        if (_wcsicmp(given.c_str(), m) == 0) return m;
    std::wstring known;
    for (const wchar_t* m : kModules) known += std::wstring(m) + L", ";
    BadArgument(given, L"unknown module; the modules are " + known + L"or all");
}

bool ParseMask(const std::wstring& text, DWORD& value) {
    if (text.empty() || !iswdigit(text[0])) return false;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long parsed = wcstoull(text.c_str(), &end, 0);
    if (*end != L'\0' || errno == ERANGE || parsed > 0xFFFFFFFFull) return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

DWORD ParseLevels(const std::wstring& option, const std::wstring& text) {
    for (const Named& n : kLevels)
        if (_wcsicmp(text.c_str(), n.name) == 0) return n.value;
    DWORD mask = 0;
    if (ParseMask(text, mask)) return mask;
    BadArgument(option, L"the levels are none, errors, warnings, info, all or a 32-bit mask such as 0x0C");
}

DWORD ParseTargets(const std::wstring& option, const std::wstring& text) {
    if (_wcsicmp(text.c_str(), L"none") == 0) return 0;
    DWORD bits = 0;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(L',', start);
        const std::wstring word = text.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
        bool known = false;
        for (const Named& n : kTargets)
            if (_wcsicmp(word.c_str(), n.name) == 0) {
                bits |= n.value;
                known = true;
            }
        if (!known) BadArgument(option, L"the targets are file, debugger and console, comma-separated");
        if (comma == std::wstring::npos) break;
        start = comma + 1;
    }
    return bits;
}

std::wstring Names(DWORD mask, const Named* table, size_t count) {
    std::wstring text;
    for (size_t i = 0; i < count; ++i)
        if (mask & table[i].value) text += (text.empty() ? L"" : L", ") + std::wstring(table[i].name);
    return text.empty() ? L"none" : text;
}

std::wstring Utf8ToWide(const char* text) {
    std::wstring wide;
    const int chars = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (chars > 1) {
        wide.resize(static_cast<size_t>(chars));
        ::MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], chars);
        wide.resize(static_cast<size_t>(chars - 1));
    }
    return wide;
}

template <typename Function>
Function WineExport(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

struct HeapText {
    void operator()(void* p) const { ::HeapFree(::GetProcessHeap(), 0, p); }
};

// Where Wine keeps a Windows path on the Linux side; empty on Windows. Wine
// names drive paths through the prefix's "dosdevices/c:" link; the folder it
// points to ("drive_c") is what a person finds, so that form is given when
// it leads to the same place.
std::wstring LinuxPath(const std::wstring& windowsPath) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    using DosName = wchar_t*(CDECL*)(const char*);
    const auto unixName = WineExport<UnixName>("wine_get_unix_file_name");
    const auto dosName = WineExport<DosName>("wine_get_dos_file_name");
    if (!unixName) return std::wstring();
    std::unique_ptr<char, HeapText> name(unixName(windowsPath.c_str()));
    if (!name) return std::wstring();
    std::string text = name.get();
    const size_t link = text.find("/dosdevices/");
    if (dosName && link != std::string::npos && text.size() >= link + 14 && text[link + 13] == ':' &&
        (text.size() == link + 14 || text[link + 14] == '/')) {
        std::string direct = text.substr(0, link) + "/drive_" + static_cast<char>(tolower(text[link + 12])) +
                             text.substr(link + 14);
        std::unique_ptr<wchar_t, HeapText> back(dosName(direct.c_str()));
        if (back && _wcsicmp(back.get(), windowsPath.c_str()) == 0) text = direct;
    }
    return Utf8ToWide(text.c_str());
}

VrBase::unique_hkey OpenTraceKey(REGSAM access, bool create) {
    VrBase::unique_hkey key;
    const LONG rc = create ? ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, VrBase::kTraceKey, 0, nullptr, 0, access, nullptr,
                                               key.put(), nullptr)
                           : ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, VrBase::kTraceKey, 0, access, key.put());
    if (rc != ERROR_SUCCESS && !(rc == ERROR_FILE_NOT_FOUND && !create))
        Fail(static_cast<DWORD>(rc), L"trace: cannot open HKLM\\" + std::wstring(VrBase::kTraceKey) + L": " +
                                         VrBase::CodeWords(static_cast<DWORD>(rc)));
    return key;
}

bool ReadDword(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD size = sizeof(value);
    return key && ::RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
}

std::wstring ReadFolder() {
    VrBase::unique_hkey key = OpenTraceKey(KEY_READ, false);
    wchar_t folder[MAX_PATH * 2] = {};
    DWORD size = sizeof(folder);
    if (!key || ::RegGetValueW(key.get(), nullptr, L"TracePath", RRF_RT_REG_SZ, nullptr, folder, &size) != ERROR_SUCCESS)
        return std::wstring();
    return folder;
}

void ShowModule(const std::wstring& module) {
    const VrBase::TraceConfig config = VrBase::ReadTraceConfig(module);
    const bool active = config.enableMask != 0 && (config.paramsMask & 0xFF) != 0;
    if (!active) {
        VrBase::ToolPrint(L"%-11ls off\n", module.c_str());
        return;
    }
    VrBase::ToolPrint(L"%-11ls %ls to %ls (EnableMask 0x%X, ParamsMask 0x%X)\n", module.c_str(),
            Names(config.enableMask, kLevelBits, _countof(kLevelBits)).c_str(),
            Names(config.paramsMask, kTargets, _countof(kTargets)).c_str(), config.enableMask, config.paramsMask);
    if (!(config.paramsMask & VrBase::TP_FILE)) return;
    VrBase::ToolPrint(L"            file %ls\n", config.filePath.c_str());
    const std::wstring onLinux = LinuxPath(config.filePath);
    if (!onLinux.empty()) VrBase::ToolPrint(L"            on Linux %ls\n", onLinux.c_str());
}

int Show(const std::wstring& module) {
    const std::wstring folder = ReadFolder();
    if (folder.empty())
        VrBase::ToolPrint(L"folder: not set, so %%TEMP%% of each traced process (shown here for this program)\n");
    else
        VrBase::ToolPrint(L"folder: %ls\n", folder.c_str());
    if (!module.empty()) {
        ShowModule(module);
        return 0;
    }
    for (const wchar_t* m : kModules) ShowModule(m);
    return 0;
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
    const LONG rc = ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    if (rc != ERROR_SUCCESS)
        Fail(static_cast<DWORD>(rc), std::wstring(L"trace set: cannot write ") + name + L": " +
                                         VrBase::CodeWords(static_cast<DWORD>(rc)));
}

// The folder exists before any setting names it, and only administrators
// and SYSTEM write into it: services running as LocalSystem create their
// trace files there. Folders made on the way get the same protection; an
// existing trace folder that lets others write is repaired.
void CreateFolder(const std::wstring& folder) {
    const size_t slash = folder.find_last_of(L'\\');
    if (slash != std::wstring::npos && slash > 2) {
        const std::wstring parent = folder.substr(0, slash);
        if (::GetFileAttributesW(parent.c_str()) == INVALID_FILE_ATTRIBUTES) CreateFolder(parent);
    }
    // A folder that exists may be shared (C:\Windows\Temp, a user's own):
    // taking it over would shut others out, so one others can write into is
    // refused and a new one is made admin-only.
    try {
        VrBase::Trust::EnsureAdminOnlyFolder(folder, true, VrBase::Trust::ExistingFolder::Refuse);
    } catch (const VrBase::CVrError& e) {
        if (e.GetCode() == ERROR_ACCESS_DENIED)
            Fail(e.GetCode(), L"trace set: " + folder + L" is a link or lets others than administrators write into "
                              L"it; name a folder only administrators can write, or a new one (it is made so): " +
                                  VrBase::CodeWords(e.GetCode()));
        Fail(e.GetCode(), L"trace set: cannot create " + folder + L" protected: " + VrBase::CodeWords(e.GetCode()));
    }
}

void SetFolder(HKEY traceKey, const std::wstring& folder) {
    const LONG set = ::RegSetValueExW(traceKey, L"TracePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                                      static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    if (set != ERROR_SUCCESS)
        Fail(static_cast<DWORD>(set), L"trace set: cannot write TracePath: " + VrBase::CodeWords(static_cast<DWORD>(set)));
}

int Set(const std::wstring& module, const std::vector<std::wstring>& options) {
    bool haveLevels = false, haveTargets = false, haveFolder = false;
    DWORD levels = 0, targets = 0;
    std::wstring folder;
    for (const std::wstring& option : options) {
        const size_t eq = option.find(L'=');
        const std::wstring name = option.substr(0, eq);
        const std::wstring value = eq == std::wstring::npos ? std::wstring() : option.substr(eq + 1);
        if (name == L"--levels") {
            levels = ParseLevels(option, value);
            haveLevels = true;
        } else if (name == L"--targets") {
            targets = ParseTargets(option, value);
            haveTargets = true;
        } else if (name == L"--folder") {
            if (!VrBase::IsAbsoluteWindowsPath(value))
                BadArgument(option, L"the folder must be absolute, such as C:\\VrTrace");
            // Stored as the system resolves it, so the file lands where it is said to.
            folder = VrBase::FullWindowsPath(value);
            haveFolder = true;
        } else {
            BadArgument(option, L"unknown option of trace set (--levels, --targets, --folder)");
        }
    }
    if (!haveLevels && !haveTargets && !haveFolder)
        BadArgument(L"trace set", L"nothing to set: give --levels, --targets or --folder");
    if (haveFolder) CreateFolder(folder);

    VrBase::unique_hkey traceKey = OpenTraceKey(KEY_ALL_ACCESS, true);
    VrBase::unique_hkey moduleKey;
    if (!module.empty()) {
        const LONG rc = ::RegCreateKeyExW(traceKey.get(), module.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                          moduleKey.put(), nullptr);
        if (rc != ERROR_SUCCESS)
            Fail(static_cast<DWORD>(rc), L"trace set: cannot create the key of " + module + L": " +
                                             VrBase::CodeWords(static_cast<DWORD>(rc)));
    }
    HKEY target = module.empty() ? traceKey.get() : moduleKey.get();
    // Levels without a target, or targets without levels, would write nothing.
    DWORD existing = 0;
    if (haveLevels || haveTargets) {
        if (!haveLevels) levels = ReadDword(target, L"EnableMask", existing) && existing ? existing : 0x0C;
        if (!haveTargets) targets = ReadDword(target, L"ParamsMask", existing) && (existing & 0xFF) ? 0u : static_cast<DWORD>(VrBase::TP_FILE);
        SetDword(target, L"EnableMask", levels);
        if (haveTargets || targets) SetDword(target, L"ParamsMask", targets ? targets | kLineFields : 0);
    }
    if (haveFolder) SetFolder(traceKey.get(), folder);
    VrBase::ToolPrint(L"trace settings of %ls set; a program reads them when it starts\n",
            module.empty() ? L"all modules" : module.c_str());
    return Show(module);
}

int Clear(const std::wstring& module) {
    VrBase::unique_hkey traceKey = OpenTraceKey(KEY_ALL_ACCESS, false);
    const std::wstring what = module.empty() ? std::wstring(L"every module") : module;
    LONG rc = ERROR_FILE_NOT_FOUND;
    if (traceKey) {
        if (module.empty()) {
            rc = ::RegDeleteTreeW(traceKey.get(), nullptr);
            traceKey.reset();
            if (rc == ERROR_SUCCESS) rc = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, VrBase::kTraceKey);
        } else {
            rc = ::RegDeleteTreeW(traceKey.get(), module.c_str());
        }
    }
    if (rc == ERROR_FILE_NOT_FOUND) {
        VrBase::ToolPrint(L"%ls had no trace settings\n", what.c_str());
        return 0;
    }
    if (rc != ERROR_SUCCESS)
        Fail(static_cast<DWORD>(rc), L"trace clear: " + VrBase::CodeWords(static_cast<DWORD>(rc)));
    VrBase::ToolPrint(L"trace settings of %ls removed\n", what.c_str());
    return 0;
}

} // namespace

int Trace(const std::vector<std::wstring>& a) {
    if (a.size() < 2) BadArgument(L"trace", L"show, set or clear is missing");
    const std::wstring& verb = a[1];
    if (verb == L"show" && a.size() <= 3) return Show(a.size() == 3 ? CanonicalModule(a[2]) : std::wstring());
    if (verb == L"set" && a.size() >= 3)
        return Set(CanonicalModule(a[2]), std::vector<std::wstring>(a.begin() + 3, a.end()));
    if (verb == L"clear" && a.size() == 3) return Clear(CanonicalModule(a[2]));
    if (verb == L"show" || verb == L"clear") BadArgument(L"trace " + verb, L"takes one MODULE or all");
    if (verb == L"set") BadArgument(L"trace set", L"MODULE or all is missing");
    BadArgument(verb, L"unknown trace command (show, set, clear)");
}

} // namespace vrccctl
