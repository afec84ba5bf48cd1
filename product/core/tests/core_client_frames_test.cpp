// The client library against a stand-in core that sends frames a session
// does not expect: the library judges each frame by its command before it
// takes anything from it.
#include "pipe_channel.h"
#include "vrsrvapi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace vrcc;

namespace {

HANDLE g_posted = nullptr;

DWORD WINAPI Posted(void*, VRM_MESSAGE*) {
    ::SetEvent(g_posted);
    return 0;
}

TEST(ClientLibraryFrames, OnlyADeliveryIsReadForAHandle) {
    VrBase::unique_hfile pipe(::CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536,
                                                 65536, 0, nullptr));
    ASSERT_TRUE(pipe) << "no core may run during this test: " << ::GetLastError();
    // A handle of this process whose value the stray frame carries first.
    VrBase::unique_handle bystander(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE copy = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), bystander.get(), ::GetCurrentProcess(), &copy, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS));
    VrBase::unique_handle sameEvent(copy);
    VrBase::unique_handle posted(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    VrBase::unique_handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_posted = posted.get();
    // The post carries a sender's token, as every delivery of the core does;
    // the library takes it over.
    HANDLE processToken = nullptr, senderToken = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE, &processToken));
    ASSERT_TRUE(::DuplicateTokenEx(processToken, TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr, SecurityIdentification,
                                   TokenImpersonation, &senderToken));
    ::CloseHandle(processToken);

    std::thread core([&] {
        OVERLAPPED ov{};
        VrBase::unique_handle connected(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ov.hEvent = connected.get();
        if (!::ConnectNamedPipe(pipe.get(), &ov) && ::GetLastError() == ERROR_IO_PENDING)
            ::WaitForSingleObject(ov.hEvent, 20000);
        CPipeChannel channel(std::move(pipe));
        Frame open;
        DWORD e = 0;
        if (channel.Read(open, nullptr, 20000, e) != IoResult::Ok || open.command != CmdOpenSession) return;
        PayloadWriter answer;
        answer.u32(77).u32(60000);
        channel.Write(EncodeFrame(CmdOpenSession | kReply, open.id, 0, answer.data()), nullptr, 20000, e);
        PayloadWriter stray;
        stray.u64(reinterpret_cast<uintptr_t>(bystander.get())).u32(1).str(L"status");
        channel.Write(EncodeFrame(CmdAgentNotify, 0, 0, stray.data()), nullptr, 20000, e);
        PayloadWriter post;  // runs after the stray frame on the same thread
        post.u64(reinterpret_cast<uintptr_t>(senderToken)).u32(1).u32(::GetCurrentProcessId()).u32(77).u32(0x7E570006).bytes("p", 1);
        channel.Write(EncodeFrame(CmdDeliverPost, 5, 0, post.data()), nullptr, 20000, e);
        ::WaitForSingleObject(done.get(), 30000);
    });

    VR_SESSION s{};
    s.Name = L"@frames";
    s.Flags = VR_SESSION_CLIENT | 2;
    s.PostRoutine = &Posted;
    const DWORD opened = VrOpenSession(&s);
    EXPECT_EQ(opened, 0u);
    if (opened == 0) {
        EXPECT_EQ(::WaitForSingleObject(posted.get(), 20000), WAIT_OBJECT_0);
        // Still the same event: a closed value may have been given to a new object.
        EXPECT_TRUE(::SetEvent(bystander.get()));
        EXPECT_EQ(::WaitForSingleObject(sameEvent.get(), 0), WAIT_OBJECT_0) << "the stray frame closed a handle of ours";
    }
    ::SetEvent(done.get());
    core.join();
    if (opened == 0) VrCloseSession(s.Handle);
    g_posted = nullptr;
}

std::atomic<int> g_ranAsProcess{0};
std::atomic<int> g_ran{0};

DWORD WINAPI WhoRunsMe(void*, VRM_MESSAGE*, DWORD* replySize, void*) {
    ++g_ran;
    HANDLE token = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) ::CloseHandle(token);
    else if (::GetLastError() == ERROR_NO_TOKEN) ++g_ranAsProcess;
    *replySize = 0;
    return 0;
}

// Whoever serves the core's pipe name while the core is down (any local user
// may create it then) may deliver a request without a sender's token: the
// library then runs a service's routine as the service itself, and a
// LocalSystem service's own check finds an administrator. Such a delivery
// is refused.
TEST(ClientLibraryFrames, ADeliveryWithoutASendersTokenNeverRunsTheRoutine) {
    VrBase::unique_hfile pipe(::CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536,
                                                 65536, 0, nullptr));
    ASSERT_TRUE(pipe) << "no core may run during this test: " << ::GetLastError();
    VrBase::unique_handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> answered{false};
    g_ran = 0;
    g_ranAsProcess = 0;
    std::thread core([&] {
        OVERLAPPED ov{};
        VrBase::unique_handle connected(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ov.hEvent = connected.get();
        if (!::ConnectNamedPipe(pipe.get(), &ov) && ::GetLastError() == ERROR_IO_PENDING)
            ::WaitForSingleObject(ov.hEvent, 20000);
        CPipeChannel channel(std::move(pipe));
        Frame open;
        DWORD e = 0;
        if (channel.Read(open, nullptr, 20000, e) != IoResult::Ok || open.command != CmdOpenSession) return;
        PayloadWriter answer;
        answer.u32(78).u32(60000);
        channel.Write(EncodeFrame(CmdOpenSession | kReply, open.id, 0, answer.data()), nullptr, 20000, e);
        PayloadWriter send;  // token 0, capacity 0, no buffer
        send.u64(0).u32(1).u32(::GetCurrentProcessId()).u32(78).u32(0x20700001).u32(0).u32(0).bytes("c", 1);
        channel.Write(EncodeFrame(CmdDeliverSend, 9, 0, send.data()), nullptr, 20000, e);
        Frame reply;
        if (channel.Read(reply, nullptr, 5000, e) == IoResult::Ok && reply.command == CmdDeliverReply) answered = true;
        ::WaitForSingleObject(done.get(), 30000);
    });

    VR_SESSION s{};
    s.Name = L"VrSoftwareState";
    s.Flags = 2;  // a service's session
    s.SendRoutine = &WhoRunsMe;
    const DWORD opened = VrOpenSession(&s);
    EXPECT_EQ(opened, 0u);
    const ULONGLONG until = ::GetTickCount64() + 5000;
    while (opened == 0 && !answered && ::GetTickCount64() < until) ::Sleep(50);
    EXPECT_EQ(g_ranAsProcess.load(), 0) << "the routine ran as the process itself";
    ::SetEvent(done.get());
    core.join();
    if (opened == 0) VrCloseSession(s.Handle);
}

} // namespace
