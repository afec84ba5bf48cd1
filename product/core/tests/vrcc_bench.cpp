// bench-core: round trips through a running core between two processes.
// Uses the core that runs, or starts one for the run. Prints, never judges.
#include "core_test_ids.h"
#include "core_test_support.h"
#include "vrbase/trace.h"
#include "vrsrvapi.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

VR_DEFINE_MODULE_TRACE(L"VrCCBench")

using namespace coretest;

namespace {

struct Result {
    unsigned trips = 0;
    double seconds = 0;
    DWORD error = 0;
};

template <class F>
Result Measure(double seconds, F trip) {
    LARGE_INTEGER f, start, now;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&start);
    Result r;
    do {
        if ((r.error = trip())) break;
        ++r.trips;
        ::QueryPerformanceCounter(&now);
        r.seconds = double(now.QuadPart - start.QuadPart) / double(f.QuadPart);
    } while (r.seconds < seconds);
    return r;
}

int Bench() {
    CoreProcess ownCore;
    if (!WaitForCore(0)) ownCore.Start();
    Peer receiver(L"receiver", L"vrbench.receiver");
    if (!receiver.WaitReady()) {
        fwprintf(stderr, L"bench-core: the receiver did not start\n");
        return 1;
    }
    VR_SESSION s{};
    s.Name = L"@vrcc_bench";
    s.Flags = VR_SESSION_CLIENT | 2;
    if (DWORD e = VrOpenSession(&s)) {
        fwprintf(stderr, L"bench-core: cannot open a session (%u)\n", e);
        return static_cast<int>(e);
    }
    DWORD ids[4], count = 4;
    if (VrGetSubsystemIds(s.Handle, L"vrbench.receiver", &count, ids) || count == 0) return 1;
    const DWORD to = ids[0];
    const DWORD mib = 1 << 20;
    std::vector<BYTE> request(mib, 0x5A), reply(mib);

    Result core = Measure(2.0, [&] { return VrSubscribeMessage(s.Handle, 0x7E5700EE, TRUE); });
    Result small = Measure(3.0, [&] {
        DWORD size = 64;
        return VrSendMessage(s.Handle, to, kEcho, 64, request.data(), &size, reply.data());
    });
    Result echo = Measure(3.0, [&] {
        DWORD size = mib;
        return VrSendMessage(s.Handle, to, kEcho, mib, request.data(), &size, reply.data());
    });
    Result up = Measure(3.0, [&] {
        DWORD size = 0;  // no room for the echo: the receiver answers 122 at once
        DWORD rc = VrSendMessage(s.Handle, to, kEcho, mib, request.data(), &size, nullptr);
        return rc == ERROR_INSUFFICIENT_BUFFER ? 0u : rc;
    });
    Result down = Measure(3.0, [&] {
        DWORD size = mib;
        return VrSendMessage(s.Handle, to, kBig, 4, &mib, &size, reply.data());
    });
    VrCloseSession(s.Handle);

    auto mbps = [](const Result& r, double perTrip) { return r.seconds > 0 ? r.trips * perTrip / r.seconds / 1e6 : 0; };
    for (const Result* r : {&core, &small, &echo, &up, &down})
        if (r->error) fwprintf(stderr, L"bench-core: a send failed with %u\n", r->error);
    wprintf(L"bench-core (two processes through VrCC under Wine)\n");
    wprintf(L"  request to the core itself: %8.0f round trips/s\n", core.trips / core.seconds);
    wprintf(L"  64-byte request and reply : %8.0f round trips/s (%u in %.1f s)\n", small.trips / small.seconds,
            small.trips, small.seconds);
    wprintf(L"  1 MiB request, 1 MiB reply: %8.1f MB/s moved (%.1f round trips/s)\n", mbps(echo, 2.0 * mib),
            echo.trips / echo.seconds);
    wprintf(L"  1 MiB request, no reply   : %8.1f MB/s\n", mbps(up, mib));
    wprintf(L"  4-byte request, 1 MiB reply: %7.1f MB/s\n", mbps(down, mib));
    return 0;
}

} // namespace

int wmain() {
    _setmode(_fileno(stdout), _O_U8TEXT);
    try {
        return Bench();
    } catch (const std::exception& e) {
        fwprintf(stderr, L"bench-core: %hs\n", e.what());
        return 1;
    }
}
