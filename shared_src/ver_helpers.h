#pragma once
// The operating system's description, as the document's computer block
// carries it.
#include <functional>
#include <string>

// Tries WMI, then the registry, then the version numbers; the first
// non-empty text wins. Never raises; may be empty.
std::wstring get_os_ver_formated();

// The three ways, each answering an empty text on failure.
std::wstring get_os_ver_formated_wmi();
std::wstring get_os_ver_formated_registry();
std::wstring get_os_ver_formated_api();

// The fallback order itself, over any three ways.
std::wstring first_os_description(const std::function<std::wstring()>& wmi,
                                  const std::function<std::wstring()>& registry,
                                  const std::function<std::wstring()>& api);

// The "ProductVersion" of the system's kernel32.dll; empty on failure.
std::wstring get_win_build_4m_kernel32();
// Name of a version code (7 "Vista" ... 15 "10"); empty when it has none.
std::wstring windows_name_for_code(int code);
// The version code of major, minor, product type and the R2 metric.
int windows_version_code(unsigned major, unsigned minor, bool workstation, bool serverR2);
