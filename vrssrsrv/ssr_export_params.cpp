#include "ssr_export_params.h"

#include "exec/apartment_executor.h"
#include "vrbase/exception_guard.h"
#include "xml_common.h"

#include <cwchar>

HRESULT read_export_params(const std::wstring& parameters, bool& deleteAfter, std::wstring& path) {
    HRESULT result = S_OK;
    HRESULT ran = VrBase::GuardHResult(L"read_export_params", [&] {
        result = exec::run_in_sta([&]() -> HRESULT {
            Xml::CDocument doc;
            HRESULT hr = LoadXml4mWstring(doc, parameters);
            if (FAILED(hr)) return hr;
            Xml::CElement root;
            hr = lookup_node(doc, L".", root);
            if (FAILED(hr)) return hr;
            std::wstring target, action;
            hr = lookup_node_and_get_value(root, L"./Path", target);
            if (FAILED(hr)) return hr;
            hr = lookup_node_and_get_value(root, L"./PostAction", action);
            if (FAILED(hr)) return hr;
            path = target;
            deleteAfter = _wcsicmp(action.c_str(), L"DeleteInternalSES") == 0;
            return S_OK;
        });
    });
    return FAILED(ran) ? ran : result;
}
