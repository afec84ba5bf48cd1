#include "Com/com_assert.h"

#include "vrbase/vr_error.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <string>

namespace {

// {0BADC0DE-1234-5678-9ABC-DEF012345678}: registered nowhere.
const CLSID kUnknownClass = {0x0BADC0DE, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};

TEST(ComAssert, NegativeResultNamesTheClassAndTheCode) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_NO_THROW(Com::AssertObjectCreated(S_OK, kUnknownClass));
    EXPECT_NO_THROW(Com::AssertObjectCreated(S_FALSE, kUnknownClass));
    try {
        Com::AssertObjectCreated(REGDB_E_CLASSNOTREG, kUnknownClass);
        FAIL();
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), 0xE6240002u);
        EXPECT_STREQ(e.Field(L"Function"), L"Com::AssertObjectCreated");
        std::wstring d = e.GetDescription();
        EXPECT_NE(d.find(L"{0BADC0DE-1234-5678-9ABC-DEF012345678}"), std::wstring::npos) << d;
        EXPECT_NE(d.find(L"0x80040154 (-2147221164)"), std::wstring::npos) << d;
    }
    ::CoUninitialize();
}

} // namespace
