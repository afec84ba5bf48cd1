// The four messages through a real core: the service's validators and
// dispatch on one side, the management's sender on the other.
#include "agent_mng.h"
#include "ssr_msg_dispatch.h"
#include "ssr_msg_sender.h"
#include "vr_srv.h"

#include "core_test_support.h"
#include "sid_helpers.h"
#include "vrevtapi.h"
#include "vrbase/scope.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <cstring>
#include <map>
#include <mutex>
#include <random>

namespace {

constexpr DWORD kUnknownId = 0x20700009;

// The service's operations as the tests want them answered.
struct TestOperations : ISsrOperations {
    std::mutex lock;
    std::vector<std::wstring> configs;
    std::wstring state = L"<VevadediDuzavareState/>";
    std::vector<BYTE> lastSid;
    std::wstring lastExportSid, exportId = L"11111111-2222-3333-4444-555555555555";
    DWORD scanStatus = 0;

    DWORD setup_new_full_config(const std::wstring& c) override {
        std::lock_guard<std::mutex> l(lock);
        configs.push_back(c);
        return 0;
    }
    DWORD query_ssr_state(std::wstring& d) override {
        d = state;
        return 0;
    }
    DWORD start_software_scan(const std::vector<BYTE>& sid) override {
        lastSid = sid;
        return scanStatus;
    }
    DWORD export_software_state(const std::wstring&, const std::wstring& sid, std::wstring& id) override {
        lastExportSid = sid;
        id = exportId;
        return 0;
    }
};

class Protocol : public ::testing::Test {
protected:
    coretest::CoreConfig config;
    coretest::CoreProcess core;
    TestOperations ops;
    VR_SESSION session{};
    std::unique_ptr<CVrSrv> client;
    DWORD receiverId = 0;

    void SetUp() override {
        core.Start();
        set_ssr_operations(&ops);
        session.Name = kSsrSubsystemName;
        session.SendRoutine = &SendRoutine;
        session.PostRoutine = &PostRoutine;
        session.Version = session.Version2 = read_client_version();
        ASSERT_EQ(::VrOpenSession(&session), 0u);
        receiverId = session.SessionId;
        for (DWORD id : {DWORD(VRM_SSR_SET_FULL_CONFIG), DWORD(VRM_SSR_GET_STATE), DWORD(VRM_SSR_START_SCAN),
                         DWORD(VRM_SSR_EXPORT_SOFTWARE_STATE),
                         kUnknownId})
            ::VrSubscribeMessage(session.Handle, id, TRUE);
        client = std::make_unique<CVrSrv>();
        client->OpenSession(L"@protocol-test", 4098);
    }
    void TearDown() override {
        client.reset();
        if (session.Handle) ::VrCloseSession(session.Handle);
        set_ssr_operations(nullptr);
    }

    // Sends raw bytes; the core's (the receiver's) answer.
    DWORD Send(DWORD id, const std::vector<BYTE>& data, std::vector<BYTE>& reply, DWORD& replySize) {
        return ::VrSendMessage(client->Handle(), receiverId, id, static_cast<DWORD>(data.size()),
                               data.empty() ? nullptr : data.data(), &replySize, reply.data());
    }
    static std::vector<BYTE> TextPayload(size_t header, const std::wstring& text, bool terminate = true) {
        std::vector<BYTE> p(header + text.size() * 2 + (terminate ? 2 : 0), 0);
        DWORD size = static_cast<DWORD>(p.size());
        std::memcpy(p.data(), &size, 4);
        std::memcpy(p.data() + header, text.data(), text.size() * 2);
        return p;
    }
    static std::vector<BYTE> ScanPayload(const std::vector<BYTE>& sid) {
        std::vector<BYTE> p(72, 0);
        DWORD size = 72;
        std::memcpy(p.data(), &size, 4);
        std::memcpy(p.data() + 4, sid.data(), sid.size());
        return p;
    }
};

TEST_F(Protocol, ValidatorsAtTheirBoundaries) {
    std::vector<BYTE> reply(512, 0xAB);
    DWORD size = 9;
    EXPECT_EQ(Send(VRM_SSR_GET_STATE, {}, reply, size), 122u);
    EXPECT_EQ(size, 10u) << "the needed size comes back";

    ops.state = L"";
    size = 10;
    EXPECT_EQ(Send(VRM_SSR_GET_STATE, {}, reply, size), 0u);
    EXPECT_EQ(reinterpret_cast<SSR_STATE_REPLY*>(reply.data())->Size, 10u);
    EXPECT_EQ(reinterpret_cast<SSR_STATE_REPLY*>(reply.data())->Status, 0u);
    EXPECT_EQ(reinterpret_cast<SSR_STATE_REPLY*>(reply.data())->Text[0], L'\0');

    // A large buffer gets back only what was written, its NUL included.
    ops.state = L"<S/>";
    std::vector<BYTE> large(1 << 20, 0xAB);
    size = static_cast<DWORD>(large.size());
    EXPECT_EQ(Send(VRM_SSR_GET_STATE, {}, large, size), 0u);
    EXPECT_EQ(size, kSsrStateReplyMin + 2 * 4u);
    EXPECT_EQ(std::wstring(reinterpret_cast<SSR_STATE_REPLY*>(large.data())->Text), L"<S/>");
    EXPECT_EQ(large[size], 0xAB) << "nothing past the reply";

    size = 4;
    EXPECT_EQ(Send(VRM_SSR_SET_FULL_CONFIG, TextPayload(4, L"<Settings/>", false), reply, size), 87u);
    EXPECT_TRUE(ops.configs.empty()) << "nothing touched";
    EXPECT_EQ(Send(VRM_SSR_SET_FULL_CONFIG, TextPayload(4, L"<Settings/>"), reply, size), 0u);
    ASSERT_EQ(ops.configs.size(), 1u);
    EXPECT_EQ(ops.configs[0], L"<Settings/>");
    std::vector<BYTE> tiny(5, 0);  // Size says 5: less than a payload can be
    tiny[0] = 5;
    EXPECT_EQ(Send(VRM_SSR_SET_FULL_CONFIG, tiny, reply, size), 87u);

    std::vector<BYTE> sid = get_current_user_sid();
    std::vector<BYTE> scan = ScanPayload(sid);
    std::vector<BYTE> short71(scan.begin(), scan.end() - 1);
    EXPECT_EQ(Send(VRM_SSR_START_SCAN, short71, reply, size), 87u);
    std::vector<BYTE> badSid = scan;
    badSid[4] = 7;  // revision 7: no valid SID
    EXPECT_EQ(Send(VRM_SSR_START_SCAN, badSid, reply, size), 87u);
    ops.scanStatus = 1235;
    EXPECT_EQ(Send(VRM_SSR_START_SCAN, scan, reply, size), 0u);
    EXPECT_EQ(reinterpret_cast<SSR_STATUS_REPLY*>(reply.data())->Status, 1235u);
    EXPECT_EQ(ops.lastSid, sid) << "the SID by its own length";

    std::vector<BYTE> exportPayload = TextPayload(72, L"<Export><Path>C:\\x.xml</Path></Export>");
    std::memcpy(exportPayload.data() + 4, sid.data(), sid.size());
    size = 259;
    EXPECT_EQ(Send(VRM_SSR_EXPORT_SOFTWARE_STATE, exportPayload, reply, size), 122u);
    EXPECT_EQ(size, 260u);
    size = 260;
    EXPECT_EQ(Send(VRM_SSR_EXPORT_SOFTWARE_STATE, exportPayload, reply, size), 0u);
    EXPECT_STREQ(reinterpret_cast<SSR_EXPORT_REPLY*>(reply.data())->UniqueId, ops.exportId.c_str());
    EXPECT_EQ(ops.lastExportSid, get_StrSID_4m_SID(sid.data()));

    // An id the service does not serve: answered 0, the reply left as the
    // routine found it (seen at the routine: the core hands the sender the
    // receiver-side buffer whatever the routine did).
    size = 16;
    EXPECT_EQ(Send(kUnknownId, scan, reply, size), 0u);
    std::vector<BYTE> raw(80 + scan.size(), 0);
    auto* message = reinterpret_cast<VRM_MESSAGE*>(raw.data());
    message->MessageId = kUnknownId;
    message->DataSize = static_cast<DWORD>(scan.size());
    std::memcpy(message->Data, scan.data(), scan.size());
    std::fill(reply.begin(), reply.end(), 0xAB);
    size = 16;
    EXPECT_EQ(SendRoutine(nullptr, message, &size, reply.data()), 0u);
    EXPECT_EQ(size, 0u) << "nothing written";
    EXPECT_TRUE(std::all_of(reply.begin(), reply.end(), [](BYTE b) { return b == 0xAB; })) << "untouched";
    EXPECT_EQ(SendRoutine(nullptr, nullptr, &size, reply.data()), 87u);
}

// Two pages, the second no-access: what is placed at the end of the first
// faults on any access past it.
class GuardedPage {
public:
    GuardedPage() {
        SYSTEM_INFO si;
        ::GetSystemInfo(&si);
        m_page = si.dwPageSize;
        m_base = static_cast<BYTE*>(::VirtualAlloc(nullptr, 2 * m_page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        if (!m_base || !::VirtualProtect(m_base + m_page, m_page, PAGE_NOACCESS, &old)) throw std::runtime_error("guard");
    }
    ~GuardedPage() { ::VirtualFree(m_base, 0, MEM_RELEASE); }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;
    // n bytes ending where the no-access page begins.
    BYTE* Tail(size_t n) { return m_base + m_page - n; }

private:
    BYTE* m_base;
    DWORD m_page;
};

// The routine as the core's library calls it, with the message and the
// reply each flush against a no-access page.
struct GuardedCall {
    GuardedPage messagePage, replyPage;
    DWORD Run(DWORD id, const std::vector<BYTE>& data, DWORD replySize, BYTE** reply = nullptr) {
        const size_t header = offsetof(VRM_MESSAGE, Data);
        auto* m = reinterpret_cast<VRM_MESSAGE*>(messagePage.Tail(header + data.size()));
        std::memset(m, 0, header);
        m->MessageId = id;
        m->DataSize = static_cast<DWORD>(data.size());
        if (!data.empty()) std::memcpy(m->Data, data.data(), data.size());
        BYTE* buffer = replyPage.Tail(replySize);
        if (reply) *reply = buffer;
        return SendRoutine(nullptr, m, &replySize, buffer);
    }
};

std::vector<BYTE> Payload(size_t header, const std::wstring& text, bool terminate) {
    std::vector<BYTE> p(header + text.size() * 2 + (terminate ? 2 : 0), 0);
    DWORD size = static_cast<DWORD>(p.size());
    std::memcpy(p.data(), &size, 4);
    std::memcpy(p.data() + header, text.data(), text.size() * 2);
    return p;
}

// Both sides of each validator bound, with every read and write of the
// routine kept inside the message and the reply. A fault would come back
// as 0xE6060005.
TEST(ProtocolValidators, BothSidesOfEveryBoundAndNothingReadPastTheMessage) {
    TestOperations ops;
    set_ssr_operations(&ops);
    VrBase::scope_exit reset([] { set_ssr_operations(nullptr); });
    GuardedCall call;

    // Configuration text: its NUL must lie within its own Size.
    std::vector<BYTE> config = Payload(4, L"<Settings/>", false);
    EXPECT_EQ(call.Run(VRM_SSR_SET_FULL_CONFIG, config, 4), 87u) << "no NUL, message ends at the guard";
    std::vector<BYTE> nulPastSize = config;
    nulPastSize.insert(nulPastSize.end(), {0, 0});  // in the data, one character past Size
    EXPECT_EQ(call.Run(VRM_SSR_SET_FULL_CONFIG, nulPastSize, 4), 87u);
    EXPECT_TRUE(ops.configs.empty());
    EXPECT_EQ(call.Run(VRM_SSR_SET_FULL_CONFIG, Payload(4, L"<Settings/>", true), 4), 0u);
    EXPECT_EQ(call.Run(VRM_SSR_SET_FULL_CONFIG, Payload(4, L"<Settings/>", true), 3), 122u);
    ASSERT_EQ(ops.configs.size(), 1u);

    // The largest SID that fits: 15 sub-authorities, 68 bytes.
    // Written by hand: Wine's InitializeSid refuses 15 sub-authorities.
    BYTE sid[kSsrSidArea] = {1, 15, 0, 0, 0, 0, 0, 5};
    for (DWORD i = 0; i < 15; ++i) {
        const DWORD sub = 21 + i;
        std::memcpy(sid + 8 + 4 * i, &sub, 4);
    }
    ASSERT_TRUE(::IsValidSid(sid));
    ASSERT_EQ(::GetLengthSid(sid), kSsrSidArea);
    std::vector<BYTE> scan(72, 0);
    scan[0] = 72;
    std::memcpy(scan.data() + 4, sid, sizeof sid);
    EXPECT_EQ(call.Run(VRM_SSR_START_SCAN, scan, 4), 0u);
    EXPECT_EQ(ops.lastSid, get_current_user_sid()) << "the caller's SID, not the one the payload names";
    scan.pop_back();
    EXPECT_EQ(call.Run(VRM_SSR_START_SCAN, scan, 4), 87u) << "71 bytes";

    // Export parameters after the SID area, terminated within Size or not.
    std::vector<BYTE> exportPayload = Payload(72, L"<Export/>", true);
    std::memcpy(exportPayload.data() + 4, sid, sizeof sid);
    std::vector<BYTE> unterminated = Payload(72, L"<Export/>", false);
    std::memcpy(unterminated.data() + 4, sid, sizeof sid);
    EXPECT_EQ(call.Run(VRM_SSR_EXPORT_SOFTWARE_STATE, unterminated, kSsrExportReplySize), 87u);
    BYTE* reply = nullptr;
    ops.exportId = std::wstring(127, L'7');  // the longest id the reply holds with its NUL
    EXPECT_EQ(call.Run(VRM_SSR_EXPORT_SOFTWARE_STATE, exportPayload, kSsrExportReplySize, &reply), 0u);
    EXPECT_EQ(reinterpret_cast<SSR_EXPORT_REPLY*>(reply)->Status, 0u);
    EXPECT_EQ(std::wstring(reinterpret_cast<SSR_EXPORT_REPLY*>(reply)->UniqueId), ops.exportId);
    ops.exportId = std::wstring(128, L'8');
    EXPECT_EQ(call.Run(VRM_SSR_EXPORT_SOFTWARE_STATE, exportPayload, kSsrExportReplySize, &reply), 0u);
    EXPECT_EQ(reinterpret_cast<SSR_EXPORT_REPLY*>(reply)->Status, 111u) << "an id of 128 characters does not fit";

    // State reply: exactly the size needed, and one byte less.
    ops.state = L"<S/>";
    const DWORD needed = kSsrStateReplyMin + 2 * 4;
    EXPECT_EQ(call.Run(VRM_SSR_GET_STATE, {}, needed, &reply), 0u);
    EXPECT_EQ(std::wstring(reinterpret_cast<SSR_STATE_REPLY*>(reply)->Text), L"<S/>");
    EXPECT_EQ(call.Run(VRM_SSR_GET_STATE, {}, needed - 1, &reply), 111u);
    EXPECT_EQ(reinterpret_cast<SSR_STATE_REPLY*>(reply)->Status, 111u);
}

// A payload's own Size against the message that carries it, for every
// message with a sized payload: equal is served, one byte or far beyond is
// refused with nothing run, terminated text or not. A validator that trusts
// Size reads past the message into the no-access page (0xE6060005) or
// serves a request it should refuse.
TEST(ProtocolValidators, PayloadSizeBeyondTheMessageIsRefused) {
    TestOperations ops;
    set_ssr_operations(&ops);
    VrBase::scope_exit reset([] { set_ssr_operations(nullptr); });
    GuardedCall call;
    const std::vector<BYTE> sid = get_current_user_sid();
    auto withSid = [&](std::vector<BYTE> p) {
        std::memcpy(p.data() + 4, sid.data(), sid.size());
        return p;
    };
    std::vector<BYTE> scan(72, 0);
    scan[0] = 72;
    struct Case {
        DWORD id;
        const char* name;
        std::vector<BYTE> payload;
        DWORD replySize;
    };
    const Case cases[] = {
        {VRM_SSR_SET_FULL_CONFIG, "configuration", Payload(4, L"<Settings/>", true), kSsrStatusReplySize},
        {VRM_SSR_SET_FULL_CONFIG, "unterminated configuration", Payload(4, L"<Settings/>", false),
         kSsrStatusReplySize},
        {VRM_SSR_START_SCAN, "scan", withSid(scan), kSsrStatusReplySize},
        {VRM_SSR_EXPORT_SOFTWARE_STATE, "export", withSid(Payload(72, L"<Export/>", true)), kSsrExportReplySize},
        {VRM_SSR_EXPORT_SOFTWARE_STATE, "unterminated export", withSid(Payload(72, L"<Export/>", false)),
         kSsrExportReplySize},
    };
    auto served = [&] {
        std::lock_guard<std::mutex> l(ops.lock);
        return ops.configs.size() + (ops.lastSid.empty() ? 0 : 1) + (ops.lastExportSid.empty() ? 0 : 1);
    };
    for (const Case& c : cases) {
        const DWORD dataSize = static_cast<DWORD>(c.payload.size());
        for (DWORD size : {dataSize + 1, dataSize + 2, dataSize + 4096, DWORD(0x7FFFFFFF), DWORD(0xFFFFFFFF)}) {
            std::vector<BYTE> p = c.payload;
            std::memcpy(p.data(), &size, 4);
            const size_t before = served();
            EXPECT_EQ(call.Run(c.id, p, c.replySize), 87u) << c.name << ": Size " << size << ", message " << dataSize;
            EXPECT_EQ(served(), before) << c.name << ": nothing run for Size " << size;
        }
    }
    // Exactly the message: the terminated ones are served.
    EXPECT_EQ(call.Run(cases[0].id, cases[0].payload, cases[0].replySize), 0u);
    EXPECT_EQ(call.Run(cases[2].id, cases[2].payload, cases[2].replySize), 0u);
    EXPECT_EQ(call.Run(cases[3].id, cases[3].payload, cases[3].replySize), 0u);
    EXPECT_EQ(ops.configs.size(), 1u);
    EXPECT_EQ(ops.lastSid, sid);
    EXPECT_EQ(ops.lastExportSid, get_StrSID_4m_SID(sid.data()));
}

// Configuration and export are for administrators; the receiver judges the
// sender's token, here a restricted one with Administrators deny-only.
TEST_F(Protocol, NonAdministratorsAreRefused) {
    VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
    std::vector<BYTE> reply(512, 0);
    DWORD size = 4, config = 0, scan = 0;
    {
        vrtest::Impersonation as(nonAdmin.get());
        config = Send(VRM_SSR_SET_FULL_CONFIG, TextPayload(4, L"<Settings/>"), reply, size);
        size = 4;
        // The payload claims an administrator's SID: the scan is still the
        // caller's own.
        scan = Send(VRM_SSR_START_SCAN, ScanPayload(get_SID_4m_str_SID(L"S-1-5-21-1-2-3-500")), reply, size);
    }
    EXPECT_EQ(config, 5u);
    EXPECT_EQ(scan, 0u) << "starting a scan is open to every user";
    EXPECT_EQ(ops.lastSid, get_current_user_sid()) << "the SID of the sender's token, not of the payload";
    EXPECT_TRUE(ops.configs.empty());
}

TEST_F(Protocol, SenderProcedureRoundTrips) {
    ssr_send_full_config(L"<Settings><Paths/></Settings>");
    ASSERT_EQ(ops.configs.size(), 1u);
    EXPECT_EQ(ops.configs[0], L"<Settings><Paths/></Settings>");
    ops.state = L"<?xml version=\"1.0\" encoding=\"utf-16\"?><VevadediDuzavareState><Scan/></VevadediDuzavareState>";
    EXPECT_EQ(ssr_request_state(), ops.state);
    // Over the sender's first 4 KiB: the receiver's 111 reaches the sender as
    // 122 through the core, and the sender grows its buffer and asks again.
    ops.state = L"<VevadediDuzavareState><Scan Path=\"" + std::wstring(5000, L'p') + L"\"/></VevadediDuzavareState>";
    EXPECT_EQ(ssr_request_state(), ops.state);
    ops.scanStatus = 0;
    EXPECT_EQ(ssr_request_scan(), 0u);
    EXPECT_EQ(ops.lastSid, get_current_user_sid());
    EXPECT_EQ(ssr_request_export(L"<Export/>"), ops.exportId);
}

TEST(ProtocolWithoutService, NoScanServiceSessionFailsClearly) {
    coretest::CoreConfig config;
    coretest::CoreProcess core;
    core.Start();
    try {
        ssr_request_state();
        FAIL();
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE)) << "never sent to an undefined id";
    }
}

std::atomic<DWORD> g_stateCalls{0};
std::atomic<DWORD> g_stateCode{0};

// A scan service that never answers the state request: "too small" while it
// asks for no more than it was given, or any other failure.
DWORD WINAPI NeverAnswers(void*, VRM_MESSAGE*, DWORD* replySize, void*) {
    // Past any sane number of tries a sender that kept growing is let go.
    if (++g_stateCalls > 16) return ERROR_BUSY;
    if (g_stateCode == ERROR_INSUFFICIENT_BUFFER) *replySize = 100;
    return g_stateCode;
}

TEST(StateRequest, OnlyTooSmallGrowsTheBufferAndNeverPastTheCoresLimit) {
    coretest::CoreConfig config;
    coretest::CoreProcess core;
    core.Start();
    VR_SESSION session{};
    session.Name = kSsrSubsystemName;
    session.SendRoutine = &NeverAnswers;
    session.Version = session.Version2 = read_client_version();
    ASSERT_EQ(::VrOpenSession(&session), 0u);
    VrBase::scope_exit close([&] { ::VrCloseSession(session.Handle); });
    ASSERT_EQ(::VrSubscribeMessage(session.Handle, VRM_SSR_GET_STATE, TRUE), 0u);

    for (DWORD code : {DWORD(ERROR_BUSY), DWORD(RPC_S_SERVER_UNAVAILABLE)}) {
        g_stateCalls = 0;
        g_stateCode = code;
        EXPECT_EQ(vrtest::ErrorCodeOf([] { ssr_request_state(); }), code);
        EXPECT_EQ(g_stateCalls.load(), 1u) << code << " is no reason to ask again";
    }
    // 4 KiB doubled up to 64 MiB: 15 requests, then the sender gives up.
    g_stateCalls = 0;
    g_stateCode = ERROR_INSUFFICIENT_BUFFER;
    EXPECT_EQ(vrtest::ErrorCodeOf([] { ssr_request_state(); }), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(g_stateCalls.load(), 15u);
}

TEST(ClientSessions, QuickSessionNamesAndOpenCount) {
    EXPECT_EQ(CVrQuick::make_session_name(L"C:\\Program Files\\Agent\\agent.exe", 0x1A), L"@agent001A");
    EXPECT_EQ(CVrQuick::make_session_name(L"C:\\agent.exe", 0x12345), L"@agent12345");
    EXPECT_EQ(CVrQuick::make_session_name(L"C:\\a.b\\no_extension", 0xFFFF), L"@no_extensionFFFF");
    EXPECT_EQ(CVrQuick::make_session_name(L"C:\\" + std::wstring(100, L'x') + L".exe", 1), L"@" + std::wstring(80, L'x') + L"0001");
    try {
        CVrQuick::make_session_name(L"agent.exe", 1);
        FAIL();
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), 10u);
    }

    coretest::CoreConfig config;
    coretest::CoreProcess core;
    core.Start();
    CVrSrv srv;
    DWORD first = srv.OpenSession(L"@count", 4098);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(srv.OpenSession(L"@count", 4098), first) << "one core session for both";
    srv.CloseSession();
    EXPECT_EQ(srv.SessionId(), first) << "the first close keeps it";
    srv.CloseSession();
    EXPECT_EQ(srv.SessionId(), 0u);
}

// Random requests of every kind: no crash, no hang, only documented answers.
TEST_F(Protocol, RandomRequestsGetDocumentedAnswers) {
    std::mt19937 rng(20261208);
    std::map<DWORD, int> answers;
    const DWORD ids[] = {VRM_SSR_SET_FULL_CONFIG, VRM_SSR_GET_STATE, VRM_SSR_START_SCAN, VRM_SSR_EXPORT_SOFTWARE_STATE};
    const std::vector<BYTE> sid = get_current_user_sid();
    int sent = 0;
    for (DWORD id : ids) {
        for (int i = 0; i < 10000; ++i) {
            size_t length = rng() % 3 == 0 ? rng() % 600 : rng() % 90;
            std::vector<BYTE> data(length);
            for (BYTE& b : data) b = static_cast<BYTE>(rng() % 4 == 0 ? 0 : rng());
            if (length >= 4 && rng() % 2) {  // a plausible Size field now and then
                DWORD size = static_cast<DWORD>(rng() % 2 ? length : rng() % (length + 8));
                std::memcpy(data.data(), &size, 4);
            }
            if (length >= 72 && rng() % 2) std::memcpy(data.data() + 4, sid.data(), sid.size());
            DWORD replySize = rng() % 300;
            std::vector<BYTE> reply(replySize + 1);
            answers[Send(id, data, reply, replySize)]++;
            ++sent;
        }
    }
    std::printf("sent %d random requests:", sent);
    for (const auto& a : answers) std::printf(" %lu x%d", static_cast<unsigned long>(a.first), a.second);
    std::printf("\n");
    for (const auto& a : answers)
        EXPECT_TRUE(a.first == 0 || a.first == 5 || a.first == 87 || a.first == 111 || a.first == 122)
            << "undocumented answer " << a.first;
}

std::atomic<int> g_status{0}, g_config{0};

void WINAPI AgentRoutine(void*, DWORD kind, const WCHAR* component, const WCHAR* set) {
    if (std::wstring(component) != L"ROZEDURI") return;
    if (kind == VR_AGENT_STATE_CHANGED && std::wstring(set) == L"status") ++g_status;
    if (kind == VR_AGENT_CONFIG_CHANGED && std::wstring(set) == L"full") ++g_config;
}

TEST(AgentNotifications, ReachARegisteredAgent) {
    coretest::CoreConfig config;
    coretest::CoreProcess core;
    core.Start();
    HANDLE registration = nullptr;
    ASSERT_EQ(::VrRegisterAgentNotify(L"ROZEDURI", &AgentRoutine, nullptr, &registration), 0u);
    notify_status_changed();
    notify_config_changed();
    notify_status_changed();
    for (int i = 0; i < 500 && (g_status < 2 || g_config < 1); ++i) ::Sleep(10);
    ::VrUnregisterAgentNotify(registration);
    EXPECT_EQ(g_status.load(), 2);
    EXPECT_EQ(g_config.load(), 1);
}

} // namespace

namespace {

// The version blocks follow the installed core client's major version.
TEST(ClientVersion, BlocksFromTheRegistry) {
    auto block = [](const VR_VERSION& v) {
        return std::to_string(v.Number[0]) + "." + std::to_string(v.Number[1]) + "." + std::to_string(v.Number[2]) +
               "." + std::to_string(v.Number[3]) + "/" + std::to_string(v.Zero);
    };
    EXPECT_EQ(block(client_version_for_major(8)), "8.3.1406.0/0");
    EXPECT_EQ(block(client_version_for_major(9)), "9.0.0.0/0");
    const wchar_t key[] = L"SOFTWARE\\Orvane\\Varnel 5";
    {
        const wchar_t ten[] = L"10.2.3";
        vrtest::RegValueScope value(key, L"ClientVersion", REG_SZ, ten, sizeof(ten));
        EXPECT_EQ(block(read_client_version()), "10.0.0.0/0");
    }
    {
        const wchar_t junk[] = L"current";
        vrtest::RegValueScope value(key, L"ClientVersion", REG_SZ, junk, sizeof(junk));
        EXPECT_EQ(block(read_client_version()), "8.3.1406.0/0") << "unreadable: taken as 8";
    }
}

} // namespace
