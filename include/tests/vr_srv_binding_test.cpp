// The client library is loaded by name: each case runs the probe from a
// folder of its own, with no library or with one that lacks exports.
#include "support/test_support.h"
#include "vrbase/scope.h"

#include <gtest/gtest.h>

namespace {

DWORD RunProbeIn(const vrtest::TempDir& dir, std::string& output, const wchar_t* args = L"") {
    vrtest::CapturedChild probe(dir.file(L"vrsrv_probe.exe"), args, dir.path());
    output = probe.ReadAll();
    return probe.WaitExit();
}

void CopyBeside(const vrtest::TempDir& dir, const wchar_t* built, const wchar_t* name) {
    ASSERT_TRUE(::CopyFileW((vrtest::ModuleFolder() + built).c_str(), dir.file(name).c_str(), FALSE));
}

TEST(VrSrvBinding, MissingLibraryAndMissingExport) {
    vrtest::TempDir alone;
    CopyBeside(alone, L"vrsrv_probe.exe", L"vrsrv_probe.exe");
    std::string output;
    EXPECT_EQ(RunProbeIn(alone, output), 0xE601000Du) << output;

    vrtest::TempDir partial;
    CopyBeside(partial, L"vrsrv_probe.exe", L"vrsrv_probe.exe");
    CopyBeside(partial, L"fake_vrsrvapi.dll", L"VrSrvApi.dll");
    output.clear();
    EXPECT_EQ(RunProbeIn(partial, output), 0xE6010032u);
    EXPECT_EQ(output.substr(0, 13), "VrSendMessage") << "the missing function is named";
}

TEST(VrSrvBinding, UnloadingTheLibraryKeepsTheCallersLastError) {
    vrtest::TempDir dir;
    CopyBeside(dir, L"vrsrv_probe.exe", L"vrsrv_probe.exe");
    CopyBeside(dir, L"fake_vrsrvapi.dll", L"VrSrvApi.dll");
    std::string output;
    EXPECT_EQ(RunProbeIn(dir, output, L"last-error"), 0u) << output;
}

} // namespace
