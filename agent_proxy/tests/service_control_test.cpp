// Service control against the real SCM, on a probe service of our own
// installed under the scan service's name.
#include "probe_service.h"
#include "svc_helper.h"

#include "support/test_support.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using proxytest::ProbeService;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

class ServiceControl : public ::testing::Test {
protected:
    vrtest::TempDir dir{L"vrsvc"};
    vrtest::TraceToFolder trace{dir.path()};
    std::string Trace() const { return trace.Read(L"VrSSRProxyTests"); }
};

TEST_F(ServiceControl, NothingInstalled) {
    proxytest::RemoveService(kSsrServiceName);
    EXPECT_FALSE(check_service_existance());
    EXPECT_EQ(vrtest::ErrorCodeOf([] { get_service_current_state(); }),
              static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(vrtest::ErrorCodeOf([] { start_service(); }), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceControl, StartStopAndTheirShortCuts) {
    ProbeService probe(L"--start-ms 500 --start-hint 5000 --start-progress");
    EXPECT_TRUE(check_service_existance());
    EXPECT_EQ(get_service_current_state(), static_cast<DWORD>(SERVICE_STOPPED));

    stop_service();
    EXPECT_EQ(Count(Trace(), "Service <VrSoftwareState> already stopped"), 1u) << Trace();

    start_service();
    EXPECT_EQ(probe.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(get_service_current_state(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Count(Trace(), "Service <VrSoftwareState> started successfully."), 1u) << Trace();
    start_service();
    EXPECT_EQ(Count(Trace(), "Service <VrSoftwareState> already running"), 1u) << Trace();

    stop_service();
    EXPECT_EQ(probe.State(), static_cast<DWORD>(SERVICE_STOPPED));

    EXPECT_EQ(get_service_startup_type(), static_cast<DWORD>(SERVICE_DEMAND_START));
    set_startup_type(SERVICE_DISABLED);
    EXPECT_EQ(probe.StartType(), static_cast<DWORD>(SERVICE_DISABLED));
    EXPECT_EQ(vrtest::ErrorCodeOf([] { start_service(); }), static_cast<DWORD>(ERROR_SERVICE_DISABLED));
    set_startup_type(SERVICE_AUTO_START);
    EXPECT_EQ(get_service_startup_type(), static_cast<DWORD>(SERVICE_AUTO_START));
}

TEST_F(ServiceControl, WaitOnAStateWithoutPendingPartner) {
    ProbeService probe(L"");
    probe.Start();
    ASSERT_TRUE(probe.WaitState(SERVICE_RUNNING));
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { wait_service_status(probe.handle(), SERVICE_CONTINUE_PENDING); }),
              static_cast<DWORD>(E_NOTIMPL));
    EXPECT_EQ(Count(Trace(), "Call to wait unsupported state: 5"), 1u) << Trace();
    // Neither the state nor its pending partner: nothing to wait for.
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { wait_service_status(probe.handle(), SERVICE_STOPPED); }), 0u);
}

// A 30 s hint is polled every 3 s: two polls cover a 4 s start. With a 1 s
// poll the same start would take four or five.
TEST_F(ServiceControl, PollIntervalIsATenthOfTheWaitHint) {
    ProbeService probe(L"--start-ms 4000 --start-hint 30000 --start-progress");
    probe.Start();
    wait_service_status(probe.handle(), SERVICE_RUNNING);
    EXPECT_EQ(probe.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Count(Trace(), "Service pending (state 2)..."), 2u) << Trace();
    EXPECT_EQ(Count(Trace(), "Service state 4. Wait complete."), 1u) << Trace();
}

// A hint of 0 is polled every second; the check point keeps moving, so the
// wait goes on past the hint.
TEST_F(ServiceControl, ZeroHintPollsEverySecondWhileTheCheckPointMoves) {
    ProbeService probe(L"--start-ms 2500 --start-hint 0 --start-progress");
    probe.Start();
    wait_service_status(probe.handle(), SERVICE_RUNNING);
    const size_t polls = Count(Trace(), "Service pending (state 2)...");
    EXPECT_GE(polls, 3u) << Trace();
    EXPECT_LE(polls, 4u) << Trace();
}

TEST_F(ServiceControl, NoCheckPointProgressForLongerThanTheHintTimesOut) {
    ProbeService probe(L"--start-ms hold --start-hint 0");
    probe.Start();
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { wait_service_status(probe.handle(), SERVICE_RUNNING); }),
              static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_EQ(Count(Trace(), "Service pending (state 2)..."), 1u) << "after the first poll: " << Trace();
    EXPECT_EQ(Count(Trace(), "Service pending timeout! Waited state: 4 Current state: "), 1u) << Trace();

    // With a 2.5 s hint the same service is given three polls.
    ProbeService longer(L"--start-ms hold --start-hint 2500", SERVICE_DEMAND_START, L"VrSoftwareStateTestLonger");
    longer.Start();
    const size_t before = Count(Trace(), "Service pending (state 2)...");
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { wait_service_status(longer.handle(), SERVICE_RUNNING); }),
              static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_EQ(Count(Trace(), "Service pending (state 2)...") - before, 3u) << Trace();
}

// A stop already under way is waited out, not answered with an error.
TEST_F(ServiceControl, StopWhileStopPendingEndsStopped) {
    ProbeService probe(L"--stop-ms 2500 --stop-hint 10000 --stop-progress");
    start_service();
    SERVICE_STATUS status{};
    ASSERT_TRUE(::ControlService(probe.handle(), SERVICE_CONTROL_STOP, &status)) << ::GetLastError();
    ASSERT_TRUE(probe.WaitState(SERVICE_STOP_PENDING, 5000));
    EXPECT_EQ(vrtest::ErrorCodeOf([] { stop_service(); }), 0u);
    EXPECT_EQ(probe.State(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceControl, DependentServicesStopFirst) {
    ProbeService probe(L"");
    ProbeService dependent(L"", SERVICE_DEMAND_START, L"VrSoftwareStateTestDependent", kSsrServiceName);
    probe.Start();
    ASSERT_TRUE(probe.WaitState(SERVICE_RUNNING));
    dependent.Start();
    ASSERT_TRUE(dependent.WaitState(SERVICE_RUNNING));
    DWORD needed = 0, count = 0;
    if (::EnumDependentServicesW(probe.handle(), SERVICE_ACTIVE, nullptr, 0, &needed, &count))
        GTEST_SKIP() << "the SCM lists no dependents (Wine never does); shown only where it does";
    stop_service();
    EXPECT_EQ(dependent.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(probe.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(Count(Trace(), "processing service <VrSoftwareStateTestDependent>"), 1u) << Trace();
}

} // namespace
