// The client library against a stand-in core that sends frames a session
// does not expect: the library judges each frame by its command before it
// takes anything from it.
#include "pipe_channel.h"
#include "vrsrvapi.h"

#include <gtest/gtest.h>

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
        post.u64(0).u32(1).u32(::GetCurrentProcessId()).u32(77).u32(0x7E570006).bytes("p", 1);
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

} // namespace
