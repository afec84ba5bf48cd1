// A writer killed at any moment leaves either no document or a whole one.
#include "ssr_disk_depot.h"

#include "support/test_support.h"
#include "vrbase/scope.h"

#include <gtest/gtest.h>

namespace {

ULONGLONG SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Starts the child, waits until it has built its entries and kills it once
// what it has written under the partial name reaches `written` bytes (at
// once for 0), or once it has ended by itself: the moment follows the
// writer's progress, not the clock.
void KillWhenWritten(const std::wstring& document, ULONGLONG written) {
    vrtest::CapturedChild child(vrtest::ModuleFolder() + L"ses_writer_child.exe", L"\"" + document + L"\" 100000");
    char buf[16];
    DWORD got = 0;
    ASSERT_TRUE(::ReadFile(child.output(), buf, sizeof(buf), &got, nullptr)) << "the child reports it is ready";
    const std::wstring partial = partial_ses_path(document);
    while (written && SizeOf(partial) < written && ::WaitForSingleObject(child.process(), 1) == WAIT_TIMEOUT) {
    }
    ::TerminateProcess(child.process(), 9);
    ::WaitForSingleObject(child.process(), 30000);
}

TEST(CrashSafety, KilledWriterNeverLeavesAPartialDocument) {
    vrtest::TempDir dir;
    const std::wstring document = dir.file(L"SSR_LastSoftState.xml");
    int caughtMidWrite = 0;
    // The whole document is some 45 MB: a kill at 64 KiB or 1 MiB lands
    // while it is written, whatever the machine's speed.
    for (ULONGLONG written : {0ull, 64ull << 10, 1ull << 20}) {
        KillWhenWritten(document, written);
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
    EXPECT_EQ(caughtMidWrite, 2) << "both kills after the first bytes land while the document is being written";
}

} // namespace
