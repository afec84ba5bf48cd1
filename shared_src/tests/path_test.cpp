#include "path_ops.h"
#include "vol_ops.h"

#include "support/test_support.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(PathOps, RelationOfPaths) {
    int r = 99;
    EXPECT_FALSE(compare_paths(L"C:\\ab", L"C:\\abc", r));
    EXPECT_TRUE(compare_paths(L"C:\\", L"C:\\Data", r));
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(compare_paths(L"C:\\Data\\x", L"c:\\DATA", r));
    EXPECT_EQ(r, 1);
    EXPECT_TRUE(compare_paths(L"C:\\Data", L"c:\\data", r));
    EXPECT_EQ(r, 0);
    EXPECT_FALSE(compare_paths(L"C:\\Data", L"D:\\Data", r));
}

// The one long-path form: a drive path gets "\\?\", a UNC path the UNC
// form, and a prefixed or device path stays as it is.
TEST(PathOps, LongPathForms) {
    EXPECT_EQ(long_path(L"C:\\Data\\a.txt"), L"\\\\?\\C:\\Data\\a.txt");
    EXPECT_EQ(long_path(L"\\\\server\\share\\a.txt"), L"\\\\?\\UNC\\server\\share\\a.txt");
    EXPECT_EQ(long_path(L"\\\\server\\share"), L"\\\\?\\UNC\\server\\share");
    EXPECT_EQ(long_path(L"\\\\?\\C:\\Data"), L"\\\\?\\C:\\Data");
    EXPECT_EQ(long_path(L"\\\\?\\UNC\\server\\share"), L"\\\\?\\UNC\\server\\share");
    EXPECT_EQ(long_path(L"\\\\.\\PhysicalDrive0"), L"\\\\.\\PhysicalDrive0");

    // A file far past MAX_PATH is reached through it.
    vrtest::TempDir dir;
    std::wstring deep = dir.path();
    for (int i = 0; i < 6; ++i) {
        deep += L"\\" + std::wstring(60, static_cast<wchar_t>(L'a' + i));
        ASSERT_TRUE(::CreateDirectoryW(long_path(deep).c_str(), nullptr));
    }
    bool exists = false;
    EXPECT_EQ(check_fo_existance(deep, exists), 0u);
    EXPECT_TRUE(exists);
    for (; deep.size() > dir.path().size(); deep.erase(deep.rfind(L'\\'))) ::RemoveDirectoryW(long_path(deep).c_str());
}

TEST(PathOps, ExpansionAndExistence) {
    EXPECT_THROW(expand_path(L""), VrBase::CVrError);
    wchar_t root[MAX_PATH];
    ::GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
    EXPECT_EQ(expand_path(L"%SystemRoot%\\System32"), std::wstring(root) + L"\\System32");
    EXPECT_EQ(expand_path(L"plain"), L"plain");

    vrtest::TempDir dir;
    bool exists = true;
    EXPECT_EQ(check_fo_existance(dir.path(), exists), 0u);
    EXPECT_TRUE(exists);
    EXPECT_EQ(check_fo_existance(dir.file(L"missing.txt"), exists), 0u);
    EXPECT_FALSE(exists);
    EXPECT_EQ(check_fo_existance(dir.file(L"no-such-folder\\file.txt"), exists), 3u)
        << "a missing parent is a failure, not an answer";
}

TEST(PathOps, AbortCheck) {
    VrBase::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_NO_THROW(mission_abort_required(event.get()));
    ::SetEvent(event.get());
    try {
        mission_abort_required(event.get());
        FAIL();
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), 1235u);
    }
}

TEST(VolOps, DrivesAndPlainFolders) {
    std::vector<std::wstring> fixed = get_local_fixed_drives();
    ASSERT_FALSE(fixed.empty());
    EXPECT_EQ(fixed.front(), L"C:\\");
    vrtest::TempDir dir;
    bool reparse = true;
    DWORD tag = 7;
    EXPECT_EQ(is_reparse_pnt(dir.path(), reparse, tag), 0u);
    EXPECT_FALSE(reparse);
    EXPECT_EQ(tag, 0u);
    bool unnamed = true;
    std::wstring volume = L"x";
    EXPECT_EQ(is_mount_pnt_2_unnamedvolume(dir.path(), unnamed, volume), 0u);
    EXPECT_FALSE(unnamed);
    EXPECT_TRUE(volume.empty());
    EXPECT_EQ(is_reparse_pnt(dir.file(L"missing"), reparse, tag), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // The volumes without a letter: whatever the machine has, none is a drive.
    for (const std::wstring& v : query_unnamed_volumes()) EXPECT_EQ(v.rfind(L"\\\\?\\Volume{", 0), 0u);
}

// Reparse data as FSCTL_GET_REPARSE_POINT returns it for a mount point.
std::vector<BYTE> MountPointData(const std::wstring& substitute, const std::wstring& print) {
    std::vector<BYTE> data(16 + (substitute.size() + print.size() + 2) * 2, 0);
    DWORD tag = 0xA0000003;
    memcpy(data.data(), &tag, 4);
    USHORT subOffset = 0, subLength = static_cast<USHORT>(substitute.size() * 2);
    USHORT printOffset = static_cast<USHORT>(subLength + 2), printLength = static_cast<USHORT>(print.size() * 2);
    memcpy(data.data() + 8, &subOffset, 2);
    memcpy(data.data() + 10, &subLength, 2);
    memcpy(data.data() + 12, &printOffset, 2);
    memcpy(data.data() + 14, &printLength, 2);
    memcpy(data.data() + 16, substitute.data(), subLength);
    memcpy(data.data() + 16 + printOffset, print.data(), printLength);
    return data;
}

TEST(VolOps, MountPointDecisionOnBuiltData) {
    const std::wstring guid = L"Volume{12345678-1234-1234-1234-1234567890ab}\\";
    std::vector<BYTE> data = MountPointData(L"\\??\\" + guid, L"");
    std::wstring name = mount_point_substitute_name(data.data(), data.size());
    EXPECT_EQ(name, L"\\??\\" + guid);

    VolumeSet unnamed{L"\\\\?\\" + guid};
    EXPECT_TRUE(is_unnamed_volume_target(name, unnamed));
    EXPECT_FALSE(is_unnamed_volume_target(name, VolumeSet{})) << "a volume with a letter is not in the set";
    EXPECT_FALSE(is_unnamed_volume_target(L"\\??", unnamed)) << "fewer than four characters";

    // Other tags and lengths that run past the data give no name.
    std::vector<BYTE> other = data;
    other[0] = 0x0C;
    EXPECT_EQ(mount_point_substitute_name(other.data(), other.size()), L"");
    EXPECT_EQ(mount_point_substitute_name(data.data(), 20), L"");
}

TEST(VolOps, PageFilesByTheSuffixRule) {
    const std::vector<std::wstring> entries = {L"\\??\\c:\\pagefile.sys"};
    EXPECT_TRUE(CPageFiles::matches(entries, L"C:\\pagefile.sys"));
    EXPECT_FALSE(CPageFiles::matches(entries, L"C:\\other\\pagefile.sys"));
    EXPECT_FALSE(CPageFiles::matches(entries, L"D:\\pagefile.sys"));

    // And as read from the registry, once per process (here read again).
    vrtest::RegKeyScope product(L"SOFTWARE\\Calderis\\Varnel Studio");
    product.SetString(nullptr, L"ProductLocale", L"en-US");
    const wchar_t value[] = L"\\??\\C:\\pagefile.sys\0\\??\\D:\\swap\\PAGEFILE.SYS\0";
    vrtest::RegValueScope pages(L"System\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
                                L"ExistingPageFiles", REG_MULTI_SZ, value, sizeof(value));
    CPageFiles::reset_for_tests();
    VrBase::scope_exit forget([] { CPageFiles::reset_for_tests(); });
    EXPECT_TRUE(CPageFiles::instance().is_pagefile(L"C:\\pagefile.sys"));
    EXPECT_TRUE(CPageFiles::instance().is_pagefile(L"d:\\swap\\pagefile.sys"));
    EXPECT_FALSE(CPageFiles::instance().is_pagefile(L"C:\\Data\\pagefile.sys"));
}

} // namespace
