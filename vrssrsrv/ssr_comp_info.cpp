#include "ssr_comp_info.h"

#include "lang_helper.h"
#include "ssr_communication.h"
#include "sid_helpers.h"
#include "ver_helpers.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <cwchar>

namespace {

std::wstring network_name() {
    if (query_host_name(ComputerNameDnsDomain).empty()) return query_host_name(ComputerNameNetBIOS);
    return query_host_name(ComputerNameDnsFullyQualified);
}

} // namespace

std::wstring format_network_address(const NetworkAdapters& adapters, const std::wstring& adapterLabel) {
    std::wstring text;
    int number = 0;
    for (const auto& adapter : adapters) {
        ++number;
        if (adapters.size() > 1) text += adapterLabel + std::to_wstring(number) + L": ";
        bool v4 = false, v6 = false;
        for (const AdapterAddress& a : adapter.second) {
            v4 |= !a.first.empty();
            v6 |= !a.second.empty();
        }
        const bool both = v4 && v6;
        if (both) text += L"IPv4: ";
        for (const AdapterAddress& a : adapter.second)
            if (!a.first.empty()) text += a.first + L"; ";
        if (both) text += L"IPv6: ";
        for (const AdapterAddress& a : adapter.second)
            if (!a.second.empty()) text += a.second + L"; ";
    }
    if (!text.empty() && text.back() == L' ') text.pop_back();
    return text;
}

std::wstring get_comp_info(const std::wstring& className) {
    if (_wcsicmp(className.c_str(), L"OperatingSystem") == 0) return get_os_ver_formated();
    if (_wcsicmp(className.c_str(), L"NetworkName") == 0) return network_name();
    if (_wcsicmp(className.c_str(), L"NetworkAddress") == 0)
        return format_network_address(get_network_adapters(), load_product_string(200));
    return CSSRCommunication::instance().get_comp_info_4m_db(className);
}
