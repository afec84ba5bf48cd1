#include "vrbase/error_description.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>

VR_DEFINE_MODULE_TRACE(L"VrBaseErrorTests")

namespace {

using VrBase::CVrError;

// The system's text in the product message language, as the lookup takes it.
std::wstring SystemText(DWORD code) {
    wchar_t buf[512] = {};
    if (!::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                          VrBase::ProductMessageLanguage(), buf, 512, nullptr))
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf, 512, nullptr);
    std::wstring s(buf);
    size_t cr = s.rfind(L'\r');
    if (cr != std::wstring::npos) s.erase(cr);
    return s;
}

TEST(VrError, BasicErrorFieldsAndDump) {
    CVrError e(5, "ssr_service", 151, L"InitEffectivePolicyLoading");
    EXPECT_EQ(e.GetCode(), 5u);
    EXPECT_STREQ(e.Field(L"Code"), L"0x00000005");
    EXPECT_STREQ(e.Field(L"Line"), L"151");
    EXPECT_STREQ(e.Field(L"File"), L"ssr_service");
    EXPECT_STREQ(e.Field(L"Function"), L"InitEffectivePolicyLoading");
    const std::wstring description = e.GetDescription();
    EXPECT_FALSE(description.empty());
    EXPECT_EQ(description, SystemText(5));
    EXPECT_EQ(description.find_first_of(L"\r\n"), std::wstring::npos);

    const std::wstring dump = e.GetDump();
    EXPECT_EQ(dump, L"Code: 0x00000005\r\nDescription: " + description +
                        L"\r\nFile: ssr_service\r\nFunction: InitEffectivePolicyLoading\r\nLine: 151\r\n");
    // Asking again gives the same text: the stored dump is not part of the next.
    EXPECT_EQ(std::wstring(e.GetDump()), dump);
    EXPECT_EQ(std::wstring(e.GetText()), dump);
}

TEST(VrError, UnknownCodeAndMissingPositionFields) {
    CVrError e(0xA0001234, nullptr, 0, nullptr);
    EXPECT_STREQ(e.GetDescription(), L"0xA0001234 (-1610608076)");
    EXPECT_EQ(e.Field(L"File"), nullptr);
    EXPECT_EQ(e.Field(L"Line"), nullptr);
    EXPECT_EQ(e.Field(L"Function"), nullptr);
    EXPECT_EQ(std::wstring(e.GetDebugInfo()), L"");

    CVrError zero(0, "f.cpp", 0, L"fn");
    EXPECT_EQ(zero.GetCode(), 0u);
    EXPECT_EQ(std::wstring(zero.GetDebugInfo(), 21), std::wstring(L"File\0f.cpp\0Function\0fn\0", 21));
}

TEST(VrError, LastErrorCodeItemAndCopy) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    CVrError fromLast(0xFFFFFFFF, "x.cpp", 1, L"f");
    EXPECT_EQ(fromLast.GetCode(), 2u);

    CVrError item = CVrError::WithItem(13, "p.cpp", 9, L"apply", L"msg: ", L"bad policy");
    EXPECT_STREQ(item.Field(L"msg: "), L"bad policy");
    CVrError copy(item);
    EXPECT_EQ(std::wstring(copy.GetDump()), std::wstring(item.GetDump()));

    try {
        VR_RAISE(87, L"raiser");
        FAIL();
    } catch (CVrError& e) {
        EXPECT_EQ(e.GetCode(), 87u);
        EXPECT_STREQ(e.Field(L"File"), L"error_test.cpp");
        EXPECT_STREQ(e.Field(L"Function"), L"raiser");
    }
}

// Inserted text comes out as given, "%" included; a text formatted without
// inserts loses its markers.
TEST(ErrorDescription, InsertsKeepTheirPercentSigns) {
    const DWORD kExportMissing = 0xE6010032;  // takes the function name as %1
    CVrError e(kExportMissing, "x.cpp", 1, L"f", L"C:\\100%done 50% of %1", nullptr);
    const std::wstring description = e.GetDescription();
    EXPECT_NE(description.find(L"C:\\100%done 50% of %1"), std::wstring::npos) << description;

    CVrError bare(kExportMissing, "x.cpp", 1, L"f");
    const std::wstring plain = bare.GetDescription();
    EXPECT_EQ(plain.find(L"0xE6010032"), std::wstring::npos) << "the library's text, not the fallback";
    EXPECT_EQ(plain.find(L'%'), std::wstring::npos) << plain;
    EXPECT_NE(plain.rfind(L" ."), std::wstring::npos) << "the marker before the full stop is gone: " << plain;
}

// Only failing HRESULTs raise, with their own code and the caller's line.
TEST(VrError, CheckHResultRaisesFailuresOnly) {
    EXPECT_EQ(vrtest::ErrorCodeOf([] { VR_CHECK_HR(S_OK, L"f"); }), 0u);
    EXPECT_EQ(vrtest::ErrorCodeOf([] { VR_CHECK_HR(S_FALSE, L"f"); }), 0u);
    EXPECT_EQ(vrtest::ErrorCodeOf([] { VR_CHECK_HR(0x7FFFFFFF, L"f"); }), 0u);
    EXPECT_EQ(vrtest::ErrorCodeOf([] { VR_CHECK_HR(static_cast<HRESULT>(0x80000000), L"f"); }), 0x80000000u);
    const int line = __LINE__ + 2;
    try {
        VR_CHECK_HR(E_NOINTERFACE, L"checker");
        FAIL();
    } catch (CVrError& e) {
        EXPECT_EQ(e.GetCode(), static_cast<DWORD>(E_NOINTERFACE));
        EXPECT_STREQ(e.Field(L"Function"), L"checker");
        EXPECT_STREQ(e.Field(L"File"), L"error_test.cpp");
        EXPECT_EQ(e.Field(L"Line"), std::to_wstring(line));
    }
}

TEST(ErrorDescription, MessageSourceByCode) {
    EXPECT_STREQ(VrBase::MessageSourceFor(0xE6060005), L"VrError.dll");
    EXPECT_STREQ(VrBase::MessageSourceFor(0x06000000), L"VrError.dll");
    EXPECT_STREQ(VrBase::MessageSourceFor(0x80005010), L"ActiveDS.dll");
    EXPECT_STREQ(VrBase::MessageSourceFor(0x5001), L"ActiveDS.dll");
    EXPECT_STREQ(VrBase::MessageSourceFor(0xC0020001), L"NtDll.dll");
    EXPECT_STREQ(VrBase::MessageSourceFor(0x80041010), L"wbem\\wmiutils.dll");
    EXPECT_STREQ(VrBase::MessageSourceFor(0x80044031), L"wbem\\wmiutils.dll");
    EXPECT_STREQ(VrBase::MessageSourceFor(0x80041100), L"");
    EXPECT_STREQ(VrBase::MessageSourceFor(5), L"");
}

// The product locale decides the message language; bad values fall back to 1049.
TEST(ErrorDescription, ProductMessageLanguage) {
    vrtest::RegKeyScope key(L"SOFTWARE\\Calderis\\Varnel Studio");
    EXPECT_EQ(VrBase::ComputeProductMessageLanguage(), 1049u);
    key.SetString(nullptr, L"ProductLocale", L"en-US");
    EXPECT_EQ(VrBase::ComputeProductMessageLanguage(), 1033u);
    key.SetString(nullptr, L"ProductLocale", L"de-DE");
    EXPECT_EQ(VrBase::ComputeProductMessageLanguage(), 1031u);
    key.SetString(nullptr, L"ProductLocale", L"english");
    EXPECT_EQ(VrBase::ComputeProductMessageLanguage(), 1049u);
    key.SetString(nullptr, L"ProductLocale", L"en-U");
    EXPECT_EQ(VrBase::ComputeProductMessageLanguage(), 1049u);
    key.SetDword(nullptr, L"ProductLocale", 1033);
    EXPECT_EQ(VrBase::ComputeProductMessageLanguage(), 1049u);
    // The same reader as the language lists: an expandable string counts too.
    VrBase::unique_hkey product;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Calderis\\Varnel Studio", 0, KEY_SET_VALUE, product.put()),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(product.get(), L"ProductLocale", 0, REG_EXPAND_SZ,
                               reinterpret_cast<const BYTE*>(L"en-GB"), 6 * sizeof(wchar_t)),
              ERROR_SUCCESS);
    EXPECT_EQ(VrBase::ComputeProductMessageLanguage(), 2057u);
}

TEST(ExceptionGuard, EachBranchGivesItsCode) {
    EXPECT_EQ(VrBase::GuardCode(L"ok", [] { return 0; }), 0u);
    EXPECT_EQ(VrBase::GuardCode(L"vr", []() -> DWORD { VR_RAISE(1235, L"inner"); }), 1235u);
    EXPECT_EQ(VrBase::GuardCode(L"std", []() -> DWORD { throw std::runtime_error("boom"); }), 1u);
    EXPECT_EQ(VrBase::GuardCode(L"atl", []() -> DWORD { throw VrBase::CAtlException(E_NOINTERFACE); }),
              static_cast<DWORD>(E_NOINTERFACE));
    EXPECT_EQ(VrBase::GuardCode(L"other", []() -> DWORD { throw 42; }), static_cast<DWORD>(E_FAIL));
    EXPECT_FALSE(VrBase::GuardBool(L"b", []() -> bool { VR_RAISE(5, L"inner"); }));
    EXPECT_TRUE(VrBase::GuardBool(L"b", [] { return true; }));
    bool ran = false;
    VrBase::GuardVoid(L"v", [&] { ran = true; throw 1; });
    EXPECT_TRUE(ran);
}

TEST(ExceptionGuard, ResultToHResult) {
    EXPECT_EQ(VrBase::ResultToHResult(0), S_OK);
    EXPECT_EQ(VrBase::ResultToHResult(5), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(VrBase::ResultToHResult(0x12345), static_cast<HRESULT>(0x80072345));
    EXPECT_EQ(VrBase::ResultToHResult(static_cast<DWORD>(E_FAIL)), E_FAIL);
}

// The guard's lines, as they reach the module's own trace file.
TEST(ExceptionGuard, TracesUnderTheBoundaryName) {
    vrtest::TempDir dir;
    vrtest::TraceToFolder trace(dir.path());

    VrBase::GuardCode(L"BoundaryFn", []() -> DWORD { VR_RAISE(87, L"Inner"); });
    VrBase::GuardCode(L"StdFn", []() -> DWORD { throw std::runtime_error("bad thing"); });
    VrBase::GuardCode(L"AtlFn", []() -> DWORD { throw VrBase::CAtlException(0x80070057); });
    VrBase::GuardCode(L"AnyFn", []() -> DWORD { throw 3; });

    auto lines = vrtest::SplitLines(trace.Read(L"VrBaseErrorTests"));

    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "E> BoundaryFn  ");
    EXPECT_EQ(lines[1], "W> BoundaryFn Code: 0x00000057");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Function: Inner"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "E> StdFn bad thing"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "E> AtlFn ATL error 0x80070057"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "E> AnyFn Unknown exception!"), lines.end());
}

} // namespace
