// vragent against the real components under the SCM: the core VrCC and
// the scan service VrSoftwareState, installed as an administrator would.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr DWORD kRunFailed = 1;

class AgentEndToEnd : public e2e::ServicesTest {};

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

// The agent's program may lie in another folder than the proxy, a folder a
// user can write into. A client library planted beside the program must not
// stand in for the one beside the proxy: the planted one here exports only
// VrOpenSession, so it would fail every request.
TEST_F(AgentEndToEnd, AnAgentElsewhereGetsTheClientLibraryBesideTheProxy) {
    ASSERT_TRUE(StartScanService());
    vrtest::TempDir elsewhere{L"vragentdir"};
    for (const auto& copy : {std::make_pair(L"vragent.exe", L"vragent.exe"),
                             std::make_pair(L"fake_vrsrvapi.dll", L"VrSrvApi.dll")})
        ASSERT_TRUE(::CopyFileW((vrtest::ModuleFolder() + copy.first).c_str(), elsewhere.file(copy.second).c_str(),
                                FALSE))
            << ::GetLastError();
    vrtest::CapturedChild agent(elsewhere.file(L"vragent.exe"),
                                L"--proxy \"" + vrtest::ModuleFolder() + L"VrSSRProxy.dll\" state", elsewhere.path());
    const std::string out = agent.ReadAll();
    EXPECT_EQ(agent.WaitExit(120000), 0u) << out;
    EXPECT_NE(out.find("<Status>None</Status>"), std::string::npos) << "the service answered: " << out;
}

} // namespace
