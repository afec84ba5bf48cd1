#include "ssr_wrk_pool.h"

#include "vrbase/vr_error.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Waits until the event is signalled or the time is up.
bool Signalled(HANDLE event, DWORD ms = 10000) { return ::WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }

TEST(WrkThreadPool, FinishedTaskIsReapedByTheNextSubmission) {
    CWrkThreadPool pool;
    VrBase::unique_handle first = create_task_stop_event();
    {
        CWrkThreadPoolLocker lock(pool);
        ASSERT_TRUE(pool.run_thread([](HANDLE, void*) {}, first.get(), nullptr, 0));
    }
    ASSERT_TRUE(Signalled(first.get())) << "the ended task signals its event";
    VrBase::unique_handle second = create_task_stop_event();
    CWrkThreadPoolLocker lock(pool);
    EXPECT_EQ(pool.task_count_for_tests(), 1u);
    ASSERT_TRUE(pool.run_thread([](HANDLE stop, void*) { ::WaitForSingleObject(stop, INFINITE); }, second.get(),
                                nullptr, 0));
    EXPECT_EQ(pool.task_count_for_tests(), 1u) << "the finished entry was joined and erased";
    pool.teardown_pool();
    EXPECT_EQ(pool.task_count_for_tests(), 0u);
    EXPECT_TRUE(Signalled(second.get(), 0));
}

TEST(WrkThreadPool, DataIsAPrivateZeroPaddedCopyAndEmptyDataIsValid) {
    CWrkThreadPool pool;
    char data[8] = "abcdefg";
    std::atomic<bool> emptyOk{false}, copyOk{false};
    VrBase::unique_handle a = create_task_stop_event(), b = create_task_stop_event();
    {
        CWrkThreadPoolLocker lock(pool);
        ASSERT_TRUE(pool.run_thread([&](HANDLE, void* p) { emptyOk = p != nullptr; }, a.get(), nullptr, 0));
        ASSERT_TRUE(pool.run_thread(
            [&](HANDLE, void* p) {
                copyOk = p != data && std::memcmp(p, "abcdefg", 8) == 0;
                static_cast<char*>(p)[0] = 'X';  // the task may write its block
            },
            b.get(), data, sizeof(data)));
    }
    ASSERT_TRUE(Signalled(a.get()));
    ASSERT_TRUE(Signalled(b.get()));
    EXPECT_TRUE(emptyOk);
    EXPECT_TRUE(copyOk);
    EXPECT_EQ(data[0], 'a');
}

TEST(WrkThreadPool, TeardownSignalsWaitsAndThenRefuses) {
    CWrkThreadPool pool;
    {
        CWrkThreadPoolLocker lock(pool);
        auto start = std::chrono::steady_clock::now();
        pool.teardown_pool();  // nothing to do: returns at once
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
    CWrkThreadPool busy;
    std::atomic<int> ended{0};
    VrBase::unique_handle event = create_task_stop_event();
    {
        CWrkThreadPoolLocker lock(busy);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(busy.run_thread(
                [&](HANDLE stop, void*) {
                    ::WaitForSingleObject(stop, INFINITE);
                    ::Sleep(50);
                    ++ended;
                },
                event.get(), nullptr, 0));
        busy.teardown_pool();
        EXPECT_EQ(ended.load(), 3) << "teardown joined every task";
        bool ran = false;
        VrBase::unique_handle late = create_task_stop_event();
        EXPECT_FALSE(busy.run_thread([&](HANDLE, void*) { ran = true; }, late.get(), nullptr, 0));
        EXPECT_FALSE(ran);
    }
}

TEST(WrkThreadPool, TaskFailuresStayInTheirThread) {
    CWrkThreadPool pool;
    VrBase::unique_handle event = create_task_stop_event();
    {
        CWrkThreadPoolLocker lock(pool);
        ASSERT_TRUE(pool.run_thread([](HANDLE, void*) { throw std::runtime_error("task failed"); }, event.get(),
                                    nullptr, 0));
    }
    EXPECT_TRUE(Signalled(event.get())) << "a failed task still marks itself ended";
    CWrkThreadPoolLocker lock(pool);
    EXPECT_FALSE(pool.run_thread([](HANDLE, void*) {}, nullptr, nullptr, 0)) << "a bad event handle is refused";
}

// Every allocation of a submission failing in turn: each refusal leaves no
// thread behind and the process lives (a joinable thread destroyed would
// end it).
TEST(WrkThreadPool, FailedAllocationsRefuseTheTaskAndLeaveNoThread) {
    EXPECT_EQ(vrtest::RunChild(L"pool_alloc_child.exe", L""), 0u);
}

TEST(EvtTrigger, SignalsOnDestructionAndKeepsItsOwnHandle) {
    VrBase::unique_handle event = create_task_stop_event();
    {
        CEvtTrigger trigger(event.get());
        EXPECT_FALSE(Signalled(event.get(), 0));
    }
    EXPECT_TRUE(Signalled(event.get(), 0));
    EXPECT_THROW(CEvtTrigger bad(nullptr), VrBase::CVrError);
}

// Wine refuses background mode (87); Windows grants it. Either way the
// object is built, and it leaves the thread as it found it.
TEST(ThreadBackgroundTrigger, EntersOrStaysInert) {
    int before = ::GetThreadPriority(::GetCurrentThread());
    {
        CThreadBackgroundTrigger trigger;
        if (!trigger.entered()) {
            EXPECT_EQ(::GetThreadPriority(::GetCurrentThread()), before);
        }
    }
    EXPECT_EQ(::GetThreadPriority(::GetCurrentThread()), before);
}

} // namespace
