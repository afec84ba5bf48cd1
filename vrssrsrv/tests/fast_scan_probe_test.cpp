// Faults once found in the fast scan, each through the code that had it.
#include "ssr_file_info.h"
#include "ssr_path_review.h"

#include "file_ver_helper.h"
#include "pe_version_resource.h"
#include "scan_test_support.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <vector>

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
// no version for the platform, and must have none read straight from the
// file either. The other images of the folder read the same both ways.
// The file is read straight only where the platform is sure to read the
// same bytes: a sorted tree, yes; a tree across sections or an image with
// a satellite type ("MUI", whose texts Windows takes from the satellite),
// no.
TEST(FastScanProbe, VersionFoundOnlyWhereThePlatformFindsIt) {
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
            // The whole copy, the room after the block included.
            EXPECT_TRUE(fast == platform) << name;
        }
        if (!platformFound) {
            _SSR_FILE_OBJECT_INFO info;
            ASSERT_EQ(query_file_info(path, info), 0u) << name;
            EXPECT_EQ(info.company_name, L"") << name;
        }
    } while (::FindNextFileW(search.get(), &entry));
    EXPECT_GE(compared, 10u);

    // Real images, whose headers and resource trees lie anywhere in files of
    // any size, read the same both ways too.
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring systemFolder = std::wstring(system) + L"\\";
    size_t read = 0;
    for (const wchar_t* pattern : {L"*.dll", L"*.exe"}) {
        search.reset(::FindFirstFileW((systemFolder + pattern).c_str(), &entry));
        ASSERT_TRUE(search);
        do {
            const std::wstring path = systemFolder + entry.cFileName;
            std::vector<BYTE> fast, platform;
            const bool fastFound = get_version_info(path, fast);
            EXPECT_EQ(fastFound, get_version_info_from_platform(path, platform)) << Narrow(path);
            EXPECT_TRUE(fast == platform) << Narrow(path);
            read += fastFound;
        } while (::FindNextFileW(search.get(), &entry));
    }
    EXPECT_GE(read, 100u);

    const auto readStraight = [&](const wchar_t* name) {
        VrBase::unique_hfile file(::CreateFileW((folder + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        SoleVersionResource sole;
        EXPECT_EQ(inspect_version_resource(file.get(), &sole), VersionResourceState::Sound) << Narrow(name);
        return sole.found;
    };
    EXPECT_TRUE(readStraight(L"sorted.dll"));
    EXPECT_TRUE(readStraight(L"image32.dll"));
    EXPECT_TRUE(readStraight(L"straddling.dll"));
    EXPECT_FALSE(readStraight(L"mui-type.dll"));
    EXPECT_FALSE(readStraight(L"tree-across-sections.dll"));
    EXPECT_FALSE(readStraight(L"types-unsorted.dll"));
}

// The platform's query reads past a block's own length: for a root with
// two bytes of padding after its last child it takes the padding for a
// child and reads that child's key beyond the end. The version functions'
// copy leaves zeroed room there; a copy of the resource alone ends right
// at the block, and the query reads whatever follows the buffer (here
// "VarFileInfo", answering a node wholly outside the block).
TEST(FastScanProbe, QueriesStayInsideTheCopiedBlock) {
    const std::wstring path = vrtest::ModuleFolder() + L"lookup\\padded.dll";
    std::vector<BYTE> block, platform;
    ASSERT_TRUE(get_version_info(path, block));
    ASSERT_TRUE(get_version_info_from_platform(path, platform));
    EXPECT_EQ(block, platform);
    std::vector<BYTE> after(block);
    const WORD header[] = {0, 1};  // the padding child's value length and type
    const wchar_t key[] = L"VarFileInfo";
    after.insert(after.end(), reinterpret_cast<const BYTE*>(header), reinterpret_cast<const BYTE*>(header + 2));
    after.insert(after.end(), reinterpret_cast<const BYTE*>(key), reinterpret_cast<const BYTE*>(key + 12));
    void* data = nullptr;
    UINT length = 0;
    const BOOL found = ::VerQueryValueW(after.data(), L"\\VarFileInfo", &data, &length);
    EXPECT_FALSE(found) << "the query read " << (static_cast<BYTE*>(data) - after.data()) - block.size()
                        << " bytes past the block, beyond the scan's buffer (" << block.size() << " bytes)";
}

// A file's error event whose write fails costs the scan nothing else: in
// the walk, a bare failure would end the folder being walked (the files
// after it lost) or end the walk with an error other than the abort; in the
// checksum pass, it would end the pass before the files after it.
TEST(FastScanProbe, AFailingEventWriteLosesNoFiles) {
    scantest::ProductLocale locale(L"en-US");
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

    EXPECT_EQ(vrtest::ErrorCodeOf([&] { calc_fo_checksums(abort.get(), L"OP", L"S-1-5-21-1", files); }), 0u);
    EXPECT_EQ(sink.events.size(), 2u) << "one event each for the walk and the checksum";
    for (const auto& file : files) {
        if (file.first.find(L"a_locked") == std::wstring::npos) {
            EXPECT_FALSE(file.second.checksum.empty()) << Narrow(file.first);
        }
    }
}

// The reference document's computer record is meant to be masked, but the
// mask's "." stops at the line ends the writer puts inside the record: the
// host's name and addresses stay in the reference.
TEST(FastScanProbe, ComputerRecordMaskSpansLines) {
    const std::string document = "<Computer>\r\n    <NetworkName>VM</NetworkName>\r\n  </Computer>";
    EXPECT_EQ(scantest::MaskComputerRecord(document), "<Computer/>");
}

} // namespace
