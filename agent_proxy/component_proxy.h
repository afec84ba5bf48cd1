#pragma once
// The component interface the management agent drives: seventeen entries,
// each taking the interface first and answering an HRESULT. Entry order is
// the agent's and must not change.
#include "ap_rd_stream.h"

#include <windows.h>

struct IVRESComponentProxy;

// GetInformation's record: 1 when the component is switched on.
struct VR_COMPONENT_INFORMATION {
    DWORD On;
    BYTE Reserved[12];
};
static_assert(sizeof(VR_COMPONENT_INFORMATION) == 16, "the agent's information record");

using PFN_VrProxyNoArgs = HRESULT(__stdcall*)(IVRESComponentProxy* self);

struct IVRESComponentProxy {
    PFN_VrProxyNoArgs Reserved1;
    PFN_VrProxyNoArgs Reserved2;
    PFN_VrProxyNoArgs Reserved3;
    PFN_VrProxyNoArgs Reserved4;
    HRESULT(__stdcall* FreeMemory)(IVRESComponentProxy* self, void* buffer);
    HRESULT(__stdcall* GetName)(IVRESComponentProxy* self, wchar_t** ppName);
    HRESULT(__stdcall* GetState)(IVRESComponentProxy* self, const wchar_t* pSetName, IVRReadStream** ppSetData);
    HRESULT(__stdcall* EnumStateNames)(IVRESComponentProxy* self, DWORD index, wchar_t** ppName);
    HRESULT(__stdcall* GetInformation)(IVRESComponentProxy* self, VR_COMPONENT_INFORMATION* pInformation);
    PFN_VrProxyNoArgs Unsupported1;
    HRESULT(__stdcall* EnumConfigurationNames)(IVRESComponentProxy* self, DWORD index, wchar_t** ppName);
    HRESULT(__stdcall* SetConfiguration)(IVRESComponentProxy* self, const wchar_t* pSetName, const wchar_t* pVersion,
                                         IVRReadStream* pSetData);
    PFN_VrProxyNoArgs Unsupported2;
    HRESULT(__stdcall* InvokeCommand)(IVRESComponentProxy* self, const wchar_t* pCommandName,
                                      IVRReadStream* pCommandParams, const wchar_t* pCompletionKey,
                                      IVRReadStream** ppResult);
    PFN_VrProxyNoArgs NotFound;
    PFN_VrProxyNoArgs Unsupported3;
    PFN_VrProxyNoArgs Destroy;
};
static_assert(sizeof(IVRESComponentProxy) == 17 * sizeof(void*), "seventeen entries");

// The one export of VrSSRProxy.dll.
extern "C" IVRESComponentProxy* __stdcall CreateComponentProxy(const wchar_t* componentName);
using PFN_CreateComponentProxy = IVRESComponentProxy*(__stdcall*)(const wchar_t* componentName);

constexpr const wchar_t* kSsrComponentName = L"ROZEDURI";
