// VrCC under the real service control manager: installed with vrcc-ctl,
// started, used by a client, stopped, removed.
#include "core_test_ids.h"
#include "core_test_support.h"
#include "core_wire.h"
#include "vrsrvapi.h"

#include <gtest/gtest.h>

namespace {

using namespace coretest;

DWORD WaitState(SC_HANDLE service, DWORD state, DWORD ms = 30000) {
    SERVICE_STATUS s{};
    for (DWORD waited = 0; waited < ms; waited += 50) {
        if (!::QueryServiceStatus(service, &s)) return 0;
        if (s.dwCurrentState == state) break;
        ::Sleep(50);
    }
    return s.dwCurrentState;
}

class CoreService : public ::testing::Test {
protected:
    // Whatever happens above, no service stays behind to start with the
    // next Wine session.
    void TearDown() override {
        std::string out;
        EXPECT_EQ(RunCaptured(L"vrcc-ctl.exe", L"uninstall", out), 0u) << out;
    }
    CoreConfig config;
};

TEST_F(CoreService, InstallStartServeStopUninstall) {
    std::string out;
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"install --start=auto", out), 0u) << out;
    EXPECT_NE(out.find("installed VrCC (automatic start)"), std::string::npos) << out;
    {
        VrBase::unique_schandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(scm);
        VrBase::unique_schandle service(::OpenServiceW(scm.get(), vrcc::kServiceName, SERVICE_ALL_ACCESS));
        ASSERT_TRUE(service);
        // Installing again switches to demand start, so no later Wine
        // session starts the core by itself.
        ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"install", out), 0u) << out;
        BYTE buf[8192];
        DWORD needed = 0;
        ASSERT_TRUE(::QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf), sizeof buf,
                                          &needed));
        EXPECT_EQ(reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf)->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));

        ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
        ASSERT_EQ(WaitState(service.get(), SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
        ASSERT_TRUE(WaitForCore(10000));

        Peer receiver(L"receiver", L"vrtest.service");
        ASSERT_TRUE(receiver.WaitReady());
        VR_SESSION s{};
        s.Name = L"@core_service_test";
        ASSERT_EQ(VrOpenSession(&s), 0u);
        DWORD ids[2], count = 2;
        ASSERT_EQ(VrGetSubsystemIds(s.Handle, L"vrtest.service", &count, ids), 0u);
        ASSERT_EQ(count, 1u);
        char reply[8] = {};
        DWORD size = sizeof reply;
        EXPECT_EQ(VrSendMessage(s.Handle, ids[0], kEcho, 4, "ping", &size, reply), 0u);
        EXPECT_EQ(std::string(reply, size), "ping");

        SERVICE_STATUS status{};
        ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
        EXPECT_EQ(WaitState(service.get(), SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));
        // The clients learn it at their next call.
        size = sizeof reply;
        EXPECT_EQ(VrSendMessage(s.Handle, ids[0], kEcho, 4, "ping", &size, reply), 1722u);
        EXPECT_EQ(VrCloseSession(s.Handle), 0u);
        receiver.Kill();
    }
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"uninstall", out), 0u) << out;
    EXPECT_NE(out.find("removed VrCC"), std::string::npos) << out;
    EXPECT_EQ(RunCaptured(L"vrcc-ctl.exe", L"uninstall", out), 0u) << out;
    EXPECT_NE(out.find("not installed"), std::string::npos) << out;
}

} // namespace
