#include "base_proxy.h"

#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <cstring>

using namespace VrBase;

namespace {

CBaseAgentProxy* self_of(IVRESComponentProxy* iface) { return static_cast<CBaseAgentProxy*>(iface); }

// Entries: a null interface is refused before the object is touched.
#define VR_PROXY_ENTRY(method, ...)                                   \
    if (!self) return E_POINTER;                                      \
    return self_of(self)->method(__VA_ARGS__)

HRESULT __stdcall EntryReserved1(IVRESComponentProxy* self) { VR_PROXY_ENTRY(Reserved1); }
HRESULT __stdcall EntryReserved2(IVRESComponentProxy* self) { VR_PROXY_ENTRY(Reserved2); }
HRESULT __stdcall EntryReserved3(IVRESComponentProxy* self) { VR_PROXY_ENTRY(Reserved3); }
HRESULT __stdcall EntryReserved4(IVRESComponentProxy* self) { VR_PROXY_ENTRY(Reserved4); }
HRESULT __stdcall EntryFreeMemory(IVRESComponentProxy* self, void* buffer) { VR_PROXY_ENTRY(FreeMemory, buffer); }
HRESULT __stdcall EntryGetName(IVRESComponentProxy* self, wchar_t** ppName) { VR_PROXY_ENTRY(GetName, ppName); }
HRESULT __stdcall EntryGetState(IVRESComponentProxy* self, const wchar_t* pSetName, IVRReadStream** ppSetData) {
    VR_PROXY_ENTRY(GetState, pSetName, ppSetData);
}
HRESULT __stdcall EntryEnumStateNames(IVRESComponentProxy* self, DWORD index, wchar_t** ppName) {
    VR_PROXY_ENTRY(EnumStateNames, index, ppName);
}
HRESULT __stdcall EntryGetInformation(IVRESComponentProxy* self, VR_COMPONENT_INFORMATION* pInformation) {
    VR_PROXY_ENTRY(GetInformation, pInformation);
}
HRESULT __stdcall EntryUnsupported1(IVRESComponentProxy* self) { VR_PROXY_ENTRY(Unsupported1); }
HRESULT __stdcall EntryEnumConfigurationNames(IVRESComponentProxy* self, DWORD index, wchar_t** ppName) {
    VR_PROXY_ENTRY(EnumConfigurationNames, index, ppName);
}
HRESULT __stdcall EntrySetConfiguration(IVRESComponentProxy* self, const wchar_t* pSetName, const wchar_t* pVersion,
                                        IVRReadStream* pSetData) {
    VR_PROXY_ENTRY(SetConfiguration, pSetName, pVersion, pSetData);
}
HRESULT __stdcall EntryUnsupported2(IVRESComponentProxy* self) { VR_PROXY_ENTRY(Unsupported2); }
HRESULT __stdcall EntryInvokeCommand(IVRESComponentProxy* self, const wchar_t* pCommandName,
                                     IVRReadStream* pCommandParams, const wchar_t* pCompletionKey,
                                     IVRReadStream** ppResult) {
    VR_PROXY_ENTRY(InvokeCommand, pCommandName, pCommandParams, pCompletionKey, ppResult);
}
HRESULT __stdcall EntryNotFound(IVRESComponentProxy* self) { VR_PROXY_ENTRY(NotFound); }
HRESULT __stdcall EntryUnsupported3(IVRESComponentProxy* self) { VR_PROXY_ENTRY(Unsupported3); }
HRESULT __stdcall EntryDestroy(IVRESComponentProxy* self) { VR_PROXY_ENTRY(Destroy); }

#undef VR_PROXY_ENTRY

} // namespace

wchar_t* new_agent_text(const std::wstring& text) {
    wchar_t* copy = new wchar_t[text.size() + 1];
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return copy;
}

CBaseAgentProxy::CBaseAgentProxy(const std::wstring& name, std::set<std::wstring> configurationNames,
                                 std::set<std::wstring> stateNames)
    : IVRESComponentProxy{&EntryReserved1, &EntryReserved2, &EntryReserved3, &EntryReserved4,
                          &EntryFreeMemory, &EntryGetName, &EntryGetState, &EntryEnumStateNames,
                          &EntryGetInformation, &EntryUnsupported1, &EntryEnumConfigurationNames,
                          &EntrySetConfiguration, &EntryUnsupported2, &EntryInvokeCommand,
                          &EntryNotFound, &EntryUnsupported3, &EntryDestroy},
      m_name(name), m_configurationNames(std::move(configurationNames)), m_stateNames(std::move(stateNames)) {
    VR_TRACE(TL_INFO, L"CBaseAgentProxy::CBaseAgentProxy", L" Initializing <%ls> component.", m_name.c_str());
}

CBaseAgentProxy::~CBaseAgentProxy() {
    VR_TRACE(TL_INFO, L"CBaseAgentProxy::~CBaseAgentProxy", L" Unload <%ls> component.", m_name.c_str());
}

HRESULT CBaseAgentProxy::Reserved1() { return S_OK; }
HRESULT CBaseAgentProxy::Reserved2() { return S_OK; }
HRESULT CBaseAgentProxy::Reserved3() { return S_OK; }
HRESULT CBaseAgentProxy::Reserved4() { return S_OK; }
HRESULT CBaseAgentProxy::NotFound() { return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND); }
HRESULT CBaseAgentProxy::Unsupported1() { return E_NOTIMPL; }
HRESULT CBaseAgentProxy::Unsupported2() { return E_NOTIMPL; }
HRESULT CBaseAgentProxy::Unsupported3() { return E_NOTIMPL; }

HRESULT CBaseAgentProxy::FreeMemory(void* buffer) {
    const wchar_t* const fn = L"CBaseAgentProxy::FreeMemory";
    CTraceFuncInOut inOut(fn);
    if (!buffer) return E_POINTER;
    delete[] static_cast<wchar_t*>(buffer);
    return S_OK;
}

HRESULT CBaseAgentProxy::GetName(wchar_t** ppName) {
    const wchar_t* const fn = L"CBaseAgentProxy::GetName";
    CTraceFuncInOut inOut(fn);
    return GuardHResultOf(fn, [&]() -> HRESULT {
        if (!ppName) VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, L"ppName", L"NULL");
        *ppName = new_agent_text(m_name);
        return S_OK;
    });
}

HRESULT CBaseAgentProxy::enum_name(const std::set<std::wstring>& names, DWORD index, wchar_t** ppName,
                                   const wchar_t* fn) {
    return GuardHResultOf(fn, [&]() -> HRESULT {
        if (index >= names.size()) VR_RAISE(ERROR_NO_MORE_ITEMS, fn);
        if (!ppName) VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, L"ppName", L"NULL");
        auto it = names.begin();
        std::advance(it, index);
        *ppName = new_agent_text(*it);
        return S_OK;
    });
}

HRESULT CBaseAgentProxy::EnumStateNames(DWORD index, wchar_t** ppName) {
    const wchar_t* const fn = L"CBaseAgentProxy::EnumStateNames";
    CTraceFuncInOut inOut(fn);
    return enum_name(m_stateNames, index, ppName, fn);
}

HRESULT CBaseAgentProxy::EnumConfigurationNames(DWORD index, wchar_t** ppName) {
    const wchar_t* const fn = L"CBaseAgentProxy::EnumConfigurationNames";
    CTraceFuncInOut inOut(fn);
    HRESULT hr = enum_name(m_configurationNames, index, ppName, fn);
    if (SUCCEEDED(hr)) VR_TRACE(TL_INFO, fn, L"<<");
    return hr;
}

HRESULT CBaseAgentProxy::Destroy() {
    // Outlives the object: it names the method, never the object.
    CTraceFuncInOut inOut(L"CBaseAgentProxy::Destroy");
    delete this;
    return S_OK;
}
