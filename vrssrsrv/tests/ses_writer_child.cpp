// Child process for the crash test: writes a large document to the path
// given, through the service's own writer, until it is killed.
#include "ssr_disk_depot.h"

#include "exec/apartment_executor.h"
#include "vrbase/trace.h"

#include <cwchar>
#include <cstdlib>

VR_DEFINE_MODULE_TRACE(L"VrSesWriterChild")

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    const int entries = _wtoi(argv[2]);
    FileObjectMap files;
    for (int i = 0; i < entries; ++i) {
        _SSR_FILE_OBJECT_INFO info;
        info.description = L"Crash test entry";
        info.checksum = std::wstring(64, L'0');
        files.emplace(L"C:\\Crash\\folder" + std::to_wstring(i / 100) + L"\\file" + std::to_wstring(i), info);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    exec::run_in_sta([&] { save_software_state_worker(argv[1], L"CRASH-TEST", files); });
    return 0;
}
