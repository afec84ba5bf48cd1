#pragma once
// Scan targets: from the configured sets to checked folders, and the walk
// that collects every accepted file.
#include "ssr_file_object.h"
#include "vol_ops.h"

#include <windows.h>
#include <functional>
#include <set>
#include <string>

// Case-insensitive ordering of the path sets, in the program's C locale.
struct strings_compare_insensitive {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};
using PathSet = std::set<std::wstring, strings_compare_insensitive>;
// The volume names of the unnamed-volume mount points the walk is inside.
using ReparseRingSet = VolumeSet;

constexpr const wchar_t* kScanAllLocals = L"<scan_all_locals>";

// Told the path of each configured target removed because it is missing
// or cannot be walked.
using TargetReport = std::function<void(const std::wstring& target)>;

// Normalises both sets, expands "<scan_all_locals>", drops excluded
// targets, removes missing and unwalkable ones (each traced and reported).
void trg_paths_check_and_adjustment(PathSet& targets, PathSet& exclusions,
                                    const TargetReport& removed = TargetReport());
// Its part that depends on the sets alone (the file system is not asked):
// normalised, "<scan_all_locals>" expanded (then true). Raises what
// expand_path raises for an entry.
bool adjust_scan_sets(PathSet& targets, PathSet& exclusions);
// Raises 87, traced with the entry, for a configured entry that would make
// every target check fail; the sets as the settings hold them.
void check_scan_entries(const PathSet& targets, const PathSet& exclusions);
void normalise_path_set(PathSet& paths);
void collapse_nested_exclusions(PathSet& exclusions);
void drop_excluded_targets(PathSet& targets, const PathSet& exclusions);

// What the walk asks about reparse points. The system's answers by
// default; a test answers for junctions and mount points Wine cannot make.
struct IReparseQuery {
    virtual ~IReparseQuery() = default;
    virtual DWORD reparse_point(const std::wstring& path, bool& isReparse, DWORD& tag) const = 0;
    virtual DWORD unnamed_volume_mount(const std::wstring& path, bool& isUnnamed, std::wstring& volume) const = 0;
};
const IReparseQuery& system_reparse_query();

// Walks every target into the map; raises only the abort (1235).
void targets_review(HANDLE abortEvent, const PathSet& targets, const PathSet& exclusions, const PathSet& extensions,
                    const std::wstring& operationId, const std::wstring& userSid, FileObjectMap& files,
                    const IReparseQuery& reparse = system_reparse_query());
// One folder and everything below it, depth-first in the order the file
// system lists entries.
void path_review(HANDLE abortEvent, const std::wstring& folder, PathSet& exclusions, const PathSet& extensions,
                 ReparseRingSet& ring, const std::wstring& operationId, const std::wstring& userSid,
                 FileObjectMap& files, const IReparseQuery& reparse = system_reparse_query());
