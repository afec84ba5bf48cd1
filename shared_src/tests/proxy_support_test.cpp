// What the management DLL reads and writes besides its interface: read
// streams in both directions, and the texts of error codes.
#include "ap_rd_stream.h"
#include "ssr_error_helper.h"

#include "support/test_support.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A stream as the agent would pass one, with the record the test wants.
struct AgentStream : IVRReadStream {
    VR_RDSTREAM_DATA record{};
    HRESULT answer = S_OK;
    AgentStream(DWORD type, const void* data, DWORD size) {
        Free = [](IVRReadStream*) -> HRESULT { return S_OK; };
        Read = [](IVRReadStream*, void*, DWORD, DWORD*) -> HRESULT { return E_NOTIMPL; };
        GetInternalData = [](IVRReadStream* s, VR_RDSTREAM_DATA* r) -> HRESULT {
            auto* self = static_cast<AgentStream*>(s);
            *r = self->record;
            return self->answer;
        };
        record.Type = type;
        record.Data = data;
        record.Size = size;
    }
};

TEST(ReadStream, ReadsInPiecesAndReportsTheEnd) {
    IVRReadStream* s = new CReadStreamString(L"ab");
    BYTE buffer[4];
    DWORD count = 99;
    EXPECT_EQ(s->Read(s, buffer, 4, &count), S_OK);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::memcmp(buffer, L"ab", 4), 0);
    std::memset(buffer, 0xCC, sizeof(buffer));
    EXPECT_EQ(s->Read(s, buffer, 4, &count), S_FALSE);
    EXPECT_EQ(count, 2u) << "the NUL";
    EXPECT_EQ(buffer[0] | buffer[1] | buffer[2] | buffer[3], 0) << "the whole buffer is zeroed";
    EXPECT_EQ(s->Read(s, buffer, 4, &count), S_FALSE);
    EXPECT_EQ(count, 0u);

    EXPECT_EQ(s->Read(s, nullptr, 4, &count), E_INVALIDARG);
    EXPECT_EQ(s->Read(s, buffer, 4, nullptr), E_INVALIDARG);
    EXPECT_EQ(s->Read(nullptr, buffer, 4, &count), E_POINTER);

    VR_RDSTREAM_DATA data{};
    EXPECT_EQ(s->GetInternalData(s, &data), S_OK);
    EXPECT_EQ(data.Type, 2u);
    EXPECT_STREQ(static_cast<const wchar_t*>(data.Data), L"ab");
    EXPECT_EQ(s->GetInternalData(s, nullptr), E_INVALIDARG);
    EXPECT_EQ(get_wstrig_4m_rdstream(s), L"ab") << "the module reads its own streams too";
    EXPECT_EQ(s->Free(nullptr), E_POINTER);
    EXPECT_EQ(s->Free(s), S_OK);
}

TEST(ReadStream, EveryStreamTypeTheAgentPasses) {
    // Six bytes of "abc" and nothing after them: the reader must not run on.
    wchar_t unterminated[4] = {L'a', L'b', L'c', L'x'};
    AgentStream sized(VR_RDSTREAM_TEXT_SIZED, unterminated, 6);
    EXPECT_EQ(get_wstrig_4m_rdstream(&sized), L"abc");
    AgentStream odd(VR_RDSTREAM_TEXT_SIZED, unterminated, 5);
    EXPECT_EQ(get_wstrig_4m_rdstream(&odd).substr(0, 2), L"ab");
    AgentStream empty(VR_RDSTREAM_TEXT_SIZED, nullptr, 0);
    EXPECT_EQ(get_wstrig_4m_rdstream(&empty), L"");
    AgentStream stopsAtNul(VR_RDSTREAM_TEXT_SIZED, L"ab\0cd", 10);
    EXPECT_EQ(get_wstrig_4m_rdstream(&stopsAtNul), L"ab");

    AgentStream text(VR_RDSTREAM_TEXT, L"<Settings/>", 0);
    EXPECT_EQ(get_wstrig_4m_rdstream(&text), L"<Settings/>");

    vrtest::TempDir dir;
    const std::wstring cyrillic = L"<\x041F\x0443\x0442\x044C>\x0444\x0430\x0439\x043B</\x041F\x0443\x0442\x044C>";
    vrtest::WriteFileBytes(dir.file(L"utf8.xml"),
                           "<\xD0\x9F\xD1\x83\xD1\x82\xD1\x8C>\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB</"
                           "\xD0\x9F\xD1\x83\xD1\x82\xD1\x8C>");
    const std::wstring path = dir.file(L"utf8.xml");
    AgentStream file(VR_RDSTREAM_UTF8_FILE, path.c_str(), 0);
    EXPECT_EQ(get_wstrig_4m_rdstream(&file), cyrillic);
    const std::wstring missing = dir.file(L"missing.xml");
    AgentStream gone(VR_RDSTREAM_UTF8_FILE, missing.c_str(), 0);
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { get_wstrig_4m_rdstream(&gone); }), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    AgentStream four(4, L"x", 4);
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { get_wstrig_4m_rdstream(&four); }), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { get_wstrig_4m_rdstream(nullptr); }), static_cast<DWORD>(E_INVALIDARG));
    AgentStream refusing(VR_RDSTREAM_TEXT, L"x", 0);
    refusing.answer = E_ACCESSDENIED;
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { get_wstrig_4m_rdstream(&refusing); }), static_cast<DWORD>(E_ACCESSDENIED));
    AgentStream noData(VR_RDSTREAM_TEXT, nullptr, 0);
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { get_wstrig_4m_rdstream(&noData); }), static_cast<DWORD>(E_INVALIDARG));
}

class ErrorTexts : public ::testing::Test {
protected:
    vrtest::RegKeyScope product{L"SOFTWARE\\Calderis\\Varnel Studio"};
    void SetUp() override { product.SetString(nullptr, L"ProductLocale", L"en-US"); }
};

TEST_F(ErrorTexts, EachCodeFromTheTableThatOwnsIt) {
    const std::wstring denied = get_error_str(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(denied.empty());
    EXPECT_EQ(denied.find_first_of(L"\r\n"), std::wstring::npos) << "cut before its line break";
    wchar_t system[256] = {};
    ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, system, 256, nullptr);
    EXPECT_EQ(std::wstring(system).find(denied), 0u) << "the system's own text";

    const std::wstring product = get_error_str(0xE6060005);
    ASSERT_FALSE(product.empty());
    EXPECT_EQ(product.find(L'%'), std::wstring::npos);
    size_t markers = 0;
    for (size_t at = product.find(L".."); at != std::wstring::npos; at = product.find(L"..", at + 2)) ++markers;
    EXPECT_EQ(markers, 3u) << "three inserts as two dots each: " << std::string(product.begin(), product.end());

    EXPECT_EQ(CErrDescSrc::range_key(0x80041001), 0u) << "WMI codes come from the system table";
    EXPECT_EQ(CErrDescSrc::instance().get_lib(0x80041001), nullptr);
    EXPECT_EQ(CErrDescSrc::range_key(0x80005008), 0x80005000u);
    EXPECT_EQ(CErrDescSrc::range_key(0x00005008), 0x80005000u);
    EXPECT_EQ(CErrDescSrc::range_key(0xC0020001), 0xC0020000u);
    EXPECT_EQ(CErrDescSrc::range_key(0xE6060005), 0x06000000u);
    EXPECT_EQ(get_error_str(0x2FFFFFFF), L"") << "a code nobody knows";
}

// The missing library is shown from a copy of this program in a folder of
// its own, so the loaded handle of this process is not in the way.
TEST_F(ErrorTexts, WithoutVrErrorDllTheLoadErrorIsRaised) {
    if (vrtest::FileExists(vrtest::ModuleFolder() + L"VrError.dll")) {
        vrtest::TempDir alone;
        wchar_t self[MAX_PATH];
        ASSERT_TRUE(::GetModuleFileNameW(nullptr, self, MAX_PATH));
        ASSERT_TRUE(::CopyFileW(self, alone.file(L"alone.exe").c_str(), FALSE));
        vrtest::CapturedChild child(alone.file(L"alone.exe"),
                                    L"--gtest_filter=ErrorTexts.WithoutVrErrorDllTheLoadErrorIsRaised", alone.path());
        const std::string output = child.ReadAll();
        EXPECT_EQ(child.WaitExit(), 0u) << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
        return;
    }
    // The loader's own code: 126 from LoadLibrary, 2 for a data file under Wine.
    const DWORD code = vrtest::ErrorCodeOf([] { get_error_str(0xE6060005); });
    EXPECT_TRUE(code == ERROR_MOD_NOT_FOUND || code == ERROR_FILE_NOT_FOUND) << code;
    EXPECT_EQ(get_error_str(ERROR_ACCESS_DENIED).empty(), false) << "the system table still answers";
}

} // namespace
