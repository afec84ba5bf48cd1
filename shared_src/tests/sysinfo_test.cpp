#include "net_helpers.h"
#include "sid_helpers.h"
#include "ver_helpers.h"

#include "support/test_support.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string Narrow(const std::wstring& w) {
    int n = ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, nullptr, nullptr);
    return s;
}

// What the machine running the tests says about itself.
TEST(SystemInfo, PrintsThisMachine) {
    std::wstring os = get_os_ver_formated();
    EXPECT_FALSE(os.empty());
    std::wstring host = query_host_name(ComputerNameDnsHostname);
    EXPECT_FALSE(host.empty());
    std::wstring sid = query_host_sid();
    EXPECT_EQ(sid.rfind(L"S-1-5-21-", 0), 0u) << Narrow(sid);
    NetworkAdapters adapters = get_network_adapters();
    std::printf("operating system: %s\nhost name: %s\nhost SID: %s\n", Narrow(os).c_str(), Narrow(host).c_str(),
                Narrow(sid).c_str());
    for (const auto& adapter : adapters)
        for (const auto& address : adapter.second)
            std::printf("network address: %s %s%s\n", Narrow(adapter.first).c_str(), Narrow(address.first).c_str(),
                        Narrow(address.second).c_str());
}

TEST(SystemInfo, OsDescriptionFallsBackInOrder) {
    auto none = [] { return std::wstring(); };
    auto text = [](const wchar_t* t) { return [t] { return std::wstring(t); }; };
    EXPECT_EQ(first_os_description(text(L"wmi"), text(L"reg"), text(L"api")), L"wmi");
    EXPECT_EQ(first_os_description(none, text(L"reg"), text(L"api")), L"reg");
    EXPECT_EQ(first_os_description(none, none, text(L"api")), L"api");
    EXPECT_EQ(first_os_description(none, none, none), L"");
    // The real ways answer on this machine; the last one always names Windows.
    EXPECT_FALSE(get_os_ver_formated_registry().empty());
    EXPECT_EQ(get_os_ver_formated_api().rfind(L"Microsoft Windows", 0), 0u);
}

TEST(SystemInfo, VersionCodesAndNames) {
    EXPECT_EQ(windows_name_for_code(windows_version_code(10, 0, true, false)), L"10");
    EXPECT_EQ(windows_name_for_code(windows_version_code(10, 0, false, false)), L"");
    EXPECT_EQ(windows_name_for_code(windows_version_code(6, 1, true, false)), L"7");
    EXPECT_EQ(windows_name_for_code(windows_version_code(6, 1, false, false)), L"2008R2");
    EXPECT_EQ(windows_name_for_code(windows_version_code(6, 3, false, false)), L"2012R2");
    EXPECT_EQ(windows_version_code(5, 2, true, true), 4);
    EXPECT_EQ(windows_version_code(5, 2, true, false), 6);
    EXPECT_EQ(windows_version_code(5, 2, false, false), 5);
}

TEST(Sid, ConversionsBothWays) {
    std::vector<BYTE> user = get_current_user_sid();
    std::wstring text = get_StrSID_4m_SID(user.data());
    EXPECT_EQ(text.rfind(L"S-1-", 0), 0u);
    EXPECT_EQ(get_SID_4m_str_SID(text), user);
    EXPECT_EQ(get_StrSID_4m_SID(get_SID_4m_str_SID(L"S-1-5-32-544").data()), L"S-1-5-32-544");
    EXPECT_THROW(get_SID_4m_str_SID(L"not a sid"), VrBase::CVrError);
    BYTE garbage[8] = {9, 9, 9, 9};
    try {
        get_StrSID_4m_SID(garbage);
        FAIL();
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), 87u);
    }
}

// In directory mode the computer account is NAME$; this machine's security
// authority knows no such account, and no fallback applies there.
TEST(Sid, DirectoryModeLooksUpTheComputerAccount) {
    vrtest::RegKeyScope lds(L"Software\\Orvane\\Varnel 5\\LDS");
    lds.SetString(nullptr, L"srvName", L"lds.example");
    lds.SetString(nullptr, L"DomainName", L"EXAMPLE");
    reset_directory_mode_for_tests();
    VrBase::scope_exit forget([] { reset_directory_mode_for_tests(); });  // the next test reads its own values
    EXPECT_TRUE(is_directory_mode());
    try {
        std::wstring sid = query_host_sid();
        EXPECT_EQ(sid.rfind(L"S-1-5-21-", 0), 0u);  // a real directory member would find it
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), static_cast<DWORD>(E_FAIL));
    }
}

// Adapter lists built by hand: only Ethernet adapters with addresses count.
TEST(Network, OnlyEthernetAdaptersWithAddresses) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(0xC0A80A05);  // 192.168.10.5
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr.s6_addr[0] = 0xfe;
    v6.sin6_addr.s6_addr[1] = 0x80;
    v6.sin6_addr.s6_addr[15] = 1;
    IP_ADAPTER_UNICAST_ADDRESS a4{}, a6{};
    a4.Address.lpSockaddr = reinterpret_cast<SOCKADDR*>(&v4);
    a6.Address.lpSockaddr = reinterpret_cast<SOCKADDR*>(&v6);
    a4.Next = &a6;

    IP_ADAPTER_ADDRESSES wifi{}, eth{}, bare{};
    char wifiName[] = "{WIFI}", ethName[] = "{ETH}", bareName[] = "{BARE}";
    wifi.AdapterName = wifiName;
    wifi.IfType = 71;  // wireless
    wifi.Flags = IP_ADAPTER_IPV4_ENABLED;
    wifi.FirstUnicastAddress = &a4;
    EXPECT_TRUE(network_adapters_from(&wifi).empty()) << "a wireless adapter alone gives nothing";

    eth.AdapterName = ethName;
    eth.IfType = IF_TYPE_ETHERNET_CSMACD;
    eth.Flags = IP_ADAPTER_IPV4_ENABLED | IP_ADAPTER_IPV6_ENABLED;
    eth.FirstUnicastAddress = &a4;
    bare.AdapterName = bareName;
    bare.IfType = IF_TYPE_ETHERNET_CSMACD;
    bare.Flags = IP_ADAPTER_IPV4_ENABLED;
    wifi.Next = &eth;
    eth.Next = &bare;
    NetworkAdapters adapters = network_adapters_from(&wifi);
    ASSERT_EQ(adapters.size(), 1u);
    ASSERT_EQ(adapters.count(L"{ETH}"), 1u);
    const auto& list = adapters[L"{ETH}"];
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], AdapterAddress(L"192.168.10.5", L""));
    EXPECT_EQ(list[1], AdapterAddress(L"", L"fe80::1"));

    eth.Flags = IP_ADAPTER_IPV6_ENABLED;  // IPv4 off: its address is not taken
    adapters = network_adapters_from(&eth);
    ASSERT_EQ(adapters[L"{ETH}"].size(), 1u);
    EXPECT_EQ(adapters[L"{ETH}"][0].second, L"fe80::1");
}

} // namespace
