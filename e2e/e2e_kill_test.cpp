// The scan service ended from outside in the middle of a scan: killed as a
// crash would end it, and stopped by the SCM during the walk.
#include "e2e_support.h"

#include "ssr_msg_sender.h"

#include <cstdio>

namespace {

using e2e::Element;
using e2e::RequestState;
using e2e::WaitStatus;

class ScanInterrupted : public e2e::ServicesTest {
protected:
    // A tree of real binaries that takes the scan some seconds.
    const std::wstring folders = L"<Path>C:\\windows\\system32</Path>";

    // Configures and runs one whole scan; its time and file count go out.
    void FirstScan(DWORD& tookMs, size_t& files) {
        ASSERT_TRUE(StartScanService());
        ASSERT_EQ(vrtest::ErrorCodeOf([&] { ssr_send_full_config(e2e::ScanConfig(folders)); }), 0u);
        const ULONGLONG begin = ::GetTickCount64();
        std::wstring state;
        ASSERT_TRUE(ScanToEnd(&state));
        tookMs = static_cast<DWORD>(::GetTickCount64() - begin);
        ASSERT_TRUE(e2e::WellFormedXml(Document(), L"SI", &files));
        ASSERT_GT(files, 100u);
    }

    // Starts a scan and waits for it to complete.
    static bool ScanToEnd(std::wstring* state) {
        const std::wstring before = Element(RequestState(), L"LastScanStartTime");
        if (ssr_request_scan() != 0) return false;
        const ULONGLONG end = ::GetTickCount64() + 240000;
        while (::GetTickCount64() < end) {
            std::wstring now = RequestState();
            if (Element(now, L"Status") == L"Complete" && Element(now, L"LastScanStartTime") != before) {
                if (state) *state = now;
                return true;
            }
            ::Sleep(100);
        }
        return false;
    }

    // Starts a scan and waits until it runs; its start time goes out.
    static bool ScanRunning(std::wstring& started) {
        std::wstring running;
        if (ssr_request_scan() != 0 || !WaitStatus(L"InProgress", 20000, &running)) return false;
        started = Element(running, L"LastScanStartTime");
        return !started.empty();
    }

    // Windows' SCM marks a service whose process died as stopped; Wine's
    // keeps showing it running, yet starts it again on request.
    bool SeenStopped(DWORD ms) {
        const ULONGLONG end = ::GetTickCount64() + ms;
        while (State() != SERVICE_STOPPED) {
            if (::GetTickCount64() > end) return false;
            ::Sleep(50);
        }
        return true;
    }
};

TEST_F(ScanInterrupted, KilledMidScanTheServiceComesBackWithoutAPartialDocument) {
    DWORD scanMs = 0;
    size_t files = 0;
    FirstScan(scanMs, files);
    if (HasFatalFailure()) return;
    std::printf("e2e: a whole scan of %zu files took %lu ms\n", files, static_cast<unsigned long>(scanMs));

    // Kills spread over the first four fifths of the scan (its end is met by
    // the kills during the save below); a scan that beats its kill is made
    // up for by an earlier kill, a few times at most.
    constexpr int kPlanned = 12, kWanted = 10;
    int attempts = 0, survived = 0, endedFirst = 0, seenStopped = 0;
    for (int i = 0; i < kPlanned || (survived < kWanted && i < kPlanned + 4); ++i) {
        ++attempts;
        std::wstring started;
        ASSERT_TRUE(ScanRunning(started)) << "attempt " << i;
        const unsigned percent = i < kPlanned ? 80u * i / kPlanned : 10u * (i - kPlanned);
        ::Sleep(static_cast<DWORD>(static_cast<unsigned long long>(scanMs) * percent / 100));
        const DWORD pid = ScanPid();
        ASSERT_NE(pid, 0u);
        ASSERT_TRUE(e2e::KillProcess(pid)) << "attempt " << i;
        if (SeenStopped(1000)) ++seenStopped;

        // Whatever the moment, the depot holds no document or a whole one.
        if (vrtest::FileExists(Document())) {
            EXPECT_TRUE(e2e::WellFormedXml(Document())) << "attempt " << i << ": a partial document";
        }

        ASSERT_TRUE(StartScanService()) << "attempt " << i;
        const std::wstring after = RequestState();
        const std::wstring status = Element(after, L"Status");
        if (status == L"Complete") {  // the scan beat the kill: then with its own whole document
            ++endedFirst;
            EXPECT_EQ(Element(after, L"LastScanStartTime"), started) << "attempt " << i;
            EXPECT_TRUE(vrtest::FileExists(Document())) << "attempt " << i;
            EXPECT_TRUE(e2e::WellFormedXml(Document())) << "attempt " << i;
            continue;
        }
        EXPECT_EQ(status, L"None") << "attempt " << i;
        EXPECT_EQ(Element(after, L"LastScanStartTime"), started) << "attempt " << i;
        EXPECT_EQ(Element(after, L"LastScanEndTime"), L"") << "attempt " << i;
        if (status == L"None") ++survived;
    }
    std::printf("e2e: kills mid-scan survived: %d of %d (%d scans ended before their kill; the SCM saw %d deaths)\n",
                survived, attempts, endedFirst, seenStopped);
    EXPECT_GE(survived, kWanted);

    // Killed while the document is being written: the moment its partial
    // copy shows in the depot. The save is short, so a kill may come after
    // it; the kill landed when the partial copy outlived the process. Tried
    // again until two have landed, a few times at most.
    const std::wstring partial = Document() + L".partial";
    constexpr int kSaveAttempts = 8;
    int saveAttempts = 0, duringSave = 0;
    for (int i = 0; i < kSaveAttempts && duringSave < 2; ++i) {
        ++saveAttempts;
        std::wstring started;
        ASSERT_TRUE(ScanRunning(started)) << "save attempt " << i;
        // A scan that completes without a partial copy ever seen ends the wait.
        const ULONGLONG end = ::GetTickCount64() + scanMs + 20000;
        ULONGLONG nextLook = 0;
        while (!vrtest::FileExists(partial) && ::GetTickCount64() < end) {
            if (::GetTickCount64() >= nextLook) {
                if (Element(RequestState(), L"Status") == L"Complete") break;
                nextLook = ::GetTickCount64() + 200;
            }
            ::Sleep(1);
        }
        ASSERT_TRUE(e2e::KillProcess(ScanPid())) << "save attempt " << i;
        if (vrtest::FileExists(partial)) ++duringSave;
        if (vrtest::FileExists(Document())) {
            EXPECT_TRUE(e2e::WellFormedXml(Document())) << "save attempt " << i << ": a partial document";
        }
        SeenStopped(1000);
        ASSERT_TRUE(StartScanService()) << "save attempt " << i;
        // The half-written copy does not outlive the restart.
        EXPECT_FALSE(vrtest::FileExists(partial)) << "save attempt " << i;
        const std::wstring after = RequestState();
        const std::wstring status = Element(after, L"Status");
        EXPECT_TRUE(status == L"None" || status == L"Complete") << "save attempt " << i;
        EXPECT_EQ(Element(after, L"LastScanStartTime"), started) << "save attempt " << i;
        if (status == L"Complete") {
            EXPECT_TRUE(e2e::WellFormedXml(Document())) << "save attempt " << i;
        }
    }
    std::printf("e2e: kills while the document was written: %d of %d\n", duringSave, saveAttempts);
    EXPECT_GE(duringSave, 1) << "no kill landed while the document was written";

    // And the next scan completes with a valid document of the same files.
    std::wstring state;
    ASSERT_TRUE(ScanToEnd(&state));
    size_t again = 0;
    EXPECT_TRUE(e2e::WellFormedXml(Document(), L"SI", &again));
    EXPECT_EQ(again, files);
    EXPECT_EQ(Element(state, L"UniqueId").size(), 36u) << std::string(state.begin(), state.end());
}

TEST_F(ScanInterrupted, StoppedDuringTheWalkTheScanEndsWithItsFinishEvent) {
    DWORD scanMs = 0;
    size_t files = 0;
    FirstScan(scanMs, files);
    if (HasFatalFailure()) return;
    // The stops are aimed at a warm scan, which the first one is not.
    const ULONGLONG begin = ::GetTickCount64();
    ASSERT_TRUE(ScanToEnd(nullptr));
    scanMs = static_cast<DWORD>(::GetTickCount64() - begin);
    std::printf("e2e: a warm scan of %zu files took %lu ms\n", files, static_cast<unsigned long>(scanMs));

    // Early in the walk, half-way, and near its end.
    int landed = 0;
    for (const unsigned percent : {10u, 50u, 90u}) {
        unsigned long long mark = 0;
        Events(0, &mark);
        std::wstring started;
        ASSERT_TRUE(ScanRunning(started)) << percent << "%";
        ::Sleep(scanMs * percent / 100);
        if (Element(RequestState(), L"Status") != L"InProgress") {
            std::printf("e2e: the scan ended before the stop at %u%%\n", percent);
            ASSERT_TRUE(StartScanService());
            continue;
        }
        StopTiming timing;
        ASSERT_TRUE(Stop(scanService.get(), &timing)) << percent << "%";
        e2e::PrintStop("at " + std::to_string(percent) + "% of a scan", timing);
        EXPECT_TRUE(timing.WithinHints()) << percent << "%";
        SERVICE_STATUS s{};
        ASSERT_TRUE(::QueryServiceStatus(scanService.get(), &s));
        EXPECT_EQ(s.dwWin32ExitCode, 0u) << percent << "%";

        // The scan was rolled back and said so: its start and its finish.
        const std::string events = Events(mark);
        const size_t start = events.find("id 0x0000044C");
        ASSERT_NE(start, std::string::npos) << percent << "%\n" << events;
        // Near the end the scan may save between the last look at its status
        // and the stop: then it must have saved a whole document of its own.
        EXPECT_NE(events.find("id 0x0000044E", start), std::string::npos) << percent << "%\n" << events;
        if (vrtest::FileExists(Document())) {
            std::printf("e2e: the scan saved its document as the stop came at %u%%\n", percent);
            EXPECT_TRUE(e2e::WellFormedXml(Document())) << percent << "%";
            ASSERT_TRUE(StartScanService());
            const std::wstring after = RequestState();
            EXPECT_EQ(Element(after, L"Status"), L"Complete") << percent << "%";
            EXPECT_EQ(Element(after, L"LastScanStartTime"), started) << percent << "%";
            continue;
        }
        EXPECT_FALSE(vrtest::FileExists(Document() + L".partial")) << percent << "%";

        ASSERT_TRUE(StartScanService());
        const std::wstring after = RequestState();
        EXPECT_EQ(Element(after, L"Status"), L"None") << percent << "%";
        EXPECT_EQ(Element(after, L"LastScanEndTime"), L"") << percent << "%";
        ++landed;
    }
    std::printf("e2e: stops that landed during the walk: %d of 3\n", landed);
    EXPECT_GE(landed, 1) << "no stop came while the scan walked";
}

} // namespace

namespace {

// A file large enough that hashing it takes seconds.
void MakeLargeFile(const std::wstring& path, long long bytes) {
    VrBase::unique_hfile file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    LARGE_INTEGER size;
    size.QuadPart = bytes;
    ASSERT_TRUE(::SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(file.get()));
}

TEST_F(ScanInterrupted, StoppedWhileALargeFileIsHashedItStopsWithinItsWaitHints) {
    vrtest::TempDir tree{L"vre2elarge"};
    MakeLargeFile(tree.file(L"large.bin"), 1ll << 30);
    if (HasFatalFailure()) return;
    vrtest::WriteFileBytes(tree.file(L"small.txt"), "small");
    ASSERT_TRUE(StartScanService());
    ASSERT_EQ(vrtest::ErrorCodeOf([&] { ssr_send_full_config(e2e::ScanConfig(L"<Path>" + tree.path() + L"</Path>")); }),
              0u);
    unsigned long long mark = 0;
    Events(0, &mark);
    std::wstring started;
    ASSERT_TRUE(ScanRunning(started));
    ::Sleep(1000);
    ASSERT_EQ(Element(RequestState(), L"Status"), L"InProgress") << "the large file was hashed too soon";
    StopTiming timing;
    ASSERT_TRUE(Stop(scanService.get(), &timing));
    e2e::PrintStop("while a large file was hashed", timing);
    EXPECT_TRUE(timing.WithinHints());
    // A stop does not wait for the rest of the file.
    EXPECT_LT(timing.totalMs, 3000u);

    const std::string events = Events(mark);
    const size_t start = events.find("id 0x0000044C");
    ASSERT_NE(start, std::string::npos) << events;
    EXPECT_NE(events.find("id 0x0000044E", start), std::string::npos) << events;
    // The file the stop cut short is no failure of the scan.
    EXPECT_EQ(events.find("id 0xC000044D", start), std::string::npos) << events;
    EXPECT_FALSE(vrtest::FileExists(Document()));
    ASSERT_TRUE(StartScanService());
    EXPECT_EQ(Element(RequestState(), L"Status"), L"None");
}

} // namespace
