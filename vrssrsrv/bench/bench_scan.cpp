// One whole scan of a given tree, in process, the way the service runs it:
// settings with every extension, the depot in a folder of the benchmark's
// own, the document written. Prints figures as "name value" lines for
// bench/scan/run.sh; never a verdict.
//
// Usage: bench_scan.exe TREE DEPOT_FOLDER
#include "ssr_actions.h"
#include "ssr_disk_depot.h"
#include "ssr_file_info.h"
#include "ssr_ordered_pass.h"
#include "ssr_path_review.h"
#include "ssr_policy_ops.h"
#include "ssr_reg_depot.h"
#include "ssr_scheduler.h"
#include "ssr_state.h"

#include "i18n/i18n.h"
#include "sid_helpers.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include "alloc_counter.h"

#include <windows.h>
#include <psapi.h>
#include <chrono>
#include <cstdio>
#include <string>

VR_DEFINE_MODULE_TRACE(L"VrBenchScan")

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// Heap bytes a string holds beyond its own object.
size_t heap_of(const std::wstring& s) { return s.capacity() > 7 ? (s.capacity() + 1) * sizeof(wchar_t) : 0; }

size_t texts_of(const std::wstring& path, const _SSR_FILE_OBJECT_INFO& i) {
    return heap_of(path) + heap_of(i.description) + heap_of(i.type) + heap_of(i.file_version) +
           heap_of(i.company_name) + heap_of(i.product_name) + heap_of(i.product_version) + heap_of(i.change_time) +
           heap_of(i.checksum);
}

std::wstring settings_for(const std::wstring& tree) {
    return L"<Root><Settings><ScanSetting><Paths all=\"false\"><Path>" + tree +
           L"</Path></Paths><ExcludePaths enable=\"false\"/><Extensions all=\"true\"/></ScanSetting>"
           L"<ScheduleScan enabled=\"false\"/><EventRegistration/></Settings></Root>";
}

// The service's surroundings: product language, depot, scan state, settings.
void prepare(const std::wstring& tree, const std::wstring& depot) {
    VrBase::unique_hkey product;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Calderis\\Varnel Studio", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      product.put(), nullptr);
    if (::RegQueryValueExW(product.get(), L"ProductLocale", nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        ::RegSetValueExW(product.get(), L"ProductLocale", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"en-US"), 12);
    VrBase::unique_hkey protection;
    ::RegCreateKeyExW(product.get(), L"Client\\Local Protection", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      protection.put(), nullptr);
    ::SetEnvironmentVariableW(L"LocalProtectionDir", (depot + L"\\").c_str());
    CSSRDiskDepot::instance().ensure_depot();
    {
        CSSRRegDepotLocker lock;
        CSSRRegDepot::instance().prepare();
    }
    {
        CSSRStateLocker lock;
        CSSRState::instance().initialize();
        CSSRState::instance().set_scan_state(kStatusNone, SES_SOURCE_SERVICE);
    }
    CSSROpSettingsLocker lock;
    CSSROpSettings::instance().apply_new_settings(settings_for(tree));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_scan.exe TREE DEPOT_FOLDER\n");
        return 87;
    }
    const std::wstring tree = argv[1], depot = argv[2];
    return VrBase::GuardCode(L"bench_scan", [&]() -> DWORD {
        prepare(tree, depot);
        VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));

        // The scan as the service runs it, timed whole.
        const std::vector<BYTE> request = build_scan_request(SES_SOURCE_ADMIN, get_current_user_sid());
        const Clock::time_point start = Clock::now();
        software_scan(abort.get(), const_cast<BYTE*>(request.data()));
        const double wall = seconds_since(start);
        {
            CSSRStateLocker lock;
            if (CSSRState::instance().get_status() != kStatusComplete) VR_RAISE(ERROR_GEN_FAILURE, L"bench_scan");
        }
        PROCESS_MEMORY_COUNTERS memory{};
        memory.cb = sizeof(memory);
        ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));

        // Not timed with the scan: its two passes again, for where the time
        // goes and what each collected file costs beyond its path and texts.
        CPrefferedProductLanguages languages;
        PathSet targets{tree}, exclusions, extensions;
        trg_paths_check_and_adjustment(targets, exclusions);
        FileObjectMap files;
        bench::reset_peak();
        const long long before = bench::live_bytes();
        const Clock::time_point walkStart = Clock::now();
        targets_review(abort.get(), targets, exclusions, extensions, L"BENCH", L"S-1-5-18", files);
        const double walk = seconds_since(walkStart);
        const Clock::time_point sumStart = Clock::now();
        calc_fo_checksums(abort.get(), L"BENCH", L"S-1-5-18", files);
        const double sums = seconds_since(sumStart);
        unsigned long long bytes = 0, texts = 0;
        for (const auto& f : files) {
            bytes += f.second.size;
            texts += texts_of(f.first, f.second);
        }
        // Each checksum thread's read buffer is the pass's, not a file's.
        const long long buffers = static_cast<long long>(scan_worker_count()) * kReadChunk;
        const double perFile =
            files.empty() ? 0.0
                          : static_cast<double>(bench::peak_bytes() - before - static_cast<long long>(texts) - buffers) /
                                static_cast<double>(files.size());

        std::printf("files %zu\nbytes %llu\nwall %.3f\npeak_ws %llu\nper_file %.0f\nwalk %.3f\nchecksums %.3f\n"
                    "workers %u\n",
                    files.size(), bytes, wall, static_cast<unsigned long long>(memory.PeakWorkingSetSize), perFile,
                    walk, sums, scan_worker_count());
        return 0;
    });
}
