#include "test_support.h"

#include "vrbase/module_path.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace vrtest {
namespace {

void RemoveUnixLink(const std::wstring& link);

void RemoveTree(const std::wstring& path) {
    bool links = false;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // Never followed: what it leads to is not the test's to remove.
                RemoveUnixLink(full);
                links = true;
            } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(full.c_str());
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    // The host's rm gives no handle to wait on: the folder empties soon after.
    for (int i = 0; !::RemoveDirectoryW(path.c_str()) && links && i < 250; ++i) ::Sleep(20);
}

} // namespace

TempDir::TempDir(const wchar_t* prefix) {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + prefix + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(counter++);
    if (!::CreateDirectoryW(m_path.c_str(), nullptr)) throw std::runtime_error("cannot create temp folder");
}

TempDir::~TempDir() { RemoveTree(m_path); }

RegKeyScope::RegKeyScope(std::wstring key) : m_key(std::move(key)) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_key.c_str());
    VrBase::unique_hkey k;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(),
                          nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create test registry key");
}

RegKeyScope::~RegKeyScope() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_key.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_key.c_str());
}

static VrBase::unique_hkey CreateSub(const std::wstring& key, const wchar_t* subkey) {
    std::wstring path = key;
    if (subkey && *subkey) path += std::wstring(L"\\") + subkey;
    VrBase::unique_hkey k;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(),
                          nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create test registry key");
    return k;
}

void RegKeyScope::SetDword(const wchar_t* subkey, const wchar_t* name, DWORD value) {
    VrBase::unique_hkey k = CreateSub(m_key, subkey);
    ::RegSetValueExW(k.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void RegKeyScope::SetString(const wchar_t* subkey, const wchar_t* name, const std::wstring& value) {
    VrBase::unique_hkey k = CreateSub(m_key, subkey);
    ::RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

RegValueScope::RegValueScope(std::wstring key, std::wstring name, DWORD type, const void* data, DWORD size)
    : m_key(std::move(key)), m_name(std::move(name)) {
    VrBase::unique_hkey k;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(),
                          nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot open registry key");
    DWORD oldSize = 0;
    if (::RegQueryValueExW(k.get(), m_name.c_str(), nullptr, &m_type, nullptr, &oldSize) == ERROR_SUCCESS) {
        m_old.resize(oldSize);
        m_had = ::RegQueryValueExW(k.get(), m_name.c_str(), nullptr, &m_type, m_old.data(), &oldSize) == ERROR_SUCCESS;
    }
    ::RegSetValueExW(k.get(), m_name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
}

RegValueScope::~RegValueScope() {
    VrBase::unique_hkey k;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_ALL_ACCESS, k.put()) != ERROR_SUCCESS) return;
    if (m_had)
        ::RegSetValueExW(k.get(), m_name.c_str(), 0, m_type, m_old.data(), static_cast<DWORD>(m_old.size()));
    else
        ::RegDeleteValueW(k.get(), m_name.c_str());
}

EnvScope::EnvScope(const wchar_t* name, const std::wstring& value) : m_name(name) {
    wchar_t buf[4096];
    DWORD n = ::GetEnvironmentVariableW(name, buf, 4096);
    m_had = n > 0 && n < 4096;
    if (m_had) m_old.assign(buf, n);
    ::SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
}

EnvScope::~EnvScope() { ::SetEnvironmentVariableW(m_name.c_str(), m_had ? m_old.c_str() : nullptr); }

std::string ReadFileBytes(const std::wstring& path) {
    VrBase::unique_hfile f(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    if (!f) return std::string();
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (::ReadFile(f.get(), buf, sizeof(buf), &got, nullptr) && got > 0) out.append(buf, got);
    return out;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    VrBase::unique_hfile f(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) throw std::runtime_error("cannot write test file");
    DWORD written = 0;
    ::WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            if (start < text.size()) lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::wstring ModuleFolder() { return VrBase::ProgramFolder(); }

PROCESS_INFORMATION StartProcess(const std::wstring& exe, std::wstring cmd, BOOL inherit, const wchar_t* folder,
                                 STARTUPINFOW& si) {
    PROCESS_INFORMATION pi{};
    for (int attempt = 1;; ++attempt) {
        if (::CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, inherit, 0, nullptr, folder, &si, &pi)) return pi;
        const DWORD error = ::GetLastError();
        std::fprintf(stderr, "starting %ls failed (%lu), attempt %d\n", exe.c_str(), error, attempt);
        if (attempt == 5) throw std::runtime_error("cannot start a child process (" + std::to_string(error) + ")");
        ::Sleep(200 * attempt);
    }
}

CapturedChild::CapturedChild(const std::wstring& exe, const std::wstring& args, const std::wstring& folder) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    VrBase::unique_handle writer;
    if (!::CreatePipe(m_reader.put(), writer.put(), &sa, 0)) throw std::runtime_error("cannot make a pipe");
    ::SetHandleInformation(m_reader.get(), HANDLE_FLAG_INHERIT, 0);
    std::wstring cmd = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writer.get();
    si.hStdError = writer.get();
    PROCESS_INFORMATION pi = StartProcess(exe, cmd, TRUE, folder.empty() ? nullptr : folder.c_str(), si);
    m_process.reset(pi.hProcess);
    VrBase::unique_handle thread(pi.hThread);
}

std::string CapturedChild::ReadAll() {
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (::ReadFile(m_reader.get(), buf, sizeof(buf), &got, nullptr) && got) out.append(buf, got);
    return out;
}

DWORD CapturedChild::WaitExit(DWORD timeoutMs) {
    if (::WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(m_process.get(), 0xDEAD);
        throw std::runtime_error("child process did not end in time");
    }
    DWORD code = 0;
    ::GetExitCodeProcess(m_process.get(), &code);
    return code;
}

DWORD ErrorCodeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (VrBase::CVrError& e) {
        return e.GetCode();
    }
    return 0;
}

VrBase::unique_handle MakeNonAdminToken() {
    VrBase::unique_handle process, restricted, impersonation;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put()))
        throw std::runtime_error("cannot open the process token");
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(admins);
    ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size);
    SID_AND_ATTRIBUTES denyOnly{admins, 0};
    if (!::CreateRestrictedToken(process.get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, restricted.put()) ||
        !::DuplicateToken(restricted.get(), SecurityImpersonation, impersonation.put()))
        throw std::runtime_error("cannot make a restricted token");
    return impersonation;
}

Impersonation::Impersonation(HANDLE token) {
    if (!::SetThreadToken(nullptr, token)) throw std::runtime_error("cannot impersonate");
}

Impersonation::~Impersonation() { ::RevertToSelf(); }

namespace {
const wchar_t kTraceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\vrcc0\\Trace";
}

TraceToFolder::TraceToFolder(const std::wstring& folder) : m_folder(folder) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTraceKey);
    VrBase::unique_hkey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTraceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot create the trace key");
    const DWORD enable = 0xFF, params = 0x1;
    ::RegSetValueExW(key.get(), L"EnableMask", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof(enable));
    ::RegSetValueExW(key.get(), L"ParamsMask", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&params), sizeof(params));
    ::RegSetValueExW(key.get(), L"TracePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                     static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    VrBase::ModuleTrace().Reload();
}

TraceToFolder::~TraceToFolder() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTraceKey);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kTraceKey);
    VrBase::ModuleTrace().Reload();
}

std::string TraceToFolder::Read(const wchar_t* traceName) const {
    return ReadFileBytes(m_folder + L"\\" + traceName + L".log");
}

DWORD RunChild(const std::wstring& exeName, const std::wstring& args, DWORD timeoutMs) {
    std::wstring exe = ModuleFolder() + exeName;
    std::wstring cmd = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = StartProcess(exe, cmd, FALSE, nullptr, si);
    VrBase::unique_handle process(pi.hProcess), thread(pi.hThread);
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 0xDEAD);
        throw std::runtime_error("child process did not end in time");
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    return code;
}

namespace {

// The Linux name Wine gives a Windows path; empty outside Wine.
std::string UnixName(const std::wstring& path) {
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert) return std::string();
    char* name = convert(path.c_str());
    if (!name) return std::string();
    std::string text = name;
    ::HeapFree(::GetProcessHeap(), 0, name);
    return text;
}

} // namespace

namespace {

// Wine removes a linked folder's target, not the link, when asked to remove
// the link: the host's rm removes the link itself.
void RemoveUnixLink(const std::wstring& link) {
    // The literal name: a link named with a trailing dot is not the folder
    // without it.
    const std::string name = UnixName(link.compare(0, 2, L"\\\\") == 0 ? link : L"\\\\?\\" + link);
    if (name.empty()) return;
    std::wstring cmd = L"rm -f \"" + std::wstring(name.begin(), name.end()) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (::CreateProcessW(L"Z:\\bin\\rm", &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        if (pi.hProcess) ::CloseHandle(pi.hProcess);
        if (pi.hThread) ::CloseHandle(pi.hThread);
    }
}

} // namespace

bool MakeUnixLink(const std::wstring& link, const std::wstring& target) {
    const std::string from = UnixName(target), to = UnixName(link);
    if (from.empty() || to.empty()) return false;
    // Wine starts a Linux program given by its Z: path.
    const std::wstring ln = L"Z:\\bin\\ln";
    std::wstring cmd = L"ln -s \"" + std::wstring(from.begin(), from.end()) + L"\" \"" +
                       std::wstring(to.begin(), to.end()) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = StartProcess(ln, cmd, FALSE, nullptr, si);
    // Wine hands back no handle of a Linux process: wait for the link itself.
    VrBase::unique_handle process(pi.hProcess), thread(pi.hThread);
    for (int i = 0; i < 1500; ++i) {
        if (::GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        ::Sleep(20);
    }
    return false;
}

} // namespace vrtest
