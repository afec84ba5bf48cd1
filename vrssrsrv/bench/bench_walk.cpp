// Walks a generated tree of 100,000 files and prints how fast the walk
// collects and how much memory each collected file costs. Figures only.
#include "ssr_path_review.h"

#include "vrbase/scope.h"
#include "vrbase/trace.h"

#include "alloc_counter.h"

#include <windows.h>
#include <chrono>
#include <cstdio>
#include <string>

VR_DEFINE_MODULE_TRACE(L"VrBenchWalk")

namespace {

constexpr int kFolders = 400, kPerFolder = 250;  // 100,000 files

SIZE_T live_bytes() { return static_cast<SIZE_T>(bench::live_bytes()); }

void make_tree(const std::wstring& root) {
    const std::wstring done = root + L".done";  // beside the tree, not in it
    if (::GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    ::CreateDirectoryW(root.c_str(), nullptr);
    for (int f = 0; f < kFolders; ++f) {
        std::wstring folder = root + L"\\folder" + std::to_wstring(f);
        ::CreateDirectoryW(folder.c_str(), nullptr);
        for (int i = 0; i < kPerFolder; ++i) {
            std::wstring name = folder + L"\\file" + std::to_wstring(i) + (i % 3 ? L".dll" : L".txt");
            VrBase::unique_hfile file(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            ::WriteFile(file.get(), "bench", 5, &written, nullptr);
        }
    }
    VrBase::unique_hfile marker(::CreateFileW(done.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

} // namespace

int wmain() {
    // The scan reads texts in the product language; a machine without the
    // product gets English for the run.
    VrBase::unique_hkey product;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Calderis\\Varnel Studio", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      product.put(), nullptr);
    bool setLocale = ::RegQueryValueExW(product.get(), L"ProductLocale", nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS;
    if (setLocale) ::RegSetValueExW(product.get(), L"ProductLocale", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"en-US"), 12);
    VrBase::scope_exit restore([&] {
        if (setLocale) ::RegDeleteValueW(product.get(), L"ProductLocale");
    });

    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"vrbench-walk";
    auto t0 = std::chrono::steady_clock::now();
    make_tree(root);
    auto t1 = std::chrono::steady_clock::now();

    VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    PathSet targets{root}, exclusions, extensions;
    FileObjectMap files;
    const SIZE_T before = live_bytes();
    trg_paths_check_and_adjustment(targets, exclusions);
    targets_review(abort.get(), targets, exclusions, extensions, L"BENCH", L"S-1-5-18", files);
    auto t2 = std::chrono::steady_clock::now();
    const SIZE_T after = live_bytes();

    const double walk = std::chrono::duration<double>(t2 - t1).count();
    std::printf("tree: %d files (prepared in %.1f s)\n", kFolders * kPerFolder,
                std::chrono::duration<double>(t1 - t0).count());
    std::printf("walk: %zu files collected in %.2f s, %.0f files/s\n", files.size(), walk, files.size() / walk);
    std::printf("memory: %.0f bytes per collected file (live allocations grew by %.1f MiB)\n",
                files.empty() ? 0.0 : static_cast<double>(after - before) / files.size(),
                static_cast<double>(after - before) / (1024.0 * 1024.0));
    return files.size() == static_cast<size_t>(kFolders * kPerFolder) ? 0 : 1;
}
