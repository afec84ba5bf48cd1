// The component as an outside agent meets it: loaded by path into a process
// that holds nothing else of ours, with the service doing what services do
// (stopping while it starts) and the machine as it may be configured.
#include "probe_service.h"

#include "core_test_support.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

using proxytest::ProbeService;

std::string Probe(const std::wstring& args, DWORD& exitCode) {
    std::string out;
    exitCode = coretest::RunCaptured(L"proxy_probe.exe",
                                     L"\"" + vrtest::ModuleFolder() + L"VrSSRProxy.dll\" " + args, out);
    return out;
}

// The core client library is loaded and freed per request inside the
// proxy; nothing of it may stay armed in the agent's process afterwards.
TEST(OutsideAgent, ExceptionsAfterARequestReachTheAgent) {
    coretest::CoreConfig config;
    coretest::CoreProcess core;
    core.Start();
    for (const wchar_t* mode : {L"config-then-throw", L"unload-then-throw"}) {
        DWORD code = 0;
        const std::string out = Probe(mode, code);
        EXPECT_EQ(code, 0u) << "mode " << mode << ":\n" << out;
        // Through the core's session to the point of finding no scan service.
        EXPECT_NE(out.find("hr=0x80070426"), std::string::npos) << "mode " << mode << ":\n" << out;
        EXPECT_NE(out.find("survived"), std::string::npos) << "mode " << mode << ":\n" << out;
    }
}

// An agent may load and free the DLL around every use: nothing it started
// may run on after the unload, and nothing may pile up.
TEST(OutsideAgent, LoadedAndFreedAgainAndAgain) {
    DWORD code = 0;
    const std::string out = Probe(L"load-loop 40", code);
    ASSERT_EQ(code, 0u) << out;
    EXPECT_NE(out.find("survived"), std::string::npos) << out;
    const size_t at = out.find("handles gained=");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_LE(std::stol(out.substr(at + 15)), 5) << out;
}

// A start that ends in STOPPED did not switch the component on.
TEST(OutsideAgent, ActivateThatEndsStoppedIsAnError) {
    vrtest::RegKeyScope product{L"SOFTWARE\\Calderis\\Varnel Studio"};
    product.SetString(nullptr, L"ProductLocale", L"en-US");
    // It gives up while starting and takes its time to stop.
    ProbeService probe(L"--start-ms hold --start-hint 10000 --stop-ms 3000 --stop-hint 30000");
    std::string out;
    DWORD code = 0;
    std::thread agent([&] { out = Probe(L"command Activate", code); });
    const bool pending = probe.WaitState(SERVICE_START_PENDING);
    // The stop is taken once the service listens for controls.
    for (int i = 0; i < 25 && probe.State() == SERVICE_START_PENDING; ++i) {
        SERVICE_STATUS s{};
        ::ControlService(probe.handle(), SERVICE_CONTROL_STOP, &s);
        ::Sleep(200);
    }
    agent.join();
    ASSERT_TRUE(pending);
    ASSERT_TRUE(probe.WaitState(SERVICE_STOPPED));
    EXPECT_NE(out.find("hr=0x00000001"), std::string::npos) << out;
    EXPECT_NE(out.find("<Status>Error</Status>"), std::string::npos) << out;
}

// A command that did its work is reported as done, whatever the language
// settings: the report's words are a courtesy, not the outcome.
TEST(OutsideAgent, DoneCommandReportedWithoutProductLocale) {
    vrtest::RegKeyScope product{L"SOFTWARE\\Calderis\\Varnel Studio"};
    ProbeService probe(L"");
    DWORD code = 0;
    const std::string out = Probe(L"command Activate", code);
    EXPECT_EQ(probe.State(), static_cast<DWORD>(SERVICE_RUNNING)) << out;
    EXPECT_NE(out.find("hr=0x00000000"), std::string::npos) << out;
    EXPECT_NE(out.find("<Status>OK</Status>"), std::string::npos) << out;
}

} // namespace
