#include "ssr_path_review.h"

#include "path_ops.h"
#include "ssr_file_info.h"
#include "ssr_scan_events.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <shlwapi.h>
#include <vector>

namespace {

struct find_traits {
    using type = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { ::FindClose(h); }
};
using unique_find = VrBase::unique_resource<find_traits>;

std::wstring child_path(const std::wstring& folder, const wchar_t* name) {
    std::wstring child = folder;
    if (child.empty() || child.back() != L'\\') child += L'\\';
    return child + name;
}

// The part of a name after its last "."; empty without one.
std::wstring extension_of(const wchar_t* name) {
    const wchar_t* dot = wcsrchr(name, L'.');
    return dot ? std::wstring(dot + 1) : std::wstring();
}

void review_entry(HANDLE abortEvent, const std::wstring& folder, const WIN32_FIND_DATAW& entry, PathSet& exclusions,
                  const PathSet& extensions, ReparseRingSet& ring, const std::wstring& operationId,
                  const std::wstring& userSid, FileObjectMap& files) {
    const wchar_t* const fn = L"path_review";
    if (_wcsicmp(entry.cFileName, L".") == 0 || _wcsicmp(entry.cFileName, L"..") == 0) return;
    const std::wstring child = child_path(folder, entry.cFileName);
    if (CPageFiles::instance().is_pagefile(child)) return;

    bool reparse = false;
    DWORD tag = 0;
    if (is_reparse_pnt(child, reparse, tag) != 0) {
        VR_TRACE(VrBase::TL_WARNING, fn, L"FO <%ls> check reparse pnt failed.", child.c_str());
        return;
    }
    if (reparse) {
        // Only mount points of volumes without a letter are entered: the
        // rest (junctions, links, lettered volumes) lead where a scan goes anyway.
        if (tag != kMountPointTag) return;
        bool unnamed = false;
        std::wstring volume;
        if (is_mount_pnt_2_unnamedvolume(child, unnamed, volume) != 0) {
            VR_TRACE(VrBase::TL_WARNING, fn, L"FO <%ls> check reparse pnt is unnamed volume failed.", child.c_str());
            return;
        }
        if (!unnamed) return;
        if (ring.count(volume)) {
            VR_TRACE(VrBase::TL_DETAIL, fn, L" >> reparse point ring found << <%ls>", volume.c_str());
            return;
        }
        ring.insert(volume);
        VrBase::scope_exit leave([&] { ring.erase(volume); });
        path_review(abortEvent, child, exclusions, extensions, ring, operationId, userSid, files);
        return;
    }

    DWORD attributes = ::GetFileAttributesW(long_path(child).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        VR_TRACE(VrBase::TL_WARNING, fn, L"FO <%ls> err get attributes %d", child.c_str(),
                 static_cast<int>(::GetLastError()));
        return;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        path_review(abortEvent, child, exclusions, extensions, ring, operationId, userSid, files);
        return;
    }

    CScanErrorEvtReg errorEvent(operationId, userSid, child, SSR_STAGE_COLLECT_FILE, SSR_REASON_ONE_FILE);
    if (!extensions.empty() && !extensions.count(extension_of(entry.cFileName))) {
        errorEvent.disarm();
        return;
    }
    _SSR_FILE_OBJECT_INFO info;
    if (query_file_info(child, info) != 0)
        VR_TRACE(VrBase::TL_WARNING, fn, L"FO <%ls> query file ssr info failed.", child.c_str());
    else
        files.emplace(child, std::move(info));
    errorEvent.disarm();
}

void review_folder(HANDLE abortEvent, const std::wstring& folder, PathSet& exclusions, const PathSet& extensions,
                   ReparseRingSet& ring, const std::wstring& operationId, const std::wstring& userSid,
                   FileObjectMap& files) {
    const wchar_t* const fn = L"path_review";
    for (auto it = exclusions.begin(); it != exclusions.end(); ++it) {
        int relation = 0;
        if (compare_paths(folder, *it, relation) && relation >= 0) {
            exclusions.erase(it);  // met once, it cannot be met again on this walk
            return;
        }
    }

    const std::wstring pattern = long_path(folder) + (folder.back() == L'\\' ? L"*" : L"\\*");
    WIN32_FIND_DATAW entry;
    unique_find search(::FindFirstFileW(pattern.c_str(), &entry));
    if (!search) {
        const DWORD error = ::GetLastError();
        bool reparse = false;
        DWORD tag = 0;
        if (is_reparse_pnt(long_path(folder), reparse, tag) != 0)
            VR_TRACE(VrBase::TL_WARNING, fn, L"FO <%ls> check reparse pnt on find file error failed.",
                     long_path(folder).c_str());
        if (reparse) return;
        VR_TRACE(VrBase::TL_WARNING, fn, L"can't open for search: %ls", pattern.c_str());
        VR_RAISE(error, fn);
    }
    do {
        review_entry(abortEvent, folder, entry, exclusions, extensions, ring, operationId, userSid, files);
    } while (::FindNextFileW(search.get(), &entry));
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        VR_TRACE(VrBase::TL_WARNING, fn, L"FO <%ls> travers failed. Err %d", pattern.c_str(), static_cast<int>(error));
        VR_RAISE(error, fn);
    }
}

// Expands each entry, drops those that come out empty, and removes one
// trailing backslash.
PathSet expanded_without_trailing_backslash(const PathSet& paths) {
    PathSet out;
    for (const std::wstring& p : paths) {
        std::wstring e = expand_path(p);
        if (!e.empty() && e.back() == L'\\') e.pop_back();
        if (!e.empty()) out.insert(e);
    }
    return out;
}

} // namespace

bool strings_compare_insensitive::operator()(const std::wstring& a, const std::wstring& b) const {
    return _wcsicmp_l(a.c_str(), b.c_str(), path_locale()) < 0;
}

void normalise_path_set(PathSet& paths) {
    PathSet out;
    for (const std::wstring& p : paths) {
        std::wstring e = expand_path(p);
        if (e.empty()) continue;
        for (wchar_t& c : e)
            if (c == L'/') c = L'\\';
        if (e.size() == 2 && e[1] == L':') e += L'\\';
        if (!::PathIsRootW(e.c_str()) && e.back() == L'\\') e.pop_back();
        if (e.empty()) continue;
        out.insert(e);
    }
    paths.swap(out);
}

void collapse_nested_exclusions(PathSet& exclusions) {
    PathSet set = expanded_without_trailing_backslash(exclusions);
    for (auto e = set.begin(); e != set.end();) {
        bool eRemoved = false;
        for (auto f = std::next(e); f != set.end();) {
            int relation = 0;
            if (!compare_paths(*e, *f, relation)) {
                ++f;
            } else if (relation == -1) {
                f = set.erase(f);
            } else {
                e = set.erase(e);
                eRemoved = true;
                break;
            }
        }
        if (!eRemoved) ++e;
    }
    exclusions.swap(set);
}

void drop_excluded_targets(PathSet& targets, const PathSet& exclusions) {
    for (const std::wstring& e : exclusions)
        for (auto t = targets.begin(); t != targets.end();) {
            int relation = 0;
            if (compare_paths(e, *t, relation) && relation <= 0)
                t = targets.erase(t);
            else
                ++t;
        }
}

void trg_paths_check_and_adjustment(PathSet& targets, PathSet& exclusions) {
    const wchar_t* const fn = L"trg_paths_check_and_adjustment";
    collapse_nested_exclusions(exclusions);
    normalise_path_set(exclusions);

    if (targets.count(kScanAllLocals)) {
        targets.clear();
        for (const std::wstring& root : get_local_fixed_drives()) targets.insert(root);
        drop_excluded_targets(targets, exclusions);
        return;
    }

    normalise_path_set(targets);
    for (auto t = targets.begin(); t != targets.end();) {
        bool exists = false;
        const wchar_t* problem = nullptr;
        if (check_fo_existance(*t, exists) != 0) {
            problem = L"software scan path <%ls> check failed! The path is removed.";
        } else if (!exists) {
            problem = L"software scan path <%ls> not exist! The path is removed.";
        } else {
            bool reparse = false;
            DWORD tag = 0;
            if (is_reparse_pnt(*t, reparse, tag) != 0)
                problem = L"software scan path <%ls> reparse point check failed! The path is removed.";
            else if (reparse && tag != kMountPointTag)
                problem = L"software scan path <%ls> is not mount point! The path is removed.";
        }
        if (problem) {
            VR_TRACE(VrBase::TL_WARNING, fn, problem, t->c_str());
            t = targets.erase(t);
        } else {
            ++t;
        }
    }
    drop_excluded_targets(targets, exclusions);
}

void path_review(HANDLE abortEvent, const std::wstring& folder, PathSet& exclusions, const PathSet& extensions,
                 ReparseRingSet& ring, const std::wstring& operationId, const std::wstring& userSid,
                 FileObjectMap& files) {
    mission_abort_required(abortEvent);
    try {
        review_folder(abortEvent, folder, exclusions, extensions, ring, operationId, userSid, files);
    } catch (VrBase::CVrError& e) {
        if (e.GetCode() == ERROR_REQUEST_ABORTED) throw;
        VrBase::HandleCurrentException(L"path_review");
    } catch (...) {
        VrBase::HandleCurrentException(L"path_review");
    }
}

void targets_review(HANDLE abortEvent, const PathSet& targets, const PathSet& exclusions, const PathSet& extensions,
                    const std::wstring& operationId, const std::wstring& userSid, FileObjectMap& files) {
    const wchar_t* const fn = L"targets_review";
    VR_TRACE(VrBase::TL_INFO, fn, L"Scan started!");
    ReparseRingSet ring;
    for (const std::wstring& target : targets) {
        VR_TRACE(VrBase::TL_INFO, fn, L"Scan path <%ls>", target.c_str());
        PathSet own;
        for (const std::wstring& e : exclusions) {
            int relation = 0;
            if (compare_paths(target, e, relation) && relation == -1) own.insert(e);
        }
        VR_TRACE(VrBase::TL_INFO, fn, L" Exclusions: %ls", own.empty() ? L"there are no exclusions entries." : L" ");
        for (const std::wstring& e : own) VR_TRACE(VrBase::TL_INFO, fn, L"   %ls", e.c_str());
        path_review(abortEvent, target, own, extensions, ring, operationId, userSid, files);
    }
}
