#include "agent_errors.h"

#include "Com/com_ptr.h"
#include "xml_common.h"
#include "vrbase/error_description.h"
#include "vrbase/scope.h"
#include "vrbase/tool_cli.h"

#include <objidl.h>
#include <shlwapi.h>
#include <winsvc.h>
#include <xmllite.h>

#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kXmlParseFailed = 0xE6240001;
const wchar_t kScanService[] = L"VrSoftwareState";

DWORD win32_of(HRESULT hr) {
    const DWORD code = static_cast<DWORD>(hr);
    return HRESULT_FACILITY(hr) == FACILITY_WIN32 && (code & 0x80000000) ? HRESULT_CODE(hr) : code;
}

// Where the streaming parser stops reading the text; false when it reads
// it whole or cannot tell.
bool streaming_stop(const std::wstring& text, UINT& line, UINT& position) {
    const std::string bytes = VrBase::Utf8Of(text);
    Com::ComPtr<IStream> stream(
        ::SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size())));
    Com::ComPtr<IXmlReader> reader;
    if (!stream || FAILED(::CreateXmlReader(IID_IXmlReader, reader.put_void(), nullptr)) ||
        FAILED(reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit)) ||
        FAILED(reader->SetInput(stream.get())))
        return false;
    XmlNodeType type = XmlNodeType_None;
    HRESULT hr = S_OK;
    while ((hr = reader->Read(&type)) == S_OK) {
    }
    if (SUCCEEDED(hr)) return false;
    line = position = 0;
    return SUCCEEDED(reader->GetLineNumber(&line)) && SUCCEEDED(reader->GetLinePosition(&position)) && line > 0;
}

// The parser's own account of a configuration that does not parse: the
// service answers only the code, so the text is parsed here once more.
// Where the DOM parser gives no line (Wine's), the streaming parser says
// where it stopped.
std::wstring parse_failure_words(const std::wstring& text) {
    Xml::CDocument document;
    document.Create();
    VARIANT_BOOL ok = VARIANT_FALSE;
    document.get()->loadXML(Com::CBstr(text).get(), &ok);
    if (ok == VARIANT_TRUE) return std::wstring();
    Com::ComPtr<IXMLDOMParseError> error;
    if (FAILED(document.get()->get_parseError(error.put())) || !error) return std::wstring();
    long code = 0, line = 0, position = 0;
    error->get_errorCode(&code);
    error->get_line(&line);
    error->get_linepos(&position);
    Com::CBstr reason;
    error->get_reason(reason.put());
    std::wstring why = reason.get() ? reason.str() : std::wstring();
    while (!why.empty() && (why.back() == L'\n' || why.back() == L'\r' || why.back() == L' ')) why.pop_back();
    UINT streamLine = 0, streamPosition = 0;
    if (line <= 0 && streaming_stop(text, streamLine, streamPosition)) {
        line = static_cast<long>(streamLine);
        position = static_cast<long>(streamPosition);
    }
    const std::vector<std::wstring> inserts{VrBase::FormatText(L"0x%08X", static_cast<unsigned>(code)),
                                            VrBase::FormatText(L"%ld", line), VrBase::FormatText(L"%ld", position),
                                            why.empty() ? std::wstring(L"not well-formed") : why};
    std::wstring words = VrBase::DescribeCode(kXmlParseFailed, &inserts);
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
