#pragma once
// The management side of the four messages: each request opens its own
// client session, finds the scan service, sends, checks the reply.
#include <windows.h>
#include <string>

// Raise the failure; the scan request answers the service's status.
void ssr_send_full_config(const std::wstring& configuration);
std::wstring ssr_request_state();
DWORD ssr_request_scan();
std::wstring ssr_request_export(const std::wstring& parameters);
