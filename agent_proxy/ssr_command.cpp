#include "ssr_command.h"

#include "ssr_error_helper.h"
#include "ssr_msg_sender.h"
#include "svc_helper.h"
#include "user_acc_helper.h"
#include "xml_common.h"
#include "vrbase/exception_guard.h"
#include "exec/apartment_executor.h"
#include "vrbase/trace.h"
#include "vrbase/trust.h"
#include "vrbase/vr_error.h"

#include <cwchar>
#include <exception>
#include <map>

using namespace VrBase;

namespace {

std::wstring hex_code(HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%x", static_cast<unsigned>(hr));
    return text;
}

// A worker's failure as the report tells it: the code as an HRESULT and a
// description.
template <class F>
HRESULT run_worker(const wchar_t* name, std::wstring& description, F&& f) {
    description.clear();
    try {
        f();
        return S_OK;
    } catch (CVrError& e) {
        HandleCurrentException(name);
        description = e.GetDescription();
        return ResultToHResult(e.GetCode());
    } catch (const CAtlException& e) {
        HandleCurrentException(name);
        description = hex_code(e.hr());
        return e.hr();
    } catch (...) {
        HandleCurrentException(name);
        description = hex_code(E_FAIL);
        return E_FAIL;
    }
}

HRESULT invoke_activate_wrapper(std::wstring& description) {
    return run_worker(L"invoke_activate_wrapper", description, [] {
        set_startup_type(SERVICE_AUTO_START);
        start_service();
    });
}

HRESULT invoke_deactivate_wrapper(std::wstring& description) {
    return run_worker(L"invoke_deactivate_wrapper", description, [] {
        set_startup_type(SERVICE_DISABLED);
        stop_service();
    });
}

HRESULT invoke_start_scan_wrapper(std::wstring& description) {
    HRESULT result = S_OK;
    HRESULT hr = run_worker(L"invoke_start_scan_wrapper", description,
                            [&] { result = ResultToHResult(ssr_request_scan()); });
    return FAILED(hr) ? hr : result;
}

// The export's target path; empty when the parameters do not name one (the
// service answers those with its own code).
std::wstring export_target(const std::wstring& parameters) {
    return exec::run_in_sta([&] {
        Xml::CDocument doc;
        std::wstring path;
        if (SUCCEEDED(LoadXml4mWstring(doc, parameters))) lookup_node_and_get_value(doc.GetRoot(), L"./Path", path);
        return path;
    });
}

// The service refuses the same; asked here as well so that the report names
// the link for the administrator.
void refuse_users_link(const std::wstring& target) {
    const wchar_t* const fn = L"invoke_export_last_software_state_wrapper";
    if (target.empty()) return;
    const std::wstring link = Trust::UntrustedLinkOnPath(target);
    if (link.empty()) return;
    VR_TRACE(TL_ERROR, fn, L"Export to <%ls> refused: <%ls> is a link not made by an administrator", target.c_str(),
             link.c_str());
    CVrError e = CVrError::WithItem(ERROR_ACCESS_DENIED, VR_SOURCE_FILE, __LINE__, fn, L"Path", link.c_str());
    e.SetField(L"Description", L"Access denied: " + link +
                                   L" is a link that no administrator made; the export does not write through it.");
    throw e;
}

HRESULT invoke_export_last_software_state_wrapper(const std::wstring& parameters, std::wstring& description,
                                                  std::wstring& uniqueId) {
    return run_worker(L"invoke_export_last_software_state_wrapper", description, [&] {
        refuse_users_link(export_target(parameters));
        uniqueId = ssr_request_export(parameters);
    });
}

HRESULT invoke_activate(const std::wstring&, std::wstring& report) {
    std::wstring description;
    HRESULT hr = invoke_activate_wrapper(description);
    HRESULT built = create_base_report(L"Activate", hr, description, report);
    return FAILED(built) ? built : hr;
}

HRESULT invoke_deactivate(const std::wstring&, std::wstring& report) {
    std::wstring description;
    HRESULT hr = invoke_deactivate_wrapper(description);
    HRESULT built = create_base_report(L"Deactivate", hr, description, report);
    return FAILED(built) ? built : hr;
}

HRESULT invoke_start_scan(const std::wstring&, std::wstring& report) {
    std::wstring description;
    HRESULT hr = invoke_start_scan_wrapper(description);
    HRESULT built = create_base_report(L"BuildSES", hr, description, report);
    return FAILED(built) ? built : hr;
}

HRESULT invoke_export_last_software_state(const std::wstring& parameters, std::wstring& report) {
    const wchar_t* const fn = L"invoke_export_last_software_state";
    bool admin = false;
    HRESULT checked = GuardHResult(fn, [&] { admin = IsUserLocalAdmin(); });
    if (FAILED(checked)) return checked;
    if (!admin) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    std::wstring description, uniqueId;
    HRESULT hr = invoke_export_last_software_state_wrapper(parameters, description, uniqueId);
    HRESULT built = create_export_report(hr, description, FAILED(hr) ? std::wstring() : uniqueId, report);
    return FAILED(built) ? built : hr;
}

using CommandHandler = HRESULT (*)(const std::wstring& parameters, std::wstring& report);

// Built once; a function-local static is safe when two first calls meet.
const std::map<std::wstring, CommandHandler>& commands() {
    static const std::map<std::wstring, CommandHandler> table = {
        {L"Activate", &invoke_activate},
        {L"Deactivate", &invoke_deactivate},
        {L"BuildSES", &invoke_start_scan},
        {L"GetSES", &invoke_export_last_software_state},
    };
    return table;
}

} // namespace

HRESULT create_base_report(const std::wstring& rootName, HRESULT hr, const std::wstring& description,
                           std::wstring& report) {
    return GuardHResultOf(L"create_base_report", [&]() -> HRESULT {
        Xml::CDocument document;
        Xml::CElement root = document.Create(rootName + L".OutParam");
        HRESULT step = append_node_with_value(root, L"Status", FAILED(hr) ? L"Error" : L"OK");
        if (SUCCEEDED(step)) step = append_node_with_value(root, L"ErrorCode", hex_code(hr));
        // The text is a courtesy: a command that was done is reported even
        // when no text can be had (no product locale, no message library).
        std::wstring text = description;
        if (text.empty())
            VrBase::GuardVoid(L"create_base_report", [&] { text = get_error_str(static_cast<DWORD>(hr)); });
        if (SUCCEEDED(step)) step = append_node_with_value(root, L"ErrorDescription", text);
        if (SUCCEEDED(step)) step = save_xml_to_wstring(document, report);
        if (FAILED(step)) report.clear();
        return step;
    });
}

HRESULT create_export_report(HRESULT hr, const std::wstring& description, const std::wstring& uniqueId,
                             std::wstring& report) {
    return GuardHResultOf(L"create_export_report", [&]() -> HRESULT {
        std::wstring base;
        HRESULT step = create_base_report(L"GetSES", hr, description, base);
        Xml::CDocument document;
        if (SUCCEEDED(step)) step = LoadXml4mWstring(document, base);
        if (SUCCEEDED(step)) step = append_node_with_value(document.GetRoot(), L"UniqueId", uniqueId);
        if (SUCCEEDED(step)) step = save_xml_to_wstring(document, report);
        if (FAILED(step)) report.clear();
        return step;
    });
}

HRESULT invoke_cmd(const std::wstring& name, const std::wstring& parameters, std::wstring& report) {
    const wchar_t* const fn = L"invoke_cmd";
    CTraceFuncInOut inOut(fn);
    report.clear();
    return GuardHResultOf(fn, [&]() -> HRESULT {
        auto it = commands().find(name);
        if (it == commands().end()) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
        const HRESULT hr = it->second(parameters, report);
        if (report.empty()) return hr;
        return FAILED(hr) ? S_FALSE : S_OK;
    });
}
