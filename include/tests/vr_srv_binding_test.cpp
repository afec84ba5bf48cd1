// The client library is loaded by name: each case runs the probe from a
// folder of its own, with no library or with one that lacks exports.
#include "support/test_support.h"
#include "vrbase/scope.h"

#include <gtest/gtest.h>

namespace {

DWORD RunProbeIn(const vrtest::TempDir& dir, std::string& output) {
    const std::wstring exe = dir.file(L"vrsrv_probe.exe");
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    VrBase::unique_handle reader, writer;
    if (!::CreatePipe(reader.put(), writer.put(), &sa, 0)) return 0xFFFFFFFF;
    ::SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    std::wstring cmd = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writer.get();
    si.hStdError = writer.get();
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, dir.path().c_str(), &si, &pi))
        return 0xFFFFFFFF;
    VrBase::unique_handle process(pi.hProcess), thread(pi.hThread);
    writer.reset();
    char buf[256];
    DWORD got = 0;
    while (::ReadFile(reader.get(), buf, sizeof(buf), &got, nullptr) && got) output.append(buf, got);
    ::WaitForSingleObject(process.get(), 60000);
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    return code;
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

} // namespace
