// An ordinary local user against the core and the management's sender.
#include "core_link.h"
#include "core_test_support.h"
#include "core_journal.h"
#include "core_server.h"
#include "core_wire.h"
#include "journal_format.h"
#include "writer_quota.h"
#include "ssr_messages.h"
#include "ssr_msg_sender.h"
#include "vrevtapi.h"
#include "vrsrvapi.h"
#include "vrbase/scope.h"
#include "vrbase/vr_error.h"

#include <psapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
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
TEST(Adversary, IdleConnectionsOfOneUserDoNotShutServicesOut) {
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

    // A connection that never asks anything is not kept either.
    VrBase::unique_hfile idle = RawConnection();
    ASSERT_TRUE(idle);
    const ULONGLONG start = ::GetTickCount64();
    bool dropped = false;
    while (!dropped && ::GetTickCount64() - start < 60000) {
        DWORD available = 0;
        dropped = !::PeekNamedPipe(idle.get(), nullptr, 0, nullptr, &available, nullptr);
        if (!dropped) ::Sleep(250);
    }
    EXPECT_TRUE(dropped) << "an idle connection kept for a minute";
    std::printf("an idle connection was dropped after %.1f s\n", (::GetTickCount64() - start) / 1000.0);
}

// Connections that stay out of the idle rules (registered as agents, or
// asking something every few milliseconds) must not shut an administrator's
// service session out either.
TEST(Adversary, BusyOrRegisteredConnectionsOfOneUserDoNotShutServicesOut) {
    CoreConfig config;
    constexpr DWORD kLimit = 8;
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, vrcc::kParametersKey, L"MaxConnections", REG_DWORD, &kLimit,
                                sizeof kLimit),
              ERROR_SUCCESS);
    CoreProcess core;
    core.Start();
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode == 0 ? "agents" : "busy");
        std::vector<VrBase::unique_hfile> held;
        std::atomic<bool> stop{false};
        std::vector<std::thread> pingers;
        {
            VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
            vrtest::Impersonation as(nonAdmin.get());
            // As many as the core lets in: one that is refused or dropped
            // is tried again a little later.
            for (int attempt = 0; attempt < 40 && held.size() < kLimit; ++attempt) {
                VrBase::unique_hfile c = RawConnection();
                if (!c) continue;
                vrcc::PayloadWriter w;
                if (mode == 0) w.str(L"vrtest.component");
                else w.u32(1);
                std::vector<BYTE> answer(64 * 1024);
                DWORD got = 0;
                if (!WriteFrame(c.get(), mode == 0 ? vrcc::CmdAgentRegister : vrcc::CmdComputerInfo, 1, w.take()) ||
                    !::ReadFile(c.get(), answer.data(), static_cast<DWORD>(answer.size()), &got, nullptr)) {
                    ::Sleep(250);
                    continue;
                }
                held.push_back(std::move(c));
            }
            std::printf("%s: %zu connections held\n", mode == 0 ? "agents" : "busy", held.size());
        }
        if (mode == 1)
            for (auto& c : held) {
                HANDLE h = c.get();
                pingers.emplace_back([h, &stop] {
                    std::vector<BYTE> answer(64 * 1024);
                    for (uint64_t id = 1; !stop; ++id) {
                        vrcc::PayloadWriter w;
                        w.u32(1);
                        if (!WriteFrame(h, vrcc::CmdComputerInfo, id, w.take())) return;
                        DWORD got = 0;
                        if (!::ReadFile(h, answer.data(), static_cast<DWORD>(answer.size()), &got, nullptr)) return;
                        ::Sleep(50);
                    }
                });
            }
        ::Sleep(500);
        VR_SESSION service{};
        service.Name = L"vrtest.shut-out";
        service.Flags = 2;
        service.SendRoutine = &SquatterSend;
        const DWORD e = VrOpenSession(&service);
        if (e == 0) VrCloseSession(service.Handle);
        stop = true;
        for (auto& c : held) ::CancelIoEx(c.get(), nullptr);
        for (auto& t : pingers) t.join();
        held.clear();
        EXPECT_EQ(e, 0u) << "an administrator's service session refused";
        ::Sleep(300);
    }
}

std::vector<vrcc::JournalRecord> JournalRecords(const std::wstring& path) {
    std::vector<vrcc::JournalRecord> records;
    for (const std::string& line : vrtest::SplitLines(vrtest::ReadFileBytes(path))) {
        vrcc::JournalRecord r;
        if (vrcc::ParseJournalLine(line, r)) records.push_back(r);
    }
    return records;
}

std::vector<BYTE> SidOf(const wchar_t* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(::ConvertStringSidToSidW(text, &sid));
    std::vector<BYTE> bytes(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + ::GetLengthSid(sid));
    ::LocalFree(sid);
    return bytes;
}

// An ordinary user writes a record in the scan service's name, as SYSTEM:
// it is kept, but as the user's own, in the users' file, and read back with
// the services' records as one journal in number order.
TEST(Adversary, AnOrdinaryCallerWritesTheJournalOnlyAsItself) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    HANDLE source = VrRegisterEventSourceEx(L"ROZEDURI", L"RarudodaVaridide");
    ASSERT_NE(source, nullptr);
    VrBase::scope_exit deregister([&] { VrDeregisterEventSource(source); });
    std::vector<BYTE> system = SidOf(L"S-1-5-18");
    const WCHAR* before[] = {L"service-before"};
    const WCHAR* forged[] = {L"forged-by-a-user"};
    const WCHAR* after[] = {L"service-after"};
    ASSERT_TRUE(VrWriteEvent(source, 0, 1, 0x451, system.data(), 1, 0, before, nullptr));
    {
        VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
        vrtest::Impersonation as(nonAdmin.get());
        ASSERT_TRUE(VrWriteEvent(source, 0, 1, 0x451, system.data(), 1, 0, forged, nullptr)) << ::GetLastError();
    }
    ASSERT_TRUE(VrWriteEvent(source, 0, 1, 0x451, system.data(), 1, 0, after, nullptr));

    std::vector<vrcc::JournalRecord> services = JournalRecords(config.JournalPath());
    ASSERT_EQ(services.size(), 2u);
    for (auto& r : services) {
        EXPECT_EQ(r.source, L"ROZEDURI") << "an administrator writes in a service's name";
        EXPECT_EQ(r.sid, L"S-1-5-18");
    }
    std::vector<vrcc::JournalRecord> users =
        JournalRecords(vrcc::CEventJournal::OrdinaryPath(config.JournalPath()));
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].strings, std::vector<std::wstring>{L"forged-by-a-user"});
    EXPECT_EQ(users[0].sid, CurrentUserSid()) << "the user's own SID, not the one claimed";
    EXPECT_EQ(users[0].source, std::wstring(vrcc::kOrdinarySourcePrefix) + L"ROZEDURI");

    std::string out;
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"events", out), 0u) << out;
    const size_t a = out.find("service-before"), b = out.find("forged-by-a-user"), c = out.find("service-after");
    ASSERT_NE(a, std::string::npos) << out;
    ASSERT_NE(b, std::string::npos) << out;
    ASSERT_NE(c, std::string::npos) << out;
    EXPECT_TRUE(a < b && b < c) << "one journal in number order:\n" << out;
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"events --since 1", out), 0u) << out;
    EXPECT_EQ(out.find("service-before"), std::string::npos) << out;
    EXPECT_NE(out.find("forged-by-a-user"), std::string::npos) << out;
    EXPECT_NE(out.find("service-after"), std::string::npos) << out;
}

// One user writing records of about 960 KB as fast as the core takes them
// used to rotate the journal twice in seconds: every earlier record of the
// scan service was gone. Now the user's records stop at a quota, in a file
// of their own, and the service's record stays.
TEST(Adversary, AFloodOfLargeRecordsKeepsTheServicesRecords) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    HANDLE source = VrRegisterEventSourceEx(L"ROZEDURI", L"RarudodaVaridide");
    ASSERT_NE(source, nullptr);
    VrBase::scope_exit deregister([&] { VrDeregisterEventSource(source); });
    const WCHAR* mark[] = {L"the service's earlier record"};
    ASSERT_TRUE(VrWriteEvent(source, 0, 1, 0x44C, nullptr, 1, 0, mark, nullptr));

    const std::wstring text(vrcc::kMaxTextChars, L'j');
    std::vector<const WCHAR*> strings(30, text.c_str());  // about 960 KB a record
    int written = 0, refused = 0;
    DWORD refusal = 0;
    {
        VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
        vrtest::Impersonation as(nonAdmin.get());
        for (int i = 0; i < 70; ++i) {
            if (VrWriteEvent(source, EVENTLOG_INFORMATION_TYPE, 1, 1, nullptr, static_cast<WORD>(strings.size()), 0,
                             strings.data(), nullptr)) {
                ++written;
            } else {
                ++refused;
                refusal = ::GetLastError();
            }
        }
    }
    std::printf("70 records of about 960 KB by a non-administrator: %d written, %d refused (%u)\n", written, refused,
                static_cast<unsigned>(refusal));
    EXPECT_GT(refused, 0);
    EXPECT_EQ(refusal, static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    EXPECT_LE(written * 960.0 * 1024, 1.0 * vrcc::CWriterQuota::kBytesPerMinute);
    std::vector<vrcc::JournalRecord> services = JournalRecords(config.JournalPath());
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].strings, std::vector<std::wstring>{mark[0]});
    EXPECT_FALSE(vrtest::FileExists(config.JournalPath() + L".1")) << "the services' file was never rotated";
    // The service itself is never held back by the user's quota.
    ASSERT_TRUE(VrWriteEvent(source, 0, 1, 0x44E, nullptr, 1, 0, mark, nullptr)) << ::GetLastError();
}

// The linked (filtered) token of an administrator is at identification
// level; Wine lets it be copied into a primary token, and such a copy, or
// one of an identification copy of the process's own token, used to pass
// for an administrator.
TEST(Adversary, APrimaryCopyOfAnIdentificationTokenIsNoAdministrator) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    VrBase::unique_handle process;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put()));
    std::vector<VrBase::unique_handle> copies;
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (::GetTokenInformation(process.get(), TokenLinkedToken, &linked, sizeof linked, &size)) {
        VrBase::unique_handle owner(linked.LinkedToken);
        VrBase::unique_handle primary;
        if (::DuplicateTokenEx(owner.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                               primary.put()))
            copies.push_back(std::move(primary));
    }
    VrBase::unique_handle identification, primary;
    ASSERT_TRUE(::DuplicateTokenEx(process.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification,
                                   TokenImpersonation, identification.put()));
    if (::DuplicateTokenEx(identification.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                           primary.put()))
        copies.push_back(std::move(primary));
    copies.push_back(std::move(identification));
    if (copies.size() < 2) GTEST_SKIP() << "this system makes no primary copy of an identification token";

    auto policySet = [&](HANDLE token) -> DWORD {
        VrBase::unique_hfile pipe = RawConnection();
        EXPECT_TRUE(pipe);
        vrcc::PayloadWriter w;
        w.str(L"vrtest.forged").str(L"text").u64(reinterpret_cast<uintptr_t>(token));
        EXPECT_TRUE(WriteFrame(pipe.get(), vrcc::CmdPolicySet, 1, w.take()));
        std::vector<BYTE> buf(4096);
        DWORD got = 0;
        if (!::ReadFile(pipe.get(), buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) return ~0u;
        return vrcc::CheckHeader(buf.data(), got).status;
    };
    for (auto& copy : copies) {
        const DWORD status = policySet(copy.get());
        EXPECT_TRUE(status == ERROR_ACCESS_DENIED || status == ERROR_BAD_IMPERSONATION_LEVEL) << status;
    }
    EXPECT_EQ(policySet(process.get()), 0u) << "the process's own token is an elevated administrator's";
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, vrcc::kPolicyKey, L"vrtest.forged");
}

// An ordinary user's process opens its administrator parent's token (same
// user, so it may) and speaks with an impersonation copy of it: policy, a
// record in SYSTEM's name and a service's session must all stay refused.
TEST(Adversary, AnAdministratorsTokenBorrowedByAnOrdinaryProcessIsNoAdministrator) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    VrBase::scope_exit clear([] { ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, vrcc::kPolicyKey, L"BORROWED"); });
    Peer borrower(L"borrow", std::to_wstring(::GetCurrentProcessId()), true);
    const DWORD took = borrower.WaitExit();
    ASSERT_LT(took, 100u) << "the ordinary process could not copy its parent's token: " << took;
    EXPECT_EQ(took & 1, 0u) << "policy set with a borrowed token";
    EXPECT_EQ(took & 4, 0u) << "a service's session opened with a borrowed token";
    for (const auto& r : JournalRecords(config.JournalPath()))
        EXPECT_NE(r.strings, std::vector<std::wstring>{L"written-with-a-borrowed-token"})
            << "a record kept in the services' journal as " << std::string(r.sid.begin(), r.sid.end());
    DWORD type = 0, size = 0;
    EXPECT_NE(::RegGetValueW(HKEY_LOCAL_MACHINE, vrcc::kPolicyKey, L"BORROWED", RRF_RT_ANY, &type, nullptr, &size),
              ERROR_SUCCESS);

}

// A process that may impersonate (a service's account) connects, then
// gives that right up for good, as a process does before it runs code it
// does not trust: from then on, on the connection it already has as on a
// new one, an administrator's token it holds is no longer its to hand over.
TEST(Adversary, AProcessThatGaveUpImpersonatingHandsOverNoAdministratorsToken) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    VrBase::scope_exit clear([] { ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, vrcc::kPolicyKey, L"BORROWED"); });
    Peer borrower(L"borrow-after-giving-up", std::to_wstring(::GetCurrentProcessId()), true, true);
    const DWORD took = borrower.WaitExit();
    if (took == 104 || took == 107) GTEST_SKIP() << "this system keeps or takes no SeImpersonatePrivilege: " << took;
    ASSERT_LT(took, 100u) << took;
    EXPECT_EQ(took & 2, 0u) << "policy set on a new connection";
    EXPECT_EQ(took & 1, 0u) << "policy set on the connection made while the process could impersonate";
}

// A service's session of this process that takes one message id.
struct ServiceSession {
    ServiceSession(const wchar_t* name, PVR_SEND_ROUTINE routine, DWORD messageId) {
        session.Name = name;
        session.Flags = 2;
        session.SendRoutine = routine;
        if (VrOpenSession(&session)) throw std::runtime_error("cannot open a service session");
        if (VrSubscribeMessage(session.Handle, messageId, TRUE)) {
            VrCloseSession(session.Handle);
            throw std::runtime_error("cannot subscribe");
        }
    }
    ~ServiceSession() { VrCloseSession(session.Handle); }
    ServiceSession(const ServiceSession&) = delete;
    ServiceSession& operator=(const ServiceSession&) = delete;
    VR_SESSION session{};
};

// A client session of this process (an administrator's, as the tests run).
struct ClientSession {
    explicit ClientSession(const wchar_t* name) {
        session.Name = name;
        session.Flags = VR_SESSION_CLIENT | 2;
        if (VrOpenSession(&session)) throw std::runtime_error("cannot open a client session");
    }
    ~ClientSession() { VrCloseSession(session.Handle); }
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;
    VR_SESSION session{};
};

SIZE_T PeakWorkingSet(HANDLE process) {
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    return ::GetProcessMemoryInfo(process, &pmc, sizeof pmc) ? pmc.PeakWorkingSetSize : 0;
}

// Fills the sender's whole buffer, as a hostile receiver may.
DWORD WINAPI FillingReceiver(void*, VRM_MESSAGE*, DWORD* replySize, void* reply) {
    if (reply && *replySize) std::memset(reply, 0x5A, *replySize);
    return 0;
}

// A session on a raw connection that takes posts of one id and never reads
// them: what is posted to it stays held by the core. A service's, or with
// an ordinary user's token an ordinary client's.
struct PostSink {
    PostSink(const std::wstring& name, DWORD messageId, HANDLE ordinary = nullptr) {
        std::unique_ptr<vrtest::Impersonation> as;
        if (ordinary) as = std::make_unique<vrtest::Impersonation>(ordinary);
        pipe = RawConnection();
        vrcc::PayloadWriter open;
        open.str(name).u32(ordinary ? VR_SESSION_CLIENT | 2 : 2).u32(2);
        for (int i = 0; i < 6; ++i) open.u32(0);
        open.u64(reinterpret_cast<uintptr_t>(ordinary));
        vrcc::PayloadWriter subscribe;
        subscribe.u32(messageId).u32(1);
        BYTE answer[256];
        DWORD got = 0;
        if (!WriteFrame(pipe.get(), vrcc::CmdOpenSession, 1, open.take()) ||
            !::ReadFile(pipe.get(), answer, sizeof answer, &got, nullptr) ||
            got < sizeof(vrcc::FrameHeader) + 4 ||
            !WriteFrame(pipe.get(), vrcc::CmdSubscribe, 2, subscribe.take()) ||
            !::ReadFile(pipe.get(), answer + 64, sizeof answer - 64, &got, nullptr))
            throw std::runtime_error("cannot open a raw service session");
        std::memcpy(&id, answer + sizeof(vrcc::FrameHeader), sizeof id);
    }
    VrBase::unique_hfile pipe;
    DWORD id = 0;
};

// Whether the core can hold two posts of 47 MiB of an ordinary user at
// once, that is whether nearly all of its bound is free: a few MiB held by
// mistake make the second one busy. An administrator's posts would go into
// the room kept beyond the bound, and hide a mistake that large. What
// closing connections held may take a moment to go.
bool TheCoresBoundIsFree() {
    const std::vector<BYTE> data(47u << 20, 0x5A);
    VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
    VR_SESSION user{};
    {
        vrtest::Impersonation as(nonAdmin.get());
        user.Name = L"@bound-check";
        user.Flags = VR_SESSION_CLIENT | 2;
        if (VrOpenSession(&user)) return false;
    }
    VrBase::scope_exit close([&] { VrCloseSession(user.Handle); });
    for (int attempt = 0; attempt < 120; ++attempt) {
        if (attempt) ::Sleep(250);
        PostSink a(L"vrtest.sink-a", 0x7101), b(L"vrtest.sink-b", 0x7102);
        vrtest::Impersonation as(nonAdmin.get());
        if (!VrPostMessage(user.Handle, a.id, 0x7101, static_cast<DWORD>(data.size()), data.data()) &&
            !VrPostMessage(user.Handle, b.id, 0x7102, static_cast<DWORD>(data.size()), data.data()))
            return true;
    }
    return false;
}

// 8 connections, each sending 3 small requests with a 64 MiB reply buffer
// and never reading the answers: the core used to hold every answer in
// full. Now what it holds for all connections together is bounded.
TEST(Adversary, LargeReplyBuffersOfClientsThatNeverReadStayWithinTheCoresBound) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    ServiceSession receiver(L"vrtest.filling", &FillingReceiver, 0x7001);
    const SIZE_T before = PrivateBytes(core.Process());

    std::vector<VrBase::unique_hfile> pipes;
    for (int c = 0; c < 8; ++c) {
        VrBase::unique_hfile pipe = RawConnection();
        ASSERT_TRUE(pipe) << ::GetLastError();
        ASSERT_TRUE(WriteFrame(pipe.get(), vrcc::CmdOpenSession, 1,
                               Payload(L"@amplifier-" + std::to_wstring(c), VR_SESSION_CLIENT | 2)));
        for (int r = 0; r < 3; ++r) {
            vrcc::PayloadWriter w;
            w.u32(receiver.session.SessionId).u32(0x7001).u32(vrcc::kMaxData).u32(1).u64(0).bytes("state?", 6);
            ASSERT_TRUE(WriteFrame(pipe.get(), vrcc::CmdSend, 10 + r, w.take()));
        }
        pipes.push_back(std::move(pipe));
    }
    ::Sleep(15000);  // every reply made and queued, or refused
    const SIZE_T peak = PeakWorkingSet(core.Process());
    const double grownMiB = (peak > before ? peak - before : 0) / 1048576.0;
    std::printf("VrCC with 8 x 3 replies of 64 MiB waiting: peak working set %.1f MiB (%.1f MiB before)\n",
                peak / 1048576.0, before / 1048576.0);
    // The bound and, these clients being administrators, the room kept for
    // them beyond it; and one reply being read and built (its copies).
    const double heldMiB = vrcc::CCoreServer::Bound(true) / 1048576.0;
    EXPECT_LT(grownMiB, heldMiB + 144.0) << "the core held " << grownMiB << " MiB more";

    // Once they leave, nothing of theirs stays held: the replies refused
    // gave back their buffers and settled the receiver's inbox, and a reply
    // handed on to its sender was not counted twice. A client still gets a
    // reply of the largest size.
    pipes.clear();
    ClientSession honestClient(L"@after-the-amplifiers");
    VR_SESSION& honest = honestClient.session;
    std::vector<BYTE> reply(vrcc::kMaxData);
    DWORD result = ~0u, replySize = 0;
    for (int attempt = 0; attempt < 120 && result != 0; ++attempt) {
        if (attempt) ::Sleep(250);
        replySize = static_cast<DWORD>(reply.size());
        result = VrSendMessage(honest.Handle, receiver.session.SessionId, 0x7001, 6, "state?", &replySize, reply.data());
    }
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(replySize, vrcc::kMaxData);
    EXPECT_TRUE(TheCoresBoundIsFree()) << "the core still holds some of what the clients held";
}

DWORD WINAPI ShortReceiver(void*, VRM_MESSAGE*, DWORD* replySize, void* reply) {
    if (reply && *replySize >= 4) std::memset(reply, 0, 4);
    *replySize = 4;
    return 0;
}

// A raw connection of the current thread's user whose frames are written
// overlapped, so that one can be stopped part-way.
struct StoppedWriter {
    VrBase::unique_hfile pipe;
    VrBase::unique_handle done{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED ov{};

    bool Connect() {
        for (int attempt = 0; attempt < 50 && !pipe; ++attempt) {
            pipe.reset(::CreateFileW(vrcc::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED, nullptr));
            if (!pipe) ::WaitNamedPipeW(vrcc::kPipeName, 200);
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        return pipe && ::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    }
    bool Start(const std::vector<BYTE>& bytes) {
        ov = OVERLAPPED{};
        ov.hEvent = done.get();
        ::ResetEvent(done.get());
        return ::WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &ov) ||
               ::GetLastError() == ERROR_IO_PENDING;
    }
    // True when the whole frame went.
    bool Finish(bool stop) {
        if (stop) ::CancelIoEx(pipe.get(), &ov);
        DWORD written = 0;
        return ::GetOverlappedResult(pipe.get(), &ov, &written, TRUE) != FALSE;
    }
};

// An ordinary user's connections each send a frame whose header declares
// the largest payload and stop part-way: the core used to make each buffer
// that large before the data came, for every connection. The buffers of
// frames being read now count against the same bound as the frames waiting
// to be written; a request beyond it is read to its end and answered busy,
// and its connection goes on.
TEST(Adversary, FramesStoppedPartWayStayWithinTheCoresBound) {
    CoreConfig config(20000);  // a request left hanging fails in 20 s
    CoreProcess core;
    core.Start();
    ServiceSession receiver(L"vrtest.bulk", &ShortReceiver, 0x7003);
    ClientSession honestClient(L"@honest");
    VR_SESSION& honest = honestClient.session;
    std::vector<BYTE> data(vrcc::kMaxData, 0x5A);
    auto send = [&](DWORD size) {
        BYTE reply[4];
        DWORD replySize = sizeof reply;
        return VrSendMessage(honest.Handle, receiver.session.SessionId, 0x7003, size, data.data(), &replySize, reply);
    };
    ASSERT_EQ(send(64), 0u);
    const SIZE_T before = PrivateBytes(core.Process());

    // A send of the largest payload, to nobody should it ever arrive whole.
    vrcc::PayloadWriter w;
    w.u32(0).u32(0x7003).u32(0).u32(0).u64(0).bytes(data.data(), data.size());
    const std::vector<BYTE> frame = vrcc::EncodeFrame(vrcc::CmdSend, 2, 0, w.data());
    constexpr int kWriters = 32;
    std::vector<std::unique_ptr<StoppedWriter>> writers;
    std::unique_ptr<StoppedWriter> stalled;  // kept to the end
    int whole = 0;
    {
        VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
        vrtest::Impersonation as(nonAdmin.get());
        for (int i = 0; i < kWriters; ++i) {
            auto writer = std::make_unique<StoppedWriter>();
            ASSERT_TRUE(writer->Connect()) << ::GetLastError();
            vrcc::PayloadWriter open;
            open.str(L"@stopper").u32(VR_SESSION_CLIENT | 2).u32(0);
            for (int k = 0; k < 6; ++k) open.u32(0);
            open.u64(reinterpret_cast<uintptr_t>(nonAdmin.get()));
            ASSERT_TRUE(writer->Start(vrcc::EncodeFrame(vrcc::CmdOpenSession, 1, 0, open.data())));
            ASSERT_TRUE(writer->Finish(false));
            // The core reads part of it meanwhile. The last writer stops at
            // once, and again should its frame still have gone whole, so
            // that one surely stays silent in the middle of a frame.
            const bool last = i + 1 == kWriters;
            for (int attempt = 0; attempt < (last ? 10 : 1) && writer; ++attempt) {
                ASSERT_TRUE(writer->Start(frame)) << ::GetLastError();
                ::Sleep(last ? 1 : 100);
                if (writer->Finish(true)) ++whole;
                else if (!stalled) stalled = std::move(writer);
            }
            if (writer) writers.push_back(std::move(writer));
        }
    }
    const SIZE_T peak = PeakWorkingSet(core.Process());
    const double grownMiB = (peak > before ? peak - before : 0) / 1048576.0;
    const double boundMiB = vrcc::CCoreServer::kMaxHeldBytes / 1048576.0;
    std::printf("VrCC with %d frames of 64 MiB stopped part-way (%d went whole): peak %.1f MiB, %.1f MiB before\n",
                kWriters, whole, peak / 1048576.0, before / 1048576.0);
    // The bound, and beside it the old part of buffers that are being grown
    // (at most half of what they hold) and the connections' threads.
    EXPECT_LT(grownMiB, 2 * boundMiB) << "the core grew by " << grownMiB << " MiB";

    // The administrator's client is answered meanwhile, a large request
    // too: what ordinary callers hold never makes it busy.
    EXPECT_EQ(send(64), 0u);
    const DWORD large = send(40u << 20);
    std::printf("an administrator's 40 MiB request meanwhile: %u\n", static_cast<unsigned>(large));
    EXPECT_EQ(large, 0u);
    EXPECT_EQ(send(64), 0u);

    // Writers that close are let go at once; one that stays silent in the
    // middle of its frame is dropped before long. Then the whole bound is
    // free again.
    writers.clear();
    ASSERT_TRUE(stalled) << "every frame went whole";
    const ULONGLONG start = ::GetTickCount64();
    bool dropped = false;
    while (!dropped && ::GetTickCount64() - start < 120000) {
        DWORD available = 0;
        dropped = !::PeekNamedPipe(stalled->pipe.get(), nullptr, 0, nullptr, &available, nullptr);
        if (!dropped) ::Sleep(250);
    }
    ASSERT_TRUE(dropped) << "a connection silent in the middle of a frame kept for two minutes";
    std::printf("the connection silent mid-frame was dropped after %.1f s\n", (::GetTickCount64() - start) / 1000.0);
    DWORD largest = ~0u;
    for (int attempt = 0; attempt < 40 && largest != 0; ++attempt) {
        if (attempt) ::Sleep(250);
        largest = send(vrcc::kMaxData);
    }
    EXPECT_EQ(largest, 0u) << "the largest request after the writers left";
    EXPECT_TRUE(TheCoresBoundIsFree()) << "the core still holds some of what the writers held";
}

// The room kept beyond the bound is for an administrator's or a service's
// large request. Deliveries that wait for an ordinary session that never
// reads must not take it, even when an administrator sends them: else such
// a subscriber, with the bound filled, makes the next large request busy.
TEST(Adversary, AnOrdinarySubscriberThatNeverReadsDoesNotTakeTheAdministratorsRoom) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    ServiceSession receiver(L"vrtest.bulk", &ShortReceiver, 0x7003);
    ClientSession adminClient(L"@administrator");
    VR_SESSION& admin = adminClient.session;
    VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
    // Two posts fill nearly all of the bound; a third goes beyond it. One
    // each, as a receiver's inbox takes no more than 32 MiB beyond its first.
    const std::vector<BYTE> data(47u << 20, 0x5A);
    std::vector<std::unique_ptr<PostSink>> sinks;
    DWORD posted[3];
    for (DWORD& e : posted) {
        sinks.push_back(std::make_unique<PostSink>(L"@subscriber", 0x7201, nonAdmin.get()));
        e = VrPostMessage(admin.Handle, sinks.back()->id, 0x7201, static_cast<DWORD>(data.size()), data.data());
    }
    std::printf("47 MiB posts to ordinary subscribers that never read: %u %u %u\n", static_cast<unsigned>(posted[0]),
                static_cast<unsigned>(posted[1]), static_cast<unsigned>(posted[2]));
    // A post is answered once taken; one that finds no room is dropped.
    for (DWORD e : posted) EXPECT_EQ(e, 0u);

    BYTE reply[4];
    DWORD replySize = sizeof reply;
    const DWORD large = VrSendMessage(admin.Handle, receiver.session.SessionId, 0x7003, 40u << 20, data.data(),
                                      &replySize, reply);
    EXPECT_EQ(large, 0u) << "an administrator's 40 MiB request with the bound filled: the room was taken";
}

// An ordinary user's session, opened and used under the token given.
struct OrdinarySession {
    explicit OrdinarySession(HANDLE token, const wchar_t* name = L"@ordinary") : token(token) {
        vrtest::Impersonation as(token);
        session.Name = name;
        session.Flags = VR_SESSION_CLIENT | 2;
        if (VrOpenSession(&session)) throw std::runtime_error("cannot open an ordinary session");
    }
    ~OrdinarySession() { VrCloseSession(session.Handle); }
    OrdinarySession(const OrdinarySession&) = delete;
    OrdinarySession& operator=(const OrdinarySession&) = delete;
    DWORD Post(DWORD destination, DWORD messageId, size_t size, const void* data) {
        vrtest::Impersonation as(token);
        return VrPostMessage(session.Handle, destination, messageId, static_cast<DWORD>(size), data);
    }
    // The time the answer took, in seconds.
    DWORD Send(DWORD destination, DWORD messageId, size_t size, const void* data, std::vector<BYTE>& reply,
               double& seconds) {
        vrtest::Impersonation as(token);
        DWORD replySize = static_cast<DWORD>(reply.size());
        const ULONGLONG start = ::GetTickCount64();
        const DWORD e = VrSendMessage(session.Handle, destination, messageId, static_cast<DWORD>(size), data,
                                      &replySize, reply.data());
        seconds = (::GetTickCount64() - start) / 1000.0;
        return e;
    }
    HANDLE token;
    VR_SESSION session{};
};

// Beyond the bound, small frames (up to 64 KiB) have a room of their own,
// and ordinary users fill it as well as the bound: the room kept for an
// administrator's largest frame must lie beyond both. And a reply that an
// ordinary sender cannot be given is answered "busy" at once, though the
// reply's buffer, read within the administrators' room, fills the core
// while it is judged.
TEST(Adversary, OrdinaryUsersWhoFillTheBoundAndTheSmallFramesRoomLeaveTheAdministratorsLargestRequest) {
    CoreConfig config(10000);
    CoreProcess core;
    core.Start();
    ServiceSession receiver(L"vrtest.bulk", &ShortReceiver, 0x7003);
    ServiceSession filling(L"vrtest.filling", &FillingReceiver, 0x7004);
    ClientSession adminClient(L"@administrator");
    VR_SESSION& admin = adminClient.session;
    const std::vector<BYTE> data(vrcc::kMaxData, 0x5A);
    auto adminSend = [&](size_t size) {
        BYTE reply[4];
        DWORD replySize = sizeof reply;
        return VrSendMessage(admin.Handle, receiver.session.SessionId, 0x7003, static_cast<DWORD>(size), data.data(),
                             &replySize, reply);
    };
    ASSERT_EQ(adminSend(vrcc::kMaxData), 0u);

    // The bound, nearly all of it, in posts to ordinary subscribers that
    // never read.
    VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
    OrdinarySession user(nonAdmin.get());
    std::vector<std::unique_ptr<PostSink>> sinks;
    for (size_t size : {47u << 20, 47u << 20, (2u << 20) - 4096}) {
        sinks.push_back(std::make_unique<PostSink>(L"@subscriber", 0x7201, nonAdmin.get()));
        ASSERT_EQ(user.Post(sinks.back()->id, 0x7201, size, data.data()), 0u);
    }
    // Then the small frames' room: posts of 64 KiB frames, four to a
    // subscriber from one sender, more than the room takes.
    const size_t small = vrcc::CCoreServer::kSmallFrame - sizeof(vrcc::FrameHeader) - 64;
    for (int i = 0; i < 48; ++i) {
        sinks.push_back(std::make_unique<PostSink>(L"@small-subscriber", 0x7201, nonAdmin.get()));
        for (int k = 0; k < 4; ++k) ASSERT_EQ(user.Post(sinks.back()->id, 0x7201, small, data.data()), 0u);
    }
    const DWORD largest = adminSend(vrcc::kMaxData);
    std::printf("an administrator's largest request with the bound and the small frames' room filled: %u\n",
                static_cast<unsigned>(largest));
    EXPECT_EQ(largest, 0u);

    std::vector<BYTE> reply(vrcc::kMaxData);
    double seconds = 0;
    const DWORD largestReply = user.Send(filling.session.SessionId, 0x7004, 4, "big?", reply, seconds);
    std::printf("an ordinary sender's largest reply meanwhile: %u after %.1f s\n", static_cast<unsigned>(largestReply),
                seconds);
    EXPECT_EQ(largestReply, vrcc::kErrReceiverBusy);
    EXPECT_LT(seconds, 8.0) << "the sender waited for an answer that never came";
    sinks.clear();
    EXPECT_TRUE(TheCoresBoundIsFree()) << "the core still holds some of what the subscribers held";
}

// While administrators' deliveries to services that are slow to read hold
// the core beyond the bound and the small frames' room (the room kept for
// them), an ordinary user is told "busy" at once: its answers, and even its
// session's, used to be dropped for want of room, and every call waited out
// its time-out.
TEST(Adversary, OrdinaryCallersAreAnsweredWhileAdministratorsUseTheirRoom) {
    CoreConfig config(10000);
    CoreProcess core;
    core.Start();
    ServiceSession receiver(L"vrtest.bulk", &ShortReceiver, 0x7003);
    ClientSession adminClient(L"@administrator");
    VR_SESSION& admin = adminClient.session;
    const std::vector<BYTE> data(47u << 20, 0x5A);
    std::vector<std::unique_ptr<PostSink>> services;
    for (int i = 0; i < 3; ++i) {
        services.push_back(std::make_unique<PostSink>(L"vrtest.slow-" + std::to_wstring(i), 0x7301));
        ASSERT_EQ(VrPostMessage(admin.Handle, services.back()->id, 0x7301, static_cast<DWORD>(data.size()),
                                data.data()),
                  0u);
    }
    VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
    const ULONGLONG start = ::GetTickCount64();
    std::unique_ptr<OrdinarySession> user;
    ASSERT_NO_THROW(user = std::make_unique<OrdinarySession>(nonAdmin.get()));
    const double opened = (::GetTickCount64() - start) / 1000.0;
    std::vector<BYTE> reply(4);
    for (size_t size : {2u << 20, 4u}) {
        double seconds = 0;
        const DWORD e = user->Send(receiver.session.SessionId, 0x7003, size, data.data(), reply, seconds);
        std::printf("an ordinary send of %u bytes while administrators use their room: %u after %.1f s\n",
                    static_cast<unsigned>(size), static_cast<unsigned>(e), seconds);
        EXPECT_EQ(e, vrcc::kErrReceiverBusy);
        EXPECT_LT(seconds, 8.0) << "the sender waited for an answer that never came";
    }
    EXPECT_LT(opened, 8.0) << "the session's answer came only after " << opened << " s";
    services.clear();
    EXPECT_TRUE(TheCoresBoundIsFree()) << "the core still holds some of what the answers or deliveries held";
}

// A service's reply is read within the room kept for administrators only
// when it is made for one: else an ordinary user who asks a service for
// large replies, with the bound filled, keeps that room taken while each
// reply is read, and an administrator's largest request meanwhile is busy.
// The service here stops its largest reply part-way, so the core keeps
// reading it.
TEST(Adversary, AServicesReplyToAnOrdinarySenderDoesNotTakeTheAdministratorsRoom) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    ServiceSession receiver(L"vrtest.bulk", &ShortReceiver, 0x7003);
    ClientSession adminClient(L"@administrator");
    VR_SESSION& admin = adminClient.session;
    const std::vector<BYTE> data(vrcc::kMaxData, 0x5A);

    StoppedWriter service;
    ASSERT_TRUE(service.Connect()) << ::GetLastError();
    VrBase::unique_handle readDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<BYTE> in(64 * 1024);
    auto send = [&](uint16_t command, uint64_t id, const std::vector<BYTE>& payload) {
        return service.Start(vrcc::EncodeFrame(command, id, 0, payload)) && service.Finish(false);
    };
    auto receive = [&](vrcc::FrameHeader& h) {
        OVERLAPPED ov{};
        ov.hEvent = readDone.get();
        DWORD got = 0;
        if (!::ReadFile(service.pipe.get(), in.data(), static_cast<DWORD>(in.size()), nullptr, &ov) &&
            ::GetLastError() != ERROR_IO_PENDING)
            return false;
        if (::WaitForSingleObject(readDone.get(), 30000) != WAIT_OBJECT_0) ::CancelIoEx(service.pipe.get(), &ov);
        if (!::GetOverlappedResult(service.pipe.get(), &ov, &got, TRUE) || got < sizeof h) return false;
        std::memcpy(&h, in.data(), sizeof h);
        return true;
    };
    vrcc::PayloadWriter open;
    open.str(L"vrtest.raw-service").u32(2).u32(1);
    for (int k = 0; k < 6; ++k) open.u32(0);
    open.u64(0);
    vrcc::FrameHeader h{};
    ASSERT_TRUE(send(vrcc::CmdOpenSession, 1, open.data()) && receive(h));
    ASSERT_EQ(h.status, 0u);
    DWORD serviceId = 0;
    std::memcpy(&serviceId, in.data() + sizeof h, sizeof serviceId);
    vrcc::PayloadWriter subscribe;
    subscribe.u32(0x7005).u32(1);
    ASSERT_TRUE(send(vrcc::CmdSubscribe, 2, subscribe.data()) && receive(h));

    // The bound, nearly all of it, in posts to ordinary subscribers that
    // never read; then the user asks the service for the largest reply.
    VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
    OrdinarySession user(nonAdmin.get());
    std::vector<std::unique_ptr<PostSink>> sinks;
    for (size_t size : {47u << 20, 47u << 20, (2u << 20) - 4096}) {
        sinks.push_back(std::make_unique<PostSink>(L"@subscriber", 0x7201, nonAdmin.get()));
        ASSERT_EQ(user.Post(sinks.back()->id, 0x7201, size, data.data()), 0u);
    }
    // The reply is stopped sooner each time it went whole.
    std::thread ask;
    VrBase::scope_exit joinAsk([&] {
        service.pipe.reset();  // a request still waiting fails at once
        if (ask.joinable()) ask.join();
    });
    bool stopped = false;
    int wentWhole = 0;
    for (DWORD pause : {100, 30, 10, 3, 1, 0}) {
        ask = std::thread([&] {
            std::vector<BYTE> reply(vrcc::kMaxData);
            double seconds = 0;
            user.Send(serviceId, 0x7005, 4, "big?", reply, seconds);
        });
        ASSERT_TRUE(receive(h));
        ASSERT_EQ(h.command, vrcc::CmdDeliverSend);
        vrcc::PayloadWriter answer;
        answer.u32(0).u32(vrcc::kMaxData).bytes(data.data(), data.size());
        ASSERT_TRUE(service.Start(vrcc::EncodeFrame(vrcc::CmdDeliverReply, h.id, 0, answer.data())));
        ::Sleep(pause);
        if ((stopped = !service.Finish(true))) break;
        ++wentWhole;
        ask.join();
    }
    if (!stopped) GTEST_SKIP() << "every reply went whole before it could be stopped";

    BYTE reply[4];
    DWORD replySize = sizeof reply;
    const DWORD largest = VrSendMessage(admin.Handle, receiver.session.SessionId, 0x7003, vrcc::kMaxData,
                                        data.data(), &replySize, reply);
    std::printf("an administrator's largest request while a reply to an ordinary sender is read (%d went whole "
                "before): %u\n",
                wentWhole, static_cast<unsigned>(largest));
    EXPECT_EQ(largest, 0u);
    service.pipe.reset();
    ask.join();
    sinks.clear();
    EXPECT_TRUE(TheCoresBoundIsFree()) << "the core still holds some of the reply stopped part-way";
}

// A service's journal record and an administrator's policy go on
// connections without a session: those of a process of SYSTEM or an
// administrator are read within the room kept for them too, so a large
// record is written while ordinary users fill the bound.
TEST(Adversary, AServicesLargeRecordIsWrittenWhileOrdinaryUsersFillTheBound) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    const std::vector<BYTE> data(47u << 20, 0x5A);
    VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
    OrdinarySession user(nonAdmin.get());
    std::vector<std::unique_ptr<PostSink>> sinks;
    for (size_t size : {47u << 20, 47u << 20, (2u << 20) - 4096}) {
        sinks.push_back(std::make_unique<PostSink>(L"@subscriber", 0x7201, nonAdmin.get()));
        ASSERT_EQ(user.Post(sinks.back()->id, 0x7201, size, data.data()), 0u);
    }
    HANDLE source = VrRegisterEventSourceEx(L"ROZEDURI", L"RarudodaVaridide");
    ASSERT_NE(source, nullptr);
    VrBase::scope_exit deregister([&] { VrDeregisterEventSource(source); });
    const std::wstring text(vrcc::kMaxTextChars, L'j');
    std::vector<const WCHAR*> strings(30, text.c_str());  // about 960 KB, 1.9 MB on the wire
    const BOOL written = VrWriteEvent(source, EVENTLOG_INFORMATION_TYPE, 1, 1, nullptr,
                                      static_cast<WORD>(strings.size()), 0, strings.data(), nullptr);
    const DWORD e = written ? 0 : ::GetLastError();
    std::printf("a service's record of about 960 KB with the bound filled: %u\n", static_cast<unsigned>(e));
    EXPECT_EQ(e, 0u);
    EXPECT_EQ(JournalRecords(config.JournalPath()).size(), 1u);
    sinks.clear();
    EXPECT_TRUE(TheCoresBoundIsFree()) << "the core still holds some of what the record or the posts held";
}

std::atomic<bool> g_slow{false};
DWORD WINAPI SlowReceiver(void*, VRM_MESSAGE*, DWORD* replySize, void* reply) {
    ::Sleep(20);
    if (reply && *replySize >= 4) std::memset(reply, 0, 4);
    *replySize = 4;
    return 0;
}

DWORD FloodSeconds() {
    wchar_t text[16] = L"";
    const DWORD n = ::GetEnvironmentVariableW(L"VR_FLOOD_SECONDS", text, 16);
    const DWORD s = n && n < 16 ? static_cast<DWORD>(_wtoi(text)) : 0;
    return s ? s : 8;
}

// Four ordinary users' sessions, five threads each, send to a service as
// fast as it takes them; an administrator asks for the state every 100 ms
// meanwhile and must never be told the service is busy. VR_FLOOD_SECONDS
// sets the length (8 s unless set).
TEST(Adversary, FloodingOrdinarySendersLeaveRoomForAdministrators) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    VR_SESSION service{};
    service.Name = L"vrtest.flooded";
    service.Flags = 2;
    service.SendRoutine = &SlowReceiver;
    ASSERT_EQ(VrOpenSession(&service), 0u);
    VrBase::scope_exit closeService([&] { VrCloseSession(service.Handle); });
    ASSERT_EQ(VrSubscribeMessage(service.Handle, 0x7002, TRUE), 0u);

    std::atomic<bool> stop{false};
    std::atomic<unsigned> floodOk{0}, floodBusy{0}, floodOther{0};
    std::vector<std::thread> flooders;
    std::vector<VR_SESSION> sessions(4);
    VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
    for (auto& s : sessions) {
        vrtest::Impersonation as(nonAdmin.get());
        s.Name = L"@flooder";
        s.Flags = VR_SESSION_CLIENT | 2;
        ASSERT_EQ(VrOpenSession(&s), 0u);
    }
    for (auto& s : sessions)
        for (int t = 0; t < 5; ++t)
            flooders.emplace_back([&, handle = s.Handle] {
                vrtest::Impersonation as(nonAdmin.get());
                while (!stop) {
                    BYTE reply[4];
                    DWORD size = sizeof reply;
                    const DWORD e = VrSendMessage(handle, service.SessionId, 0x7002, 4, "ping", &size, reply);
                    (e == 0 ? floodOk : e == vrcc::kErrReceiverBusy ? floodBusy : floodOther)++;
                }
            });
    unsigned adminOk = 0, adminFailed = 0;
    DWORD lastFailure = 0;
    const ULONGLONG until = ::GetTickCount64() + FloodSeconds() * 1000ull;
    while (::GetTickCount64() < until) {
        VR_SESSION admin{};
        admin.Name = L"@administrator";
        admin.Flags = VR_SESSION_CLIENT | 2;
        DWORD e = VrOpenSession(&admin);
        if (e == 0) {
            BYTE reply[4];
            DWORD size = sizeof reply;
            e = VrSendMessage(admin.Handle, service.SessionId, 0x7002, 5, "state", &size, reply);
            VrCloseSession(admin.Handle);
        }
        if (e == 0) ++adminOk;
        else {
            ++adminFailed;
            lastFailure = e;
        }
        ::Sleep(100);
    }
    stop = true;
    for (auto& t : flooders) t.join();
    for (auto& s : sessions) VrCloseSession(s.Handle);
    std::printf("%u s flood: ordinary senders %u answered, %u busy, %u other; administrator %u answered, %u failed\n",
                static_cast<unsigned>(FloodSeconds()), floodOk.load(), floodBusy.load(), floodOther.load(), adminOk,
                adminFailed);
    EXPECT_GT(floodBusy.load(), 0u) << "the flood did fill the service's share for ordinary senders";
    EXPECT_EQ(adminFailed, 0u) << "last failure " << lastFailure;
    EXPECT_GT(adminOk, 0u);
}

// A user who starts a pipe server of that name before the core (or while it
// is away) would be sent every request: clients refuse it before sending.
TEST(Adversary, APipeServerOfAnOrdinaryUserIsRefusedBeforeAnythingIsSent) {
    CoreConfig config;
    ASSERT_FALSE(WaitForCore(0));
    Peer squatter(L"fake-core", L"-", true);
    ASSERT_TRUE(squatter.WaitReady()) << "the squatter did not start";
    HANDLE source = VrRegisterEventSourceEx(L"ROZEDURI", L"");
    ASSERT_NE(source, nullptr);
    const WCHAR* strings[] = {L"x"};
    EXPECT_FALSE(VrWriteEvent(source, 0, 1, 0x44C, nullptr, 1, 0, strings, nullptr));
    EXPECT_EQ(::GetLastError(), vrcc::kErrUntrustedCore);
    VrDeregisterEventSource(source);
    VR_SESSION s{};
    s.Name = L"@to-the-squatter";
    s.Flags = VR_SESSION_CLIENT | 2;
    EXPECT_EQ(VrOpenSession(&s), vrcc::kErrUntrustedCore);
    EXPECT_FALSE(squatter.WaitEvent(L"-got", 1000)) << "a request reached the squatter";
}

// A user who creates the core's instance name first used to keep the core
// from starting (1056); a second real core is still refused.
TEST(Adversary, ASquattedInstanceNameDoesNotKeepTheCoreFromStarting) {
    CoreConfig config;
    VrBase::unique_handle squatted(::CreateMutexW(nullptr, TRUE, vrcc::kInstanceMutexName));
    ASSERT_TRUE(squatted);
    CoreProcess core;
    ASSERT_NO_THROW(core.Start());
    HANDLE source = VrRegisterEventSourceEx(L"ROZEDURI", L"");
    const WCHAR* strings[] = {L"served"};
    EXPECT_TRUE(VrWriteEvent(source, 0, 1, 0x44C, nullptr, 1, 0, strings, nullptr)) << ::GetLastError();
    VrDeregisterEventSource(source);
    std::string out;
    EXPECT_EQ(RunCaptured(L"VrCC.exe", L"--console", out, 30000), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING))
        << out;
}

} // namespace
