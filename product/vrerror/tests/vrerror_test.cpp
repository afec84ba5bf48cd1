#include "vrbase/error_description.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

VR_DEFINE_MODULE_TRACE(L"VrErrorTests")

namespace {

// Every product code the system raises, with the inserts it is raised with.
struct ProductCode {
    DWORD code;
    int inserts;
};
const ProductCode kCodes[] = {
    {0xE601000D, 0}, {0xE6010032, 1}, {0xE6060003, 0}, {0xE6060004, 0}, {0xE6060005, 3}, {0xE6060006, 1},
    {0xE6060007, 1}, {0xE6060008, 1}, {0xE6060009, 1}, {0xE606000A, 1}, {0xE606000B, 1}, {0xE606000C, 1},
    {0xE606000D, 1}, {0xE606000E, 1}, {0xE606000F, 1}, {0xE6060010, 1}, {0xE6060011, 1}, {0xE6060012, 1},
    {0xE6060013, 1}, {0xE6060014, 1}, {0xE6060015, 1}, {0xE6060016, 1}, {0xE6060017, 1}, {0xE6060018, 1},
    {0xE6060019, 1}, {0xE6080002, 0}, {0xE6080008, 0}, {0xE6240001, 4}, {0xE6240002, 2},
};

std::wstring RawText(HMODULE lib, DWORD code, DWORD language) {
    wchar_t buf[1024] = {};
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, lib, code, language, buf,
                               1024, nullptr);
    return std::wstring(buf, n);
}

TEST(VrErrorLibrary, EveryCodeHasEnglishAndRussianTextWithItsInserts) {
    VrBase::unique_hmodule lib(::LoadLibraryExW(L"VrError.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(lib) << "VrError.dll beside the test program";
    for (const ProductCode& c : kCodes) {
        for (DWORD language : {1033u, 1049u}) {
            std::wstring text = RawText(lib.get(), c.code, language);
            ASSERT_FALSE(text.empty()) << std::hex << c.code << " language " << std::dec << language;
            for (int i = 1; i <= 4; ++i) {
                bool has = text.find(L"%" + std::to_wstring(i)) != std::wstring::npos;
                EXPECT_EQ(has, i <= c.inserts) << std::hex << c.code << " insert %" << i;
            }
        }
    }
}

TEST(VrErrorLibrary, DescriptionsFillInsertsInTheProductLanguage) {
    // No product locale: messages come in Russian (1049).
    std::vector<std::wstring> av{L"00000000004015A0", L"\x0437\x0430\x043F\x0438\x0441\x044C", L"0000000000000000"};
    std::wstring d = VrBase::DescribeCode(0xE6060005, &av);
    EXPECT_NE(d.find(L"00000000004015A0"), std::wstring::npos) << d;
    EXPECT_NE(d.find(av[1]), std::wstring::npos) << d;
    EXPECT_NE(d.find(L"0000000000000000"), std::wstring::npos) << d;
    EXPECT_EQ(d.find_first_of(L"\r\n%"), std::wstring::npos) << d;
    EXPECT_NE(d.find(L"\x041D\x0430\x0440\x0443\x0448\x0435\x043D\x0438\x0435"), std::wstring::npos)
        << "Russian text expected: " << std::string(d.begin(), d.end());

    std::vector<std::wstring> xml{L"0xC00CE558", L"3", L"17", L"Missing end tag."};
    d = VrBase::DescribeCode(0xE6240001, &xml);
    for (const auto& s : xml) EXPECT_NE(d.find(s), std::wstring::npos);

    // Raised without inserts: the markers are dropped, the text stays readable.
    d = VrBase::DescribeCode(0xE6010032);
    EXPECT_EQ(d.find(L'%'), std::wstring::npos);
    EXPECT_FALSE(d.empty());
    EXPECT_EQ(d.find(L"0xE6010032"), std::wstring::npos) << "found in the library, not the fallback";
}

} // namespace
