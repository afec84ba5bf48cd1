// A rogue local client: whatever it writes to the core's pipe, it only loses
// its own connection, and the core goes on serving everyone else.
#include "core_test_ids.h"
#include "core_test_support.h"
#include "core_wire.h"
#include "vrsrvapi.h"

#include <gtest/gtest.h>

#include <cstring>
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

} // namespace
