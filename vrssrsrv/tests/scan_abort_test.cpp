// Stopping a scan while its files are hashed on several threads: the pass
// itself, then a whole scan task run the way the worker pool runs it.
#include "schedule_test_support.h"
#include "scan_test_support.h"
#include "ssr_actions.h"
#include "ssr_ordered_pass.h"

#include "sid_helpers.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

namespace {

using scantest::MakeDir;
using scantest::MakeFile;

// Reports come in index order and only for failures, whatever order the
// workers finish in; an abort lets each worker end the item in hand and
// start no other; an error in the work ends the pass with that error.
TEST(OrderedPass, ReportsInOrderAndStopsEachWorkerAfterItsItem) {
    VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const unsigned workers = 4;
    std::vector<size_t> reported;
    auto report = [&](size_t i) { reported.push_back(i); };
    ordered_pass(abort.get(), 300, workers, [](size_t i, unsigned) {
        ::Sleep(static_cast<DWORD>((i * 7) % 3));
        return i % 7 != 0;
    }, report);
    std::vector<size_t> failures;
    for (size_t i = 0; i < 300; i += 7) failures.push_back(i);
    EXPECT_EQ(reported, failures);

    reported.clear();
    std::atomic<int> started{0}, startedAtAbort{-1};
    EXPECT_EQ(vrtest::ErrorCodeOf([&] {
                  ordered_pass(abort.get(), 1000, workers, [&](size_t i, unsigned) {
                      ++started;
                      if (i == 40) {
                          ::SetEvent(abort.get());
                          startedAtAbort = started.load();
                      }
                      ::Sleep(2);
                      return i % 7 != 0;
                  }, report);
              }),
              1235u);
    EXPECT_LE(started.load(), startedAtAbort.load() + static_cast<int>(workers) - 1)
        << "a worker took an item after the abort";
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    for (size_t i : reported) EXPECT_EQ(i % 7, 0u);

    ::ResetEvent(abort.get());
    EXPECT_EQ(vrtest::ErrorCodeOf([&] {
                  ordered_pass(abort.get(), 1000, workers, [](size_t i, unsigned) -> bool {
                      if (i == 10) VR_RAISE(ERROR_DISK_FULL, L"test");
                      return true;
                  }, report);
              }),
              static_cast<DWORD>(ERROR_DISK_FULL));
}

// A pass of 200 items on 4 workers of which the system starts only
// `startable`: 0 when every item was worked and its failure reported in
// order, on the started workers or, with none, on the producer's thread.
int PassWithStartableWorkers(unsigned startable) {
    VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    unsigned started = 0;
    const COrderedWork::Starter start = [&](std::function<void()> body) {
        if (started == startable)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        ++started;
        return std::thread(std::move(body));
    };
    std::mutex mutex;
    std::set<DWORD> threads;
    std::vector<size_t> reported, failures;
    ordered_pass(abort.get(), 200, 4, [&](size_t i, unsigned) {
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(::GetCurrentThreadId());
        return i % 5 != 0;
    }, [&](size_t i) { reported.push_back(i); }, start);
    for (size_t i = 0; i < 200; i += 5) failures.push_back(i);
    const bool onProducer = threads.count(::GetCurrentThreadId()) != 0;
    const bool threadsRight =
        startable == 0 ? threads.size() == 1 && onProducer : !onProducer && threads.size() <= startable;
    return reported == failures && threadsRight ? 0 : 1;
}

// Workers the system cannot start: the pass goes on with those it could.
// A pass that let the failure escape with workers running would end the
// process, so each case runs in a child.
TEST(OrderedPass, GoesOnWithTheWorkersItCouldStart) {
    for (unsigned startable : {0u, 1u, 3u})
        EXPECT_EXIT(std::exit(PassWithStartableWorkers(startable)), ::testing::ExitedWithCode(0), "")
            << startable << " of 4 workers started";
}

class ScanAbort : public schedtest::StoreFixture {};

// The stop comes with the first file that fails, while the other files are
// being hashed (the walk hashes what it opens): the scan ends without a
// document, the state goes back to "None", and the workers never reach the
// last file.
TEST_F(ScanAbort, AnAbortWhileFilesAreHashedSavesNothing) {
    const std::wstring tree = dir.file(L"tree");
    MakeDir(tree);
    MakeFile(tree + L"\\a_held.dll", "MZ held");
    for (int i = 0; i < 120; ++i) MakeFile(tree + L"\\f" + std::to_wstring(1000 + i) + L".bin", std::string(1 << 20, 'x'));
    MakeFile(tree + L"\\zz_held.dll", "MZ held");
    // Held whole, so that not even their texts can be read.
    VrBase::unique_hfile first(
        ::CreateFileW((tree + L"\\a_held.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    VrBase::unique_hfile last(
        ::CreateFileW((tree + L"\\zz_held.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(first && last);
    {
        CSSROpSettingsLocker lock;
        schedtest::ConfigDoc doc;
        doc.paths = L"<Paths all=\"false\"><Path>" + tree + L"</Path></Paths>";
        doc.exclusions = L"<ExcludePaths enable=\"false\"/>";
        doc.extensions = L"<Extensions all=\"true\"/>";
        CSSROpSettings::instance().apply_new_settings(doc.text());
    }

    scantest::RecordingSink sink;
    VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    sink.onEvent = [&] { ::SetEvent(abort.get()); };
    std::vector<BYTE> request = build_scan_request(SES_SOURCE_ADMIN, get_current_user_sid());
    software_scan(abort.get(), request.data());

    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(std::get<1>(sink.events[0]), static_cast<DWORD>(SSR_STAGE_COLLECT_FILE));
    EXPECT_EQ(std::get<2>(sink.events[0]), tree + L"\\a_held.dll");
    EXPECT_FALSE(vrtest::FileExists(dir.path() + L"\\ssr_depot\\SSR_LastSoftState.xml"));
    CSSRStateLocker state;
    EXPECT_EQ(CSSRState::instance().get_status(), std::wstring(kStatusNone));
}

} // namespace
