#pragma once
// The service's side of the four messages: validation and dispatch.
#include "ssr_messages.h"
#include "vrsrvapi.h"

#include <windows.h>
#include <string>
#include <vector>

// What the handlers ask of the service; each answers the status it writes.
struct ISsrOperations {
    virtual ~ISsrOperations() = default;
    virtual DWORD setup_new_full_config(const std::wstring& configuration) = 0;
    virtual DWORD query_ssr_state(std::wstring& document) = 0;
    virtual DWORD start_software_scan(const std::vector<BYTE>& userSid) = 0;
    virtual DWORD export_software_state(const std::wstring& parameters, const std::wstring& userSid,
                                        std::wstring& uniqueId) = 0;
};

// The service's operations, connected once they exist; until then the
// handlers answer 21 (not ready).
void set_ssr_operations(ISsrOperations* operations);

DWORD WINAPI SendRoutine(void* context, VRM_MESSAGE* message, DWORD* replySize, void* replyBuffer);
DWORD WINAPI PostRoutine(void* context, VRM_MESSAGE* message);

void check_VRM_SSR_SET_FULL_CONFIG_msg(const VRM_MESSAGE* message, DWORD* replySize, void* replyBuffer);
void check_VRM_SSR_GET_STATE_msg(const VRM_MESSAGE* message, DWORD* replySize, void* replyBuffer);
void check_VRM_SSR_START_SCAN_msg(const VRM_MESSAGE* message, DWORD* replySize, void* replyBuffer);
void check_VRM_SSR_EXPORT_SOFTWARE_STATE_msg(const VRM_MESSAGE* message, DWORD* replySize, void* replyBuffer);
void handler_VRM_SSR_SET_FULL_CONFIG(const VRM_MESSAGE* message, DWORD* replySize, void* replyBuffer);
void handler_VRM_SSR_GET_STATE(const VRM_MESSAGE* message, DWORD* replySize, void* replyBuffer);
void handler_VRM_SSR_START_SCAN(const VRM_MESSAGE* message, DWORD* replySize, void* replyBuffer);
void handler_VRM_SSR_EXPORT_SOFTWARE_STATE(const VRM_MESSAGE* message, DWORD* replySize, void* replyBuffer);
