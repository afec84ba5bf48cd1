#include "Com/com_init.h"
#include "exec/apartment_executor.h"

#include "vrbase/error_description.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <stdexcept>
#include <string>

namespace {

APTTYPE CurrentApartment() {
    APTTYPE type{};
    APTTYPEQUALIFIER qualifier{};
    if (FAILED(::CoGetApartmentType(&type, &qualifier))) return static_cast<APTTYPE>(-2);
    return type;
}

// The first single-threaded apartment of a process counts as the main one.
bool IsSta(APTTYPE type) { return type == APTTYPE_STA || type == APTTYPE_MAINSTA; }

TEST(Executor, ReturnsResultAndRunsOnAnotherThreadInItsOwnApartment) {
    const DWORD caller = ::GetCurrentThreadId();
    std::wstring input = L"abc";
    auto result = exec::run_in_sta([&] {
        EXPECT_NE(::GetCurrentThreadId(), caller);
        EXPECT_TRUE(IsSta(CurrentApartment()));
        input += L"d";  // the caller waits, so its data may be used by reference
        return static_cast<int>(input.size());
    });
    EXPECT_EQ(result, 4);
    EXPECT_EQ(input, L"abcd");
    exec::run_in_sta([] {});  // void results work too
}

TEST(Executor, ErrorsComeBackOnTheCaller) {
    try {
        exec::run_in_sta([]() -> int { VR_RAISE(87, L"inside"); });
        FAIL();
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), 87u);
        EXPECT_EQ(std::wstring(e.GetDescription()), VrBase::DescribeCode(87));
        EXPECT_STREQ(e.Field(L"Function"), L"inside");
    }
    try {
        exec::run_in_sta([] { throw std::out_of_range("x"); });
        FAIL();
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), static_cast<DWORD>(E_FAIL));
    }
}

TEST(Executor, CallerInTheMultithreadedApartmentStillGetsAFreshSta) {
    Com::CInitializeThread mta(COINIT_MULTITHREADED);
    ASSERT_EQ(CurrentApartment(), APTTYPE_MTA);
    EXPECT_TRUE(IsSta(exec::run_in_sta([] { return CurrentApartment(); })));
    EXPECT_EQ(CurrentApartment(), APTTYPE_MTA);
}

TEST(ComInit, OtherModeIsUsableButNotUndone) {
    Com::CInitializeThread sta(COINIT_APARTMENTTHREADED);
    EXPECT_TRUE(sta.WillUninitialize());
    {
        Com::CInitializeThread mta(COINIT_MULTITHREADED);
        EXPECT_EQ(mta.Result(), RPC_E_CHANGED_MODE);
        EXPECT_TRUE(mta.IsUsable());
        EXPECT_FALSE(mta.WillUninitialize());
    }
    EXPECT_TRUE(IsSta(CurrentApartment())) << "the inner object left COM alone";
}

} // namespace
