// vrcc-ctl against a running core: what a test program did shows up, and
// every mistake ends with a message and a non-zero code.
#include "core_test_ids.h"
#include "client_support.h"
#include "core_test_support.h"
#include "vrevtapi.h"
#include "vrsrvapi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace coretest;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Ctl, ShowsSessionsEventsPolicyAndTheComputerRecord) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    Peer receiver(L"receiver", L"vrtest.listed");
    ASSERT_TRUE(receiver.WaitReady());
    std::string out;
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"sessions", out), 0u) << out;
    EXPECT_TRUE(Has(out, "\"vrtest.listed\"")) << out;
    EXPECT_TRUE(Has(out, "subscribed: 0x7E570001 0x7E570002")) << out;

    HANDLE source = VrRegisterEventSourceEx(L"ROZEDURI", L"RarudodaVaridide");
    const WCHAR* first[] = {L"OPERATION-1", L"%%101"};
    const WCHAR* second[] = {L"EXPORTED-2"};
    ASSERT_TRUE(VrWriteEvent(source, 0, 1, 0x44C, nullptr, 2, 0, first, nullptr));
    ASSERT_TRUE(VrWriteEvent(source, 0, 1, 0x451, nullptr, 1, 0, second, nullptr));
    VrDeregisterEventSource(source);
    // As Event Viewer shows them: the name, the text, the inserts' texts.
    vrtest::RegKeyScope product(L"SOFTWARE\\Calderis\\Varnel Studio");
    product.SetString(nullptr, L"ProductLocale", L"en-US");
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"events", out), 0u) << out;
    EXPECT_TRUE(Has(out, "ROZEDURI EID_SP_SES_BUILD_STARTED (0x0000044C) success category RarudodaVaridide (1)")) << out;
    EXPECT_TRUE(Has(out, "  The scan OPERATION-1 started on schedule.\r\n")) << out;
    EXPECT_TRUE(Has(out, "EID_SP_SES_SAVED (0x00000451)")) << out;
    EXPECT_TRUE(Has(out, "  The software state document EXPORTED-2 was exported.\r\n")) << out;
    EXPECT_FALSE(Has(out, "%%")) << out;
    EXPECT_TRUE(Has(out, "2 record(s); mark 2")) << out;
    // --raw: as the journal holds them.
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"events --raw", out), 0u) << out;
    EXPECT_TRUE(Has(out, "#1 ")) << out;
    EXPECT_TRUE(Has(out, "ROZEDURI/RarudodaVaridide category 1 id 0x0000044C")) << out;
    EXPECT_TRUE(Has(out, "[1] OPERATION-1")) << out;
    EXPECT_TRUE(Has(out, "[2] %%101")) << out;
    EXPECT_TRUE(Has(out, "2 record(s); mark 2")) << out;
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"events --since 1 --raw", out), 0u) << out;
    EXPECT_FALSE(Has(out, "OPERATION-1")) << out;
    EXPECT_TRUE(Has(out, "[1] EXPORTED-2")) << out;
    // Whatever a caller writes into its event is shown, never acted on by the
    // terminal, and cannot start a line that reads as a record of its own.
    HANDLE forger = VrRegisterEventSourceEx(L"ROZEDURI", L"RarudodaVaridide");
    const WCHAR* forged[] = {L"X\x1b]0;title\x07\x1b[2J\r\n#9 2020-01-01 forged", L"\x9b" L"31m"};
    ASSERT_TRUE(VrWriteEvent(forger, 0, 1, 0x44C, nullptr, 2, 0, forged, nullptr));
    ASSERT_TRUE(VrWriteEvent(forger, 0, 1, 0xBAD, nullptr, 2, 0, forged, nullptr));
    VrDeregisterEventSource(forger);
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"events --since 2", out), 0u) << out;
    EXPECT_TRUE(Has(out, "The scan X\\x1B]0;title\\x07\\x1B[2J\r\n    #9 2020-01-01 forged started")) << out;
    EXPECT_TRUE(Has(out, "[2] \\x9B31m\r\n")) << out;
    EXPECT_FALSE(Has(out, "\x1b")) << out;
    EXPECT_FALSE(Has(out, "\n#9")) << out;
    EXPECT_TRUE(Has(out, "2 record(s); mark 4")) << out;

    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"policy set ROZEDURI --text \"<Config/>\"", out), 0u) << out;
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"policy show", out), 0u) << out;
    EXPECT_TRUE(Has(out, "ROZEDURI")) << out;
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"policy show ROZEDURI", out), 0u) << out;
    EXPECT_TRUE(Has(out, "<Config/>")) << out;
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"policy clear ROZEDURI", out), 0u) << out;
    EXPECT_EQ(RunCaptured(L"vrcc-ctl.exe", L"policy clear ROZEDURI", out), 2u) << out;
    EXPECT_TRUE(Has(out, "policy clear: there is no section ROZEDURI (2)")) << out;

    // The computer record: set through the tool, read through the library
    // at the record's offsets.
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"computer set department \"Planning dept.\"", out), 0u) << out;
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"computer set DBMS PostgreSQL", out), 0u) << out;
    ASSERT_EQ(RunCaptured(L"vrcc-ctl.exe", L"computer show", out), 0u) << out;
    EXPECT_TRUE(Has(out, "Department=Planning dept.")) << out;
    VR_SESSION s{};
    s.Name = L"@core_ctl_test";
    ASSERT_EQ(VrOpenSession(&s), 0u);
    void* buffer = nullptr;
    ASSERT_EQ(VrComputerGetInfo(s.Handle, nullptr, 1, &buffer), 0u);
    const BYTE* record = static_cast<const BYTE*>(buffer);
    EXPECT_STREQ(reinterpret_cast<const WCHAR*>(record + 0), L"Planning dept.");
    EXPECT_STREQ(reinterpret_cast<const WCHAR*>(record + 256), L"");
    EXPECT_STREQ(reinterpret_cast<const WCHAR*>(record + 1536), L"PostgreSQL");
    VrApiBufferFree(buffer);
    VrApiBufferFree(buffer);  // a second free is ignored
    EXPECT_EQ(VrComputerGetInfo(s.Handle, nullptr, 2, &buffer), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    EXPECT_EQ(VrComputerGetInfo(s.Handle, L"OTHERHOST", 1, &buffer), 50u);
    EXPECT_EQ(VrCloseSession(s.Handle), 0u);
}

// Setting policy or the computer record and reading the journal judge the
// caller's own token: a restricted one (Administrators deny-only) is refused.
TEST(Ctl, AdministratorRequestsRefuseARestrictedCaller) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();

    auto setPolicy = [] {
        VrBase::unique_handle token;
        EXPECT_EQ(vrcc::OpenEffectiveToken(token), 0u);
        vrcc::PayloadWriter w;
        w.str(L"ROZEDURI").str(L"<Config/>").u64(reinterpret_cast<uintptr_t>(token.get()));
        vrcc::Frame answer;
        return vrcc::CoreCall(vrcc::CmdPolicySet, w.data(), answer);
    };
    DWORD refused = 0;
    {
        vrtest::Impersonation as(nonAdmin.get());
        refused = setPolicy();
    }
    EXPECT_EQ(refused, 5u);
    EXPECT_EQ(setPolicy(), 0u);

    // A handle that is not a token is refused.
    VrBase::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    vrcc::PayloadWriter w;
    w.str(L"ROZEDURI").u64(reinterpret_cast<uintptr_t>(event.get()));
    vrcc::Frame answer;
    EXPECT_EQ(vrcc::CoreCall(vrcc::CmdPolicyDelete, w.data(), answer), 6u);
}

TEST(Ctl, EveryMistakeGivesAMessageAndANonZeroCode) {
    CoreConfig config;
    std::string out;
    EXPECT_EQ(RunCaptured(L"vrcc-ctl.exe", L"", out), 87u);
    EXPECT_TRUE(Has(out, "usage: vrcc-ctl")) << out;
    EXPECT_EQ(RunCaptured(L"vrcc-ctl.exe", L"frobnicate", out), 87u);
    EXPECT_TRUE(Has(out, "unknown command")) << out;
    EXPECT_EQ(RunCaptured(L"vrcc-ctl.exe", L"events --since soon", out), 87u);
    EXPECT_TRUE(Has(out, "MARK")) << out;
    EXPECT_EQ(RunCaptured(L"vrcc-ctl.exe", L"computer set Colour blue", out), 87u);
    EXPECT_TRUE(Has(out, "unknown field Colour")) << out;
    EXPECT_EQ(RunCaptured(L"vrcc-ctl.exe", L"computer set Type " + std::wstring(128, L'x'), out), 87u);
    EXPECT_EQ(RunCaptured(L"vrcc-ctl.exe", L"policy set ROZEDURI --file C:\\no\\such\\file.xml", out), 3u);
    EXPECT_TRUE(Has(out, "cannot open")) << out;

    ASSERT_FALSE(WaitForCore(0));
    EXPECT_EQ(RunCaptured(L"vrcc-ctl.exe", L"sessions", out), 1722u);
    EXPECT_TRUE(Has(out, "the core service is not running")) << out;
    EXPECT_EQ(RunCaptured(L"vrcc-ctl.exe", L"policy set ROZEDURI --text x", out), 1722u);
}

} // namespace
