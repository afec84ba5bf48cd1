#pragma once
// The software passport component "ROZEDURI".
#include "base_proxy.h"

class CSSRProxy : public CBaseAgentProxy {
public:
    CSSRProxy();

    HRESULT GetState(const wchar_t* pSetName, IVRReadStream** ppSetData) override;
    HRESULT GetInformation(VR_COMPONENT_INFORMATION* pInformation) override;
    HRESULT SetConfiguration(const wchar_t* pSetName, const wchar_t* pVersion, IVRReadStream* pSetData) override;
    HRESULT InvokeCommand(const wchar_t* pCommandName, IVRReadStream* pCommandParams, const wchar_t* pCompletionKey,
                          IVRReadStream** ppResult) override;
};
