#pragma once
// The four commands of the agent and their XML reports.
#include <windows.h>
#include <string>

// An unknown command fails with 87. A command that produced a report
// answers S_FALSE when it failed (the report says why), else S_OK; one
// without a report answers its own result. An empty report means none.
HRESULT invoke_cmd(const std::wstring& name, const std::wstring& parameters, std::wstring& report);

HRESULT create_base_report(const std::wstring& rootName, HRESULT hr, const std::wstring& description,
                           std::wstring& report);
HRESULT create_export_report(HRESULT hr, const std::wstring& description, const std::wstring& uniqueId,
                             std::wstring& report);
