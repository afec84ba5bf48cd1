#include "core_test_support.h"

#include "core_wire.h"

#include <sddl.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace coretest {

CoreConfig::CoreConfig(DWORD replyTimeoutMs) : m_key(vrcc::kCoreKey) {
    m_journal = m_dir.file(L"journal\\events.journal");
    m_key.SetString(L"Parameters", L"JournalPath", m_journal);
    if (replyTimeoutMs) m_key.SetDword(L"Parameters", L"ReplyTimeoutMs", replyTimeoutMs);
}

bool WaitForCore(DWORD ms) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    do {
        VrBase::unique_hfile pipe(::CreateFileW(vrcc::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        if (pipe || ::GetLastError() == ERROR_PIPE_BUSY) return true;
        ::Sleep(50);
    } while (::GetTickCount64() < end);
    return false;
}

namespace {

VrBase::unique_handle Launch(const std::wstring& exeName, const std::wstring& args, HANDLE output = nullptr) {
    std::wstring exe = vrtest::ModuleFolder() + exeName;
    std::wstring cmd = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (output) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = output;
        si.hStdError = output;
        si.hStdInput = nullptr;
    }
    PROCESS_INFORMATION pi = vrtest::StartProcess(exe, cmd, output ? TRUE : FALSE, nullptr, si);
    ::CloseHandle(pi.hThread);
    return VrBase::unique_handle(pi.hProcess);
}

// The privileges an ordinary user's token has; an administrator's others
// (SeImpersonatePrivilege among them, unless it is kept, as a service's
// account has it) are taken away.
std::vector<LUID_AND_ATTRIBUTES> AdministratorsPrivileges(HANDLE token, bool keepImpersonate) {
    static const wchar_t* const kOrdinary[] = {SE_CHANGE_NOTIFY_NAME, SE_SHUTDOWN_NAME, SE_UNDOCK_NAME,
                                               SE_INC_WORKING_SET_NAME, SE_TIME_ZONE_NAME};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : sizeof(TOKEN_PRIVILEGES));
    if (!::GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size))
        throw std::runtime_error("cannot read this process's privileges");
    const TOKEN_PRIVILEGES* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    std::vector<LUID_AND_ATTRIBUTES> removed;
    for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
        bool ordinary = false;
        for (const wchar_t* name : kOrdinary) {
            LUID luid{};
            if (::LookupPrivilegeValueW(nullptr, name, &luid) && luid.LowPart == held->Privileges[i].Luid.LowPart &&
                luid.HighPart == held->Privileges[i].Luid.HighPart)
                ordinary = true;
        }
        LUID impersonate{};
        if (keepImpersonate && ::LookupPrivilegeValueW(nullptr, SE_IMPERSONATE_NAME, &impersonate) &&
            impersonate.LowPart == held->Privileges[i].Luid.LowPart &&
            impersonate.HighPart == held->Privileges[i].Luid.HighPart)
            ordinary = true;
        if (!ordinary) removed.push_back({held->Privileges[i].Luid, 0});
    }
    return removed;
}

// The same, as an ordinary user: a primary token with Administrators
// deny-only and without an administrator's privileges.
VrBase::unique_handle LaunchAsOrdinaryUser(const std::wstring& exeName, const std::wstring& args,
                                           bool keepImpersonate) {
    std::wstring exe = vrtest::ModuleFolder() + exeName;
    std::wstring cmd = L"\"" + exe + L"\" " + args;
    VrBase::unique_handle process, restricted;
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size);
    SID_AND_ATTRIBUTES denyOnly{admins, 0};
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put()))
        throw std::runtime_error("cannot open this process's token");
    std::vector<LUID_AND_ATTRIBUTES> removed = AdministratorsPrivileges(process.get(), keepImpersonate);
    if (!::CreateRestrictedToken(process.get(), 0, 1, &denyOnly, static_cast<DWORD>(removed.size()),
                                 removed.empty() ? nullptr : removed.data(), 0, nullptr, restricted.put()))
        throw std::runtime_error("cannot make a restricted token");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessAsUserW(restricted.get(), exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &si, &pi))
        throw std::runtime_error("cannot start a program as an ordinary user");
    ::CloseHandle(pi.hThread);
    return VrBase::unique_handle(pi.hProcess);
}

} // namespace

void CoreProcess::Start() {
    Kill();
    m_process = Launch(L"VrCC.exe", L"--console");
    if (!WaitForCore(20000)) throw std::runtime_error("the core did not come up");
}

void CoreProcess::Kill() {
    if (!m_process) return;
    ::TerminateProcess(m_process.get(), 1);
    ::WaitForSingleObject(m_process.get(), 10000);
    m_process.reset();
    // Its pipe goes with it; wait so the next core can take the name.
    for (int i = 0; i < 100 && WaitNamedPipeW(vrcc::kPipeName, 0); ++i) ::Sleep(20);
}

Peer::Peer(const std::wstring& mode, const std::wstring& arg, bool ordinaryUser, bool mayImpersonate) {
    static std::atomic<unsigned> counter{0};
    m_tag = std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    // Made before the peer starts, so no signal is missed.
    Event(L"-ready").release();
    const std::wstring args = mode + L" " + arg + L" " + m_tag;
    m_process = ordinaryUser ? LaunchAsOrdinaryUser(L"core_peer.exe", args, mayImpersonate) : Launch(L"core_peer.exe", args);
}

Peer::~Peer() {
    if (!m_process) return;
    SignalStop();
    if (::WaitForSingleObject(m_process.get(), 15000) != WAIT_OBJECT_0) ::TerminateProcess(m_process.get(), 1);
}

VrBase::unique_handle Peer::Event(const wchar_t* suffix) const {
    std::wstring name = L"Local\\vrcc-test-" + m_tag + suffix;
    return VrBase::unique_handle(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
}

bool Peer::WaitEvent(const wchar_t* suffix, DWORD ms) {
    VrBase::unique_handle e = Event(suffix);
    HANDLE waits[2] = {e.get(), m_process.get()};
    return ::WaitForMultipleObjects(2, waits, FALSE, ms) == WAIT_OBJECT_0;
}

bool Peer::WaitReady(DWORD ms) { return WaitEvent(L"-ready", ms); }

void Peer::SignalStop() { ::SetEvent(Event(L"-stop").get()); }

DWORD Peer::WaitExit(DWORD ms) {
    if (::WaitForSingleObject(m_process.get(), ms) != WAIT_OBJECT_0) return WAIT_TIMEOUT;
    DWORD code = 0;
    ::GetExitCodeProcess(m_process.get(), &code);
    return code;
}

void Peer::Kill() {
    ::TerminateProcess(m_process.get(), 9);
    ::WaitForSingleObject(m_process.get(), 10000);
}

DWORD RunCaptured(const std::wstring& exeName, const std::wstring& args, std::string& output, DWORD timeoutMs) {
    vrtest::TempDir dir(L"vrcc-out");
    std::wstring path = dir.file(L"out.txt");
    DWORD code = 0;
    {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        VrBase::unique_hfile out(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                               CREATE_ALWAYS, 0, nullptr));
        if (!out) throw std::runtime_error("cannot create the output file");
        VrBase::unique_handle process = Launch(exeName, args, out.get());
        if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
            ::TerminateProcess(process.get(), 1);
            throw std::runtime_error("child process did not end in time");
        }
        ::GetExitCodeProcess(process.get(), &code);
    }
    output = vrtest::ReadFileBytes(path);
    return code;
}

std::wstring CurrentUserSid() {
    HANDLE token = nullptr;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
    VrBase::unique_handle owner(token);
    BYTE buf[512];
    DWORD got = 0;
    LPWSTR text = nullptr;
    if (!::GetTokenInformation(token, TokenUser, buf, sizeof buf, &got) ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &text))
        return L"?";
    std::wstring sid = text;
    ::LocalFree(text);
    return sid;
}

} // namespace coretest
