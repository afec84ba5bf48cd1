#pragma once
// Configuration sets the agent may push: "full" and the empty name.
#include <windows.h>
#include <string>

HRESULT set_ssr_cfg(const std::wstring& setName, const std::wstring& configuration);
void set_full_cfg(const std::wstring& configuration);
