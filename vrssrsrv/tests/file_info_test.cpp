#include "ssr_file_info.h"

#include "file_ver_helper.h"
#include "version_block.h"
#include "scan_test_support.h"
#include "vrbase/vr_error.h"
#include "vrbasecrypt/gost_r_3411_1994.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using scantest::MakeFile;

std::string Pattern(size_t n, size_t from = 0) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(((i + from) * 31 + 7) & 0xFF);
    return s;
}

// Checksum texts of these contents, from rhash --gost94 (reversed, upper case).
const wchar_t kEmpty[] = L"8D0F49492C91F45A68FF5C05D2C2B4AB78027B9AAB5CE3FEFF5267C49CB985CE";
const wchar_t kOneMiBPlusOne[] = L"90A9DA378CFFEEA39A40517CAD25F7D7CD91230679DE1AF3E147AD12C4B73D27";
const wchar_t kTwoRanges[] = L"68B8E29A2150C13A2910D04A5568C8202AA209FF0250AC70B1C2729157BFBA9F";

TEST(FileChecksum, EmptyAndOneMiBPlusOneMatchTheIndependentHash) {
    vrtest::TempDir dir;
    MakeFile(dir.file(L"empty.bin"), "");
    MakeFile(dir.file(L"big.bin"), Pattern(1048577));
    _SSR_FILE_OBJECT_INFO empty, big;
    ASSERT_EQ(calc_file_checksum(dir.file(L"empty.bin"), empty), 0u);
    ASSERT_EQ(calc_file_checksum(dir.file(L"big.bin"), big), 0u);
    EXPECT_EQ(empty.checksum, kEmpty);
    EXPECT_EQ(empty.size, 0u);
    EXPECT_EQ(big.checksum, kOneMiBPlusOne);
    EXPECT_EQ(big.size, 1048577u);
    EXPECT_EQ(big.change_time.size(), 24u);
    EXPECT_EQ(big.change_time.substr(big.change_time.size() - 5), L".000Z");
}

// Holes are left out: the hash is that of the allocated ranges joined.
TEST(FileChecksum, SparseRangesOnBuiltData) {
    vrtest::TempDir dir;
    std::string content = Pattern(100) + std::string(4096 - 100, '\0') + Pattern(100, 4096);
    MakeFile(dir.file(L"sparse.bin"), content);
    VrBase::unique_hfile file(::CreateFileW(dir.file(L"sparse.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    const AllocatedRange ranges[] = {{0, 100}, {4096, 100}};
    int asked = 0;
    AllocatedRangeQuery query = [&](HANDLE, unsigned long long offset, unsigned long long, AllocatedRange& range) {
        EXPECT_EQ(offset, asked == 0 ? 0u : 100u) << "the next query starts after the last range";
        range = ranges[asked];
        return ++asked < 2 ? static_cast<DWORD>(ERROR_MORE_DATA) : 0u;
    };
    GOST_R_3411_1994::CAccumulativeHash hash(nullptr, GOST_R_3411_1994::test_param_block());
    hash_allocated_ranges(file.get(), content.size(), query, hash);
    BYTE digest[32];
    hash.Finish(digest, sizeof(digest));
    EXPECT_EQ(GOST_R_3411_1994::checksum_text(digest), kTwoRanges);

    // No allocated range at all: the hash of empty input.
    GOST_R_3411_1994::CAccumulativeHash none(nullptr, GOST_R_3411_1994::test_param_block());
    hash_allocated_ranges(file.get(), content.size(),
                          [](HANDLE, unsigned long long, unsigned long long, AllocatedRange& r) {
                              r = {0, 0};
                              return 0u;
                          },
                          none);
    none.Finish(digest, sizeof(digest));
    EXPECT_EQ(GOST_R_3411_1994::checksum_text(digest), kEmpty);

    // A range that does not move on is refused rather than looped on.
    GOST_R_3411_1994::CAccumulativeHash stuck(nullptr, GOST_R_3411_1994::test_param_block());
    EXPECT_THROW(hash_allocated_ranges(file.get(), content.size(),
                                       [](HANDLE, unsigned long long, unsigned long long, AllocatedRange& r) {
                                           r = {0, 0};
                                           return static_cast<DWORD>(ERROR_MORE_DATA);
                                       },
                                       stuck),
                 VrBase::CVrError);
}

// A file that ends before the size measured (it shrank while being read)
// fails its checksum instead of passing off a prefix's hash as the file's.
TEST(FileChecksum, FileEndingBeforeItsSizeFails) {
    vrtest::TempDir dir;
    MakeFile(dir.file(L"short.bin"), Pattern(10));
    VrBase::unique_hfile file(::CreateFileW(dir.file(L"short.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    GOST_R_3411_1994::CAccumulativeHash hash(nullptr, GOST_R_3411_1994::test_param_block());
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { calc_file_region_checksum(file.get(), 20, hash); }),
              static_cast<DWORD>(ERROR_HANDLE_EOF));
}

// A file another handle is writing keeps its place, without checksum, and
// is reported at stage 104; the others are hashed.
TEST(FileChecksum, LockedFileStaysWithoutChecksumAndIsReported) {
    vrtest::TempDir dir;
    scantest::RecordingSink sink;
    MakeFile(dir.file(L"a.bin"), "");
    MakeFile(dir.file(L"locked.bin"), "data");
    MakeFile(dir.file(L"z.bin"), "");
    VrBase::unique_hfile writer(::CreateFileW(dir.file(L"locked.bin").c_str(), GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    FileObjectMap files{{dir.file(L"a.bin"), {}}, {dir.file(L"locked.bin"), {}}, {dir.file(L"z.bin"), {}}};
    VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    calc_fo_checksums(abort.get(), L"OP-ID", L"S-1-5-21-1", files);

    EXPECT_EQ(files[dir.file(L"a.bin")].checksum, kEmpty);
    EXPECT_EQ(files[dir.file(L"z.bin")].checksum, kEmpty);
    EXPECT_TRUE(files[dir.file(L"locked.bin")].checksum.empty());
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0], std::make_tuple(std::wstring(L"OP-ID"), DWORD(104), dir.file(L"locked.bin"), DWORD(106),
                                              std::wstring(L"S-1-5-21-1")));
}

// An abort that is already set stops the pass before any file is read.
TEST(FileChecksum, AbortSetBeforeThePassHashesNothing) {
    vrtest::TempDir dir;
    scantest::RecordingSink sink;
    VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    MakeFile(dir.file(L"a.bin"), "");
    MakeFile(dir.file(L"b.bin"), "");
    FileObjectMap files{{dir.file(L"a-missing.bin"), {}}, {dir.file(L"a.bin"), {}}, {dir.file(L"b.bin"), {}}};
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { calc_fo_checksums(abort.get(), L"OP", L"S", files); }), 1235u);
    EXPECT_TRUE(files[dir.file(L"a.bin")].checksum.empty());
    EXPECT_TRUE(files[dir.file(L"b.bin")].checksum.empty());
    EXPECT_TRUE(sink.events.empty());
}

std::wstring TestDll(const wchar_t* name) { return vrtest::ModuleFolder() + name; }

// The version block read straight from a file reads the same as the one
// the platform's version functions copy: over every image of the system
// folder, the test libraries and the crafted hostile files, the same
// answer, the same bytes up to the block's length, or the same failure.
TEST(VersionResource, ReadFromTheFileEqualsThePlatformsCopy) {
    std::vector<std::wstring> images;
    auto addFolder = [&](const std::wstring& folder, size_t most) {
        WIN32_FIND_DATAW entry;
        HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) return;
        size_t taken = 0;
        do {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && taken++ < most)
                images.push_back(folder + L"\\" + entry.cFileName);
        } while (::FindNextFileW(search, &entry));
        ::FindClose(search);
    };
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    addFolder(system, 2000);
    addFolder(vrtest::ModuleFolder() + L"crafted", 100);
    for (const wchar_t* dll : {L"vr_test_ver_ru_en.dll", L"vr_test_ver_ctrl.dll", L"vr_test_ver_notrans.dll"})
        images.push_back(TestDll(dll));

    size_t withBlock = 0;
    for (const std::wstring& image : images) {
        std::vector<BYTE> fast, platform;
        bool fastFound = false, platformFound = false;
        const DWORD fastError = vrtest::ErrorCodeOf([&] { fastFound = get_version_info(image, fast); });
        const DWORD platformError =
            vrtest::ErrorCodeOf([&] { platformFound = get_version_info_from_platform(image, platform); });
        ASSERT_EQ(fastError, platformError) << std::string(image.begin(), image.end());
        ASSERT_EQ(fastFound, platformFound) << std::string(image.begin(), image.end());
        if (!fastFound) continue;
        ++withBlock;
        const size_t extent = version_block_extent(platform.data(), platform.size());
        ASSERT_EQ(version_block_extent(fast.data(), fast.size()), extent) << std::string(image.begin(), image.end());
        EXPECT_TRUE(std::equal(fast.begin(), fast.begin() + extent, platform.begin()))
            << std::string(image.begin(), image.end());
    }
    EXPECT_GT(withBlock, 20u) << "too few images with a version block to compare";
}

TEST(FileInfo, RussianProductTakesTheRussianTranslation) {
    scantest::ProductLocale locale(L"ru-RU");
    _SSR_FILE_OBJECT_INFO info;
    ASSERT_EQ(query_file_info(TestDll(L"vr_test_ver_ru_en.dll"), info), 0u);
    EXPECT_EQ(info.company_name, L"\x0412\x0430\x0440\x043D\x0435\x043B");
    EXPECT_EQ(info.file_version, L"1.2.3.4");
    EXPECT_EQ(info.product_version, L"1.2");
    EXPECT_EQ(info.type, L"\x0414\x0438\x043D\x0430\x043C\x0438\x0447\x0435\x0441\x043A\x0430\x044F "
                         L"\x0431\x0438\x0431\x043B\x0438\x043E\x0442\x0435\x043A\x0430");
    EXPECT_TRUE(info.checksum.empty()) << "checksums come after the walk";
}

TEST(FileInfo, EnglishProductTexts) {
    scantest::ProductLocale locale(L"en-US");
    _SSR_FILE_OBJECT_INFO info;
    ASSERT_EQ(query_file_info(TestDll(L"vr_test_ver_ru_en.dll"), info), 0u);
    EXPECT_EQ(info.company_name, L"Varnel");
    EXPECT_EQ(info.description, L"Test library");
    EXPECT_EQ(info.product_name, L"Passport");
    EXPECT_EQ(info.type, L"Dynamic-link library");

    _SSR_FILE_OBJECT_INFO ctrl;
    ASSERT_EQ(query_file_info(TestDll(L"vr_test_ver_ctrl.dll"), ctrl), 0u);
    EXPECT_EQ(ctrl.description, L"Tabhereand break") << "control characters are dropped";
    EXPECT_EQ(ctrl.type, L"Application");

    _SSR_FILE_OBJECT_INFO noTable;
    ASSERT_EQ(query_file_info(TestDll(L"vr_test_ver_notrans.dll"), noTable), 0u);
    EXPECT_EQ(noTable.company_name, L"No Table Inc.") << "1033/1252 without a translation table";
    EXPECT_EQ(noTable.type, L"Device driver");

    vrtest::TempDir dir;
    MakeFile(dir.file(L"readme.txt"));
    MakeFile(dir.file(L"LICENSE"));
    _SSR_FILE_OBJECT_INFO readme, license;
    ASSERT_EQ(query_file_info(dir.file(L"readme.txt"), readme), 0u);
    ASSERT_EQ(query_file_info(dir.file(L"LICENSE"), license), 0u);
    EXPECT_EQ(readme.type, L"Unknown (.txt)");
    EXPECT_TRUE(readme.file_version.empty());
    EXPECT_EQ(license.type, L"Unknown");
}

TEST(FileInfo, WithoutProductLocaleNothingIsCollected) {
    vrtest::RegKeyScope key(L"SOFTWARE\\Calderis\\Varnel Studio");
    i18n::reset_language_caches_for_tests();
    VrBase::scope_exit forget([] { i18n::reset_language_caches_for_tests(); });
    _SSR_FILE_OBJECT_INFO info;
    EXPECT_EQ(query_file_info(TestDll(L"vr_test_ver_ru_en.dll"), info), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// A version node in the 32-bit layout; valueLength overrides what it holds.
std::vector<BYTE> Node(const std::wstring& key, const std::vector<BYTE>& value, bool text,
                       const std::vector<std::vector<BYTE>>& children = {}, int valueLength = -1) {
    auto pad = [](std::vector<BYTE>& b) { b.resize((b.size() + 3) & ~size_t(3), 0); };
    std::vector<BYTE> node(6, 0);
    node[4] = text ? 1 : 0;
    for (wchar_t c : key + L'\0') node.insert(node.end(), {BYTE(c & 0xFF), BYTE(c >> 8)});
    pad(node);
    node.insert(node.end(), value.begin(), value.end());
    for (const auto& child : children) {
        pad(node);
        node.insert(node.end(), child.begin(), child.end());
    }
    const size_t declared = valueLength >= 0 ? size_t(valueLength) : text ? value.size() / 2 : value.size();
    node[0] = BYTE(node.size() & 0xFF), node[1] = BYTE(node.size() >> 8);
    node[2] = BYTE(declared & 0xFF), node[3] = BYTE(declared >> 8);
    return node;
}
std::vector<BYTE> Words(std::initializer_list<WORD> words) {
    std::vector<BYTE> b;
    for (WORD w : words) b.insert(b.end(), {BYTE(w & 0xFF), BYTE(w >> 8)});
    return b;
}

// Lengths that a version query hands back come from the file: a string or a
// translation table that claims more than the block holds is read no
// further than the block, whatever lies behind it in memory.
TEST(VersionBlock, ValuesAreReadNoFurtherThanTheBlock) {
    scantest::ProductLocale locale(L"en-US");
    const std::vector<BYTE> fixed(52, 0);
    const std::vector<BYTE> endless = Words({'E', 'n', 'd', 'l', 'e', 's', 's'});
    std::vector<BYTE> block = Node(
        L"VS_VERSION_INFO", fixed, false,
        {Node(L"VarFileInfo", {}, true, {Node(L"Translation", Words({0x0407, 0x04B0}), false, {}, 0xFFFF)}),
         Node(L"StringFileInfo", {}, true,
              {Node(L"040904b0", {}, true, {Node(L"CompanyName", endless, true, {}, 0xFFFF)})})});
    // Behind the block: text without a terminator, and translations that
    // would be chosen if they were read.
    const size_t extent = block.size();
    for (int i = 0; i < 0x10000; ++i) block.insert(block.end(), {0x09, 0x04, 0xE4, 0x04});

    ASSERT_EQ(block[extent - 2], 's') << "the block ends with the string, unterminated";
    EXPECT_EQ(choose_translation(block).language, 0x0407) << "the first entry: nothing behind the block is read";
    const std::wstring company = query_version_string(block, L"CompanyName", {0x0409, 0x04B0});
    EXPECT_TRUE(company == L"Endless") << company.size() << " characters";
}

} // namespace
