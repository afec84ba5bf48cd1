// Reproductions of faults found in the fast scan, kept disabled until they
// are fixed: run with --gtest_also_run_disabled_tests.
#include "ssr_file_info.h"
#include "ssr_path_review.h"

#include "file_ver_helper.h"
#include "version_block.h"
#include "scan_test_support.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

using scantest::MakeDir;
using scantest::MakeFile;

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

struct FindTraits {
    using type = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { ::FindClose(h); }
};

// An image whose one version resource the platform's lookup does not find
// (its directory ids out of order, or counted among the named entries) has
// no version for the platform; read straight from the file it gets texts.
// The other images of the folder read the same both ways.
TEST(FastScanProbe, DISABLED_VersionFoundOnlyWhereThePlatformFindsIt) {
    scantest::ProductLocale locale(L"en-US");
    const std::wstring folder = vrtest::ModuleFolder() + L"lookup\\";
    WIN32_FIND_DATAW entry;
    VrBase::unique_resource<FindTraits> search(::FindFirstFileW((folder + L"*.dll").c_str(), &entry));
    ASSERT_TRUE(search);
    size_t compared = 0;
    do {
        const std::wstring path = folder + entry.cFileName;
        const std::string name = Narrow(entry.cFileName);
        std::vector<BYTE> fast, platform;
        const bool fastFound = get_version_info(path, fast);
        const bool platformFound = get_version_info_from_platform(path, platform);
        ++compared;
        EXPECT_EQ(fastFound, platformFound) << name;
        if (fastFound && platformFound) {
            const size_t extent = version_block_extent(platform.data(), platform.size());
            EXPECT_EQ(version_block_extent(fast.data(), fast.size()), extent) << name;
            EXPECT_TRUE(fast.size() >= extent && std::equal(platform.begin(), platform.begin() + extent, fast.begin()))
                << name;
        }
        if (!platformFound) {
            _SSR_FILE_OBJECT_INFO info;
            ASSERT_EQ(query_file_info(path, info), 0u) << name;
            EXPECT_EQ(info.company_name, L"") << name;
        }
    } while (::FindNextFileW(search.get(), &entry));
    EXPECT_GE(compared, 8u);
}

// The version functions' copy leaves room after the block; a copy of the
// resource alone ends where the block does. The platform's query then reads
// past it: for a root with two bytes of padding after its last child it
// takes the padding for a child and reads that child's key beyond the end
// (here, with "VarFileInfo" written there, it answers a node that lies
// wholly outside the block). Read from the scan's own copy, those bytes lie
// past the end of its heap buffer.
TEST(FastScanProbe, DISABLED_QueriesStayInsideTheCopiedBlock) {
    std::vector<BYTE> block;
    ASSERT_TRUE(get_version_info(vrtest::ModuleFolder() + L"lookup\\padded.dll", block));
    const size_t extent = version_block_extent(block.data(), block.size());
    std::vector<BYTE> after(block.begin(), block.begin() + extent);
    const WORD header[] = {0, 1};  // the padding child's value length and type
    const wchar_t key[] = L"VarFileInfo";
    after.insert(after.end(), reinterpret_cast<const BYTE*>(header), reinterpret_cast<const BYTE*>(header + 2));
    after.insert(after.end(), reinterpret_cast<const BYTE*>(key), reinterpret_cast<const BYTE*>(key + 12));
    void* data = nullptr;
    UINT length = 0;
    const BOOL found = ::VerQueryValueW(after.data(), L"\\VarFileInfo", &data, &length);
    EXPECT_FALSE(found) << "the query read " << (static_cast<BYTE*>(data) - after.data()) - extent
                        << " bytes past the block, which ends the scan's buffer (" << block.size() << " bytes)";
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
