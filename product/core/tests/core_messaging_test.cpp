// Two processes exchange messages through a running core: this test program
// sends, core_peer receives.
#include "core_test_ids.h"
#include "core_test_support.h"
#include "vrsrvapi.h"
#include "vrbase/scope.h"

#include <gtest/gtest.h>

#include <cstring>
#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

using namespace coretest;

namespace {

class Messaging : public ::testing::Test {
protected:
    explicit Messaging(DWORD replyTimeoutMs = 0) : config(replyTimeoutMs) {}
    void SetUp() override { core.Start(); }
    void TearDown() override {
        if (session.Handle) {
            EXPECT_EQ(VrCloseSession(session.Handle), 0u);
        }
    }

    void Open(const wchar_t* name = L"@core_messaging_test") {
        session.Name = name;
        session.Flags = VR_SESSION_CLIENT | 2;
        ASSERT_EQ(VrOpenSession(&session), 0u);
        ASSERT_NE(session.SessionId, 0u);
        ASSERT_NE(session.Handle, nullptr);
    }
    std::vector<DWORD> Ids(const wchar_t* name) {
        DWORD ids[16] = {}, count = 16;
        EXPECT_EQ(VrGetSubsystemIds(session.Handle, name, &count, ids), 0u);
        return std::vector<DWORD>(ids, ids + count);
    }
    DWORD ReceiverId(const wchar_t* name) {
        std::vector<DWORD> ids = Ids(name);
        return ids.empty() ? 0 : ids.front();
    }
    DWORD Send(DWORD to, DWORD id, const std::string& data, std::vector<BYTE>& reply, DWORD& size) {
        reply.assign(size, 0xCC);
        return VrSendMessage(session.Handle, to, id, static_cast<DWORD>(data.size()), data.data(), &size,
                             reply.empty() ? nullptr : reply.data());
    }

    CoreConfig config;
    CoreProcess core;
    VR_SESSION session{};
};

class SlowReceivers : public Messaging {
protected:
    SlowReceivers() : Messaging(1500) {}
};

TEST_F(Messaging, SendWithReplyAndTheGrowAndResendProtocol) {
    Peer receiver(L"receiver", L"vrtest.receiver");
    ASSERT_TRUE(receiver.WaitReady());
    Open();
    const DWORD to = ReceiverId(L"vrtest.receiver");
    ASSERT_NE(to, 0u);

    std::vector<BYTE> reply;
    DWORD size = 64;
    ASSERT_EQ(Send(to, kEcho, "hello, receiver", reply, size), 0u);
    EXPECT_EQ(size, 15u);
    EXPECT_EQ(std::string(reply.begin(), reply.begin() + size), "hello, receiver");

    // Too small: 122 with the size needed, nothing copied; the grown buffer fits.
    const std::string text(1000, 'x');
    size = 10;
    ASSERT_EQ(Send(to, kEcho, text, reply, size), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 1000u);
    EXPECT_EQ(reply[0], 0xCC);
    ASSERT_EQ(Send(to, kEcho, text, reply, size), 0u);
    EXPECT_EQ(std::string(reply.begin(), reply.end()), text);

    // A receiver that needs 300000 bytes, asked with 4: grow and resend.
    DWORD need = 300000;
    std::string request(reinterpret_cast<const char*>(&need), 4);
    size = 4;
    DWORD rc;
    int sends = 0;
    while ((rc = Send(to, kBig, request, reply, size)) == ERROR_INSUFFICIENT_BUFFER && ++sends < 5) size *= 2;
    ASSERT_EQ(rc, 0u);
    ASSERT_EQ(size, need);
    for (DWORD i = 0; i < need; i += 4999) ASSERT_EQ(reply[i], Pattern(i)) << i;

    // A receiver that says "too small" with 111 reaches the sender as 122,
    // the one code senders grow on.
    size = 16;
    EXPECT_EQ(Send(to, kTooSmall111, request, reply, size), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, need);

    // A 1 MiB request and reply.
    std::string mib(1 << 20, '\0');
    for (size_t i = 0; i < mib.size(); ++i) mib[i] = static_cast<char>(i * 13);
    size = 1 << 20;
    ASSERT_EQ(Send(to, kEcho, mib, reply, size), 0u);
    EXPECT_TRUE(std::memcmp(reply.data(), mib.data(), mib.size()) == 0);
}

TEST_F(Messaging, DestinationsSubscriptionsPostsAndClosedHandles) {
    Peer receiver(L"receiver", L"vrtest.receiver");
    ASSERT_TRUE(receiver.WaitReady());
    Open();
    const DWORD to = ReceiverId(L"vrtest.receiver");
    std::vector<BYTE> reply;

    DWORD size = 8;
    EXPECT_EQ(Send(0xFFFF0001, kEcho, "x", reply, size), 1168u);  // no such session
    EXPECT_EQ(size, 8u);                                           // reply size untouched
    EXPECT_EQ(Send(to, kUnsubscribed, "x", reply, size), 50u);     // it does not take that id
    EXPECT_EQ(Send(session.SessionId, kEcho, "x", reply, size), 50u);  // we take nothing
    EXPECT_EQ(VrSendMessage(session.Handle, to, kEcho, 5, nullptr, &size, reply.data()), 87u);

    // Posted messages arrive, in order, without a reply.
    EXPECT_EQ(VrPostMessage(session.Handle, to, kNote, 5, "first"), 0u);
    EXPECT_EQ(VrPostMessage(session.Handle, 0, kNote, 6, "second"), 0u);  // to every subscriber
    EXPECT_EQ(VrPostMessage(session.Handle, to, kUnsubscribed, 1, "x"), 50u);
    size = 64;
    ASSERT_EQ(Send(to, kNotes, "", reply, size), 0u);
    DWORD count = 0;
    std::memcpy(&count, reply.data(), 4);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::string(reply.begin() + 4, reply.begin() + size), "second");

    // Once closed, a handle is refused everywhere.
    HANDLE closed = session.Handle;
    ASSERT_EQ(VrCloseSession(closed), 0u);
    session.Handle = nullptr;
    size = 8;
    EXPECT_EQ(VrSendMessage(closed, to, kEcho, 1, "x", &size, reply.data()), 6u);
    EXPECT_EQ(VrSubscribeMessage(closed, kEcho, TRUE), 6u);
    EXPECT_EQ(VrCloseSession(closed), 6u);
    void* info = nullptr;
    EXPECT_EQ(VrComputerGetInfo(closed, nullptr, 1, &info), 6u);
}

TEST_F(Messaging, SubsystemIdsByNameWithSeveralSessionsOfOneName) {
    Peer first(L"client-receiver", L"vrtest.twin");
    ASSERT_TRUE(first.WaitReady());
    Peer second(L"client-receiver", L"vrtest.twin");
    ASSERT_TRUE(second.WaitReady());
    Peer other(L"receiver", L"vrtest.other");
    ASSERT_TRUE(other.WaitReady());
    Open();

    std::vector<DWORD> twins = Ids(L"vrtest.twin");
    ASSERT_EQ(twins.size(), 2u);
    EXPECT_LT(twins[0], twins[1]);  // oldest first
    EXPECT_EQ(Ids(L"VRTEST.TWIN"), twins);
    EXPECT_EQ(Ids(L"vrtest.other").size(), 1u);
    EXPECT_TRUE(Ids(L"vrtest.nobody").empty());

    DWORD ids[1] = {}, count = 1;
    EXPECT_EQ(VrGetSubsystemIds(session.Handle, L"vrtest.twin", &count, ids), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(ids[0], twins[0]);

    // Both twins answer, each as itself.
    std::vector<BYTE> reply;
    for (DWORD id : twins) {
        DWORD size = 8;
        EXPECT_EQ(Send(id, kEcho, "twin", reply, size), 0u);
    }
    // A session that ends leaves the list.
    first.SignalStop();
    EXPECT_EQ(first.WaitExit(), 0u);
    EXPECT_EQ(Ids(L"vrtest.twin"), std::vector<DWORD>{twins[1]});
}

TEST_F(Messaging, ReceiverKilledMidRequestFailsTheSenderAtOnce) {
    Peer receiver(L"receiver", L"vrtest.victim");
    ASSERT_TRUE(receiver.WaitReady());
    Open();
    const DWORD to = ReceiverId(L"vrtest.victim");
    auto pending = std::async(std::launch::async, [&] {
        DWORD size = 0;
        ULONGLONG start = ::GetTickCount64();
        DWORD rc = VrSendMessage(session.Handle, to, kHang, 0, nullptr, &size, nullptr);
        return std::make_pair(rc, ::GetTickCount64() - start);
    });
    ASSERT_TRUE(receiver.WaitEvent(L"-busy", 20000));
    receiver.Kill();
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    auto result = pending.get();
    EXPECT_EQ(result.first, 1067u);
    EXPECT_TRUE(Ids(L"vrtest.victim").empty());
}

TEST_F(Messaging, SenderKilledMidRequestLeavesTheCoreServing) {
    Peer receiver(L"receiver", L"vrtest.receiver");
    ASSERT_TRUE(receiver.WaitReady());
    Peer sender(L"send-hang", L"vrtest.receiver");
    ASSERT_TRUE(sender.WaitReady());
    ASSERT_TRUE(receiver.WaitEvent(L"-busy", 20000));
    sender.Kill();
    Open();
    EXPECT_TRUE(Ids(L"vrtest.hang-sender").empty());
    // The receiver finishes the orphaned request; its answer goes nowhere.
    receiver.SignalStop();
    EXPECT_EQ(receiver.WaitExit(), 0u);
    Peer next(L"receiver", L"vrtest.next");
    ASSERT_TRUE(next.WaitReady());
    std::vector<BYTE> reply;
    DWORD size = 8;
    EXPECT_EQ(Send(ReceiverId(L"vrtest.next"), kEcho, "alive", reply, size), 0u);
}

TEST_F(SlowReceivers, ReceiverThatDoesNotAnswerTimesOut) {
    Peer slow(L"receiver", L"vrtest.slow");
    ASSERT_TRUE(slow.WaitReady());
    Open();
    DWORD size = 4;
    BYTE reply[4];
    ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(VrSendMessage(session.Handle, ReceiverId(L"vrtest.slow"), kHang, 0, nullptr, &size, reply), 1460u);
    ULONGLONG took = ::GetTickCount64() - start;
    EXPECT_GE(took, 1400u);
    EXPECT_LT(took, 10000u);
    EXPECT_EQ(size, 4u);
}

// The receiver's own token test must judge the sender. Wine honours a
// restricted token with Administrators deny-only, so a non-administrator
// sender can be shown.
TEST_F(Messaging, ReceiverRoutineRunsAsTheSender) {
    Peer receiver(L"receiver", L"vrtest.who");
    ASSERT_TRUE(receiver.WaitReady());
    Open();
    const DWORD to = ReceiverId(L"vrtest.who");
    auto whoAmI = [&] {
        std::vector<BYTE> reply;
        DWORD size = 512;
        EXPECT_EQ(Send(to, kWhoAmI, "", reply, size), 0u);
        return std::wstring(reinterpret_cast<const wchar_t*>(reply.data()));
    };
    const std::wstring user = CurrentUserSid();
    EXPECT_EQ(whoAmI(), L"admin=1;user=" + user);

    VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
    std::wstring seen;
    {
        vrtest::Impersonation as(nonAdmin.get());
        seen = whoAmI();
    }
    EXPECT_EQ(seen, L"admin=0;user=" + user);
    EXPECT_EQ(whoAmI(), L"admin=1;user=" + user);  // nothing sticks to the receiver's thread
}


DWORD WINAPI IgnoreSend(void*, VRM_MESSAGE*, DWORD*, void*) { return 0; }

// Senders find a service by its session's name and hand it their requests
// and tokens: nobody but SYSTEM and administrators may hold such a session,
// a name has one, and client sessions may share a name as before.
TEST_F(Messaging, OnlyAdministratorsHoldAServicesNameAndOnlyOnce) {
    Open();
    VR_SESSION early{};
    {
        VrBase::unique_handle nonAdmin = vrtest::MakeNonAdminToken();
        vrtest::Impersonation as(nonAdmin.get());
        VR_SESSION squat{};
        squat.Name = L"vrtest.guarded";
        squat.Flags = 2;
        squat.SendRoutine = &IgnoreSend;
        EXPECT_EQ(VrOpenSession(&squat), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        early.Name = L"vrtest.guarded";
        early.Flags = VR_SESSION_CLIENT | 2;
        early.SendRoutine = &IgnoreSend;
        ASSERT_EQ(VrOpenSession(&early), 0u) << "a client session is anybody's";
    }
    VrBase::scope_exit closeEarly([&] { VrCloseSession(early.Handle); });
    ASSERT_EQ(VrSubscribeMessage(early.Handle, kEcho, TRUE), 0u);

    Peer service(L"receiver", L"vrtest.guarded");
    ASSERT_TRUE(service.WaitReady());
    VR_SESSION second{};
    second.Name = L"VRTEST.GUARDED";
    second.Flags = 2;
    second.SendRoutine = &IgnoreSend;
    EXPECT_EQ(VrOpenSession(&second), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "one service session per name";

    // The service comes first; an ordinary user's client session under its
    // name is never offered to an administrator's sender.
    std::vector<DWORD> ids = Ids(L"vrtest.guarded");
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_NE(ids[0], early.SessionId);
    std::vector<BYTE> reply;
    DWORD size = 16;
    ASSERT_EQ(Send(ids[0], kEcho, "to the service", reply, size), 0u);
    EXPECT_EQ(std::string(reply.begin(), reply.begin() + size), "to the service");

    // Once the service has gone its name is free for the next one.
    service.SignalStop();
    EXPECT_EQ(service.WaitExit(), 0u);
    ASSERT_EQ(VrOpenSession(&second), 0u);
    EXPECT_EQ(VrCloseSession(second.Handle), 0u);
}

// A client session's routine may judge who asks, never act as the sender.
TEST_F(Messaging, ClientSessionsReceiveAnIdentifyingTokenOnly) {
    Peer service(L"receiver", L"vrtest.level-service");
    ASSERT_TRUE(service.WaitReady());
    Peer client(L"client-receiver", L"vrtest.level-client");
    ASSERT_TRUE(client.WaitReady());
    Open();
    auto level = [&](const wchar_t* name) {
        std::vector<BYTE> reply;
        DWORD size = 4, value = 0xFFFFFFFF;
        EXPECT_EQ(Send(ReceiverId(name), kTokenLevel, "", reply, size), 0u);
        if (size == 4) std::memcpy(&value, reply.data(), 4);
        return value;
    };
    EXPECT_EQ(level(L"vrtest.level-service"), static_cast<DWORD>(SecurityImpersonation));
    EXPECT_EQ(level(L"vrtest.level-client"), static_cast<DWORD>(SecurityIdentification));

    std::vector<BYTE> reply;
    DWORD size = 512;
    ASSERT_EQ(Send(ReceiverId(L"vrtest.level-client"), kWhoAmI, "", reply, size), 0u);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(reply.data())), L"admin=1;user=" + CurrentUserSid());
}

// Large requests to a receiver that is busy: what it has not answered stays
// within the bound, the excess is answered busy at once.
TEST_F(Messaging, FloodOfLargeRequestsToABusyReceiverIsAnsweredBusy) {
    Peer receiver(L"receiver", L"vrtest.flooded");
    ASSERT_TRUE(receiver.WaitReady());
    Open();
    const DWORD to = ReceiverId(L"vrtest.flooded");
    ASSERT_NE(to, 0u);
    const std::string data(10u << 20, 'f');
    std::vector<std::future<DWORD>> sends;
    for (int i = 0; i < 12; ++i)
        sends.push_back(std::async(std::launch::async, [&] {
            DWORD size = 0;
            return VrSendMessage(session.Handle, to, kHang, static_cast<DWORD>(data.size()), data.data(), &size,
                                 nullptr);
        }));
    // 3 of 10 MiB fill the 32 MiB a receiver may hold (before the 4 one
    // sender's session may have there); the other 9 are refused.
    constexpr DWORD kOpen = 0xFFFFFFFF;
    std::vector<DWORD> results(sends.size(), kOpen);
    auto collect = [&](bool wait) {
        for (size_t i = 0; i < sends.size(); ++i)
            if (results[i] == kOpen &&
                (wait || sends[i].wait_for(std::chrono::milliseconds(0)) == std::future_status::ready))
                results[i] = sends[i].get();
        return std::count(results.begin(), results.end(), 170u);
    };
    const ULONGLONG until = ::GetTickCount64() + 30000;
    while (collect(false) < 9 && ::GetTickCount64() < until) ::Sleep(100);
    const auto busyBeforeRelease = collect(false);
    receiver.SignalStop();  // the hung routines return
    collect(true);
    EXPECT_EQ(busyBeforeRelease, 9);
    EXPECT_EQ(std::count(results.begin(), results.end(), 170u), 9);
    for (DWORD e : results)
        EXPECT_TRUE(e == 0 || e == 170 || e == 1067) << e;  // answered, busy, or the receiver closed first
}

} // namespace
