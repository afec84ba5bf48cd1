#pragma once
// Volumes, drives, reparse points and page files.
#include "vrbase/scope.h"

#include <windows.h>
#include <set>
#include <string>
#include <vector>

// The reparse tag of a mount point (a volume mounted in a folder, or a junction).
constexpr DWORD kMountPointTag = IO_REPARSE_TAG_MOUNT_POINT;

struct WcsICmpLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};
using VolumeSet = std::set<std::wstring, WcsICmpLess>;

// Opens the path itself, not what a reparse point leads to.
VrBase::unique_hfile open_reparse_by_ntcreate(const std::wstring& path);

// 0 or the failure's code; outputs keep what was set before a failure.
DWORD is_reparse_pnt(const std::wstring& path, bool& isReparse, DWORD& tag);
DWORD is_mount_pnt_2_unnamedvolume(const std::wstring& path, bool& isUnnamed, std::wstring& volumeName);

// The reparse data of a mount point: its substitute name, as stored
// (\??\Volume{GUID}\); empty when the data is not a mount point's.
std::wstring mount_point_substitute_name(const BYTE* data, size_t size);
// Whether a substitute name leads to one of the volumes without a letter.
bool is_unnamed_volume_target(const std::wstring& substituteName, const VolumeSet& unnamed);

VolumeSet query_unnamed_volumes();
std::vector<std::wstring> get_volumes_names();
std::vector<std::wstring> get_local_fixed_drives();

// The page files of the machine, read once per process.
class CPageFiles {
public:
    CPageFiles();
    static const CPageFiles& instance();
    // Read the list again at the next use; for tests that change it.
    static void reset_for_tests();
    bool is_pagefile(const std::wstring& path) const;
    // The suffix rule over a given list of lower-cased entries.
    static bool matches(const std::vector<std::wstring>& entries, const std::wstring& path);

private:
    std::vector<std::wstring> m_entries;
};
