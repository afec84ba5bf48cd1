#pragma once
// The component object: its virtual table first, then the interface the
// agent holds, whose entries forward to the virtual methods.
#include "component_proxy.h"

#include <set>
#include <string>

class CBaseAgentProxy : public IVRESComponentProxy {
public:
    CBaseAgentProxy(const std::wstring& name, std::set<std::wstring> configurationNames,
                    std::set<std::wstring> stateNames);
    virtual ~CBaseAgentProxy();
    CBaseAgentProxy(const CBaseAgentProxy&) = delete;
    CBaseAgentProxy& operator=(const CBaseAgentProxy&) = delete;

    IVRESComponentProxy* iface() { return this; }

    virtual HRESULT Reserved1();
    virtual HRESULT Reserved2();
    virtual HRESULT Reserved3();
    virtual HRESULT Reserved4();
    virtual HRESULT FreeMemory(void* buffer);
    virtual HRESULT NotFound();
    virtual HRESULT GetName(wchar_t** ppName);
    virtual HRESULT GetState(const wchar_t* pSetName, IVRReadStream** ppSetData) = 0;
    virtual HRESULT EnumStateNames(DWORD index, wchar_t** ppName);
    virtual HRESULT GetInformation(VR_COMPONENT_INFORMATION* pInformation) = 0;
    virtual HRESULT Unsupported1();
    virtual HRESULT EnumConfigurationNames(DWORD index, wchar_t** ppName);
    virtual HRESULT SetConfiguration(const wchar_t* pSetName, const wchar_t* pVersion, IVRReadStream* pSetData) = 0;
    virtual HRESULT Unsupported2();
    virtual HRESULT InvokeCommand(const wchar_t* pCommandName, IVRReadStream* pCommandParams,
                                  const wchar_t* pCompletionKey, IVRReadStream** ppResult) = 0;
    virtual HRESULT Unsupported3();
    virtual HRESULT Destroy();

protected:
    bool has_state_name(const std::wstring& name) const { return m_stateNames.count(name) != 0; }

private:
    // A new copy of the index-th name, for FreeMemory to release.
    static HRESULT enum_name(const std::set<std::wstring>& names, DWORD index, wchar_t** ppName, const wchar_t* fn);

    const std::wstring m_name;
    const std::set<std::wstring> m_configurationNames;
    const std::set<std::wstring> m_stateNames;
};

// A text the agent releases with FreeMemory.
wchar_t* new_agent_text(const std::wstring& text);
