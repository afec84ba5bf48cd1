// A writer killed at any moment leaves either no document or a whole one.
#include "ssr_disk_depot.h"

#include "support/test_support.h"
#include "vrbase/scope.h"

#include <gtest/gtest.h>

namespace {

// Starts the child, waits until it has built its entries, lets it write for
// a while and kills it.
void KillWhileWriting(const std::wstring& document, DWORD writeMs) {
    vrtest::CapturedChild child(vrtest::ModuleFolder() + L"ses_writer_child.exe", L"\"" + document + L"\" 400000");
    char buf[16];
    DWORD got = 0;
    ASSERT_TRUE(::ReadFile(child.output(), buf, sizeof(buf), &got, nullptr)) << "the child reports it is ready";
    ::Sleep(writeMs);
    ::TerminateProcess(child.process(), 9);
    ::WaitForSingleObject(child.process(), 30000);
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
