#pragma once
// The real components installed under the SCM in the build's prefix, and the
// ways an administrator reaches them from outside: vragent, the management
// side of the messages, the SCM, the registry, the depot and the journal.
#include "core_test_support.h"
#include "support/test_support.h"
#include "vrbase/scope.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace e2e {

// How a stop went: its whole time, and its longest wait for a sign of
// progress (a new check point or state) with the wait hint then in force.
struct StopTiming {
    DWORD totalMs = 0;
    DWORD longestWaitMs = 0;
    DWORD hintMs = 0;
    // The test polls, and a loaded machine schedules both sides late: a
    // report a little after its hint is the machine's, not the service's.
    static constexpr DWORD kSchedulingSlackMs = 1000;
    bool WithinHints() const { return longestWaitMs <= hintMs + kSchedulingSlackMs; }
};

// Installs VrCC and VrSoftwareState (demand start), starts the core and
// removes both again when the test ends.
class ServicesTest : public ::testing::Test {
protected:
    using StopTiming = e2e::StopTiming;
    vrtest::TempDir dir{L"vre2e"};
    vrtest::RegKeyScope product{L"SOFTWARE\\Calderis\\Varnel Studio"};
    coretest::CoreConfig config;
    VrBase::unique_schandle scm, scanService, coreService;

    void SetUp() override;
    void TearDown() override;

    static DWORD Agent(const std::wstring& args, std::string& out, DWORD timeoutMs = 120000);
    // vrcc-ctl events [--since mark]; the mark to use next goes out.
    static std::string Events(unsigned long long since, unsigned long long* next = nullptr);

    static DWORD StateOf(SC_HANDLE service);
    DWORD State() { return StateOf(scanService.get()); }
    DWORD StartType();
    DWORD ScanPid();
    // Starts a service, retrying while its last process is on its way out,
    // and waits until it runs.
    static bool Start(SC_HANDLE service, DWORD ms = 30000);
    // Stop control, followed until STOPPED; false when it never stopped.
    static bool Stop(SC_HANDLE service, StopTiming* timing = nullptr, DWORD ms = 120000);
    // The scan service up and its session on the core open.
    bool StartScanService();

    // The scan service's session on the core, which it opens once it runs.
    static bool ServiceSessionOpen(DWORD ms);

    std::wstring DepotFile(const wchar_t* name) const { return dir.path() + L"\\ssr_depot\\" + name; }
    std::wstring Document() const { return DepotFile(L"SSR_LastSoftState.xml"); }
    std::wstring LastConfig() const { return DepotFile(L"SSR_LastConfig.xml"); }
};

// "e2e: stop <what>: ..." with the stop's figures.
void PrintStop(const std::string& what, const StopTiming& timing);

// A configuration document scanning the folders (all extensions), with the
// four events registered; schedule is the ScheduleScan element.
std::wstring ScanConfig(const std::wstring& folders, const std::wstring& schedule = L"<ScheduleScan enabled=\"false\"/>");
std::string Utf8(const std::wstring& text);

// The state document's element text ("" when absent).
std::wstring Element(const std::wstring& document, const wchar_t* name);

// Reads the whole file as XML; true when it is well-formed to its end. The
// count of elements named `element` goes out.
bool WellFormedXml(const std::wstring& path, const wchar_t* element = nullptr, size_t* count = nullptr);

// The state through the management side of the messages; empty on failure,
// with the code out.
std::wstring RequestState(DWORD* code = nullptr);

// Polls the state until its Status is `status`, up to ms.
bool WaitStatus(const wchar_t* status, DWORD ms, std::wstring* document = nullptr);

// Ends a process by id, as a crash would, and waits for it to go.
bool KillProcess(DWORD pid);

} // namespace e2e
