#include "time_convertions.h"

#include "support/test_support.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

namespace {

TEST(Time, IsoTextRoundTripsAndMilliseconds) {
    SYSTEMTIME empty = get_empty_system_time();
    EXPECT_TRUE(is_empty_system_time(empty));
    EXPECT_EQ(convert_time_to_iso_str(empty), L"1601-01-01T00:00:00.000Z");
    EXPECT_TRUE(is_empty_system_time(convert_iso_str_2_time(L"1601-01-01T00:00:00.000Z")));

    SYSTEMTIME t = convert_iso_str_2_time(L"2026-12-07T03:24:52.123Z");
    EXPECT_EQ(t.wYear, 2026);
    EXPECT_EQ(t.wMonth, 12);
    EXPECT_EQ(t.wDay, 7);
    EXPECT_EQ(t.wHour, 3);
    EXPECT_EQ(t.wSecond, 52);
    EXPECT_EQ(t.wMilliseconds, 123) << "reading takes all seven fields";
    EXPECT_EQ(t.wDayOfWeek, 1) << "the day of week is filled in (a Monday)";
    EXPECT_EQ(convert_time_to_iso_str(t), L"2026-12-07T03:24:52.000Z") << "writing always says 000";
    EXPECT_FALSE(is_empty_system_time(t));

    FILETIME ft;
    ASSERT_TRUE(::SystemTimeToFileTime(&t, &ft));
    EXPECT_EQ(convert_time_to_iso_str(ft), L"2026-12-07T03:24:52.000Z");
    EXPECT_EQ(get_current_time_iso_str().size(), 24u);
}

TEST(Time, ImpossibleAndIncompleteTextsAreRejected) {
    EXPECT_NE(vrtest::ErrorCodeOf([] { convert_iso_str_2_time(L"2026-02-30T00:00:00.000Z"); }), 0u);
    EXPECT_EQ(vrtest::ErrorCodeOf([] { convert_iso_str_2_time(L"2026-12-07"); }), 87u);
    EXPECT_EQ(vrtest::ErrorCodeOf([] { convert_iso_str_2_time(L""); }), 87u);
    // One field short of the seven: no milliseconds.
    EXPECT_EQ(vrtest::ErrorCodeOf([] { convert_iso_str_2_time(L"2026-12-07T03:32:39Z"); }), 87u);
    EXPECT_EQ(vrtest::ErrorCodeOf([] { convert_iso_str_2_time(L"2026-12-07T03:32:39.Z"); }), 87u);
    SYSTEMTIME bad{};
    bad.wYear = 2026;
    bad.wMonth = 13;
    bad.wDay = 1;
    EXPECT_NE(vrtest::ErrorCodeOf([&] { repair_systemtime(bad); }), 0u);
}

TEST(Time, ComparisonsAndDifferences) {
    SYSTEMTIME a = convert_iso_str_2_time(L"2026-12-07T03:24:52.000Z");
    SYSTEMTIME b = convert_iso_str_2_time(L"2026-12-07T03:24:53.500Z");
    int sign = 5;
    EXPECT_EQ(get_system_time_diff(a, a, sign), 0u);
    EXPECT_EQ(sign, 0);
    EXPECT_EQ(get_system_time_diff(a, b, sign), 15000000u);
    EXPECT_EQ(sign, -1);
    EXPECT_EQ(get_system_time_diff(b, a, sign), 15000000u);
    EXPECT_EQ(sign, 1);
    EXPECT_EQ(compare_system_time(a, b), -1);
}

} // namespace
