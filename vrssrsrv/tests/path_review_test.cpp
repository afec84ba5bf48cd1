#include "ssr_path_review.h"
#include "ssr_folder_listing.h"

#include "scan_test_support.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <thread>

namespace {

using scantest::MakeDir;
using scantest::MakeFile;

PathSet Set(std::initializer_list<std::wstring> items) { return PathSet(items); }

class Walk : public ::testing::Test {
protected:
    scantest::ProductLocale locale{L"en-US"};
    vrtest::TempDir dir{L"vrwalk"};
    VrBase::unique_handle abort{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    FileObjectMap files;

    std::wstring P(const std::wstring& relative) { return dir.file(relative); }
    void Review(PathSet targets, PathSet exclusions, PathSet extensions = {}) {
        trg_paths_check_and_adjustment(targets, exclusions);
        targets_review(abort.get(), targets, exclusions, extensions, L"OP", L"S-1-5-18", files);
    }
    std::vector<std::wstring> Collected() {
        std::vector<std::wstring> names;
        for (const auto& f : files) names.push_back(f.first.substr(dir.path().size() + 1));
        return names;
    }
};

TEST(PathSets, NormalisingTargets) {
    wchar_t root[MAX_PATH];
    ::GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
    PathSet paths = Set({L"C:", L"C:\\Data\\", L"%SystemRoot%/System32", L"c:\\DATA", L"D:\\"});
    normalise_path_set(paths);
    EXPECT_EQ(paths.size(), 4u) << "C:\\Data\\ and c:\\DATA are one";
    for (const std::wstring& expected : {std::wstring(L"C:\\"), std::wstring(L"C:\\Data"),
                                         std::wstring(root) + L"\\System32", std::wstring(L"D:\\")})
        EXPECT_EQ(paths.count(expected), 1u);
    for (const std::wstring& p : paths) EXPECT_EQ(p.find(L'/'), std::wstring::npos);
}

TEST(PathSets, NestedExclusionsCollapseToTheOutermost) {
    PathSet ex = Set({L"C:\\a\\b\\c", L"C:\\a\\b\\", L"C:\\a", L"C:\\ab", L"D:\\x\\y", L"D:\\x\\y\\z"});
    collapse_nested_exclusions(ex);
    EXPECT_EQ(ex, Set({L"C:\\a", L"C:\\ab", L"D:\\x\\y"}));

    PathSet targets = Set({L"C:\\a", L"C:\\a\\deep", L"C:\\", L"C:\\abc"});
    drop_excluded_targets(targets, Set({L"C:\\a"}));
    EXPECT_EQ(targets, Set({L"C:\\", L"C:\\abc"})) << "equal and below go; above stays";
}

TEST(PathSets, ScanAllLocalsTakesOnlyFixedDrives) {
    PathSet targets = Set({L"<SCAN_ALL_LOCALS>", L"C:\\Windows"});
    PathSet exclusions;
    trg_paths_check_and_adjustment(targets, exclusions);
    std::vector<std::wstring> fixed = get_local_fixed_drives();
    EXPECT_EQ(targets, PathSet(fixed.begin(), fixed.end()));
}

// Missing targets, files and links: each removal traced in its words and
// reported; a target that lies under an exclusion is not scanned whatever
// it is, so nothing is reported of it.
TEST_F(Walk, TargetChecksAreTraced) {
    vrtest::TraceToFolder trace(dir.path());

    MakeDir(P(L"real"));
    MakeFile(P(L"real\\one.txt"));
    MakeFile(P(L"plain.txt"));
    PathSet targets = Set({P(L"real"), P(L"missing"), P(L"gone\\deeper"), P(L"plain.txt"), P(L"skipped\\gone")});
    PathSet exclusions = Set({P(L"skipped")});
    scantest::RecordingSink sink;
    trg_paths_check_and_adjustment(targets, exclusions, [](const std::wstring& target) {
        reg_evt_file_error(L"OP", SSR_STAGE_COLLECT_FILE, target, L"S");
    });
    EXPECT_EQ(targets, Set({P(L"real"), P(L"plain.txt")}));
    targets_review(abort.get(), targets, exclusions, {}, L"OP", L"S", files);
    std::set<std::wstring> reported;
    for (const auto& e : sink.events) reported.insert(std::get<2>(e));
    EXPECT_EQ(reported, (std::set<std::wstring>{P(L"missing"), P(L"gone\\deeper"), P(L"plain.txt")}));
    EXPECT_EQ(sink.events.size(), 3u);

    std::string log = trace.Read(L"VrSSRSrvTests");
    auto has = [&](const std::string& s) { return log.find(s) != std::string::npos; };
    std::string d(dir.path().begin(), dir.path().end());
    EXPECT_TRUE(has("software scan path <" + d + "\\missing> not exist! The path is removed.")) << log;
    EXPECT_TRUE(has("software scan path <" + d + "\\gone\\deeper> not exist! The path is removed.")) << log;
    EXPECT_TRUE(has("can't open for search: \\\\?\\" + d + "\\plain.txt\\*")) << "a target that is a file";
    EXPECT_TRUE(has("Scan started!"));
    EXPECT_EQ(Collected(), (std::vector<std::wstring>{L"real\\one.txt"}));
}

TEST_F(Walk, ExclusionsAndExtensions) {
    MakeDir(P(L"t"));
    MakeDir(P(L"t\\skip"));
    MakeDir(P(L"t\\keep"));
    MakeFile(P(L"t\\a.EXE"));
    MakeFile(P(L"t\\b.dll"));
    MakeFile(P(L"t\\noext"));
    MakeFile(P(L"t\\archive.tar.gz"));
    MakeFile(P(L"t\\skip\\hidden.exe"));
    MakeFile(P(L"t\\keep\\c.exe"));
    MakeDir(P(L"u"));
    MakeFile(P(L"u\\d.exe"));

    // u equals an exclusion: removed before the walk; t\skip is met and skipped.
    Review(Set({P(L"t"), P(L"u")}), Set({P(L"t\\skip"), P(L"u")}), Set({L"exe", L"GZ"}));
    EXPECT_EQ(Collected(), (std::vector<std::wstring>{L"t\\a.EXE", L"t\\archive.tar.gz", L"t\\keep\\c.exe"}));

    files.clear();
    Review(Set({P(L"t")}), Set({P(L"t\\skip"), P(L"u")}));
    EXPECT_EQ(files.size(), 5u) << "no extension set: everything, names without a dot too";
    EXPECT_EQ(files.count(P(L"t\\noext")), 1u);

    files.clear();
    Review(Set({P(L"t")}), Set({P(L"t")}));
    EXPECT_TRUE(files.empty()) << "a target equal to an exclusion is not walked";
}

TEST_F(Walk, LongPathsArePlainInTheMap) {
    std::wstring deep = P(L"");
    deep.pop_back();
    for (int i = 0; i < 12; ++i) {
        deep += L"\\folder-with-a-rather-long-name-" + std::to_wstring(i);
        MakeDir(deep);
    }
    ASSERT_GT(deep.size(), 300u);
    MakeFile(deep + L"\\far.txt", "far away");
    Review(Set({dir.path()}), {});
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.begin()->first, deep + L"\\far.txt");
    EXPECT_EQ(files.begin()->first.rfind(L"\\\\?\\", 0), std::wstring::npos);
    EXPECT_EQ(files.begin()->second.type, L"Unknown (.txt)");
}

// Under Wine a folder lists a named pipe of the host (as it lists sockets
// and devices) as a plain file, yet it is no file: the file system refuses
// its attributes, and it is not collected.
TEST_F(Walk, HostPipesListedAsFilesAreLeftOut) {
    const std::wstring mkfifo = L"Z:\\usr\\bin\\mkfifo";
    if (::GetFileAttributesW(mkfifo.c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "not under Wine";
    MakeFile(P(L"plain.txt"), "a file");
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = vrtest::StartProcess(mkfifo, L"mkfifo pipe", FALSE, dir.path().c_str(), si);
    // A host program's process cannot be waited for: its pipe can.
    VrBase::unique_handle process(pi.hProcess), thread(pi.hThread);
    WIN32_FIND_DATAW listed{};
    VrBase::unique_hfind found;
    for (int tries = 0; !found && tries < 300; ++tries) {
        found.reset(::FindFirstFileW(P(L"pipe").c_str(), &listed));
        if (!found) ::Sleep(100);
    }
    ASSERT_TRUE(found) << "the pipe was made";
    EXPECT_EQ(listed.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT), 0u);
    Review(Set({dir.path()}), {});
    EXPECT_EQ(Collected(), (std::vector<std::wstring>{L"plain.txt"}));
}

// Under Wine a Unix symbolic link to a folder is listed as a folder with
// the reparse attribute but has no reparse data to read. The walk does not
// enter links, so nothing behind it is missed: no event, nothing collected
// through it, the folder it points at collected once.
TEST_F(Walk, HostLinksToFoldersAreNotEnteredAndNotReported) {
    const std::wstring ln = L"Z:\\bin\\ln";
    if (::GetFileAttributesW(ln.c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "not under Wine";
    MakeDir(P(L"real"));
    MakeFile(P(L"real\\inside.txt"), "behind the link");
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = vrtest::StartProcess(ln, L"ln -s real link", FALSE, dir.path().c_str(), si);
    VrBase::unique_handle process(pi.hProcess), thread(pi.hThread);
    DWORD listed = INVALID_FILE_ATTRIBUTES;
    for (int tries = 0; listed == INVALID_FILE_ATTRIBUTES && tries < 300; ++tries) {
        listed = ::GetFileAttributesW(P(L"link").c_str());
        if (listed == INVALID_FILE_ATTRIBUTES) ::Sleep(100);
    }
    ASSERT_NE(listed, INVALID_FILE_ATTRIBUTES) << "the link was made";
    ASSERT_EQ(listed & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));

    scantest::RecordingSink sink;
    Review(Set({dir.path()}), {});
    EXPECT_EQ(Collected(), (std::vector<std::wstring>{L"real\\inside.txt"}));
    for (const auto& e : sink.events) ADD_FAILURE() << "event for " << std::string(std::get<2>(e).begin(), std::get<2>(e).end());
}

// A page file listed in ExistingPageFiles is not taken; the same name
// elsewhere is.
TEST_F(Walk, PageFilesAreLeftOut) {
    MakeDir(P(L"sub"));
    MakeFile(P(L"pagefile.sys"));
    MakeFile(P(L"sub\\pagefile.sys"));
    std::wstring listed = L"\\??\\" + P(L"pagefile.sys");
    std::vector<wchar_t> multi(listed.begin(), listed.end());
    multi.push_back(L'\0');
    multi.push_back(L'\0');
    vrtest::RegValueScope pages(L"System\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
                                L"ExistingPageFiles", REG_MULTI_SZ, multi.data(),
                                static_cast<DWORD>(multi.size() * sizeof(wchar_t)));
    CPageFiles::reset_for_tests();
    VrBase::scope_exit forget([] { CPageFiles::reset_for_tests(); });
    Review(Set({dir.path()}), {});
    EXPECT_EQ(Collected(), (std::vector<std::wstring>{L"sub\\pagefile.sys"}));
}

TEST_F(Walk, AbortBeforeTheWalk) {
    MakeFile(P(L"x.txt"));
    ::SetEvent(abort.get());
    try {
        Review(Set({dir.path()}), {});
        FAIL();
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), 1235u);
    }
    EXPECT_TRUE(files.empty());
}

// Plain folders as they are; the abort is set when the walk asks about the
// folder it would enter after `before` others.
class AbortAtFolder : public IReparseQuery {
public:
    AbortAtFolder(HANDLE abort, int before) : m_abort(abort), m_before(before) {}
    DWORD reparse_point(const std::wstring&, bool& isReparse, DWORD& tag) const override {
        isReparse = false;
        tag = 0;
        if (++m_asked == m_before + 1) ::SetEvent(m_abort);
        return 0;
    }
    DWORD unnamed_volume_mount(const std::wstring&, bool& isUnnamed, std::wstring&) const override {
        isUnnamed = false;
        return 0;
    }

private:
    HANDLE m_abort;
    int m_before;
    mutable int m_asked = 0;
};

// The abort is seen at the next folder: the walk stops part-way, with the
// folders it finished and nothing of the one it was about to enter.
TEST_F(Walk, AbortDuringTheWalk) {
    const int folders = 12, perFolder = 20, finished = 5;
    for (int f = 0; f < folders; ++f) {
        std::wstring folder = P(L"f" + std::to_wstring(100 + f));
        MakeDir(folder);
        for (int i = 0; i < perFolder; ++i) MakeFile(folder + L"\\file" + std::to_wstring(i) + L".txt");
    }
    PathSet targets = Set({dir.path()}), exclusions;
    trg_paths_check_and_adjustment(targets, exclusions);
    AbortAtFolder reparse(abort.get(), finished);
    DWORD code = 0;
    try {
        targets_review(abort.get(), targets, exclusions, {}, L"OP", L"S", files, reparse);
    } catch (VrBase::CVrError& e) {
        code = e.GetCode();
    }
    EXPECT_EQ(code, 1235u);
    EXPECT_EQ(files.size(), static_cast<size_t>(finished * perFolder));
    std::set<std::wstring> folderNames;
    for (const std::wstring& name : Collected()) folderNames.insert(name.substr(0, name.find(L'\\')));
    EXPECT_EQ(folderNames.size(), static_cast<size_t>(finished)) << "whole folders only";
}

// Junctions and mount points Wine cannot make; a Unix symbolic link to a
// folder shows there as a folder with the reparse attribute, which the walk
// must not enter (see the notes on the reparse cases).
TEST(ReparseRing, UnnamedVolumeDecisionIsMadeOncePerChain) {
    ReparseRingSet ring;
    const std::wstring volume = L"\\??\\Volume{12345678-1234-1234-1234-1234567890ab}\\";
    EXPECT_TRUE(ring.insert(volume).second);
    EXPECT_FALSE(ring.insert(L"\\??\\VOLUME{12345678-1234-1234-1234-1234567890AB}\\").second)
        << "the ring compares volume names without regard to case";
}

// Reparse answers for a tree of plain folders, by folder name: junctions
// and mount points Wine cannot make, decided as on Windows.
class NamedReparse : public IReparseQuery {
public:
    DWORD reparse_point(const std::wstring& path, bool& isReparse, DWORD& tag) const override {
        const std::wstring name = path.substr(path.rfind(L'\\') + 1);
        if (name == L"unreadable") return ERROR_ACCESS_DENIED;
        if (name == L"removed") return ERROR_PATH_NOT_FOUND;  // gone since its parent was listed
        if (name == L"link") isReparse = true, tag = 0xA000000C;  // symbolic link
        if (name == L"junction" || name == L"lettered" || volume(name)) isReparse = true, tag = 0xA0000003;
        return 0;
    }
    DWORD unnamed_volume_mount(const std::wstring& path, bool& isUnnamed, std::wstring& volumeName) const override {
        const wchar_t* v = volume(path.substr(path.rfind(L'\\') + 1));
        isUnnamed = v != nullptr;
        if (v) volumeName = v;
        return 0;
    }

private:
    static const wchar_t* volume(const std::wstring& name) {
        if (name == L"vol1" || name == L"back" || name == L"again" || name == L"vol1b") return L"\\??\\Volume{1}\\";
        if (name == L"vol2") return L"\\??\\Volume{2}\\";
        return nullptr;
    }
};

// Junctions, links and lettered volumes are not entered; a volume without a
// letter is entered once per chain, and a way back into it is a ring; the
// ring is left again with the folder, so a sibling mount is entered too. A
// folder the system will not answer for is reported; one removed meanwhile
// hides nothing and is not.
TEST_F(Walk, ReparseDecisions) {
    vrtest::TraceToFolder trace(dir.path());
    for (const wchar_t* folder : {L"t", L"t\\plain", L"t\\junction", L"t\\lettered", L"t\\link", L"t\\unreadable",
                                  L"t\\vol1", L"t\\vol1\\back", L"t\\vol1\\vol2", L"t\\vol1\\vol2\\again",
                                  L"t\\vol1b", L"t\\removed"})
        MakeDir(P(folder));
    for (const wchar_t* file : {L"t\\plain\\a.txt", L"t\\junction\\j.txt", L"t\\lettered\\l.txt",
                                L"t\\link\\k.txt", L"t\\unreadable\\u.txt", L"t\\vol1\\v.txt",
                                L"t\\vol1\\back\\x.txt", L"t\\vol1\\vol2\\w.txt",
                                L"t\\vol1\\vol2\\again\\y.txt", L"t\\vol1b\\z.txt"})
        MakeFile(P(file));

    NamedReparse reparse;
    PathSet exclusions;
    ReparseRingSet ring;
    scantest::RecordingSink sink;
    path_review(abort.get(), P(L"t"), exclusions, {}, ring, L"OP", L"S", files, reparse);
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(std::get<1>(sink.events[0]), static_cast<DWORD>(SSR_STAGE_COLLECT_FILE));
    EXPECT_EQ(std::get<2>(sink.events[0]), P(L"t\\unreadable"));
    EXPECT_EQ(std::get<3>(sink.events[0]), static_cast<DWORD>(SSR_REASON_ONE_FILE));
    EXPECT_EQ(Collected(), (std::vector<std::wstring>{L"t\\plain\\a.txt", L"t\\vol1\\v.txt",
                                                      L"t\\vol1\\vol2\\w.txt", L"t\\vol1b\\z.txt"}));
    EXPECT_TRUE(ring.empty()) << "every volume entered is left again";

    std::string log = trace.Read(L"VrSSRSrvTests");
    size_t rings = 0;
    for (size_t at = log.find(" >> reparse point ring found << <\\??\\Volume{1}\\>"); at != std::string::npos;
         at = log.find(" >> reparse point ring found << <\\??\\Volume{1}\\>", at + 1))
        ++rings;
    EXPECT_EQ(rings, 2u) << log;
    std::string d(dir.path().begin(), dir.path().end());
    EXPECT_NE(log.find("FO <" + d + "\\t\\unreadable> check reparse pnt failed."), std::string::npos) << log;
}

// Stops the walk at a folder of a given name, a moment after the files
// found before it had time to be queried.
class StopAt : public IReparseQuery {
public:
    StopAt(HANDLE abort, const wchar_t* name) : m_abort(abort), m_name(name) {}
    DWORD reparse_point(const std::wstring& path, bool&, DWORD&) const override {
        if (path.substr(path.rfind(L'\\') + 1) == m_name) {
            ::Sleep(300);
            ::SetEvent(m_abort);
        }
        return 0;
    }
    DWORD unnamed_volume_mount(const std::wstring&, bool&, std::wstring&) const override { return 0; }

private:
    HANDLE m_abort;
    std::wstring m_name;
};

// Files that could not be queried before an abort are reported, as when
// each was queried the moment it was found; the abort comes through.
TEST_F(Walk, AnAbortedWalkStillReportsTheFilesFoundFailing) {
    MakeDir(P(L"t1"));
    MakeFile(P(L"t1\\held.dll"), "MZ held whole");
    MakeDir(P(L"t2"));
    MakeDir(P(L"t2\\stop"));
    MakeFile(P(L"t2\\stop\\never.txt"));
    VrBase::unique_hfile held(
        ::CreateFileW(P(L"t1\\held.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    scantest::RecordingSink sink;
    StopAt stop(abort.get(), L"stop");
    PathSet targets = Set({P(L"t1"), P(L"t2")}), exclusions;
    trg_paths_check_and_adjustment(targets, exclusions);
    EXPECT_EQ(vrtest::ErrorCodeOf([&] {
                  targets_review(abort.get(), targets, exclusions, {}, L"OP", L"S-1-5-18", files, stop);
              }),
              1235u);
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(std::get<1>(sink.events[0]), static_cast<DWORD>(SSR_STAGE_COLLECT_FILE));
    EXPECT_EQ(std::get<2>(sink.events[0]), P(L"t1\\held.dll"));
}

} // namespace

namespace {

// One directory record as a file system (or a redirector answering for a
// server) might write it, at the end of buf.
void AppendRecord(std::vector<BYTE>& buf, ULONG next, const std::wstring& name, ULONG nameBytes,
                  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE, ULONG eaSize = 0) {
    const size_t at = buf.size();
    buf.resize(at + offsetof(FILE_FULL_DIR_INFO, FileName) + name.size() * sizeof(wchar_t));
    FILE_FULL_DIR_INFO header{};
    header.NextEntryOffset = next;
    header.FileAttributes = attributes;
    header.EndOfFile.QuadPart = 0x100000005LL;
    header.LastWriteTime.QuadPart = 0x200000007LL;
    header.FileNameLength = nameBytes;
    header.EaSize = eaSize;
    std::memcpy(buf.data() + at, &header, offsetof(FILE_FULL_DIR_INFO, FileName));
    std::memcpy(buf.data() + at + offsetof(FILE_FULL_DIR_INFO, FileName), name.data(), name.size() * sizeof(wchar_t));
}

} // namespace

// Directory records are read only inside the buffer the system filled:
// names and offsets that point past it, a record that would not move on,
// and an empty or overlong name end the listing instead of reading past
// the buffer, looping, or overrunning the entry. A reparse point's tag is
// taken from the EA size field, and only for a reparse point.
TEST(FolderListingRecords, MalformedRecordsAreRefused) {
    const ULONG header = offsetof(FILE_FULL_DIR_INFO, FileName);
    WIN32_FIND_DATAW entry;
    size_t next = 99;
    std::vector<BYTE> buf;
    AppendRecord(buf, header + 8, L"abcd", 8, FILE_ATTRIBUTE_ARCHIVE, 0x40);
    AppendRecord(buf, 0, L"e", 2, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_MOUNT_POINT);
    ASSERT_TRUE(listed_entry(buf.data(), buf.size(), 0, entry, next));
    EXPECT_STREQ(entry.cFileName, L"abcd");
    EXPECT_EQ(entry.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(entry.dwReserved0, 0u) << "extended attributes' size is no reparse tag";
    EXPECT_EQ(entry.nFileSizeHigh, 1u);
    EXPECT_EQ(entry.nFileSizeLow, 5u);
    EXPECT_EQ(entry.ftLastWriteTime.dwHighDateTime, 2u);
    EXPECT_EQ(entry.ftLastWriteTime.dwLowDateTime, 7u);
    ASSERT_EQ(next, header + 8);
    ASSERT_TRUE(listed_entry(buf.data(), buf.size(), next, entry, next));
    EXPECT_STREQ(entry.cFileName, L"e");
    EXPECT_EQ(entry.dwReserved0, static_cast<DWORD>(IO_REPARSE_TAG_MOUNT_POINT));
    EXPECT_EQ(next, 0u) << "the last record";
    EXPECT_FALSE(listed_entry(buf.data(), buf.size(), buf.size(), entry, next)) << "no record at the end";
    EXPECT_FALSE(listed_entry(buf.data(), buf.size() - 1, header + 8, entry, next)) << "name cut by the end";

    struct Case {
        const char* what;
        ULONG next;
        std::wstring name;
        ULONG nameBytes;
        bool accepted;
    };
    const Case cases[] = {
        {"a next record inside this header would not move on", header - 1, L"ab", 4, false},
        {"a next record past the buffer", 4096, L"ab", 4, false},
        {"a name past the buffer", 0, L"ab", 4000, false},
        {"half a character", 0, L"ab", 3, false},
        {"no name", 0, L"", 0, false},
        {"a name longer than an entry holds", 0, std::wstring(MAX_PATH, L'n'), MAX_PATH * 2, false},
        {"the longest name an entry holds", 0, std::wstring(MAX_PATH - 1, L'n'), (MAX_PATH - 1) * 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        buf.clear();
        AppendRecord(buf, c.next, c.name, c.nameBytes);
        entry = WIN32_FIND_DATAW{};
        EXPECT_EQ(listed_entry(buf.data(), buf.size(), 0, entry, next), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(std::wstring(entry.cFileName), c.name);
        }
    }
}
