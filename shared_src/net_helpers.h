#pragma once
// The computer's network adapters and their addresses.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

// (IPv4 text, IPv6 text): one of the two is set.
using AdapterAddress = std::pair<std::wstring, std::wstring>;
using NetworkAdapters = std::map<std::wstring, std::vector<AdapterAddress>>;

// Raw adapter data of both address families.
std::vector<BYTE> get_adapters_addresses();
// Ethernet adapters that have at least one address, by adapter name.
NetworkAdapters get_network_adapters();
NetworkAdapters network_adapters_from(const IP_ADAPTER_ADDRESSES* first);
