// vrpassport diff over two documents of 1,000,000 entries each: the time
// and the peak memory of the tool's process. Prints figures, asserts none.
// The documents are generated once into the folder given and kept.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

const unsigned kEntries = 1000000;

// Entries in the writer's order: zero-padded numbers sort as written, and
// a name continued (".bak") sorts right after the name.
bool write_document(const std::wstring& path, bool newer) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    std::setvbuf(f, nullptr, _IOFBF, 1 << 20);
    std::fputs("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
               "<RarudodaVaridide xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\r\n", f);
    std::fprintf(f, "  <UniqueId>%s</UniqueId>\r\n  <DateGenerated>2026-12-08T00:00:00.000Z</DateGenerated>\r\n"
                    "  <SID>S-1-5-21-0-0-0</SID>\r\n  <Computer>\r\n",
                 newer ? "22222222-2222-2222-2222-222222222222" : "11111111-1111-1111-1111-111111111111");
    for (const char* n : {"SerialNumber", "Type", "ResponsibleEmployee", "Department", "NetworkName", "NetworkAddress",
                          "AutomationSystem", "OperatingSystem", "DBMS", "Location"})
        std::fprintf(f, "    <%s></%s>\r\n", n, n);
    std::fputs("  </Computer>\r\n  <Software>\r\n", f);
    auto entry = [&](unsigned i, const char* suffix, bool patched) {
        std::fprintf(f,
                     "    <SI>\r\n"
                     "      <P dt:dt=\"string\">C:\\Program Files\\Bench\\folder%04u</P>\r\n"
                     "      <N dt:dt=\"string\">file%07u.dll%s</N>\r\n"
                     "      <D dt:dt=\"string\">Benchmark library number %u</D>\r\n"
                     "      <T dt:dt=\"string\">Application extension</T>\r\n"
                     "      <V dt:dt=\"string\">10.0.19041.%u</V>\r\n"
                     "      <MN dt:dt=\"string\">Example Corporation</MN>\r\n"
                     "      <PN dt:dt=\"string\">Example Operating System</PN>\r\n"
                     "      <PV dt:dt=\"string\">10.0.19041.%u</PV>\r\n"
                     "      <S dt:dt=\"i8\">%u</S>\r\n"
                     "      <CD dt:dt=\"dateTime.tz\">2026-11-%02uT10:00:00.000Z</CD>\r\n"
                     "      <CS dt:dt=\"string\">%08X0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF%08X</CS>\r\n"
                     "    </SI>\r\n",
                     i / 1000, i, suffix, i, i % 5000, i % 5000, 4096 + i * 7, 1 + i % 28, i, patched ? ~i : i);
    };
    for (unsigned i = 0; i < kEntries; ++i) {
        const unsigned r = i % 1000;
        if (newer && r == 0) continue;               // removed
        entry(i, "", newer && r == 500);             // patched in place
        if (newer && r == 250) entry(i, ".bak", false);  // added beside it
    }
    std::fputs("  </Software>\r\n</RarudodaVaridide>\r\n", f);
    return std::fclose(f) == 0;
}

unsigned long long file_size(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_passport FOLDER\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring older = folder + L"\\old-1M.xml", newer = folder + L"\\new-1M.xml", ready = folder + L"\\ready";
    if (::GetFileAttributesW(ready.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::printf("generating two documents of %u entries (once; kept in the folder)...\n", kEntries);
        std::fflush(stdout);
        if (!write_document(older, false) || !write_document(newer, true)) {
            std::fprintf(stderr, "cannot write the documents\n");
            return 2;
        }
        FILE* marker = _wfopen(ready.c_str(), L"wb");
        if (marker) std::fclose(marker);
    }
    std::printf("documents: %.0f MB and %.0f MB\n", file_size(older) / 1048576.0, file_size(newer) / 1048576.0);

    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring tool(exe);
    tool = tool.substr(0, tool.find_last_of(L'\\') + 1) + L"vrpassport.exe";
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE nul = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    std::wstring cmd = L"\"" + tool + L"\" diff \"" + older + L"\" \"" + newer + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = nul;
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    if (!::CreateProcessW(tool.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "cannot start vrpassport.exe (%lu)\n", ::GetLastError());
        return 2;
    }
    // Sampled while it runs as well: some systems keep no counters of a
    // process that has ended.
    SIZE_T peakWorkingSet = 0, peakPrivate = 0;
    auto sample = [&] {
        PROCESS_MEMORY_COUNTERS memory{};
        memory.cb = sizeof(memory);
        if (!::GetProcessMemoryInfo(pi.hProcess, &memory, sizeof(memory))) return;
        peakWorkingSet = std::max({peakWorkingSet, memory.PeakWorkingSetSize, memory.WorkingSetSize});
        peakPrivate = std::max({peakPrivate, memory.PeakPagefileUsage, memory.PagefileUsage});
    };
    while (::WaitForSingleObject(pi.hProcess, 50) == WAIT_TIMEOUT) sample();
    ::QueryPerformanceCounter(&end);
    sample();
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    const bool haveMemory = peakWorkingSet != 0;
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(nul);

    const double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    std::printf("diff of 2 x %u entries: exit code %lu (1: changes), %.2f s, %.0f entries/s\n", kEntries, code, seconds,
                2.0 * kEntries / seconds);
    if (haveMemory)
        std::printf("peak working set %.1f MB, peak private bytes %.1f MB\n", peakWorkingSet / 1048576.0,
                    peakPrivate / 1048576.0);
    else
        std::printf("peak memory: not available (%lu)\n", ::GetLastError());
    return 0;
}
