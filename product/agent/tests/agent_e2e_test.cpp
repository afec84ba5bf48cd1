// vragent against the real components under the SCM: the core VrCC and
// the scan service VrSoftwareState, installed as an administrator would.
#include "e2e_support.h"

#include "Com/com_ptr.h"
#include "Xml/Xml.h"
#include "exec/apartment_executor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr DWORD kRunFailed = 1;

class AgentEndToEnd : public e2e::ServicesTest {
protected:
    // The bytes as a file, read by the platform's XML parser the way any
    // reader of a file does: by its declaration. Empty when well-formed,
    // else the parser's reason.
    std::string ParseAsDeclared(const std::string& bytes) {
        const std::wstring file = dir.file(L"state.xml");
        vrtest::WriteFileBytes(file, bytes);
        return exec::run_in_sta([&] {
            Xml::CDocument doc;
            doc.Create();
            VARIANT source;
            ::VariantInit(&source);
            source.vt = VT_BSTR;
            Com::CBstr path(file);
            source.bstrVal = path.get();
            VARIANT_BOOL ok = VARIANT_FALSE;
            doc.get()->load(source, &ok);
            if (ok == VARIANT_TRUE) return std::string();
            Com::ComPtr<IXMLDOMParseError> error;
            Com::CBstr reason;
            if (SUCCEEDED(doc.get()->get_parseError(error.put())) && error) error->get_reason(reason.put());
            const std::wstring why = reason.get() ? std::wstring(reason.get()) : std::wstring(L"not well-formed");
            return std::string(why.begin(), why.end()) + " ";
        });
    }

    static size_t Count(const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }
};

TEST_F(AgentEndToEnd, SwitchOnAndOffAndTheStateMeanwhile) {
    std::string out;
    ASSERT_EQ(Agent(L"info", out), 0u) << out;
    EXPECT_NE(out.find("component: ROZEDURI"), std::string::npos) << out;
    EXPECT_NE(out.find("state set: status"), std::string::npos) << out;
    EXPECT_NE(out.find("switched: on"), std::string::npos) << out;

    // Stopped: the proxy's own document, in words and as XML.
    ASSERT_EQ(Agent(L"state", out), 0u) << out;
    EXPECT_NE(out.find("VrSoftwareState\r\n  service:       stopped\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  scan:          not known while the service is stopped\r\n"), std::string::npos) << out;
    EXPECT_EQ(out.find('<'), std::string::npos) << out;
    ASSERT_EQ(Agent(L"state --xml", out), 0u) << out;
    EXPECT_EQ(out.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u) << out;
    EXPECT_NE(out.find("<Status>Stopped</Status>"), std::string::npos) << out;
    EXPECT_EQ(out.find("\r\r"), std::string::npos) << out;
    EXPECT_EQ(ParseAsDeclared(out), "") << out;

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
    EXPECT_NE(out.find("vragent: BuildSES failed: the service VrSoftwareState is not running (vragent activate "
                       "starts it) (0x80070426)"),
              std::string::npos)
        << out;
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
    EXPECT_NE(out.find("  service:       running (process "), std::string::npos) << out;
    EXPECT_NE(out.find("  scan:          complete: a software state document is ready\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  started:       20"), std::string::npos) << out;
    EXPECT_NE(out.find("  finished:      20"), std::string::npos) << out;
    EXPECT_NE(out.find("  last error:    none\r\n"), std::string::npos) << out;
    ASSERT_EQ(Agent(L"state --xml", out), 0u) << out;
    EXPECT_NE(out.find("<Status>Complete</Status>"), std::string::npos) << out;
    EXPECT_EQ(ParseAsDeclared(out), "") << out;

    const std::wstring exported = dir.file(L"exported.xml");
    ASSERT_EQ(Agent(L"export " + exported, out), 0u) << out;
    EXPECT_NE(out.find("<GetSES.OutParam>"), std::string::npos) << out;
    // The report too is read as declared when kept in a file.
    EXPECT_EQ(ParseAsDeclared(out), "") << out;
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
    for (const char* id : {"EID_SP_SES_BUILD_STARTED (0x0000044C)", "EID_SP_SES_BUILD_COMPLETE (0x0000044E)",
                           "EID_SP_SES_SAVED (0x00000451)", "started at the management's request.\r\n"})
        EXPECT_NE(events.find(id), std::string::npos) << id << "\n" << events;
    EXPECT_EQ(events.find("%%"), std::string::npos) << events;

    ASSERT_EQ(Agent(L"deactivate", out), 0u) << out;
}

// What a person meets right after starting the service and when something
// is missing: vragent waits for the service's link to the core (one line),
// and every failure says what failed, on what, in words.
TEST_F(AgentEndToEnd, WaitsForTheLinkAfterTheStartAndNamesWhatFailed) {
    vrtest::TempDir tree{L"vrtree"};
    vrtest::WriteFileBytes(tree.file(L"alpha.txt"), "alpha");
    const std::wstring settings = e2e::ScanConfig(L"<Path>" + tree.path() + L"</Path>");
    vrtest::WriteFileBytes(dir.file(L"settings.xml"), std::string(settings.begin(), settings.end()));

    // Started while the core is starting too (as a machine boots, or as the
    // demo starts both), the service polls the core every 3 s and has no
    // session on it for up to that long after the core answers; the
    // configuration sent at once still arrives.
    std::string out;
    ASSERT_TRUE(Stop(coreService.get()));
    ASSERT_EQ(Agent(L"activate", out), 0u) << out;
    ASSERT_TRUE(Start(coreService.get()));
    ASSERT_TRUE(coretest::WaitForCore(20000));
    const bool linkedAlready = ServiceSessionOpen(0);
    ASSERT_EQ(Agent(L"config " + dir.file(L"settings.xml"), out), 0u) << out;
    EXPECT_NE(out.find("configuration accepted"), std::string::npos) << out;
    EXPECT_EQ(out.find("0x80070426"), std::string::npos) << out;
    const size_t waits = Count(out, "has not linked to the core service VrCC yet; waiting for it (at most 30 s)");
    EXPECT_LE(waits, 1u) << out;
    std::printf("e2e: linked before vragent started: %s; vragent waited: %s\n", linkedAlready ? "yes" : "no",
                waits ? "yes" : "no");

    // No document yet.
    EXPECT_EQ(Agent(L"export " + dir.file(L"ses.xml"), out), kRunFailed) << out;
    EXPECT_NE(out.find("vragent: GetSES failed: no software state document yet: run a scan (vragent scan --wait) "
                       "(0x80070015)"),
              std::string::npos)
        << out;

    // A configuration that does not parse: where and why.
    vrtest::WriteFileBytes(dir.file(L"broken.xml"), "<ROZEDURI>\n  <Settings>\n</ROZEDURI>\n");
    EXPECT_EQ(Agent(L"config " + dir.file(L"broken.xml"), out), kRunFailed) << out;
    const std::wstring brokenPath = dir.file(L"broken.xml");
    const std::string broken(brokenPath.begin(), brokenPath.end());
    EXPECT_NE(out.find("vragent: SetConfiguration failed: " + broken + ": "), std::string::npos) << out;
    EXPECT_NE(out.find(" at line 3, position "), std::string::npos) << out;
    EXPECT_EQ(out.find("position :"), std::string::npos) << out;
    EXPECT_NE(out.find("(0xE6240001)"), std::string::npos) << out;
    std::printf("e2e: %s", out.c_str());

    // An export to a folder that does not exist names the path.
    ASSERT_EQ(Agent(L"scan --wait", out), 0u) << out;
    const std::wstring nowhere = dir.file(L"no-such-folder\\ses.xml");
    EXPECT_EQ(Agent(L"export " + nowhere, out), kRunFailed) << out;
    EXPECT_NE(out.find("vragent: GetSES failed: " + std::string(nowhere.begin(), nowhere.end()) + ": "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("(0x80070003)"), std::string::npos) << out;

    // The core away: said in words, not as an RPC code.
    ASSERT_TRUE(Stop(coreService.get()));
    EXPECT_EQ(Agent(L"config " + dir.file(L"settings.xml"), out), kRunFailed) << out;
    EXPECT_NE(out.find("vragent: SetConfiguration failed: the core service VrCC is not running (sc start VrCC starts "
                       "it) (0x800706BA)"),
              std::string::npos)
        << out;

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
                                L"--proxy \"" + vrtest::ModuleFolder() + L"VrSSRProxy.dll\" state --xml", elsewhere.path());
    const std::string out = agent.ReadAll();
    EXPECT_EQ(agent.WaitExit(120000), 0u) << out;
    EXPECT_NE(out.find("<Status>None</Status>"), std::string::npos) << "the service answered: " << out;
}

} // namespace
