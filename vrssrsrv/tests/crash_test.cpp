// A writer killed at any moment leaves either no document or a whole one.
#include "ssr_disk_depot.h"

#include "support/test_support.h"
#include "vrbase/scope.h"

#include <gtest/gtest.h>

namespace {

// Starts the child, waits until it has built its entries, lets it write for
// a while and kills it.
void KillWhileWriting(const std::wstring& document, DWORD writeMs) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, &sa, 0));
    VrBase::unique_handle reader(readEnd), writer(writeEnd);
    ::SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    std::wstring exe = vrtest::ModuleFolder() + L"ses_writer_child.exe";
    std::wstring cmd = L"\"" + exe + L"\" \"" + document + L"\" 400000";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writer.get();
    si.hStdError = writer.get();
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(::CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
    VrBase::unique_handle process(pi.hProcess), thread(pi.hThread);
    writer.reset();
    char buf[16];
    DWORD got = 0;
    ASSERT_TRUE(::ReadFile(reader.get(), buf, sizeof(buf), &got, nullptr)) << "the child reports it is ready";
    ::Sleep(writeMs);
    ::TerminateProcess(process.get(), 9);
    ::WaitForSingleObject(process.get(), 30000);
}

TEST(CrashSafety, KilledWriterNeverLeavesAPartialDocument) {
    vrtest::TempDir dir;
    const std::wstring document = dir.file(L"SSR_LastSoftState.xml");
    int caughtMidWrite = 0;
    for (DWORD writeMs : {100u, 600u, 1500u, 3000u}) {
        KillWhileWriting(document, writeMs);
        if (vrtest::FileExists(document)) {
            // Only a whole document is ever under the final name.
            std::string bytes = vrtest::ReadFileBytes(document);
            ASSERT_GT(bytes.size(), 30u);
            EXPECT_NE(bytes.find("</RarudodaVaridide>"), std::string::npos);
            ::DeleteFileW(document.c_str());
        } else if (vrtest::FileExists(partial_ses_path(document))) {
            ++caughtMidWrite;  // what was written so far carries the other name
        }
        ::DeleteFileW(partial_ses_path(document).c_str());
    }
    EXPECT_GT(caughtMidWrite, 0) << "at least one kill must land while the document is being written";
}

} // namespace
