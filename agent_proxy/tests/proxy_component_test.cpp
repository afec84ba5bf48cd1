// The component through VrSSRProxy.dll as the agent drives it: the real
// SCM (a probe service under the scan service's name), the real core, and
// on the far side the scan service's own message dispatch with operations
// the test scripts and counts.
#include "component_proxy.h"
#include "probe_service.h"
#include "ssr_proxy.h"

#include "core_test_support.h"
#include "sid_helpers.h"
#include "ssr_msg_dispatch.h"
#include "ssr_messages.h"
#include "support/test_support.h"
#include "vr_srv.h"
#include "vrsrvapi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using proxytest::ProbeService;

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);
constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057);
constexpr HRESULT kNoReceiver = static_cast<HRESULT>(0x80070426);  // 1062: no scan service session

struct ScriptedOperations : ISsrOperations {
    std::mutex lock;
    std::vector<std::wstring> configs, exports;
    int stateQueries = 0, scans = 0;
    std::wstring state = L"<VevadediDuzavareState><Scan><Status>Complete</Status></Scan></VevadediDuzavareState>";
    DWORD configStatus = 0, scanStatus = 0, exportStatus = 0;
    std::wstring exportId = L"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
    std::vector<BYTE> scanSid;

    DWORD setup_new_full_config(const std::wstring& c) override {
        std::lock_guard<std::mutex> l(lock);
        configs.push_back(c);
        return configStatus;
    }
    // After a scan request, the states the scan goes through, one per
    // question, the last one kept.
    std::vector<std::wstring> afterScan;
    size_t step = 0;

    DWORD query_ssr_state(std::wstring& d) override {
        std::lock_guard<std::mutex> l(lock);
        ++stateQueries;
        d = scans && !afterScan.empty() ? afterScan[std::min(step++, afterScan.size() - 1)] : state;
        return 0;
    }
    DWORD start_software_scan(const std::vector<BYTE>& sid) override {
        std::lock_guard<std::mutex> l(lock);
        ++scans;
        scanSid = sid;
        return scanStatus;
    }
    DWORD export_software_state(const std::wstring& parameters, const std::wstring&, std::wstring& id) override {
        std::lock_guard<std::mutex> l(lock);
        exports.push_back(parameters);
        if (exportStatus) return exportStatus;
        id = exportId;
        return 0;
    }
};

// A text stream of the agent's.
struct AgentText : IVRReadStream {
    std::wstring text;
    explicit AgentText(std::wstring t) : text(std::move(t)) {
        Free = [](IVRReadStream*) -> HRESULT { return S_OK; };
        Read = [](IVRReadStream*, void*, DWORD, DWORD*) -> HRESULT { return E_NOTIMPL; };
        GetInternalData = [](IVRReadStream* s, VR_RDSTREAM_DATA* r) -> HRESULT {
            auto* self = static_cast<AgentText*>(s);
            r->Type = VR_RDSTREAM_TEXT;
            r->Data = self->text.c_str();
            r->Size = static_cast<DWORD>((self->text.size() + 1) * 2);
            return S_OK;
        };
    }
};

// The text between <name> and </name>; "<name/>" gives empty; npos-absent
// gives "(absent)".
std::wstring Element(const std::wstring& doc, const std::wstring& name) {
    if (doc.find(L"<" + name + L"/>") != std::wstring::npos) return L"";
    size_t open = doc.find(L"<" + name + L">");
    size_t close = doc.find(L"</" + name + L">");
    if (open == std::wstring::npos || close == std::wstring::npos) return L"(absent)";
    open += name.size() + 2;
    return doc.substr(open, close - open);
}

class Component : public ::testing::Test {
protected:
    vrtest::RegKeyScope product{L"SOFTWARE\\Calderis\\Varnel Studio"};
    // Set before the DLL loads, so its trace goes there too.
    vrtest::TempDir traceDir{L"vrproxytrace"};
    vrtest::TraceToFolder trace{traceDir.path()};
    coretest::CoreConfig config;
    coretest::CoreProcess core;
    ScriptedOperations ops;
    VR_SESSION session{};
    VrBase::unique_hmodule dll;
    IVRESComponentProxy* c = nullptr;

    void SetUp() override {
        product.SetString(nullptr, L"ProductLocale", L"en-US");
        core.Start();
        set_ssr_operations(&ops);
        dll.reset(::LoadLibraryW((vrtest::ModuleFolder() + L"VrSSRProxy.dll").c_str()));
        ASSERT_TRUE(dll);
        FARPROC found = ::GetProcAddress(dll.get(), "CreateComponentProxy");
        auto create = reinterpret_cast<PFN_CreateComponentProxy>(reinterpret_cast<void*>(found));
        ASSERT_NE(create, nullptr);
        c = create(L"ROZEDURI");
        ASSERT_NE(c, nullptr);
    }
    void TearDown() override {
        if (c) c->Destroy(c);
        CloseReceiver();
        set_ssr_operations(nullptr);
    }

    // The scan service's session on the core, answered by its dispatch.
    void OpenReceiver() {
        session = VR_SESSION{};
        session.Name = kSsrSubsystemName;
        session.SendRoutine = &SendRoutine;
        session.PostRoutine = &PostRoutine;
        session.Version = session.Version2 = read_client_version();
        ASSERT_EQ(::VrOpenSession(&session), 0u);
        for (DWORD id : {DWORD(VRM_SSR_SET_FULL_CONFIG), DWORD(VRM_SSR_GET_STATE), DWORD(VRM_SSR_START_SCAN),
                         DWORD(VRM_SSR_EXPORT_SOFTWARE_STATE)})
            ASSERT_EQ(::VrSubscribeMessage(session.Handle, id, TRUE), 0u);
    }
    void CloseReceiver() {
        if (session.Handle) ::VrCloseSession(session.Handle);
        session.Handle = nullptr;
    }

    HRESULT State(std::wstring& document) {
        IVRReadStream* out = nullptr;
        HRESULT hr = c->GetState(c, L"status", &out);
        if (out) document = ReadAll(out);
        return hr;
    }
    HRESULT Invoke(const wchar_t* name, const std::wstring& parameters, std::wstring& report) {
        AgentText params(parameters);
        IVRReadStream* out = nullptr;
        HRESULT hr = c->InvokeCommand(c, name, parameters.empty() ? nullptr : &params, L"key-1", &out);
        report = out ? ReadAll(out) : L"(none)";
        return hr;
    }
    HRESULT Configure(const wchar_t* set, const std::wstring& text) {
        AgentText data(text);
        return c->SetConfiguration(c, set, L"1", &data);
    }
    // Reads through Read in small pieces, as an agent may, and frees it.
    static std::wstring ReadAll(IVRReadStream* s) {
        std::vector<BYTE> bytes;
        BYTE piece[7];
        DWORD got = 0;
        HRESULT hr;
        do {
            hr = s->Read(s, piece, sizeof(piece), &got);
            EXPECT_GE(hr, 0);
            bytes.insert(bytes.end(), piece, piece + got);
        } while (hr == S_OK);
        EXPECT_EQ(s->Free(s), S_OK);
        EXPECT_EQ(bytes.size() % 2, 0u);
        EXPECT_TRUE(bytes.size() >= 2 && bytes[bytes.size() - 1] == 0 && bytes[bytes.size() - 2] == 0)
            << "the text ends with its NUL";
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2 - 1);
    }
};

TEST_F(Component, StateAndInformationWhileTheServiceIsNotRunning) {
    proxytest::RemoveService(L"VrSoftwareState");
    VR_COMPONENT_INFORMATION info{};
    std::memset(&info, 0xAB, sizeof(info));
    ASSERT_EQ(c->GetInformation(c, &info), S_OK);
    EXPECT_EQ(info.On, 0u) << "not installed";
    for (BYTE b : info.Reserved) EXPECT_EQ(b, 0);
    EXPECT_EQ(c->GetInformation(c, nullptr), kInvalidArg);

    OpenReceiver();
    ProbeService probe(L"--start-ms hold --start-hint 60000");
    ASSERT_EQ(c->GetInformation(c, &info), S_OK);
    EXPECT_EQ(info.On, 1u) << "installed, demand start";

    std::wstring document;
    ASSERT_EQ(State(document), S_OK);
    EXPECT_EQ(Element(document, L"Status"), L"Stopped") << document;
    EXPECT_EQ(document.find(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>"), 0u) << "no byte-order mark";
    for (const wchar_t* e : {L"UniqueId", L"LastScanStartTime", L"LastScanEndTime", L"InProgress", L"ScheduleScan"})
        EXPECT_EQ(Element(document, e), L"") << e;

    probe.Start();
    ASSERT_TRUE(probe.WaitState(SERVICE_START_PENDING));
    ASSERT_EQ(State(document), S_OK);
    EXPECT_EQ(Element(document, L"Status"), L"Starting") << document;
    EXPECT_EQ(ops.stateQueries, 0) << "the service was never asked";

    ::SERVICE_STATUS s{};
    ::ControlService(probe.handle(), SERVICE_CONTROL_STOP, &s);
    ASSERT_TRUE(probe.WaitState(SERVICE_STOPPED));
    ::ChangeServiceConfigW(probe.handle(), SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(c->GetInformation(c, &info), S_OK);
    EXPECT_EQ(info.On, 0u) << "disabled";
}

TEST_F(Component, StateAndConfigurationFromTheRunningService) {
    ProbeService probe(L"");
    probe.Start();
    ASSERT_TRUE(probe.WaitState(SERVICE_RUNNING));

    // Running, but no scan service session on the core: the sender fails.
    std::wstring document;
    EXPECT_EQ(State(document), kNoReceiver);
    EXPECT_EQ(Configure(L"full", L"<Settings/>"), kNoReceiver);

    OpenReceiver();
    ASSERT_EQ(State(document), S_OK);
    EXPECT_EQ(document, ops.state);
    EXPECT_EQ(ops.stateQueries, 1);

    EXPECT_EQ(Configure(L"full", L"<Settings a='1'/>"), S_OK);
    EXPECT_EQ(Configure(L"", L"<Settings a='2'/>"), S_OK);
    EXPECT_EQ(Configure(L"partial", L"<Settings a='3'/>"), kInvalidArg);
    EXPECT_EQ(Configure(L"Full", L"<Settings a='4'/>"), kInvalidArg);
    ops.configStatus = ERROR_BAD_CONFIGURATION;
    EXPECT_EQ(Configure(L"full", L"<Settings a='5'/>"), HRESULT_FROM_WIN32(ERROR_BAD_CONFIGURATION));
    {
        VrBase::unique_handle token = vrtest::MakeNonAdminToken();
        vrtest::Impersonation as(token.get());
        EXPECT_EQ(Configure(L"full", L"<Settings a='6'/>"), kAccessDenied);
    }
    const std::vector<std::wstring> expected = {L"<Settings a='1'/>", L"<Settings a='2'/>", L"<Settings a='5'/>"};
    EXPECT_EQ(ops.configs, expected);
}

TEST_F(Component, ScanAndExportReports) {
    std::wstring report;
    // No service at all: the command fails in the sender, with a report.
    ASSERT_EQ(Invoke(L"BuildSES", L"", report), S_FALSE);
    EXPECT_EQ(report.find(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>"), 0u) << report;
    EXPECT_EQ(Element(report, L"Status"), L"Error") << report;
    EXPECT_EQ(Element(report, L"ErrorCode"), L"0x80070426") << report;
    EXPECT_NE(Element(report, L"ErrorDescription"), L"") << report;
    EXPECT_EQ(Invoke(L"buildses", L"", report), kInvalidArg);
    EXPECT_EQ(report, L"(none)");

    OpenReceiver();
    ASSERT_EQ(Invoke(L"BuildSES", L"ignored", report), S_OK) << report;
    EXPECT_EQ(Element(report, L"Status"), L"OK") << report;
    EXPECT_EQ(Element(report, L"ErrorCode"), L"0x0") << report;
    EXPECT_EQ(ops.scans, 1);
    EXPECT_EQ(ops.scanSid, get_current_user_sid());
    ops.scanStatus = ERROR_BUSY;
    ASSERT_EQ(Invoke(L"BuildSES", L"", report), S_FALSE);
    EXPECT_EQ(Element(report, L"ErrorCode"), L"0x800700aa") << report;

    const std::wstring parameters = L"<Export><Path>C:\\out\\ses.xml</Path><PostAction>Keep</PostAction></Export>";
    ASSERT_EQ(Invoke(L"GetSES", parameters, report), S_OK) << report;
    const size_t status = report.find(L"<Status>"), code = report.find(L"<ErrorCode>"),
                 description = report.find(L"<ErrorDescription>"), id = report.find(L"<UniqueId>");
    ASSERT_NE(id, std::wstring::npos) << report;
    EXPECT_TRUE(report.find(L"<GetSES.OutParam>") < status && status < code && code < description &&
                description < id)
        << report;
    EXPECT_EQ(Element(report, L"Status"), L"OK");
    EXPECT_EQ(Element(report, L"ErrorCode"), L"0x0");
    EXPECT_NE(Element(report, L"ErrorDescription"), L"") << "the text for 0";
    EXPECT_EQ(Element(report, L"UniqueId"), ops.exportId);
    ASSERT_EQ(ops.exports.size(), 1u);
    EXPECT_EQ(ops.exports[0], parameters);

    // The module's trace follows the command through its layers.
    const std::string traced = trace.Read(L"VrSSRProxy");
    for (const char* line : {"agent-proxy SSR attach done. hModule = 0x", " Initializing <ROZEDURI> component.",
                             " CSSRProxy::InvokeCommand(in) >> ", " invoke_cmd(in) >> ", " invoke_cmd(out) << ",
                             "cmd name: GetSES", "Cmd completion key: key-1", "hr: 0x0", "result: <?xml"})
        EXPECT_NE(traced.find(line), std::string::npos) << line << "\n" << traced;

    ops.exportStatus = ERROR_NOT_READY;
    ASSERT_EQ(Invoke(L"GetSES", parameters, report), S_FALSE);
    EXPECT_EQ(Element(report, L"Status"), L"Error") << report;
    EXPECT_EQ(Element(report, L"ErrorCode"), L"0x80070015") << report;
    EXPECT_EQ(Element(report, L"UniqueId"), L"") << report;

    // The caller's identity reaches the command's own thread.
    {
        VrBase::unique_handle token = vrtest::MakeNonAdminToken();
        vrtest::Impersonation as(token.get());
        EXPECT_EQ(Invoke(L"GetSES", parameters, report), kAccessDenied);
    }
    EXPECT_EQ(report, L"(none)");
    EXPECT_EQ(ops.exports.size(), 2u) << "nothing sent for the non-administrator";
}

TEST_F(Component, ActivateAndDeactivateTheService) {
    std::wstring report;
    {
        ProbeService probe(L"--start-ms 300 --start-hint 3000 --start-progress", SERVICE_DISABLED);
        ASSERT_EQ(Invoke(L"Activate", L"", report), S_OK) << report;
        EXPECT_EQ(report.find(L"<Activate.OutParam>") != std::wstring::npos, true) << report;
        EXPECT_EQ(Element(report, L"Status"), L"OK");
        EXPECT_EQ(probe.StartType(), static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(probe.State(), static_cast<DWORD>(SERVICE_RUNNING));
        VR_COMPONENT_INFORMATION info{};
        ASSERT_EQ(c->GetInformation(c, &info), S_OK);
        EXPECT_EQ(info.On, 1u);

        ASSERT_EQ(Invoke(L"Activate", L"", report), S_OK) << "already automatic and running: " << report;
        EXPECT_EQ(probe.StartType(), static_cast<DWORD>(SERVICE_AUTO_START));

        ASSERT_EQ(Invoke(L"Deactivate", L"", report), S_OK) << report;
        EXPECT_NE(report.find(L"<Deactivate.OutParam>"), std::wstring::npos) << report;
        EXPECT_EQ(probe.StartType(), static_cast<DWORD>(SERVICE_DISABLED));
        EXPECT_EQ(probe.State(), static_cast<DWORD>(SERVICE_STOPPED));
        ASSERT_EQ(c->GetInformation(c, &info), S_OK);
        EXPECT_EQ(info.On, 0u);
    }
    // A service that cannot start is a failed command with its report.
    ASSERT_EQ(Invoke(L"Activate", L"", report), S_FALSE);
    EXPECT_EQ(Element(report, L"ErrorCode"), L"0x80070424") << report;
}

// The agent's table sits right after the object's virtual table pointer.
TEST(ProxyLayout, InterfaceFollowsTheVirtualTablePointer) {
    auto* proxy = new CSSRProxy();
    IVRESComponentProxy* iface = proxy->iface();
    EXPECT_EQ(reinterpret_cast<char*>(iface) - reinterpret_cast<char*>(proxy), static_cast<ptrdiff_t>(sizeof(void*)));
    EXPECT_EQ(iface->Destroy(iface), S_OK);
}

std::wstring ScanState(const wchar_t* status, const wchar_t* start, const wchar_t* end) {
    return std::wstring(L"<?xml version=\"1.0\" encoding=\"utf-16\"?><VevadediDuzavareState><Scan><UniqueId/><Status>") +
           status + L"</Status><LastScanStartTime>" + start + L"</LastScanStartTime><LastScanEndTime>" + end +
           L"</LastScanEndTime><ScheduleScan>false</ScheduleScan></Scan></VevadediDuzavareState>";
}

// vragent.exe as an administrator runs it, against the component, the core
// and the scripted far side.
TEST_F(Component, VragentConfiguresScansAndExports) {
    ProbeService probe(L"");
    probe.Start();
    ASSERT_TRUE(probe.WaitState(SERVICE_RUNNING));
    OpenReceiver();
    vrtest::TempDir dir{L"vragent"};
    std::string out;

    // A UTF-8 file with Cyrillic text reaches the service as the same text.
    vrtest::WriteFileBytes(dir.file(L"settings.xml"),
                           "<S><Path>C:\\\xD0\x94\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5</Path></S>");
    ASSERT_EQ(coretest::RunCaptured(L"vragent.exe", L"config " + dir.file(L"settings.xml"), out), 0u) << out;
    ASSERT_EQ(ops.configs.size(), 1u) << out;
    EXPECT_EQ(ops.configs[0], L"<S><Path>C:\\\x0414\x0430\x043D\x043D\x044B\x0435</Path></S>");

    ops.state = ScanState(L"Complete", L"2026-01-01T10:00:00.000Z", L"2026-01-01T10:05:00.000Z");
    ops.afterScan = {ScanState(L"Complete", L"2026-01-01T10:00:00.000Z", L"2026-01-01T10:05:00.000Z"),
                     ScanState(L"InProgress", L"2026-02-02T11:00:00.000Z", L""),
                     ScanState(L"InProgress", L"2026-02-02T11:00:00.000Z", L""),
                     ScanState(L"Complete", L"2026-02-02T11:00:00.000Z", L"2026-02-02T11:00:03.000Z")};
    ASSERT_EQ(coretest::RunCaptured(L"vragent.exe", L"scan --wait", out), 0u) << out;
    EXPECT_NE(out.find("<Status>OK</Status>"), std::string::npos) << out;
    EXPECT_NE(out.find("InProgress"), std::string::npos) << "progress while it runs: " << out;
    EXPECT_NE(out.find("scan started: 2026-02-02T11:00:00.000Z"), std::string::npos) << out;
    EXPECT_NE(out.find("scan ended:   2026-02-02T11:00:03.000Z"), std::string::npos) << out;
    EXPECT_EQ(ops.scans, 1);

    const std::wstring target = dir.file(L"ses.xml");
    ASSERT_EQ(coretest::RunCaptured(L"vragent.exe", L"export " + target + L" --delete", out), 0u) << out;
    EXPECT_NE(out.find("<UniqueId>0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0</UniqueId>"), std::string::npos) << out;
    ASSERT_EQ(ops.exports.size(), 1u);
    EXPECT_NE(ops.exports[0].find(L"<Path>" + target + L"</Path>"), std::wstring::npos);
    EXPECT_NE(ops.exports[0].find(L"<PostAction>DeleteInternalSES</PostAction>"), std::wstring::npos);

    ops.exportStatus = ERROR_NOT_READY;
    EXPECT_EQ(coretest::RunCaptured(L"vragent.exe", L"export " + target, out), 1u) << out;
    EXPECT_NE(out.find("vragent: GetSES failed: no software state document yet: run a scan (vragent scan --wait) "
                       "(0x80070015)"),
              std::string::npos)
        << out;
    EXPECT_NE(ops.exports[1].find(L"<PostAction>Keep</PostAction>"), std::wstring::npos);

    // A scan that ends without its document is a failed scan.
    ops.scans = 0;
    ops.step = 0;
    ops.afterScan = {ScanState(L"InProgress", L"2026-03-03T12:00:00.000Z", L""),
                     ScanState(L"None", L"2026-03-03T12:00:00.000Z", L"")};
    EXPECT_EQ(coretest::RunCaptured(L"vragent.exe", L"scan --wait", out), 1u) << out;
    EXPECT_NE(out.find("the scan ended without a document (status None)"), std::string::npos) << out;
}

// Paths beyond the classic limit are an administrator's everyday case on
// deep trees: vragent either passes them whole or refuses them, and never
// sends or opens anything else.
TEST_F(Component, VragentTakesLongPathsWhole) {
    ProbeService probe(L"");
    probe.Start();
    ASSERT_TRUE(probe.WaitState(SERVICE_RUNNING));
    OpenReceiver();
    vrtest::TempDir dir{L"vragentlong"};
    std::wstring deep = dir.path();
    for (int i = 0; i < 6; ++i) {
        deep += L"\\" + std::wstring(200, static_cast<wchar_t>(L'a' + i));
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr)) << ::GetLastError();
    }
    VrBase::scope_exit cleanup([&] {
        ::DeleteFileW((L"\\\\?\\" + deep + L"\\settings.xml").c_str());
        for (std::wstring d = deep; d.size() > dir.path().size(); d.erase(d.rfind(L'\\')))
            ::RemoveDirectoryW((L"\\\\?\\" + d).c_str());
    });
    vrtest::WriteFileBytes(L"\\\\?\\" + deep + L"\\settings.xml", "<S>deep</S>");
    std::string out;

    const DWORD rc = coretest::RunCaptured(L"vragent.exe", L"config " + deep + L"\\settings.xml", out);
    EXPECT_EQ(rc, 0u) << out;
    EXPECT_EQ(ops.configs, std::vector<std::wstring>{L"<S>deep</S>"}) << out;

    const std::wstring target = deep + L"\\ses.xml";
    coretest::RunCaptured(L"vragent.exe", L"export " + target, out);
    for (const std::wstring& sent : ops.exports)
        EXPECT_NE(sent.find(L"<Path>" + target + L"</Path>"), std::wstring::npos)
            << "an export to somewhere else: " << std::string(sent.begin(), sent.end());
    EXPECT_FALSE(ops.exports.empty()) << out;
}

// Agents call from many threads at once; every call keeps its own session
// and its own answer.
TEST_F(Component, ManyAgentThreadsAtOnce) {
    ProbeService probe(L"");
    probe.Start();
    ASSERT_TRUE(probe.WaitState(SERVICE_RUNNING));
    OpenReceiver();
    constexpr int kThreads = 6, kRounds = 5;
    std::mutex lock;
    std::vector<std::string> faults;
    std::vector<std::thread> agents;
    for (int t = 0; t < kThreads; ++t)
        agents.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                std::wstring document, report;
                const HRESULT state = State(document);
                const HRESULT scan = Invoke(L"BuildSES", L"", report);
                const HRESULT config = Configure(L"full", L"<Settings n='" + std::to_wstring(t) + L"'/>");
                std::lock_guard<std::mutex> l(lock);
                if (state != S_OK || document != ops.state)
                    faults.push_back("GetState " + std::to_string(state));
                if (scan != S_OK || Element(report, L"Status") != L"OK")
                    faults.push_back("BuildSES " + std::to_string(scan));
                if (config != S_OK) faults.push_back("SetConfiguration " + std::to_string(config));
            }
        });
    for (std::thread& a : agents) a.join();
    EXPECT_TRUE(faults.empty()) << faults.size() << " faults, first: " << faults.front();
    EXPECT_EQ(ops.scans, kThreads * kRounds);
    EXPECT_EQ(ops.configs.size(), static_cast<size_t>(kThreads * kRounds));
}

// An export that was done must reach the agent as done: the service has
// handed the document over (and may have dropped its own copy), so a
// failure without the unique id loses it. The agent runs in a process of
// its own, where no language settings were read before.
TEST_F(Component, DoneExportReportedWithoutProductLocale) {
    ProbeService probe(L"");
    probe.Start();
    ASSERT_TRUE(probe.WaitState(SERVICE_RUNNING));
    OpenReceiver();
    ASSERT_EQ(::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Calderis\\Varnel Studio", L"ProductLocale"), 0);
    std::string out;
    coretest::RunCaptured(L"proxy_probe.exe", L"\"" + vrtest::ModuleFolder() + L"VrSSRProxy.dll\" command GetSES",
                          out);
    ASSERT_EQ(ops.exports.size(), 1u) << out;
    EXPECT_NE(out.find("hr=0x00000000"), std::string::npos) << out;
    EXPECT_NE(out.find("<UniqueId>" + std::string("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0") + "</UniqueId>"),
              std::string::npos)
        << out;
}

} // namespace
