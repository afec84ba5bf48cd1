#include "ssr_path_review.h"

#include "path_ops.h"
#include "ssr_backup_read.h"
#include "ssr_file_info.h"
#include "ssr_folder_listing.h"
#include "ssr_ordered_pass.h"
#include "ssr_scan_events.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <shlwapi.h>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace {

std::wstring child_path(const std::wstring& folder, const wchar_t* name) {
    std::wstring child = folder;
    if (child.empty() || child.back() != L'\\') child += L'\\';
    return child + name;
}

// A folder removed since its parent was listed hides nothing.
bool vanished(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// The part of a name after its last "."; empty without one.
std::wstring extension_of(const wchar_t* name) {
    const wchar_t* dot = wcsrchr(name, L'.');
    return dot ? std::wstring(dot + 1) : std::wstring();
}

class CSystemReparseQuery : public IReparseQuery {
public:
    DWORD reparse_point(const std::wstring& path, bool& isReparse, DWORD& tag) const override {
        return is_reparse_pnt(path, isReparse, tag);
    }
    DWORD unnamed_volume_mount(const std::wstring& path, bool& isUnnamed, std::wstring& volume) const override {
        return is_mount_pnt_2_unnamedvolume(path, isUnnamed, volume);
    }
};

// The files the walk accepts, queried on every processor while the walk
// goes on; each file's entry is made in the map when it is found, and a
// file that cannot be queried is reported (stage 103) in the order found.
class CCollector {
public:
    CCollector(HANDLE abortEvent, const std::wstring& operationId, const std::wstring& userSid, FileObjectMap& files)
        : m_operationId(operationId), m_userSid(userSid), m_files(files),
          m_abort(abortEvent), m_buffers(scan_worker_count()),
          m_work(abortEvent, static_cast<unsigned>(m_buffers.size()),
                 [this](size_t i, unsigned worker) { return query(i, worker); }, [this](size_t i) { report(i); },
                 backup_reading_starter()) {}

    void collect(const std::wstring& path, const WIN32_FIND_DATAW& entry) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto made = m_files.emplace(path, _SSR_FILE_OBJECT_INFO());
            std::unique_ptr<std::wstring> again(made.second ? nullptr : new std::wstring(path));
            m_jobs.push_back(Job{made.second ? &*made.first : nullptr, std::move(again), entry.nFileSizeHigh,
                                 entry.nFileSizeLow, entry.ftLastWriteTime});
        }
        m_work.added(m_jobs.size());
        m_work.report_done();
    }
    // A folder, or a configured target, whose content the scan cannot see:
    // reported at once, so the document is never taken for whole.
    void unseen(const std::wstring& path) {
        reg_evt_file_error(m_operationId, SSR_STAGE_COLLECT_FILE, path, m_userSid);
    }
    // A walk that ends by an exception (an abort) still reports the files
    // already found unqueryable, as a walk that queried each at once did.
    ~CCollector() {
        if (m_finished) return;
        VrBase::GuardVoid(L"path_review", [&] {
            m_work.stop_and_join();
            m_work.report_done();
        });
    }
    void finish() {
        m_finished = true;
        m_work.finish();
    }

private:
    struct Job {
        FileObjectMap::value_type* file;  // null when the path was collected before
        std::unique_ptr<std::wstring> again;
        DWORD sizeHigh, sizeLow;
        FILETIME written;
    };

    Job& job(size_t index) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_jobs[index];
    }
    static const std::wstring& path_of(const Job& j) { return j.file ? j.file->first : *j.again; }

    // One open serves the version texts and, while the file is at hand, its
    // checksum: a file opened twice costs twice under some systems.
    bool query(size_t index, unsigned worker) {
        Job& j = job(index);
        const std::wstring& path = path_of(j);
        _SSR_FILE_OBJECT_INFO info;
        const VrBase::unique_hfile file = open_for_collection(path);
        const bool queried = query_file_info(path, file ? file.get() : nullptr, info) == 0;
        if (!queried) {
            // A file that cannot be queried still belongs in the passport,
            // with what its folder listing tells.
            VR_TRACE(VrBase::TL_WARNING, L"path_review", L"FO <%ls> query file ssr info failed.", path.c_str());
            WIN32_FIND_DATAW listed{};
            listed.nFileSizeHigh = j.sizeHigh;
            listed.nFileSizeLow = j.sizeLow;
            listed.ftLastWriteTime = j.written;
            info = listed_file_info(path, listed);
        }
        if (!j.file) return queried;
        // A checksum that fails here is left to the checksum pass, which
        // tries again and reports the file in the map's order.
        if (file) calc_file_checksum(file.get(), info, m_buffers[worker], m_abort);
        j.file->second = std::move(info);
        return queried;
    }
    void report(size_t index) {
        reg_evt_file_error(m_operationId, SSR_STAGE_COLLECT_FILE, path_of(job(index)), m_userSid);
    }

    const std::wstring& m_operationId;
    const std::wstring& m_userSid;
    FileObjectMap& m_files;
    HANDLE m_abort;
    std::vector<CReadBuffer> m_buffers;  // one per worker
    std::mutex m_mutex;  // the map's shape and the job list
    std::deque<Job> m_jobs;
    bool m_finished = false;
    COrderedWork m_work;  // last: its workers stop before the rest goes
};

// One folder being walked: the length of its path (each folder's path
// begins with its parent's, so one string holds them all and a deep chain
// costs no more than its own path), its open search, and the ring entry it
// made when it was entered through an unnamed-volume mount point.
struct FolderSearch {
    size_t pathLength;
    std::wstring ringVolume;
    CFolderListing listing;
};

// Depth-first over an explicit stack of open searches: a folder chain as
// deep as the file system allows costs heap, not thread stack.
class CFolderWalk {
public:
    CFolderWalk(HANDLE abortEvent, PathSet& exclusions, const PathSet& extensions, ReparseRingSet& ring,
                CCollector& collector, const IReparseQuery& reparse)
        : m_abort(abortEvent), m_exclusions(exclusions), m_extensions(extensions), m_ring(ring),
          m_collector(collector), m_reparse(reparse) {}

    void run(const std::wstring& folder) {
        VrBase::scope_exit leaveRing([&] {
            while (!m_stack.empty()) pop();
        });
        m_path = folder;
        m_stack.push_back({m_path.size(), std::wstring(), CFolderListing()});
        while (!m_stack.empty()) {
            bool goOn = false;
            try {
                goOn = step();
            } catch (VrBase::CVrError& e) {
                if (e.GetCode() == ERROR_REQUEST_ABORTED) throw;
                VrBase::HandleCurrentException(L"path_review");
            } catch (...) {
                VrBase::HandleCurrentException(L"path_review");
            }
            // A failure ends that folder only; its parent goes on.
            if (!goOn) pop();
        }
    }

private:
    void pop() {
        if (!m_stack.back().ringVolume.empty()) m_ring.erase(m_stack.back().ringVolume);
        m_stack.pop_back();
    }

    // Handles the next entry of the innermost folder, opening its search
    // first; false when that folder is done.
    bool step() {
        const wchar_t* const fn = L"path_review";
        FolderSearch& top = m_stack.back();
        m_path.resize(top.pathLength);
        if (!top.listing.is_open()) {
            mission_abort_required(m_abort);
            if (excluded(m_path) || !open_search(top)) return false;
        }
        if (!top.listing.next(m_entry)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_NO_MORE_FILES) return false;
            VR_TRACE(VrBase::TL_WARNING, fn, L"FO <%ls> travers failed. Err %d", search_pattern(m_path).c_str(),
                     static_cast<int>(error));
            m_collector.unseen(m_path);
            VR_RAISE(error, fn);
        }
        std::wstring child, volume;
        if (review_entry(m_path, child, volume)) {
            if (!volume.empty()) m_ring.insert(volume);
            m_path = std::move(child);
            m_stack.push_back({m_path.size(), std::move(volume), CFolderListing()});
        }
        return true;
    }

    // An exclusion met is removed: it cannot be met again on this walk.
    bool excluded(const std::wstring& folder) {
        for (auto it = m_exclusions.begin(); it != m_exclusions.end(); ++it) {
            int relation = 0;
            if (compare_paths(folder, *it, relation) && relation >= 0) {
                m_exclusions.erase(it);
                return true;
            }
        }
        return false;
    }

    static std::wstring search_pattern(const std::wstring& folder) {
        return long_path(folder) + (folder.back() == L'\\' ? L"*" : L"\\*");
    }

    // False when the folder turns out to be a reparse point that cannot be
    // searched; other failures raise.
    bool open_search(FolderSearch& frame) {
        const wchar_t* const fn = L"path_review";
        if (frame.listing.open(m_path)) return true;
        const DWORD error = ::GetLastError();
        bool reparse = false;
        DWORD tag = 0;
        if (m_reparse.reparse_point(long_path(m_path), reparse, tag) != 0)
            VR_TRACE(VrBase::TL_WARNING, fn, L"FO <%ls> check reparse pnt on find file error failed.",
                     long_path(m_path).c_str());
        if (reparse) return false;
        VR_TRACE(VrBase::TL_WARNING, fn, L"can't open for search: %ls", search_pattern(m_path).c_str());
        // A target gone since it was checked is still reported.
        if (m_stack.size() == 1 || !vanished(error)) m_collector.unseen(m_path);
        VR_RAISE(error, fn);
    }

    // Collects a file entry; true with child (and the ring volume it enters,
    // if any) for a folder to walk next.
    bool review_entry(const std::wstring& folder, std::wstring& child, std::wstring& volume) {
        const wchar_t* const fn = L"path_review";
        const WIN32_FIND_DATAW& entry = m_entry;
        if (_wcsicmp(entry.cFileName, L".") == 0 || _wcsicmp(entry.cFileName, L"..") == 0) return false;
        child = child_path(folder, entry.cFileName);
        if (CPageFiles::instance().is_pagefile(child)) return false;
        // A plain file by its listing needs one question, not the reparse
        // query as well: whether the file system still answers for it. A
        // file whose deletion is pending, or under Wine a pipe, socket or
        // device of the host, is listed as a plain file and refused.
        if (!(entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            DWORD attributes = 0;
            if (!attributes_of(child, attributes)) return false;
            if (!(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
                collect_file(child, entry);
                return false;
            }
        }

        // A folder the system will not answer for is content the scan
        // cannot see, and says so; a plain file refused is one that is going.
        const bool listedFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool reparse = false;
        DWORD tag = 0;
        if (const DWORD error = m_reparse.reparse_point(child, reparse, tag)) {
            VR_TRACE(VrBase::TL_WARNING, fn, L"FO <%ls> check reparse pnt failed.", child.c_str());
            // Listed as a link yet without reparse data (under Wine, a link
            // of the host): a link is not entered, so nothing is missed.
            const bool dataLessLink =
                error == ERROR_NOT_A_REPARSE_POINT && (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
            if (listedFolder && !vanished(error) && !dataLessLink) m_collector.unseen(child);
            return false;
        }
        if (reparse) {
            // Only mount points of volumes without a letter are entered: the
            // rest (junctions, links, lettered volumes) lead where a scan goes anyway.
            if (tag != kMountPointTag) return false;
            bool unnamed = false;
            if (const DWORD error = m_reparse.unnamed_volume_mount(child, unnamed, volume)) {
                VR_TRACE(VrBase::TL_WARNING, fn, L"FO <%ls> check reparse pnt is unnamed volume failed.",
                         child.c_str());
                if (!vanished(error)) m_collector.unseen(child);
                return false;
            }
            if (!unnamed) return false;
            if (m_ring.count(volume)) {
                VR_TRACE(VrBase::TL_DETAIL, fn, L" >> reparse point ring found << <%ls>", volume.c_str());
                return false;
            }
            return true;
        }

        DWORD attributes = 0;
        if (!attributes_of(child, attributes)) {
            if (listedFolder && !vanished(::GetLastError())) m_collector.unseen(child);
            return false;
        }
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
        collect_file(child, entry);
        return false;
    }

    // False, traced, when the file system refuses them.
    static bool attributes_of(const std::wstring& path, DWORD& attributes) {
        attributes = scan_attributes(path);
        if (attributes != INVALID_FILE_ATTRIBUTES) return true;
        VR_TRACE(VrBase::TL_WARNING, L"path_review", L"FO <%ls> err get attributes %d", path.c_str(),
                 static_cast<int>(::GetLastError()));
        return false;
    }

    void collect_file(const std::wstring& path, const WIN32_FIND_DATAW& entry) {
        if (!m_extensions.empty() && !m_extensions.count(extension_of(entry.cFileName))) return;
        m_collector.collect(path, entry);
    }

    HANDLE m_abort;
    PathSet& m_exclusions;
    const PathSet& m_extensions;
    ReparseRingSet& m_ring;
    CCollector& m_collector;
    const IReparseQuery& m_reparse;
    std::vector<FolderSearch> m_stack;
    std::wstring m_path;  // the innermost folder's
    WIN32_FIND_DATAW m_entry{};
};

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

// How much of a refused configuration entry the trace shows.
constexpr size_t kTracedEntryChars = 260;

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

bool adjust_scan_sets(PathSet& targets, PathSet& exclusions) {
    collapse_nested_exclusions(exclusions);
    normalise_path_set(exclusions);
    if (targets.count(kScanAllLocals)) {
        targets.clear();
        for (const std::wstring& root : get_local_fixed_drives()) targets.insert(root);
        return true;
    }
    normalise_path_set(targets);
    return false;
}

void check_scan_entries(const PathSet& targets, const PathSet& exclusions) {
    const wchar_t* const fn = L"check_scan_entries";
    auto check = [fn](const wchar_t* section, const std::wstring& entry, PathSet t, PathSet e) {
        try {
            adjust_scan_sets(t, e);
        } catch (VrBase::CVrError& error) {
            const bool cut = entry.size() > kTracedEntryChars;
            VR_TRACE(VrBase::TL_ERROR, fn,
                     L"configuration entry %ls <%ls%ls> (%u characters) can never be scanned (error %u); "
                     L"the configuration is refused.",
                     section, entry.substr(0, kTracedEntryChars).c_str(), cut ? L"..." : L"",
                     static_cast<unsigned>(entry.size()), static_cast<unsigned>(error.GetCode()));
            VR_RAISE(ERROR_INVALID_PARAMETER, fn);
        }
    };
    // Entry by entry, to name the one at fault.
    for (const std::wstring& entry : targets) check(L"Paths/Path", entry, PathSet{entry}, PathSet{});
    for (const std::wstring& entry : exclusions) check(L"ExcludePaths/Path", entry, PathSet{}, PathSet{entry});
}

void trg_paths_check_and_adjustment(PathSet& targets, PathSet& exclusions, const TargetReport& removed) {
    const wchar_t* const fn = L"trg_paths_check_and_adjustment";
    if (adjust_scan_sets(targets, exclusions)) {
        drop_excluded_targets(targets, exclusions);
        return;
    }
    // First: a target under an exclusion is not scanned, so not checked
    // and never reported as one the scan could not see.
    drop_excluded_targets(targets, exclusions);
    for (auto t = targets.begin(); t != targets.end();) {
        const wchar_t* problem = nullptr;
        // Asked as the walk asks, with backup intent where the name is
        // refused: a target closed to the service by its DACL is still read.
        if (scan_attributes(*t) == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = ::GetLastError();
            if (vanished(error)) {
                problem = L"software scan path <%ls> not exist! The path is removed.";
            } else {
                VR_TRACE(VrBase::TL_WARNING, fn, L"FO <%ls> err get attributes %u", t->c_str(),
                         static_cast<unsigned>(error));
                problem = L"software scan path <%ls> check failed! The path is removed.";
            }
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
            if (removed) removed(*t);
            t = targets.erase(t);
        } else {
            ++t;
        }
    }
}

const IReparseQuery& system_reparse_query() {
    static const CSystemReparseQuery query;
    return query;
}

void path_review(HANDLE abortEvent, const std::wstring& folder, PathSet& exclusions, const PathSet& extensions,
                 ReparseRingSet& ring, const std::wstring& operationId, const std::wstring& userSid,
                 FileObjectMap& files, const IReparseQuery& reparse) {
    CCollector collector(abortEvent, operationId, userSid, files);
    CFolderWalk(abortEvent, exclusions, extensions, ring, collector, reparse).run(folder);
    collector.finish();
}

void targets_review(HANDLE abortEvent, const PathSet& targets, const PathSet& exclusions, const PathSet& extensions,
                    const std::wstring& operationId, const std::wstring& userSid, FileObjectMap& files,
                    const IReparseQuery& reparse) {
    const wchar_t* const fn = L"targets_review";
    VR_TRACE(VrBase::TL_INFO, fn, L"Scan started!");
    ReparseRingSet ring;
    CCollector collector(abortEvent, operationId, userSid, files);
    for (const std::wstring& target : targets) {
        VR_TRACE(VrBase::TL_INFO, fn, L"Scan path <%ls>", target.c_str());
        PathSet own;
        for (const std::wstring& e : exclusions) {
            int relation = 0;
            if (compare_paths(target, e, relation) && relation == -1) own.insert(e);
        }
        VR_TRACE(VrBase::TL_INFO, fn, L" Exclusions: %ls", own.empty() ? L"there are no exclusions entries." : L" ");
        for (const std::wstring& e : own) VR_TRACE(VrBase::TL_INFO, fn, L"   %ls", e.c_str());
        CFolderWalk(abortEvent, own, extensions, ring, collector, reparse).run(target);
    }
    collector.finish();
}
