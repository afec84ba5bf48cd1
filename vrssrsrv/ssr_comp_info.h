#pragma once
// The computer description of the software state document.
#include "net_helpers.h"

#include <string>

// One of the ten values by its element name; 87 for an unknown name.
std::wstring get_comp_info(const std::wstring& className);
// The adapter list as the document's text.
std::wstring format_network_address(const NetworkAdapters& adapters, const std::wstring& adapterLabel);
