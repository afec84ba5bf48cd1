// An ordinary local user against the core and the management's sender.
// These show faults still open: they are disabled so the suite stays green;
// run them with --gtest_also_run_disabled_tests.
#include "core_link.h"
#include "core_test_support.h"
#include "core_wire.h"
#include "ssr_messages.h"
#include "ssr_msg_sender.h"
#include "vrevtapi.h"
#include "vrsrvapi.h"
#include "vrbase/scope.h"
#include "vrbase/vr_error.h"

#include <psapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace coretest;

namespace {

std::atomic<int> g_squatterCalls{0};
std::atomic<size_t> g_squatterBytes{0};

// Takes whatever it is sent and says it went well.
DWORD WINAPI SquatterSend(void*, VRM_MESSAGE* m, DWORD* replySize, void* reply) {
    ++g_squatterCalls;
    g_squatterBytes += m->DataSize;
    if (reply && *replySize >= 4) std::memset(reply, 0, 4);
    *replySize = 4;
    return 0;
}

// While the scan service has no session (not started yet, restarting, or
// reconnecting after a core restart) a non-administrator's client session
// under its name is the first id the sender finds, and the management's
// configuration goes to it and is "accepted".
TEST(Adversary, SenderNeverTakesAClientSessionForTheScanService) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    g_squatterCalls = 0;
    VR_SESSION squat{};
    {
        VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
        vrtest::Impersonation as(nonAdmin.get());
        squat.Name = L"VrSoftwareState";
        squat.Flags = VR_SESSION_CLIENT | 2;
        squat.SendRoutine = &SquatterSend;
        ASSERT_EQ(VrOpenSession(&squat), 0u);
    }
    VrBase::scope_exit close([&] { VrCloseSession(squat.Handle); });
    ASSERT_EQ(VrSubscribeMessage(squat.Handle, VRM_SSR_SET_FULL_CONFIG, TRUE), 0u);

    DWORD code = 0;
    try {
        ssr_send_full_config(L"<Configuration>the administrator's settings</Configuration>");
    } catch (const VrBase::CVrError& e) {
        code = e.GetCode();
    }
    EXPECT_EQ(g_squatterCalls.load(), 0) << "the configuration reached a non-administrator's session";
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE)) << "the send was reported as accepted";
}

std::vector<BYTE> Payload(const std::wstring& name, DWORD flags) {
    vrcc::PayloadWriter w;
    w.str(name).u32(flags).u32(0);
    for (int i = 0; i < 6; ++i) w.u32(0);
    w.u64(0);
    return w.take();
}

bool WriteFrame(HANDLE pipe, uint16_t command, uint64_t id, const std::vector<BYTE>& payload) {
    std::vector<BYTE> f = vrcc::EncodeFrame(command, id, 0, payload);
    DWORD written = 0;
    return ::WriteFile(pipe, f.data(), static_cast<DWORD>(f.size()), &written, nullptr) && written == f.size();
}

// A connection of our own, in message mode; the core may be between
// instances for a moment.
VrBase::unique_hfile RawConnection() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        VrBase::unique_hfile pipe(::CreateFileW(vrcc::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        if (pipe) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            ::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
            return pipe;
        }
        if (::GetLastError() != ERROR_PIPE_BUSY) break;
        ::WaitNamedPipeW(vrcc::kPipeName, 200);
    }
    return {};
}

SIZE_T PrivateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof pmc;
    if (!::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc)) return 0;
    // Wine leaves PrivateUsage zero; the working set is what it reports.
    return pmc.PrivateUsage ? pmc.PrivateUsage : pmc.WorkingSetSize;
}

// A connection that asks and never reads its answers: every answer waits in
// the core's queue for that connection, up to four times the largest
// payload, and any user may open MaxConnections of them. Small requests
// with large answers (the session list of a session with many
// subscriptions) fill that queue in seconds.
TEST(Adversary, ClientsThatNeverReadDoNotGrowTheCore) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    const SIZE_T before = PrivateBytes(core.Process());
    ASSERT_NE(before, 0u);

    constexpr int kConnections = 3;
    std::vector<VrBase::unique_hfile> pipes;
    for (int c = 0; c < kConnections; ++c) {
        VrBase::unique_hfile pipe = RawConnection();
        ASSERT_TRUE(pipe) << ::GetLastError();
        uint64_t id = 1;
        ASSERT_TRUE(WriteFrame(pipe.get(), vrcc::CmdOpenSession, id++,
                               Payload(L"@reader-" + std::to_wstring(c), VR_SESSION_CLIENT | 2)));
        for (DWORD m = 0; m < vrcc::kMaxSubscriptions; ++m) {
            vrcc::PayloadWriter w;
            w.u32(0x7000 + m).u32(1);
            ASSERT_TRUE(WriteFrame(pipe.get(), vrcc::CmdSubscribe, id++, w.take()));
        }
        pipes.push_back(std::move(pipe));
    }
    // About 16 KiB per session in each answer; 32 bytes asked.
    for (int round = 0; round < 6000; ++round)
        for (auto& pipe : pipes)
            if (!WriteFrame(pipe.get(), vrcc::CmdListSessions, 100000 + round, {})) break;
    ::Sleep(3000);
    const SIZE_T after = PrivateBytes(core.Process());
    const double grownMiB = (after > before ? after - before : 0) / 1048576.0;
    std::printf("core private bytes: %.1f MiB before, grown by %.1f MiB\n", before / 1048576.0, grownMiB);
    EXPECT_LT(grownMiB, 64.0) << "three connections that never read grew the core by " << grownMiB << " MiB";
}

// An agent's link with a routine that stays busy until released, counting
// the notifications it runs by their set name.
struct BusyAgent {
    VrBase::unique_handle release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    VrBase::unique_handle firstRun{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    VrBase::unique_handle markerRun{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<int> floodRuns{0};

    void OnFrame(vrcc::Frame& f) {
        if (f.status == ERROR_CANCELLED || f.command != vrcc::CmdAgentNotify) return;
        vrcc::PayloadReader r(f.payload);
        r.str(vrcc::kMaxNameChars);
        r.u32();
        const std::wstring setName = r.str(vrcc::kMaxNameChars);
        if (setName == L"marker") {
            ::SetEvent(markerRun.get());
            return;
        }
        ++floodRuns;
        ::SetEvent(firstRun.get());
        ::WaitForSingleObject(release.get(), 60000);
    }
};

// Anybody may notify the agents, and an agent's library reads every
// notification while its routine is busy: one user pipelining
// notifications would grow the management agent (an administrator's or
// SYSTEM's process) without bound. While the routine is busy the link holds
// as many as its bound and drops the rest; counted, not weighed.
TEST(Adversary, NotificationFloodIsHeldToTheBoundWhileTheAgentIsBusy) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    const std::wstring component = L"vrtest.flooded-agent-" + std::to_wstring(::GetCurrentProcessId());
    auto agent = std::make_shared<BusyAgent>();
    std::shared_ptr<vrcc::CCoreLink> link;
    ASSERT_EQ(vrcc::CCoreLink::Connect([agent](vrcc::CCoreLink&, vrcc::Frame& f) { agent->OnFrame(f); }, nullptr,
                                       link),
              0u);
    VrBase::scope_exit shutdown([&] {
        ::SetEvent(agent->release.get());
        link->Shutdown(10000);
    });
    vrcc::PayloadWriter reg;
    reg.str(component);
    vrcc::Frame answer;
    ASSERT_EQ(link->Call(vrcc::CmdAgentRegister, reg.data(), answer, 30000), 0u);

    VrBase::unique_hfile pipe = RawConnection();
    ASSERT_TRUE(pipe) << ::GetLastError();
    std::atomic<int> answered{0};
    VrBase::unique_handle allAnswered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    constexpr int kFlood = 2000;
    std::thread drain([&] {
        std::vector<BYTE> buf(4096);
        DWORD got = 0;
        while (::ReadFile(pipe.get(), buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr))
            if (++answered == kFlood) ::SetEvent(allAnswered.get());
    });
    VrBase::scope_exit endDrain([&] {
        core.Kill();  // the drain's read ends with the pipe
        drain.join();
    });
    auto notify = [&](const std::wstring& setName, uint64_t id) {
        vrcc::PayloadWriter w;
        w.str(component).u32(VR_AGENT_STATE_CHANGED).str(setName);
        return WriteFrame(pipe.get(), vrcc::CmdNotify, id, w.take());
    };
    const std::wstring floodName(vrcc::kMaxNameChars, L'n');
    ASSERT_TRUE(notify(floodName, 1));
    ASSERT_EQ(::WaitForSingleObject(agent->firstRun.get(), 30000), WAIT_OBJECT_0) << "the routine is busy";
    for (int i = 1; i < kFlood; ++i) ASSERT_TRUE(notify(floodName, i + 1));
    // Every notification is in the agent's queue at the core once it is
    // answered; an answer to the link itself comes after all of them, so
    // the link has read (held or dropped) each one when it arrives.
    ASSERT_EQ(::WaitForSingleObject(allAnswered.get(), 120000), WAIT_OBJECT_0) << answered.load() << " answered";
    ASSERT_EQ(link->Call(vrcc::CmdAgentRegister, reg.data(), answer, 30000), 0u);
    ::SetEvent(agent->release.get());
    // A marker runs after everything held; it is sent again if it came
    // while the queue was still full.
    bool markerRan = false;
    for (int i = 0; i < 120 && !markerRan; ++i) {
        ASSERT_TRUE(notify(L"marker", kFlood + 1 + i));
        markerRan = ::WaitForSingleObject(agent->markerRun.get(), 500) == WAIT_OBJECT_0;
    }
    ASSERT_TRUE(markerRan);
    std::printf("%d notifications sent to a busy agent, %d run\n", kFlood, agent->floodRuns.load());
    EXPECT_EQ(agent->floodRuns.load(), static_cast<int>(1 + vrcc::CCoreLink::kMaxQueuedNotifications))
        << "the one running and the bound held, the rest dropped";
}

// The connection limit counts everybody alike: a user who holds it, doing
// nothing, shuts the services and administrators out of the core.
TEST(Adversary, DISABLED_IdleConnectionsOfOneUserDoNotShutServicesOut) {
    CoreConfig config;
    constexpr DWORD kLimit = 8;
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, vrcc::kParametersKey, L"MaxConnections", REG_DWORD, &kLimit,
                                sizeof kLimit),
              ERROR_SUCCESS);
    CoreProcess core;
    core.Start();
    std::vector<VrBase::unique_hfile> held;
    {
        VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
        vrtest::Impersonation as(nonAdmin.get());
        for (DWORD i = 0; i < kLimit; ++i) {
            held.push_back(RawConnection());
            ASSERT_TRUE(held.back()) << ::GetLastError();
        }
    }
    ::Sleep(500);  // all of them accepted
    VR_SESSION service{};
    service.Name = L"vrtest.shut-out";
    service.Flags = 2;
    service.SendRoutine = &SquatterSend;
    const DWORD e = VrOpenSession(&service);
    if (e == 0) VrCloseSession(service.Handle);
    EXPECT_EQ(e, 0u) << "an administrator's service session refused while a non-administrator holds every connection";
}

// Anybody may write to the journal, each record up to 256 strings of 32 Ki
// characters, and the journal has no bound: one user fills the disk that
// holds it, through the core, at the speed of the disk.
TEST(Adversary, OneUsersEventsDoNotGrowTheJournalWithoutBound) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    const std::wstring text(vrcc::kMaxTextChars, L'j');
    std::vector<const WCHAR*> strings(8, text.c_str());             // about 256 KiB a record
    std::vector<const WCHAR*> oversized(vrcc::kMaxEventStrings, text.c_str());
    const ULONGLONG started = ::GetTickCount64();
    int written = 0;
    {
        VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
        vrtest::Impersonation as(nonAdmin.get());
        HANDLE source = VrRegisterEventSourceEx(L"vrtest.filler", L"filler");
        ASSERT_NE(source, nullptr);
        EXPECT_FALSE(VrWriteEvent(source, EVENTLOG_INFORMATION_TYPE, 1, 1, nullptr,
                                  static_cast<WORD>(oversized.size()), 0, oversized.data(), nullptr))
            << "one record of 8 MiB";
        for (int i = 0; i < 300; ++i)
            if (VrWriteEvent(source, EVENTLOG_INFORMATION_TYPE, 1, 1, nullptr, static_cast<WORD>(strings.size()), 0,
                             strings.data(), nullptr))
                ++written;
        VrDeregisterEventSource(source);
    }
    EXPECT_EQ(written, 300) << "ordinary records are all kept";
    EXPECT_TRUE(vrtest::FileExists(config.JournalPath() + L".1")) << "the older part is kept beside it";
    const double seconds = (::GetTickCount64() - started) / 1000.0;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(::GetFileAttributesExW(config.JournalPath().c_str(), GetFileExInfoStandard, &data));
    const double mib = ((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) / 1048576.0;
    std::printf("%d records by a non-administrator: journal %.1f MiB in %.1f s\n", written, mib, seconds);
    EXPECT_LT(mib, 64.0);
}

} // namespace
