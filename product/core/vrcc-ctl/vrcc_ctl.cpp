// vrcc-ctl: the administrator's window into the core service: its sessions,
// the event journal, policy sections, the computer record, agents'
// notifications, installing the service, and the trace settings.
#include "client_support.h"
#include "ctl_error.h"
#include "ctl_event_text.h"
#include "ctl_trace.h"
#include "core_link.h"
#include "core_store.h"
#include "journal_format.h"
#include "vrbase/module_path.h"
#include "vrbase/error_description.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/tool_cli.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"
#include "vrsrvapi.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

VR_DEFINE_MODULE_TRACE(L"VrCCCtl")

using namespace vrcc;
using vrccctl::BadArgument;
using vrccctl::CtlError;
using vrccctl::Fail;

namespace {

const wchar_t kTool[] = L"vrcc-ctl";

void Usage(VrBase::ToolStream out) {
    VrBase::ToolWrite(out, VrBase::FormatText(
             L"usage: vrcc-ctl <command> [arguments]\n"
             L"  sessions                          open sessions with their subscriptions, and registered agents\n"
             L"  events [--since MARK] [--raw]     the event journal, or the records after MARK, with each event's name\n"
             L"                                    and text (--raw: ids and inserts as the journal holds them); ends\n"
             L"                                    with the mark to use next\n"
             L"  policy show [SECTION]             the section names, or one section's text\n"
             L"  policy set SECTION --text TEXT    set a section's text\n"
             L"  policy set SECTION --file PATH    set a section's text from a file (UTF-8, or UTF-16 with BOM)\n"
             L"  policy clear SECTION              remove a section\n"
             L"  computer show                     the computer record\n"
             L"  computer set FIELD VALUE          set a field (at most 127 characters); FIELD is one of\n"
             L"                                    Department AutomationSystem Location SerialNumber Type\n"
             L"                                    ResponsibleEmployee DBMS\n"
             L"  watch COMPONENT [--count N]       act as a management agent: print COMPONENT's notifications\n"
             L"                                    (\"*\" for all) until N arrived or Ctrl+C\n"
             L"  install [--start=auto|demand]     install the VrCC service (own process, VrCC.exe beside this tool)\n"
             L"  uninstall                         stop and remove the VrCC service\n"
             L"%ls"
             L"Setting policy, the computer record or trace settings and reading the journal need an\n"
             L"administrator. Exit code: 0 on success, 87 for a usage error, else the error's code.\n",
             vrccctl::kTraceUsage));
}

// Runs one request; every failure becomes a message naming what was asked.
// A request about a named thing says which, when the core does not know it.
Frame Request(uint16_t command, const std::vector<BYTE>& payload, const wchar_t* what,
              const std::wstring& missing = std::wstring()) {
    Frame answer;
    DWORD e = CoreCall(command, payload, answer);
    if (e == kErrCoreDown) Fail(e, std::wstring(what) + L": the core service is not running");
    if (e == ERROR_ACCESS_DENIED) Fail(e, std::wstring(what) + L": an administrator is needed");
    if (e == ERROR_FILE_NOT_FOUND && !missing.empty()) Fail(e, std::wstring(what) + L": " + missing);
    if (e) Fail(e, std::wstring(what) + L": " + VrBase::CodeWords(e));
    return answer;
}

uint64_t TokenValue(VrBase::unique_handle& token) {
    if (DWORD e = OpenEffectiveToken(token)) Fail(e, L"cannot open this program's token");
    return reinterpret_cast<uintptr_t>(token.get());
}

std::wstring FileTimeText(uint64_t value) {
    FILETIME ft{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
    return UtcTimeText(ft);
}

int Sessions() {
    Frame a = Request(CmdListSessions, {}, L"sessions");
    PayloadReader r(a.payload);
    uint32_t n = r.u32();
    VrBase::ToolPrint(L"%u session(s)\n", n);
    for (uint32_t i = 0; i < n; ++i) {
        DWORD id = r.u32();
        std::wstring name = r.str(kMaxNameChars);
        DWORD pid = r.u32(), flags = r.u32(), routines = r.u32();
        uint64_t opened = r.u64();
        DWORD waiting = r.u32(), subs = r.u32();
        VrBase::ToolPrint(L"session %u \"%ls\" process %u flags 0x%X routines %ls%ls opened %ls waiting %u\n", id, name.c_str(), pid,
                flags, routines & 1 ? L"send" : L"", routines == 3 ? L"+post" : routines & 2 ? L"post" : L"",
                FileTimeText(opened).c_str(), waiting);
        std::wstring line = L"  subscribed:";
        if (!subs) line += L" none";
        for (DWORD k = 0; k < subs; ++k) {
            wchar_t id8[16];
            swprintf(id8, 16, L" 0x%08X", r.u32());
            line += id8;
        }
        VrBase::ToolPrint(L"%ls\n", line.c_str());
    }
    uint32_t agents = r.u32();
    VrBase::ToolPrint(L"%u agent(s)\n", agents);
    for (uint32_t i = 0; i < agents; ++i) {
        DWORD pid = r.u32();
        uint32_t count = r.u32();
        std::wstring line;
        for (uint32_t k = 0; k < count; ++k) line += L" " + r.str(kMaxNameChars);
        VrBase::ToolPrint(L"agent process %u for:%ls\n", pid, line.c_str());
    }
    return 0;
}

int Events(uint64_t since, bool raw) {
    VrBase::unique_handle token;
    const uint64_t tokenValue = TokenValue(token);
    uint64_t last = 0;
    size_t printed = 0;
    for (;;) {
        PayloadWriter w;
        w.u64(since).u64(tokenValue);
        Frame a = Request(CmdReadEvents, w.data(), L"events");
        PayloadReader r(a.payload);
        last = r.u64();
        bool more = r.u32() != 0;
        std::vector<BYTE> bytes = r.byteVector(kMaxData);
        std::string text(bytes.begin(), bytes.end());
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            start = end == std::string::npos ? text.size() : end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            JournalRecord rec;
            if (!ParseJournalLine(line, rec)) continue;
            VrBase::ToolWrite(VrBase::ToolStream::Out, vrccctl::JournalRecordText(rec, raw));
            since = rec.seq;
            ++printed;
        }
        if (!more) break;
    }
    VrBase::ToolPrint(L"%zu record(s); mark %llu\n", printed, static_cast<unsigned long long>(last));
    return 0;
}

std::wstring ReadTextFile(const std::wstring& path) {
    VrBase::unique_hfile f(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!f) Fail(::GetLastError(), L"cannot open " + path + L": " + VrBase::CodeWords(::GetLastError()));
    LARGE_INTEGER size{};
    ::GetFileSizeEx(f.get(), &size);
    if (size.QuadPart > 4 * 1024 * 1024) Fail(ERROR_FILE_TOO_LARGE, path + L" is larger than 4 MiB");
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() && (!::ReadFile(f.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) ||
                           got != bytes.size()))
        Fail(::GetLastError(), L"cannot read " + path);
    if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF && static_cast<BYTE>(bytes[1]) == 0xFE)
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    return FromUtf8(bytes);
}

int Policy(const std::vector<std::wstring>& a) {
    if (a.size() == 2 && a[1] == L"show") {
        Frame f = Request(CmdPolicyList, {}, L"policy show");
        PayloadReader r(f.payload);
        uint32_t n = r.u32();
        VrBase::ToolPrint(L"%u section(s)\n", n);
        for (uint32_t i = 0; i < n; ++i) VrBase::ToolPrint(L"%ls\n", r.str(kMaxNameChars).c_str());
        return 0;
    }
    if (a.size() == 3 && a[1] == L"show") {
        PayloadWriter w;
        w.str(a[2]);
        Frame f = Request(CmdPolicyRead, w.data(), L"policy show", L"there is no section " + a[2]);
        PayloadReader r(f.payload);
        VrBase::ToolPrint(L"%ls\n", r.str(kMaxData / 2).c_str());
        return 0;
    }
    VrBase::unique_handle token;
    if (a.size() == 5 && a[1] == L"set" && (a[3] == L"--text" || a[3] == L"--file")) {
        std::wstring text = a[3] == L"--text" ? a[4] : ReadTextFile(a[4]);
        PayloadWriter w;
        w.str(a[2]).str(text).u64(TokenValue(token));
        Request(CmdPolicySet, w.data(), L"policy set");
        VrBase::ToolPrint(L"section %ls set (%zu characters)\n", a[2].c_str(), text.size());
        return 0;
    }
    if (a.size() == 3 && a[1] == L"clear") {
        PayloadWriter w;
        w.str(a[2]).u64(TokenValue(token));
        Request(CmdPolicyDelete, w.data(), L"policy clear", L"there is no section " + a[2]);
        VrBase::ToolPrint(L"section %ls removed\n", a[2].c_str());
        return 0;
    }
    BadArgument(L"policy " + a[1], L"wrong arguments (show [SECTION], set SECTION --text|--file X, clear SECTION)");
}

int Computer(const std::vector<std::wstring>& a) {
    if (a.size() == 2 && a[1] == L"show") {
        PayloadWriter w;
        w.u32(1);
        Frame f = Request(CmdComputerInfo, w.data(), L"computer show");
        PayloadReader r(f.payload);
        std::vector<BYTE> bytes = r.byteVector(kMaxData);
        if (bytes.size() != sizeof(VR_COMPUTER_INFO_1)) Fail(ERROR_INVALID_DATA, L"computer show: malformed record");
        const auto* info = reinterpret_cast<const VR_COMPUTER_INFO_1*>(bytes.data());
        const WCHAR* values[] = {info->Department, info->AutomationSystem, info->Location, info->SerialNumber,
                                 info->Type,       info->ResponsibleEmployee, info->DBMS};
        for (size_t i = 0; i < ComputerFields().size(); ++i)
            VrBase::ToolPrint(L"%ls=%.*ls\n", ComputerFields()[i].c_str(), VR_COMPUTER_FIELD_CHARS, values[i]);
        return 0;
    }
    if (a.size() == 4 && a[1] == L"set") {
        if (CanonicalComputerField(a[2]).empty()) BadArgument(L"computer set", L"unknown field " + a[2]);
        if (a[3].size() >= VR_COMPUTER_FIELD_CHARS) BadArgument(L"computer set", L"a value holds at most 127 characters");
        VrBase::unique_handle token;
        PayloadWriter w;
        w.str(a[2]).str(a[3]).u64(TokenValue(token));
        Request(CmdComputerSet, w.data(), L"computer set");
        VrBase::ToolPrint(L"%ls set\n", CanonicalComputerField(a[2]).c_str());
        return 0;
    }
    BadArgument(L"computer " + a[1], L"wrong arguments (show, or set FIELD VALUE)");
}

std::atomic<bool> g_interrupted{false};
BOOL WINAPI OnCtrl(DWORD) {
    g_interrupted = true;
    return TRUE;
}

int Watch(const std::wstring& component, unsigned count) {
    std::atomic<unsigned> seen{0};
    std::atomic<bool> lost{false};
    auto onFrame = [&](CCoreLink&, Frame& f) {
        if (f.status == ERROR_CANCELLED || f.command != CmdAgentNotify) return;
        PayloadReader r(f.payload);
        std::wstring comp = r.str(kMaxNameChars);
        DWORD kind = r.u32();
        std::wstring set = r.str(kMaxNameChars);
        VrBase::ToolPrint(L"%ls %ls \"%ls\"\n", comp.c_str(), kind == 1 ? L"state" : L"configuration", set.c_str());
        ++seen;
    };
    std::shared_ptr<CCoreLink> link;
    DWORD e = CCoreLink::Connect(onFrame, [&] { lost = true; }, link);
    if (e == kErrCoreDown) Fail(e, L"watch: the core service is not running");
    if (e) Fail(e, L"watch: " + VrBase::CodeWords(e));
    VrBase::scope_exit end([&] { link->Shutdown(10000); });
    PayloadWriter w;
    w.str(component);
    Frame answer;
    if ((e = link->Call(CmdAgentRegister, w.data(), answer, 30000))) Fail(e, L"watch: " + VrBase::CodeWords(e));
    VrBase::ToolPrint(L"watching %ls\n", component.c_str());
    ::SetConsoleCtrlHandler(&OnCtrl, TRUE);
    while (!g_interrupted && !lost && (count == 0 || seen < count)) ::Sleep(50);
    if (lost) Fail(kErrLinkLost, L"watch: the core service went away");
    return 0;
}

VrBase::unique_schandle OpenScm() {
    VrBase::unique_schandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) Fail(::GetLastError(), L"cannot open the service control manager: " + VrBase::CodeWords(::GetLastError()));
    return scm;
}

int Install(DWORD startType) {
    const std::wstring exe = VrBase::ProgramFolder() + L"VrCC.exe";
    if (::GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) Fail(ERROR_FILE_NOT_FOUND, exe + L" is missing");
    const std::wstring binary = L"\"" + exe + L"\"";
    VrBase::unique_schandle scm = OpenScm();
    VrBase::unique_schandle service(::CreateServiceW(scm.get(), kServiceName, L"Varnel Core Service",
                                                     SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType,
                                                     SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                                     nullptr, nullptr));
    if (!service) {
        DWORD e = ::GetLastError();
        if (e != ERROR_SERVICE_EXISTS) Fail(e, L"install: " + VrBase::CodeWords(e));
        service.reset(::OpenServiceW(scm.get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!service || !::ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, startType,
                                                SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                                nullptr, nullptr, L"Varnel Core Service"))
            Fail(::GetLastError(), L"install: " + VrBase::CodeWords(::GetLastError()));
    }
    VrBase::ToolPrint(L"installed %ls (%ls start): %ls\n", kServiceName, startType == SERVICE_AUTO_START ? L"automatic" : L"demand",
            exe.c_str());
    return 0;
}

int Uninstall() {
    VrBase::unique_schandle scm = OpenScm();
    VrBase::unique_schandle service(::OpenServiceW(scm.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        DWORD e = ::GetLastError();
        if (e == ERROR_SERVICE_DOES_NOT_EXIST) {
            VrBase::ToolPrint(L"%ls is not installed\n", kServiceName);
            return 0;
        }
        Fail(e, L"uninstall: " + VrBase::CodeWords(e));
    }
    SERVICE_STATUS status{};
    if (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        for (int i = 0; i < 300 && ::QueryServiceStatus(service.get(), &status) &&
                        status.dwCurrentState != SERVICE_STOPPED;
             ++i)
            ::Sleep(100);
        if (status.dwCurrentState != SERVICE_STOPPED) Fail(ERROR_SERVICE_REQUEST_TIMEOUT, L"uninstall: VrCC did not stop");
    }
    if (!::DeleteService(service.get())) Fail(::GetLastError(), L"uninstall: " + VrBase::CodeWords(::GetLastError()));
    VrBase::ToolPrint(L"removed %ls\n", kServiceName);
    return 0;
}

bool ParseNumber(const std::wstring& text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (c - L'0');
    }
    return true;
}

int Run(const std::vector<std::wstring>& a) {
    if (a.empty()) {
        Usage(VrBase::ToolStream::Err);
        return VrBase::kExitUsage;
    }
    if (VrBase::IsHelpArgument(a[0])) {
        Usage(VrBase::ToolStream::Out);
        return 0;
    }
    const std::wstring& cmd = a[0];
    uint64_t number = 0;
    if (cmd == L"sessions" && a.size() == 1) return Sessions();
    if (cmd == L"events" && a.size() <= 4) {
        bool raw = false;
        bool since = false;
        for (size_t i = 1; i < a.size(); ++i) {
            if (a[i] == L"--raw" && !raw) {
                raw = true;
            } else if (a[i] == L"--since" && !since && i + 1 < a.size()) {
                if (!ParseNumber(a[i + 1], number)) BadArgument(L"events --since " + a[i + 1], L"MARK is a record number");
                since = true;
                ++i;
            } else {
                BadArgument(L"events " + a[i], L"events takes --since MARK and --raw");
            }
        }
        return Events(number, raw);
    }
    if (cmd == L"policy" && a.size() >= 2) return Policy(a);
    if (cmd == L"computer" && a.size() >= 2) return Computer(a);
    if (cmd == L"watch" && (a.size() == 2 || (a.size() == 4 && a[2] == L"--count"))) {
        if (a.size() == 4 && (!ParseNumber(a[3], number) || number == 0 || number > 1000000))
            BadArgument(L"watch --count " + a[3], L"N is a positive number");
        return Watch(a[1], static_cast<unsigned>(number));
    }
    if (cmd == L"install" && a.size() <= 2) {
        DWORD start = SERVICE_DEMAND_START;
        if (a.size() == 2) {
            if (a[1] == L"--start=auto") start = SERVICE_AUTO_START;
            else if (a[1] != L"--start=demand") BadArgument(a[1], L"unknown option of install (--start=auto|demand)");
        }
        return Install(start);
    }
    if (cmd == L"uninstall" && a.size() == 1) return Uninstall();
    if (cmd == L"trace") return vrccctl::Trace(a);
    for (const wchar_t* known : {L"sessions", L"events", L"policy", L"computer", L"watch", L"install", L"uninstall"})
        if (cmd == known) BadArgument(cmd, L"wrong arguments (vrcc-ctl --help shows them)");
    BadArgument(cmd, L"unknown command");
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    VrBase::RestrictDllSearch();
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    std::vector<std::wstring> args(argv + 1, argv + argc);
    try {
        return Run(args);
    } catch (const CtlError& e) {
        if (e.code == ERROR_INVALID_PARAMETER) {
            VrBase::ToolPrintError(L"%ls: %ls (%ls --help shows the usage)\n", kTool, e.text.c_str(), kTool);
            return VrBase::kExitUsage;
        }
        VrBase::ToolPrintError(L"%ls: %ls (%u)\n", kTool, e.text.c_str(), e.code);
        return static_cast<int>(e.code ? e.code : 1);
    } catch (const ProtocolError& p) {
        VrBase::ToolPrintError(L"%ls: malformed answer from the core (%hs)\n", kTool, p.what());
        return static_cast<int>(kErrLinkLost);
    } catch (...) {
        DWORD e = VrBase::HandleCurrentException(L"wmain");
        VrBase::ToolError(kTool, L"failed", e);
        return static_cast<int>(e ? e : 1);
    }
}
