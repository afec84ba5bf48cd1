#pragma once
// vragent config --check FILE: the document checked here by the scan
// service's own acceptance code, the first fault named with its place.
#include <string>

// 0 when the service would take the document, 1 when it would refuse it
// or the file cannot be read.
int check_config_file(const std::wstring& path);
