// The service under the real service control manager: installed with the
// setup tool, started, watched, stopped, removed.
#include "support/test_support.h"
#include "vrbase/scope.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

constexpr DWORD kEventQueryState = 0x0001;  // EVENT_QUERY_STATE

const wchar_t kService[] = L"VrSoftwareState";
const wchar_t kTraceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\vrcc0\\Trace";

struct Observed {
    DWORD state, checkPoint, waitHint, exitCode;
};

class ServiceScm : public ::testing::Test {
protected:
    vrtest::TempDir dir{L"vrscm"};
    vrtest::RegKeyScope trace{kTraceKey};

    void SetUp() override {
        trace.SetDword(L"VrSSRSrv", L"EnableMask", 0x0F);
        trace.SetDword(L"VrSSRSrv", L"ParamsMask", 0x1);
        trace.SetString(nullptr, L"TracePath", dir.path());
        ASSERT_EQ(vrtest::RunChild(L"vrssr-setup.exe", L"install --start=demand --protection-dir=" + dir.path()), 0u);
        scm.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(scm);
        service.reset(::OpenServiceW(scm.get(), kService, SERVICE_ALL_ACCESS));
        ASSERT_TRUE(service);
    }
    void TearDown() override {
        service.reset();
        scm.reset();
        EXPECT_EQ(vrtest::RunChild(L"vrssr-setup.exe", L"uninstall"), 0u);
    }

    Observed Query() {
        SERVICE_STATUS_PROCESS s{};
        DWORD needed = 0;
        EXPECT_TRUE(::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s),
                                           sizeof(s), &needed));
        return {s.dwCurrentState, s.dwCheckPoint, s.dwWaitHint, s.dwWin32ExitCode};
    }
    // Polls until the state is reached; every distinct status seen is kept.
    bool WaitState(DWORD state, std::vector<Observed>& seen, DWORD ms = 30000) {
        for (DWORD waited = 0; waited < ms; waited += 5) {
            Observed o = Query();
            if (seen.empty() || seen.back().state != o.state || seen.back().checkPoint != o.checkPoint) seen.push_back(o);
            if (o.state == state) return true;
            ::Sleep(5);
        }
        return false;
    }
    // The reports the service made, as its trace file tells them.
    std::vector<std::string> Reports() {
        std::vector<std::string> out;
        const std::regex report(R"(CServiceStatus::report state (\d+), check point (\d+), wait hint (\d+), exit code (\d+)$)");
        for (const auto& line : vrtest::SplitLines(vrtest::ReadFileBytes(dir.file(L"VrSSRSrv.log")))) {
            std::smatch m;
            if (std::regex_search(line, m, report)) out.push_back(m[1].str() + "/" + m[2].str() + "/" + m[3].str());
        }
        return out;
    }

    VrBase::unique_schandle scm, service;
};

TEST_F(ServiceScm, InstallStartRunStopThroughTheScm) {
    ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
    std::vector<Observed> seen;
    ASSERT_TRUE(WaitState(SERVICE_RUNNING, seen));

    // Read access is all the marker grants others: enough to see it is there.
    VrBase::unique_handle marker(::OpenEventW(kEventQueryState, FALSE, L"Global\\SSR_Online"));
    EXPECT_TRUE(marker) << "another process opens the online marker while the service runs: " << ::GetLastError();
    marker.reset();

    // A control the service does not know changes nothing. (The handler
    // answers 120; Wine's SCM does not pass that answer back to the caller,
    // so the code itself is checked in the in-process tests.)
    SERVICE_STATUS status{};
    ::ControlService(service.get(), 200, &status);
    EXPECT_EQ(Query().state, static_cast<DWORD>(SERVICE_RUNNING));

    ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << ::GetLastError();
    ASSERT_TRUE(WaitState(SERVICE_STOPPED, seen));
    EXPECT_EQ(Query().exitCode, 0u);
    EXPECT_TRUE(vrtest::FileExists(dir.file(L"ssr_depot"))) << "the service found LocalProtectionDir";
    EXPECT_TRUE(vrtest::FileExists(dir.file(L"dumps"))) << "the service made its own dump folder";
    EXPECT_FALSE(VrBase::unique_handle(::OpenEventW(kEventQueryState, FALSE, L"Global\\SSR_Online")))
        << "the marker is gone after stop";

    // What the service reported, in order: start-pending with growing check
    // points and the 30 s hint, running, the stop sequence, stopped.
    // The service thread's stop report runs beside the shut-down steps, so
    // its wait hint (100) may take any of the three next check points.
    std::vector<std::string> expected;
    for (int i = 0; i <= 10; ++i) expected.push_back("2/" + std::to_string(i) + "/30000");
    expected.insert(expected.end(), {"4/0/0", "3/100/60000", "3/101/*", "3/102/*", "3/103/*", "1/0/0"});
    std::vector<std::string> reports = Reports();
    int teardownHints = 0;
    for (std::string& r : reports) {
        const size_t slash = r.rfind('/');
        if (r.rfind("3/10", 0) == 0 && r != "3/100/60000") {
            teardownHints += r.substr(slash + 1) == "100";
            EXPECT_TRUE(r.substr(slash + 1) == "100" || r.substr(slash + 1) == "60000") << r;
            r = r.substr(0, slash + 1) + "*";
        }
    }
    EXPECT_EQ(reports, expected);
    EXPECT_EQ(teardownHints, 1);
    for (const Observed& o : seen)
        EXPECT_TRUE(o.state == SERVICE_START_PENDING || o.state == SERVICE_RUNNING || o.state == SERVICE_STOP_PENDING ||
                    o.state == SERVICE_STOPPED);
}

TEST_F(ServiceScm, SetupToolRejectsBadCommands) {
    EXPECT_EQ(vrtest::RunChild(L"vrssr-setup.exe", L""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(vrtest::RunChild(L"vrssr-setup.exe", L"install --start=sometimes"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Installing again updates the registration instead of failing.
    EXPECT_EQ(vrtest::RunChild(L"vrssr-setup.exe", L"install --start=auto --protection-dir=" + dir.path()), 0u);
    QUERY_SERVICE_CONFIGW* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(new BYTE[8192]);
    std::unique_ptr<BYTE[]> owner(reinterpret_cast<BYTE*>(config));
    DWORD needed = 0;
    ASSERT_TRUE(::QueryServiceConfigW(service.get(), config, 8192, &needed));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_NE(std::wstring(config->lpBinaryPathName).find(L"VrSSRSrv.exe"), std::wstring::npos);
    // Back to demand start so no later Wine session starts it by itself.
    EXPECT_EQ(vrtest::RunChild(L"vrssr-setup.exe", L"install --start=demand --protection-dir=" + dir.path()), 0u);

    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value);
    ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                             L"LocalProtectionDir", RRF_RT_REG_SZ, nullptr, value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(value), dir.path() + L"\\");
}

// Started from a command prompt, the program cannot reach the dispatcher.
TEST(ServiceProgram, StartedOutsideTheScmExitsWith1063) {
    EXPECT_EQ(vrtest::RunChild(L"VrSSRSrv.exe", L"any arguments"), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

} // namespace
