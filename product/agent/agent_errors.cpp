#include "agent_errors.h"

#include "Com/com_ptr.h"
#include "xml_common.h"
#include "vrbase/scope.h"
#include "vrbase/tool_cli.h"
#include "vrbase/vr_error.h"

#include <winsvc.h>

namespace {

constexpr DWORD kXmlParseFailed = 0xE6240001;
const wchar_t kScanService[] = L"VrSoftwareState";

DWORD win32_of(HRESULT hr) {
    const DWORD code = static_cast<DWORD>(hr);
    return HRESULT_FACILITY(hr) == FACILITY_WIN32 && (code & 0x80000000) ? HRESULT_CODE(hr) : code;
}

// The parser's own account of a configuration that does not parse: the
// service answers only the code, so the text is parsed here once more.
std::wstring parse_failure_words(const std::wstring& text) {
    std::wstring words;
    try {
        Xml::CDocument document;
        document.Create();
        VARIANT_BOOL ok = VARIANT_FALSE;
        document.get()->loadXML(Com::CBstr(text).get(), &ok);
        if (ok != VARIANT_TRUE) ThrowXmlParsingError(document);
    } catch (const VrBase::CVrError& e) {
        if (e.GetCode() == kXmlParseFailed) words = e.GetDescription();
    }
    while (!words.empty() && (words.back() == L'.' || words.back() == L' ')) words.pop_back();
    return words;
}

} // namespace

AgentServiceStatus query_scan_service() {
    AgentServiceStatus result;
    VrBase::unique_schandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return result;
    VrBase::unique_schandle service(::OpenServiceW(scm.get(), kScanService, SERVICE_QUERY_STATUS));
    if (!service) return result;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed))
        return result;
    result.state = status.dwCurrentState;
    result.exitCode = status.dwWin32ExitCode;
    result.serviceCode = status.dwServiceSpecificExitCode;
    result.processId = status.dwProcessId;
    return result;
}

std::wstring agent_failure_words(HRESULT hr, const AgentFailureContext& context) {
    const DWORD code = win32_of(hr);
    switch (code) {
    case RPC_S_SERVER_UNAVAILABLE:
    case RPC_S_CALL_FAILED:
        return L"the core service VrCC is not running (sc start VrCC starts it)";
    case ERROR_SERVICE_NOT_ACTIVE:
        if (query_scan_service().state == SERVICE_RUNNING)
            return L"the service VrSoftwareState is starting: it runs but has not opened its session on the core "
                   L"service VrCC yet (its trace says why)";
        return L"the service VrSoftwareState is not running (vragent activate starts it)";
    case ERROR_NOT_READY:
        return L"no software state document yet: run a scan (vragent scan --wait)";
    case kXmlParseFailed: {
        std::wstring words = parse_failure_words(context.configuration);
        if (!words.empty()) return (context.path.empty() ? L"" : context.path + L": ") + words;
        break;
    }
    default:
        break;
    }
    std::wstring words = VrBase::CodeWords(code);
    if (!context.path.empty()) words = context.path + L": " + words;
    return words;
}

void print_agent_failure(const wchar_t* what, HRESULT hr, const AgentFailureContext& context) {
    VrBase::ToolPrintError(L"vragent: %ls failed: %ls (0x%08X)\n", what, agent_failure_words(hr, context).c_str(),
                           static_cast<unsigned>(hr));
}
