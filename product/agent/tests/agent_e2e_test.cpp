// vragent against the real components under the SCM: the core VrCC and
// the scan service VrSoftwareState, installed as an administrator would.
#include "core_test_support.h"
#include "support/test_support.h"
#include "ssr_messages.h"
#include "vr_srv.h"
#include "vrsrvapi.h"
#include "vrbase/scope.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kRunFailed = 1;

class AgentEndToEnd : public ::testing::Test {
protected:
    vrtest::TempDir dir{L"vragent"};
    vrtest::RegKeyScope product{L"SOFTWARE\\Calderis\\Varnel Studio"};
    coretest::CoreConfig config;
    VrBase::unique_schandle scm, scanService;

    void SetUp() override {
        product.SetString(nullptr, L"ProductLocale", L"en-US");
        std::string out;
        ASSERT_EQ(coretest::RunCaptured(L"vrcc-ctl.exe", L"install", out), 0u) << out;
        ASSERT_EQ(vrtest::RunChild(L"vrssr-setup.exe", L"install --start=demand --protection-dir=" + dir.path()), 0u);
        scm.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(scm);
        VrBase::unique_schandle core(::OpenServiceW(scm.get(), L"VrCC", SERVICE_ALL_ACCESS));
        ASSERT_TRUE(core);
        // The last test's core process may still be on its way out.
        BOOL started = FALSE;
        for (int i = 0; i < 100 && !(started = ::StartServiceW(core.get(), 0, nullptr)); ++i) {
            if (::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) break;
            ::Sleep(200);
        }
        ASSERT_TRUE(started) << ::GetLastError();
        ASSERT_TRUE(coretest::WaitForCore(20000));
        scanService.reset(::OpenServiceW(scm.get(), L"VrSoftwareState", SERVICE_ALL_ACCESS));
        ASSERT_TRUE(scanService);
    }
    // Neither service stays behind to start with the next Wine session.
    void TearDown() override {
        scanService.reset();
        scm.reset();
        EXPECT_EQ(vrtest::RunChild(L"vrssr-setup.exe", L"uninstall"), 0u);
        std::string out;
        EXPECT_EQ(coretest::RunCaptured(L"vrcc-ctl.exe", L"uninstall", out), 0u) << out;
    }

    DWORD Agent(const std::wstring& args, std::string& out, DWORD timeoutMs = 120000) {
        return coretest::RunCaptured(L"vragent.exe", args, out, timeoutMs);
    }
    DWORD State() {
        SERVICE_STATUS s{};
        EXPECT_TRUE(::QueryServiceStatus(scanService.get(), &s));
        return s.dwCurrentState;
    }
    DWORD StartType() {
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        EXPECT_TRUE(::QueryServiceConfigW(scanService.get(), c, static_cast<DWORD>(buffer.size()), &needed));
        return c->dwStartType;
    }
    // The scan service's session on the core, which it opens once it runs.
    static bool ServiceSessionOpen(DWORD ms) {
        VR_SESSION session{};
        session.Name = L"@vragent_e2e_test";
        session.Flags = 0x1002;
        session.Version = session.Version2 = read_client_version();
        if (::VrOpenSession(&session) != 0) return false;
        bool open = false;
        for (DWORD waited = 0; !open && waited <= ms; waited += 500) {
            DWORD ids[4] = {}, count = 4;
            open = ::VrGetSubsystemIds(session.Handle, kSsrSubsystemName, &count, ids) == 0 && count > 0;
            if (!open) ::Sleep(500);
        }
        ::VrCloseSession(session.Handle);
        return open;
    }
};

TEST_F(AgentEndToEnd, SwitchOnAndOffAndTheStateMeanwhile) {
    std::string out;
    ASSERT_EQ(Agent(L"info", out), 0u) << out;
    EXPECT_NE(out.find("component: ROZEDURI"), std::string::npos) << out;
    EXPECT_NE(out.find("state set: status"), std::string::npos) << out;
    EXPECT_NE(out.find("switched: on"), std::string::npos) << out;

    ASSERT_EQ(Agent(L"state", out), 0u) << out;
    EXPECT_NE(out.find("<Status>Stopped</Status>"), std::string::npos) << out;

    ASSERT_EQ(Agent(L"activate", out), 0u) << out;
    EXPECT_NE(out.find("<Activate.OutParam>"), std::string::npos) << out;
    EXPECT_NE(out.find("<Status>OK</Status>"), std::string::npos) << out;
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(StartType(), static_cast<DWORD>(SERVICE_AUTO_START));

    ASSERT_EQ(Agent(L"deactivate", out), 0u) << out;
    EXPECT_NE(out.find("<Deactivate.OutParam>"), std::string::npos) << out;
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(StartType(), static_cast<DWORD>(SERVICE_DISABLED));
    ASSERT_EQ(Agent(L"info", out), 0u) << out;
    EXPECT_NE(out.find("switched: off"), std::string::npos) << out;

    // Disabled: the command fails, and says so.
    EXPECT_EQ(Agent(L"scan", out), kRunFailed) << out;
    EXPECT_NE(out.find("<Status>Error</Status>"), std::string::npos) << out;
    EXPECT_NE(out.find("vragent: BuildSES failed: 0x80070426"), std::string::npos) << out;
    EXPECT_EQ(Agent(L"config no-such-file.xml", out), kRunFailed) << out;
    EXPECT_NE(out.find("SetConfiguration failed"), std::string::npos) << out;
    EXPECT_EQ(Agent(L"scan --later", out), 87u) << out;
    EXPECT_NE(out.find("vragent: scan --later: scan takes only --wait"), std::string::npos) << out;
    EXPECT_EQ(Agent(L"--proxy C:\\nowhere\\VrSSRProxy.dll info", out), kRunFailed) << out;
    EXPECT_NE(out.find("cannot load C:\\nowhere\\VrSSRProxy.dll"), std::string::npos) << out;
}

TEST_F(AgentEndToEnd, ConfigureScanReadTheStateAndExport) {
    // The tree to scan.
    vrtest::TempDir tree{L"vrtree"};
    ::CreateDirectoryW(tree.file(L"sub").c_str(), nullptr);
    vrtest::WriteFileBytes(tree.file(L"alpha.txt"), "alpha");
    vrtest::WriteFileBytes(tree.file(L"sub\\beta.dat"), "beta beta");
    const std::wstring settings =
        L"<ROZEDURI><Settings><ScanSetting><Paths all=\"false\"><Path>" + tree.path() +
        L"</Path></Paths><ExcludePaths enable=\"false\"/><Extensions all=\"true\"/></ScanSetting>"
        L"<ScheduleScan enabled=\"false\"/><EventRegistration>"
        L"<Event name=\"EID_SP_SES_BUILD_STARTED\" enabled=\"true\"/>"
        L"<Event name=\"EID_SP_SES_BUILD_COMPLETE\" enabled=\"true\"/>"
        L"<Event name=\"EID_SP_SES_SAVED\" enabled=\"true\"/></EventRegistration></Settings></ROZEDURI>";
    const std::string utf8(settings.begin(), settings.end());  // ASCII paths only
    vrtest::WriteFileBytes(dir.file(L"settings.xml"), utf8);

    std::string out;
    ASSERT_EQ(Agent(L"activate", out), 0u) << out;
    ASSERT_EQ(State(), static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_TRUE(ServiceSessionOpen(15000)) << "the scan service opened no session on the core";

    ASSERT_EQ(Agent(L"config " + dir.file(L"settings.xml"), out), 0u) << out;
    ASSERT_EQ(Agent(L"scan --wait", out), 0u) << out;
    EXPECT_NE(out.find("<BuildSES.OutParam>"), std::string::npos) << out;
    EXPECT_NE(out.find("scan started: "), std::string::npos) << out;
    EXPECT_NE(out.find("scan ended:   "), std::string::npos) << out;

    ASSERT_EQ(Agent(L"state", out), 0u) << out;
    EXPECT_NE(out.find("<Status>Complete</Status>"), std::string::npos) << out;

    const std::wstring exported = dir.file(L"exported.xml");
    ASSERT_EQ(Agent(L"export " + exported, out), 0u) << out;
    EXPECT_NE(out.find("<GetSES.OutParam>"), std::string::npos) << out;
    const std::string document = vrtest::ReadFileBytes(exported);
    EXPECT_NE(document.find("alpha.txt"), std::string::npos) << document;
    EXPECT_NE(document.find("beta.dat"), std::string::npos) << document;

    // Each checksum as rhash, computed when the build was configured, gives it.
    for (const char* checksum : {VR_RHASH_ALPHA, VR_RHASH_BETA}) {
        ASSERT_EQ(std::strlen(checksum), 64u);
        EXPECT_NE(document.find(std::string("<CS dt:dt=\"string\">") + checksum + "</CS>"), std::string::npos)
            << checksum << "\n" << document;
    }

    // The scan's events and the export's, as the core's tool lists them.
    std::string events;
    ASSERT_EQ(coretest::RunCaptured(L"vrcc-ctl.exe", L"events", events), 0u) << events;
    for (const char* id : {"id 0x0000044C", "id 0x0000044E", "id 0x00000451"})
        EXPECT_NE(events.find(id), std::string::npos) << id << "\n" << events;

    ASSERT_EQ(Agent(L"deactivate", out), 0u) << out;
}

} // namespace
