#include "Registry/reg_key.h"

#include "support/test_support.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kKey[] = L"SOFTWARE\\VrTests\\RegKey";

TEST(RegKey, CreateThenOpenThenMissing) {
    vrtest::RegKeyScope scope(kKey);
    {
        VrBase::unique_hkey created = reg::CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VrTests\\RegKey\\Sub", KEY_ALL_ACCESS);
        EXPECT_TRUE(created);
    }
    VrBase::unique_hkey opened = reg::OpenKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VrTests\\RegKey\\Sub", KEY_READ);
    EXPECT_TRUE(opened);
    try {
        reg::OpenKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VrTests\\RegKey\\Missing", KEY_READ);
        FAIL() << "a missing key must raise";
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_STREQ(e.Field(L"Function"), L"reg::OpenKey");
    }
}

TEST(RegKey, ValueErrorsCarryTheCode) {
    try {
        reg::ThrowValueReadError(L"RealLastScanEndTime", ERROR_MORE_DATA);
        FAIL();
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_STREQ(e.Field(L"Function"), L"reg::ThrowValueReadError");
    }
    try {
        reg::ThrowValueWriteError(L"X", 5);
        FAIL();
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), 5u);
        EXPECT_STREQ(e.Field(L"Function"), L"reg::ThrowValueWriteError");
    }
}

} // namespace
