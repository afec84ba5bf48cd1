// A rogue local client: whatever it writes to the core's pipe, it only loses
// its own connection, and the core goes on serving everyone else.
#include "core_test_ids.h"
#include "core_test_support.h"
#include "core_wire.h"
#include "vrsrvapi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <string>
#include <vector>

using namespace coretest;
using vrcc::FrameHeader;

namespace {

std::vector<BYTE> Frame(uint16_t command, uint32_t declared, size_t actualPayload, uint32_t magic = vrcc::kMagic) {
    FrameHeader h{magic, vrcc::kVersion, command, 1, 0, declared, 0};
    std::vector<BYTE> bytes(sizeof h + actualPayload, 0x41);
    std::memcpy(bytes.data(), &h, sizeof h);
    return bytes;
}

DWORD g_lastError = 0;

// Writes one message on a fresh connection; true when the core then closes
// that connection without answering.
bool CoreDropsConnection(const std::vector<BYTE>& message) {
    g_lastError = 0;
    VrBase::unique_hfile pipe(::CreateFileW(vrcc::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            0, nullptr));
    if (!pipe) return false;
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    DWORD written = 0;
    if (!::WriteFile(pipe.get(), message.data(), static_cast<DWORD>(message.size()), &written, nullptr)) {
        // A huge message may be refused while still being written.
        g_lastError = ::GetLastError();
        return g_lastError == ERROR_NO_DATA || g_lastError == ERROR_BROKEN_PIPE || g_lastError == ERROR_PIPE_NOT_CONNECTED;
    }
    BYTE buf[256];
    DWORD got = 0;
    BOOL ok = ::ReadFile(pipe.get(), buf, sizeof buf, &got, nullptr);
    DWORD e = ::GetLastError();
    g_lastError = ok ? 0xFFFFFFFF : e;
    return !ok && (e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED);
}

std::vector<BYTE> OpenSessionWithLyingName() {
    vrcc::PayloadWriter w;
    w.u32(5000);  // characters claimed
    w.raw(L"abc", 6);
    std::vector<BYTE> payload = w.take();
    return vrcc::EncodeFrame(vrcc::CmdOpenSession, 1, 0, payload);
}

TEST(Robustness, GarbageFramesCloseOnlyTheRoguesConnection) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    Peer receiver(L"receiver", L"vrtest.receiver");
    ASSERT_TRUE(receiver.WaitReady());
    VR_SESSION session{};
    session.Name = L"@core_robustness_test";
    ASSERT_EQ(VrOpenSession(&session), 0u);
    DWORD ids[4], count = 4;
    ASSERT_EQ(VrGetSubsystemIds(session.Handle, L"vrtest.receiver", &count, ids), 0u);
    ASSERT_EQ(count, 1u);
    auto echo = [&] {
        char reply[16] = {};
        DWORD size = sizeof reply;
        return VrSendMessage(session.Handle, ids[0], kEcho, 5, "still", &size, reply) == 0 &&
               std::string(reply, size) == "still";
    };
    ASSERT_TRUE(echo());

    const std::string text = "not a frame at all, just text";
    struct Case {
        const char* what;
        std::vector<BYTE> message;
    } cases[] = {
        {"plain text", std::vector<BYTE>(text.begin(), text.end())},
        {"shorter than a header", std::vector<BYTE>(10, 0x56)},
        {"wrong magic", Frame(vrcc::CmdListSessions, 0, 0, 0xDEADBEEF)},
        {"unknown command", Frame(0x7777, 0, 0)},
        {"an answer the core never asked for", Frame(vrcc::CmdListSessions | vrcc::kReply, 0, 0)},
        {"declared size larger than sent", Frame(vrcc::CmdGetIds, 1000, 10)},
        {"declared size smaller than sent", Frame(vrcc::CmdGetIds, 10, 1000)},
        {"huge declared size, short message", Frame(vrcc::CmdSend, 0xFFFFFFF0u, 16)},
        // Longer than the first read: the header's claim is checked before
        // anything that large is allocated.
        {"huge declared size, long message", Frame(vrcc::CmdSend, 0x7FFFFFF0u, 200 * 1024)},
        {"longer than declared, long message", Frame(vrcc::CmdSend, 70 * 1024, 300 * 1024)},
        {"declared over the limit", Frame(vrcc::CmdSend, vrcc::kMaxPayload + 1, 100 * 1024)},
        {"field running past the payload", OpenSessionWithLyingName()},
        {"trailing bytes after the fields", Frame(vrcc::CmdListSessions, 4, 4)},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(CoreDropsConnection(c.message)) << c.what << ", error " << g_lastError;
        EXPECT_TRUE(echo()) << "after " << c.what;
    }

    // A well-formed request on a raw connection is answered, so the above
    // were refused for what they held, not for coming from a raw pipe.
    VrBase::unique_hfile pipe(::CreateFileW(vrcc::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            0, nullptr));
    ASSERT_TRUE(pipe);
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    std::vector<BYTE> list = vrcc::EncodeFrame(vrcc::CmdListSessions, 7, 0, {});
    BYTE answer[4096];
    DWORD got = 0;
    ASSERT_TRUE(::TransactNamedPipe(pipe.get(), list.data(), static_cast<DWORD>(list.size()), answer, sizeof answer,
                                    &got, nullptr));
    FrameHeader h;
    std::memcpy(&h, answer, sizeof h);
    EXPECT_EQ(h.command, vrcc::CmdListSessions | vrcc::kReply);
    EXPECT_EQ(h.id, 7u);
    EXPECT_EQ(h.status, 0u);
    EXPECT_EQ(VrCloseSession(session.Handle), 0u);
}

TEST(Robustness, SecondCoreRefusesToStart) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    EXPECT_EQ(vrtest::RunChild(L"VrCC.exe", L"--console", 30000), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_EQ(vrtest::RunChild(L"VrCC.exe", L"--bogus", 30000), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(WaitForCore(1000));
}


// Token handles of this process, found by probing the handle values.
size_t TokensHere() {
    size_t n = 0;
    for (uintptr_t v = 4; v < 0x10000; v += 4) {
        TOKEN_TYPE type;
        DWORD got = 0;
        if (::GetTokenInformation(reinterpret_cast<HANDLE>(v), TokenType, &type, sizeof type, &got)) ++n;
    }
    return n;
}

// A receiver of our own making that stops reading, then breaks the rules:
// the core drops its connection, and the deliveries still queued for it had
// token handles put into its process, which the core closes there.
TEST(Robustness, DroppedDeliveriesCloseTheirTokensInTheReceiver) {
    CoreConfig config;
    CoreProcess core;
    core.Start();
    VrBase::unique_hfile pipe;
    for (int i = 0; i < 50 && !pipe; ++i) {  // the core makes the next instance after each connection
        pipe.reset(::CreateFileW(vrcc::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pipe) ::Sleep(100);
    }
    ASSERT_TRUE(pipe) << ::GetLastError();
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    auto call = [&](uint16_t command, std::vector<BYTE> payload, std::vector<BYTE>& answer) -> DWORD {
        std::vector<BYTE> frame = vrcc::EncodeFrame(command, 1, 0, payload);
        DWORD n = 0;
        if (!::WriteFile(pipe.get(), frame.data(), static_cast<DWORD>(frame.size()), &n, nullptr)) return 0xFFFFFFFF;
        answer.assign(65536, 0);
        if (!::ReadFile(pipe.get(), answer.data(), static_cast<DWORD>(answer.size()), &n, nullptr) ||
            n < sizeof(FrameHeader))
            return 0xFFFFFFFF;
        FrameHeader h;
        std::memcpy(&h, answer.data(), sizeof h);
        answer.erase(answer.begin(), answer.begin() + sizeof h);
        answer.resize(n - sizeof h);
        return h.status;
    };
    vrcc::PayloadWriter open;
    open.str(L"vrtest.raw").u32(0).u32(1);
    for (int i = 0; i < 6; ++i) open.u32(0);
    open.u64(0);
    std::vector<BYTE> answer;
    ASSERT_EQ(call(vrcc::CmdOpenSession, open.take(), answer), 0u);
    DWORD rawId = 0;
    std::memcpy(&rawId, answer.data(), 4);
    vrcc::PayloadWriter subscribe;
    subscribe.u32(kEcho).u32(1);
    ASSERT_EQ(call(vrcc::CmdSubscribe, subscribe.take(), answer), 0u);

    const size_t before = TokensHere();
    VR_SESSION sender{};
    sender.Name = L"@raw-sender";
    sender.Flags = VR_SESSION_CLIENT | 2;
    ASSERT_EQ(VrOpenSession(&sender), 0u);
    // The first delivery is larger than the pipe holds: the core's writer
    // waits on it, and the next ones stay queued in the core.
    const std::string big(1u << 20, 'b'), small = "s";
    std::vector<std::future<DWORD>> sends;
    auto send = [&](const std::string& data) {
        return std::async(std::launch::async, [&sender, rawId, &data] {
            DWORD size = 0;
            return VrSendMessage(sender.Handle, rawId, kEcho, static_cast<DWORD>(data.size()), data.data(), &size,
                                 nullptr);
        });
    };
    sends.push_back(send(big));
    ::Sleep(500);
    for (int i = 0; i < 3; ++i) sends.push_back(send(small));  // within what one sender may have there
    ::Sleep(1500);

    std::vector<BYTE> garbage(64, 0x41);
    DWORD n = 0;
    ::WriteFile(pipe.get(), garbage.data(), static_cast<DWORD>(garbage.size()), &n, nullptr);
    for (auto& f : sends) EXPECT_EQ(f.get(), 1067u) << "the receiver's session ended";
    EXPECT_EQ(VrCloseSession(sender.Handle), 0u);
    // The frame that was being written when the connection broke went into
    // the pipe with its token; the queued ones must not leave theirs.
    EXPECT_LE(TokensHere(), before + 1);
}

} // namespace
