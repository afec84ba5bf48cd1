// Service control against the real SCM, on a probe service of our own
// installed under the scan service's name.
#include "probe_service.h"
#include "svc_helper.h"

#include "support/test_support.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using proxytest::ProbeService;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// A clock that moves only when the wait sleeps, starting just before the
// tick count wraps; each sleep is recorded and may move the probe on
// before the wait looks again.
class SteppedClock : public IServiceWaitClock {
public:
    SteppedClock() { set_service_wait_clock(this); }
    ~SteppedClock() override { set_service_wait_clock(nullptr); }
    DWORD tick() override { return m_now; }
    void sleep(DWORD ms) override {
        m_now += ms;
        sleeps.push_back(ms);
        if (onSleep) onSleep(sleeps.size());
    }
    std::vector<DWORD> sleeps;
    std::function<void(size_t)> onSleep;

private:
    DWORD m_now = 0xFFFFFC00u;
};

bool Until(const std::function<bool()>& done, DWORD ms = 30000) {
    for (DWORD waited = 0; waited < ms; waited += 20) {
        if (done()) return true;
        ::Sleep(20);
    }
    return false;
}

// The probe's own start status is in place (not the SCM's first one).
bool ReportedItsStart(const ProbeService& probe, DWORD hint) {
    return Until([&] {
        const SERVICE_STATUS_PROCESS s = probe.Query();
        return s.dwCurrentState == SERVICE_START_PENDING && s.dwCheckPoint >= 1 && s.dwWaitHint == hint;
    });
}

// The events that drive a probe started with --start-steps.
class StartSteps {
public:
    std::wstring Arguments(DWORD hint) const {
        return L"--start-steps " + m_name + L" --start-hint " + std::to_wstring(hint);
    }
    // Moves the probe's check point on; returns once the SCM shows it.
    void Step(const ProbeService& probe) {
        const DWORD before = probe.Query().dwCheckPoint;
        ::SetEvent(m_step.get());
        EXPECT_TRUE(Until([&] { return probe.Query().dwCheckPoint > before; }));
    }
    void Finish(const ProbeService& probe) {
        ::SetEvent(m_done.get());
        EXPECT_TRUE(probe.WaitState(SERVICE_RUNNING));
    }

private:
    const std::wstring m_name = L"Global\\VrSvcProbeSteps-" + std::to_wstring(::GetCurrentProcessId());
    VrBase::unique_handle m_step{::CreateEventW(nullptr, FALSE, FALSE, (m_name + L"-step").c_str())};
    VrBase::unique_handle m_done{::CreateEventW(nullptr, TRUE, FALSE, (m_name + L"-done").c_str())};
};

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

// The wait's intervals, asked of a clock that moves only when it sleeps,
// while the probe's start goes at the test's pace: a 30 s hint is polled
// every 3 s, the second poll finds it running.
TEST_F(ServiceControl, PollIntervalIsATenthOfTheWaitHint) {
    StartSteps steps;
    ProbeService probe(steps.Arguments(30000));
    SteppedClock clock;
    clock.onSleep = [&](size_t n) {
        if (n == 2) steps.Finish(probe);
    };
    probe.Start();
    ASSERT_TRUE(ReportedItsStart(probe, 30000));
    wait_service_status(probe.handle(), SERVICE_RUNNING);
    EXPECT_EQ(probe.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(clock.sleeps, (std::vector<DWORD>{3000, 3000}));
    EXPECT_EQ(Count(Trace(), "Service pending (state 2)..."), 2u) << Trace();
    EXPECT_EQ(Count(Trace(), "Service state 4. Wait complete."), 1u) << Trace();
}

// A hint of 0 is polled every second; the check point keeps moving, so the
// wait goes on past the hint.
TEST_F(ServiceControl, ZeroHintPollsEverySecondWhileTheCheckPointMoves) {
    StartSteps steps;
    ProbeService probe(steps.Arguments(0));
    SteppedClock clock;
    clock.onSleep = [&](size_t n) {
        if (n < 3) steps.Step(probe);
        else steps.Finish(probe);
    };
    probe.Start();
    ASSERT_TRUE(ReportedItsStart(probe, 0));
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { wait_service_status(probe.handle(), SERVICE_RUNNING); }), 0u) << Trace();
    EXPECT_EQ(probe.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(clock.sleeps, (std::vector<DWORD>{1000, 1000, 1000}));
    EXPECT_EQ(Count(Trace(), "Service pending (state 2)..."), 3u) << Trace();
}

TEST_F(ServiceControl, NoCheckPointProgressForLongerThanTheHintTimesOut) {
    SteppedClock clock;
    ProbeService probe(L"--start-ms hold --start-hint 0");
    probe.Start();
    ASSERT_TRUE(ReportedItsStart(probe, 0));
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { wait_service_status(probe.handle(), SERVICE_RUNNING); }),
              static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_EQ(clock.sleeps, (std::vector<DWORD>{1000}));
    EXPECT_EQ(Count(Trace(), "Service pending (state 2)..."), 1u) << "after the first poll: " << Trace();
    EXPECT_EQ(Count(Trace(), "Service pending timeout! Waited state: 4 Current state: "), 1u) << Trace();

    // With a 2.5 s hint the same service is given three polls.
    clock.sleeps.clear();
    ProbeService longer(L"--start-ms hold --start-hint 2500", SERVICE_DEMAND_START, L"VrSoftwareStateTestLonger");
    longer.Start();
    ASSERT_TRUE(ReportedItsStart(longer, 2500));
    const size_t before = Count(Trace(), "Service pending (state 2)...");
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { wait_service_status(longer.handle(), SERVICE_RUNNING); }),
              static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_EQ(clock.sleeps, (std::vector<DWORD>{1000, 1000, 1000}));
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
