// Events, agent notifications and policy through a running core.
#include "core_test_support.h"
#include "journal_format.h"
#include "vrevtapi.h"
#include "vrpolicyapi.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

using namespace coretest;

namespace {

std::vector<vrcc::JournalRecord> ReadJournal(const std::wstring& path) {
    std::vector<vrcc::JournalRecord> records;
    for (const std::string& line : vrtest::SplitLines(vrtest::ReadFileBytes(path))) {
        vrcc::JournalRecord r;
        EXPECT_TRUE(vrcc::ParseJournalLine(line, r)) << line;
        records.push_back(r);
    }
    return records;
}

std::vector<BYTE> SidBytes(const std::wstring& text) {
    PSID sid = nullptr;
    EXPECT_TRUE(::ConvertStringSidToSidW(text.c_str(), &sid));
    std::vector<BYTE> bytes(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + ::GetLengthSid(sid));
    ::LocalFree(sid);
    return bytes;
}

TEST(Events, ReachTheJournalInOrderWithTheirStringsAndSurviveARestart) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    HANDLE source = VrRegisterEventSourceEx(L"ROZEDURI", L"RarudodaVaridide");
    ASSERT_NE(source, nullptr);
    const std::wstring user = CurrentUserSid();
    std::vector<BYTE> sid = SidBytes(user);

    const WCHAR* started[] = {L"1F0C3A52-0000-4000-8000-00000000ABCD", L"%%100"};
    const WCHAR* failed[] = {L"op\tid", L"%%103", L"line one\nline two \\ \x0416\x0443\x0440\x043D\x0430\x043B",
                             L"%%106"};
    ASSERT_TRUE(VrWriteEvent(source, 0, 1, 0x44C, sid.data(), 2, 0, started, nullptr));
    ASSERT_TRUE(VrWriteEvent(source, 1, 1, 0xC000044D, sid.data(), 4, 0, failed, nullptr));
    ASSERT_TRUE(VrWriteEvent(source, 0, 1, 0x451, nullptr, 0, 0, nullptr, nullptr));

    // On disk when the calls returned: read while the core still runs.
    std::vector<vrcc::JournalRecord> records = ReadJournal(config.JournalPath());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].seq, 1u);
    EXPECT_EQ(records[0].source, L"ROZEDURI");
    EXPECT_EQ(records[0].categoryName, L"RarudodaVaridide");
    EXPECT_EQ(records[0].category, 1);
    EXPECT_EQ(records[0].eventId, 0x44Cu);
    EXPECT_EQ(records[0].type, 0);
    EXPECT_EQ(records[0].sid, user);
    EXPECT_EQ(records[0].processId, ::GetCurrentProcessId());
    EXPECT_EQ(records[0].strings, (std::vector<std::wstring>{started[0], started[1]}));
    EXPECT_EQ(records[1].eventId, 0xC000044Du);
    EXPECT_EQ(records[1].type, 1);
    EXPECT_EQ(records[1].strings, (std::vector<std::wstring>{failed[0], failed[1], failed[2], failed[3]}));
    EXPECT_EQ(records[2].sid, L"-");
    EXPECT_TRUE(records[2].strings.empty());

    // Bad arguments are refused here, not half written.
    const WCHAR* holes[] = {L"a", nullptr};
    EXPECT_FALSE(VrWriteEvent(source, 0, 1, 1, nullptr, 2, 0, holes, nullptr));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    BYTE junkSid[8] = {9, 9, 9, 9};
    EXPECT_FALSE(VrWriteEvent(source, 0, 1, 1, junkSid, 0, 0, nullptr, nullptr));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));

    // A new core continues the numbering; a record cut short by a crash is
    // dropped, not glued to the next one.
    core.Kill();
    {
        std::string bytes = vrtest::ReadFileBytes(config.JournalPath());
        vrtest::WriteFileBytes(config.JournalPath(), bytes + "4\t2024-01-01T00:00:00.000Z\t1\tTORN");
    }
    core.Start();
    ASSERT_TRUE(VrWriteEvent(source, 0, 1, 0x44E, nullptr, 1, 0, started, nullptr));
    records = ReadJournal(config.JournalPath());
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[3].seq, 4u);
    EXPECT_EQ(records[3].eventId, 0x44Eu);
    EXPECT_TRUE(VrDeregisterEventSource(source));
}

TEST(Events, SourcesWorkWithoutTheCoreWritingDoesNot) {
    CoreConfig config;
    ASSERT_FALSE(WaitForCore(0));
    HANDLE source = VrRegisterEventSourceEx(L"ROZEDURI", L"");
    ASSERT_NE(source, nullptr);
    const WCHAR* strings[] = {L"x"};
    EXPECT_FALSE(VrWriteEvent(source, 0, 1, 0x44C, nullptr, 1, 0, strings, nullptr));
    EXPECT_EQ(::GetLastError(), 1722u);
    EXPECT_EQ(VrNotifyStateChanged(source, L"status"), 1722u);
    EXPECT_TRUE(VrDeregisterEventSource(source));
    EXPECT_FALSE(VrDeregisterEventSource(source));
    EXPECT_EQ(::GetLastError(), 6u);
    EXPECT_EQ(VrRegisterEventSourceEx(L"", L"x"), nullptr);
    EXPECT_EQ(::GetLastError(), 87u);
}

struct AgentLog {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::wstring> seen;
    static void WINAPI Routine(void* context, DWORD kind, const WCHAR* component, const WCHAR* setName) {
        auto* log = static_cast<AgentLog*>(context);
        std::lock_guard<std::mutex> lock(log->mutex);
        log->seen.push_back(std::to_wstring(kind) + L":" + component + L":" + setName);
        log->cv.notify_all();
    }
    bool WaitFor(size_t n, DWORD ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return seen.size() >= n; });
    }
};

TEST(Notifications, ReachTheAgentsRegisteredForTheComponent) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    // Names of this test's own: what other programs notify is not counted.
    const std::wstring pid = std::to_wstring(::GetCurrentProcessId());
    const std::wstring component = L"VRTEST" + pid, someoneElse = L"SOMEONE_ELSE" + pid;
    AgentLog mine, other;
    HANDLE registration = nullptr, otherRegistration = nullptr;
    ASSERT_EQ(VrRegisterAgentNotify(component.c_str(), &AgentLog::Routine, &mine, &registration), 0u);
    ASSERT_EQ(VrRegisterAgentNotify(someoneElse.c_str(), &AgentLog::Routine, &other, &otherRegistration), 0u);

    // Another process notifies, as the scan service does.
    Peer state(L"notify", component + L" state");
    EXPECT_EQ(state.WaitExit(), 0u);
    Peer config2(L"notify", L"vrtest" + pid + L" config");
    EXPECT_EQ(config2.WaitExit(), 0u);
    ASSERT_TRUE(mine.WaitFor(2, 10000));
    EXPECT_EQ(mine.seen[0], L"1:" + component + L":status");
    EXPECT_EQ(mine.seen[1], L"2:vrtest" + pid + L":full");
    EXPECT_TRUE(other.seen.empty());

    // Once unregistered, nothing more arrives; a core that goes away is
    // reported to the agents still registered.
    EXPECT_EQ(VrUnregisterAgentNotify(registration), 0u);
    EXPECT_EQ(VrUnregisterAgentNotify(registration), 6u);
    core.Kill();
    ASSERT_TRUE(other.WaitFor(1, 10000));
    EXPECT_EQ(other.seen[0], L"0:" + someoneElse + L":");
    EXPECT_EQ(mine.seen.size(), 2u);
    EXPECT_EQ(VrUnregisterAgentNotify(otherRegistration), 0u);
}

TEST(Policy, ReadAnswers1715UntilTheCoreServesThenTheText) {
    CoreConfig config;
    ASSERT_FALSE(WaitForCore(0));
    VRS_HPOLICY policy = nullptr;
    ASSERT_EQ(VrsOpenPolicy(0, &policy), 0u);  // no core needed
    const WCHAR* text = reinterpret_cast<const WCHAR*>(1);
    EXPECT_EQ(VrsReadPolicySection(policy, L"ROZEDURI", &text), 1715u);
    EXPECT_EQ(text, nullptr);

    CoreProcess core;
    core.Start();
    // A section nobody set is empty, so a poller keeps polling.
    ASSERT_EQ(VrsReadPolicySection(policy, L"ROZEDURI", &text), 0u);
    EXPECT_STREQ(text, L"");

    const std::wstring document = L"<Config>\n  <Paths>C:\\Program Files</Paths>\n</Config>";
    std::string out;
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"policy set ROZEDURI --text \"" + document + L"\"", out), 0u) << out;
    const WCHAR* first = nullptr;
    ASSERT_EQ(VrsReadPolicySection(policy, L"ROZEDURI", &first), 0u);
    EXPECT_EQ(std::wstring(first), document);

    // Each text stays put until the handle is closed, later reads included.
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"policy set ROZEDURI --text second", out), 0u) << out;
    const WCHAR* second = nullptr;
    ASSERT_EQ(VrsReadPolicySection(policy, L"rozeduri", &second), 0u);
    EXPECT_STREQ(second, L"second");
    EXPECT_EQ(std::wstring(first), document);

    EXPECT_EQ(VrsReadPolicySection(policy, L"", &text), 87u);
    EXPECT_EQ(VrsOpenPolicy(1, &policy), 87u);
    EXPECT_EQ(VrsClosePolicy(policy), 0u);
    EXPECT_EQ(VrsClosePolicy(policy), 6u);
    EXPECT_EQ(VrsReadPolicySection(policy, L"ROZEDURI", &text), 6u);
}

} // namespace
