#include "net_helpers.h"

#include "vrbase/vr_error.h"

#include <ws2tcpip.h>

namespace {

// Resolved from the system at run time: not every import library has them.
using Ipv4ToString = PWSTR(NTAPI*)(const IN_ADDR*, PWSTR);
using Ipv6ToString = PWSTR(NTAPI*)(const IN6_ADDR*, PWSTR);

template <class F>
F ntdll_function(const char* name) {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    F f = ntdll ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name))) : nullptr;
    if (!f) VR_RAISE(ERROR_PROC_NOT_FOUND, L"get_network_adapters");
    return f;
}

std::wstring widen(const char* text) {
    std::wstring out;
    for (const char* p = text; p && *p; ++p) out += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return out;
}

} // namespace

std::vector<BYTE> get_adapters_addresses() {
    std::vector<BYTE> buf(1024);
    for (;;) {
        ULONG size = static_cast<ULONG>(buf.size());
        ULONG rc = ::GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()),
                                          &size);
        if (rc == ERROR_SUCCESS) return buf;
        if (rc == ERROR_NO_DATA) return std::vector<BYTE>();
        if (rc != ERROR_BUFFER_OVERFLOW) VR_RAISE(rc, L"get_adapters_addresses");
        buf.assign(size > buf.size() ? size : buf.size() * 2, 0);
    }
}

NetworkAdapters network_adapters_from(const IP_ADAPTER_ADDRESSES* first) {
    static const Ipv4ToString ipv4 = ntdll_function<Ipv4ToString>("RtlIpv4AddressToStringW");
    static const Ipv6ToString ipv6 = ntdll_function<Ipv6ToString>("RtlIpv6AddressToStringW");
    NetworkAdapters adapters;
    for (const IP_ADAPTER_ADDRESSES* a = first; a; a = a->Next) {
        if (a->IfType != IF_TYPE_ETHERNET_CSMACD) continue;
        std::vector<AdapterAddress> addresses;
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
            const SOCKADDR* sa = u->Address.lpSockaddr;
            if (!sa) continue;
            wchar_t text[256] = {};
            if ((a->Flags & IP_ADAPTER_IPV4_ENABLED) && sa->sa_family == AF_INET) {
                ipv4(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text);
                if (text[0]) addresses.emplace_back(text, std::wstring());
            } else if ((a->Flags & IP_ADAPTER_IPV6_ENABLED) && sa->sa_family == AF_INET6) {
                ipv6(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text);
                if (text[0]) addresses.emplace_back(std::wstring(), text);
            }
        }
        if (!addresses.empty()) adapters[widen(a->AdapterName)] = std::move(addresses);
    }
    return adapters;
}

NetworkAdapters get_network_adapters() {
    std::vector<BYTE> raw = get_adapters_addresses();
    if (raw.empty()) return NetworkAdapters();
    return network_adapters_from(reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(raw.data()));
}
