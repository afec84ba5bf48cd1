// Writes a software state document of 1,000,000 entries and prints the time
// and the writer's peak memory beyond the entry map. Figures only.
#include "alloc_counter.h"
#include "ssr_disk_depot.h"

#include "exec/apartment_executor.h"
#include "vrbase/trace.h"

#include <windows.h>
#include <psapi.h>
#include <chrono>
#include <cstdio>

VR_DEFINE_MODULE_TRACE(L"VrBenchDocument")

namespace {
// The process's peak resident memory, as the system reports it.
double peak_working_set_mib() {
    PROCESS_MEMORY_COUNTERS counters{};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PeakWorkingSetSize / 1048576.0;
}
} // namespace

int wmain() {
    constexpr int kEntries = 1000000;
    FileObjectMap files;
    for (int i = 0; i < kEntries; ++i) {
        _SSR_FILE_OBJECT_INFO info;
        info.description = L"Sample description";
        info.type = L"Dynamic-link library";
        info.file_version = L"10.0.19041.1";
        info.company_name = L"Varnel";
        info.product_name = L"Passport";
        info.product_version = L"10.0";
        info.size = 123456u + static_cast<unsigned>(i);
        info.change_time = L"2026-12-07T03:24:52.000Z";
        info.checksum = L"FAFF37A615A816691CFF3EF8B68CA247E09525F39F8119832EB81975D366C4B1";
        files.emplace(L"C:\\Program Files\\Bench\\folder" + std::to_wstring(i / 500) + L"\\file" + std::to_wstring(i) +
                          L".dll",
                      std::move(info));
    }
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"vrbench-document.xml";

    const long long mapBytes = bench::live_bytes();
    const double peakBefore = peak_working_set_mib();
    bench::reset_peak();
    auto t0 = std::chrono::steady_clock::now();
    exec::run_in_sta([&] { save_software_state_worker(path, L"BENCH-0000-0000-0000-000000000000", files); });
    auto t1 = std::chrono::steady_clock::now();
    const long long extra = bench::peak_bytes() - mapBytes;
    const double peakAfter = peak_working_set_mib();

    WIN32_FILE_ATTRIBUTE_DATA data{};
    ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    const double mib = (static_cast<double>(data.nFileSizeHigh) * 4294967296.0 + data.nFileSizeLow) / (1024.0 * 1024.0);
    const double seconds = std::chrono::duration<double>(t1 - t0).count();
    std::printf("document: %d entries, %.1f MiB written in %.2f s (%.0f entries/s)\n", kEntries, mib, seconds,
                kEntries / seconds);
    std::printf("memory: entry map %.1f MiB; writer's own allocations beyond the map %.2f MiB\n",
                mapBytes / 1048576.0, extra / 1048576.0);
    std::printf("memory: process peak working set %.1f MiB before writing, %.1f MiB after\n", peakBefore, peakAfter);
    ::DeleteFileW(path.c_str());
    return 0;
}
