// What an ordinary user can do to the running service from outside without
// any privilege: hold the lock of its trace file, or create an object under
// its online marker's name before it starts. The service runs and answers
// all the same, and never takes the user's object for its own.
#include "e2e_support.h"

#include <cstdio>
#include <string>

namespace {

const wchar_t kMarker[] = L"Global\\SSR_Online";
constexpr DWORD kEventQueryState = 0x0001;  // all the marker grants others, with READ_CONTROL

class HostileUser : public e2e::ServicesTest {
protected:
    // Polls the journal after `mark` for a record mentioning `text`.
    bool JournalMentions(unsigned long long mark, const std::string& text, std::string& journal) {
        for (int i = 0; i < 100; ++i) {
            journal = Events(mark);
            if (journal.find(text) != std::string::npos) return true;
            ::Sleep(200);
        }
        return false;
    }
};

// The byte the trace writers of one file lock to take turns.
OVERLAPPED TraceSentinel() {
    OVERLAPPED range{};
    range.Offset = 0xFFFFFFFE;
    range.OffsetHigh = 0x7FFFFFFF;
    return range;
}

TEST_F(HostileUser, AHeldTraceFileLockHangsNeitherRequestsNorTheStop) {
    vrtest::RegKeyScope trace{L"SYSTEM\\CurrentControlSet\\Services\\vrcc0\\Trace"};
    trace.SetString(nullptr, L"TracePath", dir.path());
    trace.SetDword(L"VrSSRSrv", L"EnableMask", 0xFF);
    trace.SetDword(L"VrSSRSrv", L"ParamsMask", 0x1 | 0x100);
    ASSERT_TRUE(StartScanService());
    const std::wstring log = dir.file(L"VrSSRSrv.log");
    ASSERT_TRUE(vrtest::FileExists(log));

    // Reading is all a user needs to take the lock.
    VrBase::unique_hfile holder(::CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder) << ::GetLastError();
    OVERLAPPED sentinel = TraceSentinel();
    ASSERT_TRUE(::LockFileEx(holder.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &sentinel));

    std::string out;
    ULONGLONG begin = ::GetTickCount64();
    EXPECT_EQ(Agent(L"state --xml", out, 90000), 0u) << out;
    EXPECT_NE(out.find("<Status>None</Status>"), std::string::npos) << "the service itself answered: " << out;
    std::printf("e2e: vragent state with the trace file locked: %llu ms\n", ::GetTickCount64() - begin);

    // Released, the next line that gets through says how many were lost.
    ASSERT_TRUE(::UnlockFileEx(holder.get(), 0, 1, 0, &sentinel));
    begin = ::GetTickCount64();
    EXPECT_EQ(Agent(L"state", out, 90000), 0u) << out;
    std::printf("e2e: vragent state with the trace file free: %llu ms\n", ::GetTickCount64() - begin);
    const std::string text = vrtest::ReadFileBytes(log);
    EXPECT_NE(text.find("trace line(s) dropped before this one"), std::string::npos) << text;

    sentinel = TraceSentinel();
    ASSERT_TRUE(::LockFileEx(holder.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &sentinel));
    StopTiming timing;
    const bool stopped = Stop(scanService.get(), &timing);
    ::UnlockFileEx(holder.get(), 0, 1, 0, &sentinel);
    ASSERT_TRUE(stopped) << "the stop waited for the trace file's lock";
    e2e::PrintStop("with the trace file locked", timing);
    EXPECT_TRUE(timing.WithinHints());
}

// The service writes minidumps only into a folder of its own. When that
// cannot be made (here a file took its name) it still runs, without dumps,
// and says so in an error event rather than only in its trace.
TEST_F(HostileUser, AServiceWithoutItsDumpFolderRunsAndSaysSo) {
    unsigned long long mark = 0;
    Events(0, &mark);
    vrtest::WriteFileBytes(dir.file(L"dumps"), "not a folder");

    ASSERT_TRUE(StartScanService());
    std::string out;
    EXPECT_EQ(Agent(L"state", out), 0u) << out;
    std::string journal;
    EXPECT_TRUE(JournalMentions(mark, "no dump folder", journal)) << "an error event says so\n" << journal;
    ASSERT_TRUE(Stop(scanService.get()));
    ASSERT_TRUE(::DeleteFileW(dir.file(L"dumps").c_str()));
}

// Creating a mutex in the global namespace takes no privilege; under the
// marker's name it would make the service's CreateEvent fail.
TEST_F(HostileUser, AMutexUnderTheOnlineMarkersNameDoesNotKeepTheServiceFromRunning) {
    unsigned long long mark = 0;
    Events(0, &mark);
    VrBase::unique_handle squat(::CreateMutexW(nullptr, FALSE, kMarker));
    ASSERT_TRUE(squat) << ::GetLastError();

    ASSERT_TRUE(StartScanService()) << "running and answering without its marker";
    std::string out;
    EXPECT_EQ(Agent(L"state --xml", out), 0u) << out;
    EXPECT_NE(out.find("<Status>None</Status>"), std::string::npos) << out;
    std::string journal;
    EXPECT_TRUE(JournalMentions(mark, "Global\\SSR_Online", journal)) << "an error event names the object\n" << journal;
    ASSERT_TRUE(Stop(scanService.get()));
}

// An event made first under the name would be handed to the service as its
// own; the service would then set and reset a user's object, and readers
// would take the user's word for whether it runs.
TEST_F(HostileUser, AnEventUnderTheOnlineMarkersNameIsNeverAdopted) {
    unsigned long long mark = 0;
    Events(0, &mark);
    VrBase::unique_handle squat(::CreateEventW(nullptr, TRUE, TRUE, kMarker));
    ASSERT_TRUE(squat) << ::GetLastError();

    ASSERT_TRUE(StartScanService());
    std::string journal;
    EXPECT_TRUE(JournalMentions(mark, "Global\\SSR_Online", journal)) << "an error event names the object\n" << journal;
    ASSERT_TRUE(Stop(scanService.get()));
    EXPECT_EQ(::WaitForSingleObject(squat.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the service's stop reset the user's event";

    // Once the name is free again, the next start has its own marker.
    squat.reset();
    ASSERT_TRUE(StartScanService());
    // Others may only query it: its being there is what they read.
    VrBase::unique_handle marker(::OpenEventW(kEventQueryState, FALSE, kMarker));
    EXPECT_TRUE(marker) << ::GetLastError();
    marker.reset();
    ASSERT_TRUE(Stop(scanService.get()));
}

} // namespace
