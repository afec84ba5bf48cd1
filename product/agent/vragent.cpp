// vragent: a small management agent for administrators and tests. It loads
// the component's proxy the way the product's agent does and drives it.
#include "agent_errors.h"
#include "agent_streams.h"
#include "config_check.h"
#include "component_proxy.h"

#include "Com/com_init.h"
#include "path_ops.h"
#include "xml_common.h"
#include "vrbase/exception_guard.h"
#include "vrbase/error_description.h"
#include "vrbase/module_path.h"
#include "vrbase/scope.h"
#include "vrbase/tool_cli.h"
#include "vrbase/trace.h"

#include <fcntl.h>
#include <io.h>
#include <winsvc.h>

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

VR_DEFINE_MODULE_TRACE(L"vragent")

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = VrBase::kExitUsage;
const wchar_t kTool[] = L"vragent";

const wchar_t kHelp[] =
    L"vragent - manage the software passport component (VrSoftwareState) through its proxy.\n"
    L"\n"
    L"usage: vragent [--proxy PATH] COMMAND [ARGUMENTS]\n"
    L"\n"
    L"  info                  the component's name, its state sets and whether it is switched on\n"
    L"  state [--xml]         the scan state in words (service, scan, times, document, last error);\n"
    L"                        --xml prints the scan state document itself (UTF-8)\n"
    L"  config FILE|-         send a configuration document (UTF-8 file, or standard input)\n"
    L"  config --check FILE   check a configuration document here, by the scan service's own rules\n"
    L"  scan [--wait]         start a scan; --wait shows its progress until it ends\n"
    L"  export PATH [--delete]\n"
    L"                        copy the last software state document to PATH; --delete also\n"
    L"                        removes the service's own copy (the next export needs a new scan)\n"
    L"  activate              set the service to start automatically and start it\n"
    L"  deactivate            disable the service and stop it\n"
    L"\n"
    L"  --proxy PATH          the proxy DLL to load (default: VrSSRProxy.dll beside vragent)\n"
    L"\n"
    L"Reports are printed as they come. The exit code is 0 on success, 1 when a command\n"
    L"fails (its report says Error, or the component refuses the call; the error is\n"
    L"printed), 87 for a usage error. Configuration and export need an administrator.\n"
    L"The core service VrCC must run for config, scan, export and for state while the\n"
    L"service runs. Right after the service starts it needs a few seconds to link to\n"
    L"VrCC; vragent waits for that (at most 30 s) and says so.\n"
    L"\n"
    L"example: vragent config settings.xml && vragent scan --wait && vragent export C:\\ses.xml\n";

// The most vragent waits for a running service to link to the core, and
// how often it asks meanwhile; the service polls the core every 3 s.
constexpr DWORD kLinkWaitMs = 30000;
constexpr DWORD kLinkPollMs = 500;

// The text of a child of the document element, empty when absent.
std::wstring node_text(const std::wstring& document, const wchar_t* xpath) {
    Xml::CDocument doc;
    std::wstring value;
    if (FAILED(LoadXml4mWstring(doc, document))) return value;
    if (FAILED(lookup_node_and_get_value(doc.GetRoot(), xpath, value))) value.clear();
    return value;
}

// The declaration of a document printed as UTF-8, which every text this
// tool writes to a file or pipe is.
std::wstring with_utf8_declaration(const std::wstring& document) {
    if (document.compare(0, 5, L"<?xml") != 0) return L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + document;
    const size_t end = document.find(L"?>");
    if (end == std::wstring::npos) return document;
    return L"<?xml version=\"1.0\" encoding=\"utf-8\"?>" + document.substr(end + 2);
}

const wchar_t* service_state_words(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED: return L"stopped";
    case SERVICE_START_PENDING: return L"starting";
    case SERVICE_STOP_PENDING: return L"stopping";
    case SERVICE_RUNNING: return L"running";
    case SERVICE_CONTINUE_PENDING: return L"continuing";
    case SERVICE_PAUSE_PENDING: return L"pausing";
    case SERVICE_PAUSED: return L"paused";
    default: return L"not installed";
    }
}

std::wstring scan_status_words(const std::wstring& status, const std::wstring& source) {
    if (status == L"InProgress")
        return source == L"Policy" ? L"in progress, started by the schedule"
               : source == L"Admin" ? L"in progress, requested by the management"
                                    : L"in progress";
    if (status == L"Complete") return L"complete: a software state document is ready";
    if (status == L"None") return L"none: no document (no scan yet, the last one failed, or its document was handed away)";
    if (status == L"Starting") return L"not known while the service starts";
    if (status == L"Stopped") return L"not known while the service is stopped";
    return status;
}

class CAgent {
public:
    explicit CAgent(IVRESComponentProxy* component) : m_c(component) {}

    int Info() {
        CComponentText name(m_c);
        HRESULT hr = m_c->GetName(m_c, name.put());
        if (FAILED(hr)) return Fail(hr, L"GetName");
        VrBase::ToolPrint(L"component: %ls\n", name.get());
        for (DWORD i = 0;; ++i) {
            CComponentText set(m_c);
            hr = m_c->EnumStateNames(m_c, i, set.put());
            if (hr == HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS)) break;
            if (FAILED(hr)) return Fail(hr, L"EnumStateNames");
            VrBase::ToolPrint(L"state set: %ls\n", set.get());
        }
        VR_COMPONENT_INFORMATION information{};
        hr = m_c->GetInformation(m_c, &information);
        if (FAILED(hr)) return Fail(hr, L"GetInformation");
        VrBase::ToolPrint(L"switched: %ls\n", information.On ? L"on" : L"off");
        return 0;
    }

    int State(bool xml) {
        std::wstring document;
        HRESULT hr = ReadStateLinked(document);
        if (FAILED(hr)) return Fail(hr, L"GetState");
        if (xml) {
            std::wstring text = with_utf8_declaration(document);
            if (text.empty() || text.back() != L'\n') text += L'\n';
            VrBase::ToolWrite(VrBase::ToolStream::Out, text);
            return 0;
        }
        const AgentServiceStatus service = query_scan_service();
        auto value = [&](const wchar_t* xpath, const wchar_t* none) {
            std::wstring text = node_text(document, xpath);
            return text.empty() ? std::wstring(none) : text;
        };
        VrBase::ToolPrint(L"VrSoftwareState\n");
        if (service.state == SERVICE_RUNNING || service.state == SERVICE_START_PENDING)
            VrBase::ToolPrint(L"  service:       %ls (process %u)\n", service_state_words(service.state),
                              static_cast<unsigned>(service.processId));
        else
            VrBase::ToolPrint(L"  service:       %ls\n", service_state_words(service.state));
        VrBase::ToolPrint(L"  scan:          %ls\n",
                          scan_status_words(node_text(document, L"./Scan/Status"),
                                            node_text(document, L"./Scan/InProgress")).c_str());
        VrBase::ToolPrint(L"  started:       %ls\n", value(L"./Scan/LastScanStartTime", L"-").c_str());
        VrBase::ToolPrint(L"  finished:      %ls\n", value(L"./Scan/LastScanEndTime", L"-").c_str());
        VrBase::ToolPrint(L"  document:      %ls\n", value(L"./Scan/UniqueId", L"none").c_str());
        const std::wstring schedule = node_text(document, L"./Scan/ScheduleScan");
        VrBase::ToolPrint(L"  schedule:      %ls\n", schedule == L"true" ? L"on" : schedule == L"false" ? L"off" : L"-");
        // What the service control manager kept of the last stop.
        const DWORD last = service.exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? service.serviceCode : service.exitCode;
        if (service.state == SERVICE_STOPPED && last != 0)
            VrBase::ToolPrint(L"  last error:    %ls\n", VrBase::CodeInWords(last).c_str());
        else
            VrBase::ToolPrint(L"  last error:    none\n");
        return 0;
    }

    int Config(const std::wstring& source) {
        std::unique_ptr<CAgentStream> stream;
        AgentFailureContext context;
        if (source == L"-") {
            context.configuration = ReadStdin();
            stream = std::make_unique<CAgentStream>(VR_RDSTREAM_TEXT, context.configuration);
        } else {
            std::wstring full;
            if (DWORD error = VrBase::GuardCode(L"config", [&] { full = full_path(source); return 0; })) {
                context.path = source;
                return Fail(HRESULT_FROM_WIN32(error), L"config", context);
            }
            context.path = full;
            context.configuration = ReadUtf8File(full);
            stream = std::make_unique<CAgentStream>(VR_RDSTREAM_UTF8_FILE, full);
        }
        HRESULT hr = WhileLinking([&] { return m_c->SetConfiguration(m_c, L"full", L"1", stream.get()); });
        if (FAILED(hr)) return Fail(hr, L"SetConfiguration", context);
        VrBase::ToolPrint(L"configuration accepted\n");
        return 0;
    }

    int Scan(bool wait) {
        std::wstring before;
        if (wait && FAILED(ReadState(before))) before.clear();
        std::wstring report;
        int rc = Command(L"BuildSES", nullptr, report);
        if (rc != 0 || !wait) return rc;
        return WaitScan(node_text(before, L"./Scan/LastScanStartTime"));
    }

    int Export(const std::wstring& path, bool deleteInternal) {
        std::wstring full;
        AgentFailureContext context;
        context.path = path;
        if (DWORD error = VrBase::GuardCode(L"export", [&] { full = full_path(path); return 0; }))
            return Fail(HRESULT_FROM_WIN32(error), L"export", context);
        context.path = full;
        Xml::CDocument doc;
        Xml::CElement root = doc.Create(L"ExportParameters");
        std::wstring parameters;
        if (FAILED(append_node_with_value(root, L"Path", full)) ||
            FAILED(append_node_with_value(root, L"PostAction", deleteInternal ? L"DeleteInternalSES" : L"Keep")) ||
            FAILED(save_xml_to_wstring(doc, parameters)))
            return Fail(E_FAIL, L"export parameters");
        CAgentStream stream(VR_RDSTREAM_TEXT, parameters);
        std::wstring report;
        return Command(L"GetSES", &stream, report, context);
    }

    int Command(const wchar_t* name, IVRReadStream* parameters, std::wstring& report,
                const AgentFailureContext& context = AgentFailureContext()) {
        HRESULT reported = S_OK;
        HRESULT hr = WhileLinking([&] {
            CResultStream result;
            HRESULT call = m_c->InvokeCommand(m_c, name, parameters, L"vragent", result.put());
            report = result ? result.ReadAll() : std::wstring();
            reported = S_OK;
            if (node_text(report, L"./Status") == L"Error")
                reported = static_cast<HRESULT>(wcstoul(node_text(report, L"./ErrorCode").c_str(), nullptr, 16));
            return FAILED(call) ? call : reported;
        });
        if (!report.empty())
            VrBase::ToolPrint(L"%ls\n",
                              (report.compare(0, 5, L"<?xml") == 0 ? with_utf8_declaration(report) : report).c_str());
        if (FAILED(hr)) return Fail(hr, name, context);
        if (node_text(report, L"./Status") == L"Error") {
            VrBase::ToolPrintError(L"vragent: %ls failed: %ls %ls\n", name, node_text(report, L"./ErrorCode").c_str(),
                                   node_text(report, L"./ErrorDescription").c_str());
            return kExitFailed;
        }
        return 0;
    }

private:
    HRESULT ReadState(std::wstring& document) {
        CResultStream stream;
        HRESULT hr = m_c->GetState(m_c, L"status", stream.put());
        if (SUCCEEDED(hr) && stream) document = stream.ReadAll();
        return hr;
    }

    HRESULT ReadStateLinked(std::wstring& document) {
        return WhileLinking([&] { return ReadState(document); });
    }

    // Repeats a call while the scan service runs but has not linked to the
    // core yet, at most kLinkWaitMs, and says once that it waits.
    template <class Call>
    HRESULT WhileLinking(Call call) {
        const ULONGLONG begun = ::GetTickCount64();
        bool announced = false;
        for (;;) {
            const HRESULT hr = call();
            if (hr != kServiceNotLinked || ::GetTickCount64() - begun >= kLinkWaitMs ||
                query_scan_service().state != SERVICE_RUNNING)
                return hr;
            if (!announced) {
                VrBase::ToolPrintError(L"vragent: VrSoftwareState runs but has not linked to the core service VrCC "
                                       L"yet; waiting for it (at most %u s)\n",
                                       static_cast<unsigned>(kLinkWaitMs / 1000));
                announced = true;
            }
            ::Sleep(kLinkPollMs);
        }
    }

    // Until a scan that started after the request (or the one already
    // running) is no longer in progress.
    int WaitScan(const std::wstring& startBefore) {
        const bool terminal = VrBase::ToolStreamIsConsole(VrBase::ToolStream::Out);
        const ULONGLONG begun = ::GetTickCount64();
        bool seenRunning = false;
        std::wstring lastStatus;
        ULONGLONG lastLine = 0;
        for (;;) {
            std::wstring document;
            HRESULT hr = ReadStateLinked(document);
            if (FAILED(hr)) {
                if (terminal) VrBase::ToolPrint(L"\n");
                return Fail(hr, L"GetState");
            }
            const std::wstring status = node_text(document, L"./Scan/Status");
            const std::wstring start = node_text(document, L"./Scan/LastScanStartTime");
            const ULONGLONG seconds = (::GetTickCount64() - begun) / 1000;
            if (status == L"InProgress") seenRunning = true;
            // A log gets a line per change of state and one every ten seconds.
            if (terminal) {
                VrBase::ToolPrint(L"\r%02llu:%02llu  %-12ls", seconds / 60, seconds % 60, status.c_str());
            } else if (status != lastStatus || seconds >= lastLine + 10) {
                VrBase::ToolPrint(L"%02llu:%02llu  %ls\n", seconds / 60, seconds % 60, status.c_str());
                lastLine = seconds;
            }
            lastStatus = status;
            const bool started = seenRunning || (!start.empty() && start != startBefore);
            if (started && status != L"InProgress") {
                if (terminal) VrBase::ToolPrint(L"\n");
                VrBase::ToolPrint(L"scan started: %ls\nscan ended:   %ls\n", start.c_str(),
                                  node_text(document, L"./Scan/LastScanEndTime").c_str());
                if (status == L"Complete") return 0;
                VrBase::ToolPrintError(L"vragent: the scan ended without a document (status %ls)\n", status.c_str());
                return kExitFailed;
            }
            if (status == L"Stopped" || (!started && seconds >= 60)) {
                if (terminal) VrBase::ToolPrint(L"\n");
                VrBase::ToolPrintError(L"vragent: the scan did not run (status %ls)\n", status.c_str());
                return kExitFailed;
            }
            ::Sleep(1000);
        }
    }

    static std::wstring TextOfUtf8(std::string bytes) {
        if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
        return VrBase::WideOfUtf8(bytes);
    }

    static std::wstring ReadStdin() {
        _setmode(_fileno(stdin), _O_BINARY);
        std::string bytes;
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof(chunk), stdin)) > 0) bytes.append(chunk, n);
        return TextOfUtf8(std::move(bytes));
    }

    // The configuration as the proxy will read it, for the words of a
    // failure only; a file that cannot be read gives the empty text.
    static std::wstring ReadUtf8File(const std::wstring& path) {
        VrBase::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size{};
        if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxConfigurationBytes)
            return std::wstring();
        std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        if (!bytes.empty() && !::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr))
            return std::wstring();
        bytes.resize(got);
        return TextOfUtf8(std::move(bytes));
    }

    static int Fail(HRESULT hr, const wchar_t* what, const AgentFailureContext& context = AgentFailureContext()) {
        print_agent_failure(what, hr, context);
        return kExitFailed;
    }

    // The proxy reads at most this much of a configuration file.
    static constexpr LONGLONG kMaxConfigurationBytes = 64LL << 20;

    IVRESComponentProxy* m_c;
};

int usage() {
    VrBase::ToolPrintError(L"%ls", kHelp);
    return kExitUsage;
}

// The arguments each command takes, for the one-line usage error.
const wchar_t* expected_arguments(const std::wstring& command) {
    if (command == L"config") return L"config takes FILE, - or --check FILE";
    if (command == L"export") return L"export takes PATH and optionally --delete";
    if (command == L"scan") return L"scan takes only --wait";
    if (command == L"state") return L"state takes only --xml";
    return L"takes no arguments";
}

int run(std::vector<std::wstring> args) {
    std::wstring proxyPath = VrBase::ProgramFolder() + L"VrSSRProxy.dll";
    if (!args.empty() && args[0] == L"--proxy") {
        if (args.size() < 2) return VrBase::ToolUsageError(kTool, L"--proxy", L"the proxy's PATH is missing");
        proxyPath = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return usage();
    const std::wstring command = args[0];
    if (VrBase::IsHelpArgument(command)) return VrBase::ToolHelp(kHelp);
    // Needs neither the proxy nor the services.
    if (command == L"config" && args.size() == 3 && args[1] == L"--check") return check_config_file(args[2]);

    const bool known = (args.size() == 1 && (command == L"info" || command == L"state" || command == L"scan" ||
                                              command == L"activate" || command == L"deactivate")) ||
                       (args.size() == 2 && (command == L"config" || command == L"export" ||
                                              (command == L"scan" && args[1] == L"--wait") ||
                                              (command == L"state" && args[1] == L"--xml"))) ||
                       (args.size() == 3 && command == L"export" && args[2] == L"--delete");
    if (!known) {
        for (const wchar_t* name : {L"info", L"state", L"config", L"scan", L"export", L"activate", L"deactivate"}) {
            if (command != name) continue;
            std::wstring given;
            for (const std::wstring& a : args) given += (given.empty() ? L"" : L" ") + a;
            return VrBase::ToolUsageError(kTool, given, expected_arguments(command));
        }
        return VrBase::ToolUsageError(kTool, command, L"unknown command");
    }

    // By its full path, and its own dependencies from its folder, wherever
    // this program lies.
    proxyPath = VrBase::FullWindowsPath(proxyPath);
    VrBase::unique_hmodule proxy(
        ::LoadLibraryExW(proxyPath.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!proxy) {
        const DWORD error = ::GetLastError();
        VrBase::ToolPrintError(L"vragent: cannot load %ls: %ls; give the proxy's path with --proxy\n",
                 proxyPath.c_str(), VrBase::CodeInWords(error).c_str());
        return kExitFailed;
    }
    FARPROC found = ::GetProcAddress(proxy.get(), "CreateComponentProxy");
    auto create = reinterpret_cast<PFN_CreateComponentProxy>(reinterpret_cast<void*>(found));
    if (!create) {
        VrBase::ToolPrintError(L"vragent: %ls does not export CreateComponentProxy\n", proxyPath.c_str());
        return kExitFailed;
    }
    IVRESComponentProxy* component = create(kSsrComponentName);
    if (!component) {
        VrBase::ToolPrintError(L"vragent: the proxy gave no component \"%ls\"\n", kSsrComponentName);
        return kExitFailed;
    }
    // The component goes before its DLL.
    VrBase::scope_exit destroy([component] { component->Destroy(component); });

    CAgent agent(component);
    if (command == L"info" && args.size() == 1) return agent.Info();
    if (command == L"state" && args.size() == 1) return agent.State(false);
    if (command == L"state" && args.size() == 2) return agent.State(true);
    if (command == L"config" && args.size() == 2) return agent.Config(args[1]);
    if (command == L"scan" && args.size() == 1) return agent.Scan(false);
    if (command == L"scan" && args.size() == 2 && args[1] == L"--wait") return agent.Scan(true);
    if (command == L"export" && args.size() == 2) return agent.Export(args[1], false);
    if (command == L"export" && args.size() == 3 && args[2] == L"--delete") return agent.Export(args[1], true);
    std::wstring report;
    if (command == L"activate" && args.size() == 1) return agent.Command(L"Activate", nullptr, report);
    if (command == L"deactivate" && args.size() == 1) return agent.Command(L"Deactivate", nullptr, report);
    return usage();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    VrBase::RestrictDllSearch();
    Com::CInitializeThread com(COINIT_APARTMENTTHREADED);
    return run(std::vector<std::wstring>(argv + 1, argv + argc));
}
