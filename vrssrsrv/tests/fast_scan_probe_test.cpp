// Reproductions of faults found in the fast scan, kept disabled until they
// are fixed: run with --gtest_also_run_disabled_tests.
#include "ssr_file_info.h"
#include "ssr_path_review.h"

#include "file_ver_helper.h"
#include "scan_test_support.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using scantest::MakeDir;
using scantest::MakeFile;

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// An image whose one version resource the platform's lookup does not find
// (its directory ids out of order, or counted among the named entries) has
// no version for the platform; read straight from the file it gets texts.
TEST(FastScanProbe, DISABLED_VersionFoundOnlyWhereThePlatformFindsIt) {
    scantest::ProductLocale locale(L"en-US");
    const std::wstring folder = vrtest::ModuleFolder() + L"lookup\\";
    for (const wchar_t* name : {L"sorted.dll", L"types-unsorted.dll", L"type-counted-named.dll",
                                L"name-counted-named.dll"}) {
        const std::wstring path = folder + name;
        std::vector<BYTE> fast, platform;
        const bool fastFound = get_version_info(path, fast);
        const bool platformFound = get_version_info_from_platform(path, platform);
        EXPECT_EQ(fastFound, platformFound) << Narrow(name);
        _SSR_FILE_OBJECT_INFO info;
        ASSERT_EQ(query_file_info(path, info), 0u) << Narrow(name);
        EXPECT_EQ(info.company_name, platformFound ? L"Lookup Co" : L"") << Narrow(name);
    }
}

// The walk used to register a file's collection error through a guard that
// swallows a failing event write, so one failing write cost nothing else.
// Now the write runs bare on the walk's thread: its failure ends the
// folder being walked (the files after it are lost) or leaves the walk
// as an error other than the abort.
TEST(FastScanProbe, DISABLED_AFailingEventWriteLosesNoFiles) {
    vrtest::TempDir dir;
    const std::wstring tree = dir.file(L"tree");
    MakeDir(tree);
    MakeFile(tree + L"\\a_locked.dll", "MZ locked");
    for (int i = 0; i < 50; ++i) MakeFile(tree + L"\\f" + std::to_wstring(100 + i) + L".txt", "x");
    VrBase::unique_hfile locked(
        ::CreateFileW((tree + L"\\a_locked.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked);

    scantest::RecordingSink sink;
    sink.onEvent = [] { VR_RAISE(ERROR_NOT_ENOUGH_MEMORY, L"probe"); };
    VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    PathSet targets{tree}, exclusions, extensions;
    trg_paths_check_and_adjustment(targets, exclusions);
    FileObjectMap files;
    EXPECT_EQ(vrtest::ErrorCodeOf([&] {
                  targets_review(abort.get(), targets, exclusions, extensions, L"OP", L"S-1-5-21-1", files);
              }),
              0u);
    EXPECT_EQ(files.size(), 51u);
}

// The reference document's computer record is meant to be masked, but the
// mask's "." stops at the line ends the writer puts inside the record: the
// host's name and addresses stay in the reference.
TEST(FastScanProbe, DISABLED_ComputerRecordMaskSpansLines) {
    const std::string document = "<Computer>\r\n    <NetworkName>VM</NetworkName>\r\n  </Computer>";
    EXPECT_EQ(std::regex_replace(document, std::regex("<Computer>.*</Computer>"), "<Computer/>"), "<Computer/>");
}

} // namespace
