// What the scan cannot see is said, never hidden: folders it cannot list,
// targets that are gone or are files, and the backup privilege the reading
// threads hold while they read and drop after. Through the real scan task,
// settings, depot and scan state.
#include "schedule_test_support.h"
#include "scan_test_support.h"
#include "ssr_actions.h"
#include "ssr_backup_read.h"
#include "ssr_file_info.h"
#include "ssr_ordered_pass.h"
#include "ssr_path_review.h"
#include "ssr_scan_events.h"

#include "sid_helpers.h"
#include "vrbase/scope.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

using scantest::MakeDir;
using scantest::MakeFile;

// A chain of folders under `top` whose Unix path ends past what the host
// can name (4,096 bytes), built by moving the chain into a new folder a
// level at a time so that no call names a long path; removed the same way.
class FarChain {
public:
    FarChain(std::wstring top, int levels) : m_top(std::move(top)), m_levels(levels) {
        const std::wstring name(kNameChars, L'x');
        const std::wstring parent = m_top.substr(0, m_top.rfind(L'\\'));
        const std::wstring link = parent + L"\\" + name;
        EXPECT_TRUE(::CreateDirectoryW(m_top.c_str(), nullptr));
        MakeFile(m_top + L"\\bottom.exe", "MZ far");
        for (int i = 1; i < m_levels; ++i) {
            EXPECT_TRUE(::CreateDirectoryW(link.c_str(), nullptr));
            EXPECT_TRUE(::MoveFileW(m_top.c_str(), (link + L"\\" + name).c_str())) << i;
            EXPECT_TRUE(::MoveFileW(link.c_str(), m_top.c_str())) << i;
        }
    }
    ~FarChain() {
        const std::wstring name(kNameChars, L'x');
        const std::wstring below = m_top.substr(0, m_top.rfind(L'\\')) + L"\\below";
        for (int i = 1; i < m_levels; ++i) {
            ::MoveFileW((m_top + L"\\" + name).c_str(), below.c_str());
            ::RemoveDirectoryW(m_top.c_str());
            ::MoveFileW(below.c_str(), m_top.c_str());
        }
        ::DeleteFileW((m_top + L"\\bottom.exe").c_str());
        ::RemoveDirectoryW(m_top.c_str());
    }
    // The path of the folder `level` levels below the top (0: the top).
    std::wstring at(int level) const {
        std::wstring path = m_top;
        for (int i = 0; i < level; ++i) path += L"\\" + std::wstring(kNameChars, L'x');
        return path;
    }
    static constexpr size_t kNameChars = 200;

private:
    std::wstring m_top;
    int m_levels;
};

class ScanVisibility : public schedtest::StoreFixture {
protected:
    std::wstring m_tree = dir.file(L"tree");

    void Configure(const std::wstring& pathEntries) {
        CSSROpSettingsLocker lock;
        schedtest::ConfigDoc doc;
        doc.paths = L"<Paths all=\"false\">" + pathEntries + L"</Paths>";
        doc.exclusions = L"<ExcludePaths enable=\"false\"/>";
        doc.extensions = L"<Extensions all=\"true\"/>";
        CSSROpSettings::instance().apply_new_settings(doc.text());
    }
    void Scan() {
        VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::vector<BYTE> request = build_scan_request(SES_SOURCE_ADMIN, get_current_user_sid());
        software_scan(abort.get(), request.data());
    }
    std::string Document() { return vrtest::ReadFileBytes(dir.path() + L"\\ssr_depot\\SSR_LastSoftState.xml"); }
    std::wstring Status() {
        CSSRStateLocker state;
        return CSSRState::instance().get_status();
    }
};

// A folder the walk cannot list (under Wine: its Unix path passes 4,096
// bytes), a configured target that is gone, one whose parent is gone, and
// one that is a file: one error event each, stage 103, reason 106, with the
// path; the rest is scanned and the scan completes with its document.
TEST_F(ScanVisibility, UnseenFoldersAndTargetsAreReportedAndTheScanCompletes) {
    MakeDir(m_tree);
    MakeFile(m_tree + L"\\seen.exe", "MZ seen");
    MakeFile(m_tree + L"\\plain.txt", "a file, not a folder");
    // 22 levels of 201 bytes: the Unix path passes 4,096 bytes at a level
    // that depends on the prefix's own depth; the test finds that level.
    FarChain chain(m_tree + L"\\far", 22);
    Configure(L"<Path>" + m_tree + L"</Path><Path>" + dir.file(L"gone") + L"</Path><Path>" +
              dir.file(L"gone\\deeper") + L"</Path><Path>" + m_tree + L"\\plain.txt</Path>");

    scantest::RecordingSink sink;
    Scan();

    EXPECT_EQ(Status(), L"Complete");
    const std::string document = Document();
    EXPECT_NE(document.find("<N dt:dt=\"string\">seen.exe</N>"), std::string::npos) << document;
    EXPECT_EQ(document.find("bottom.exe"), std::string::npos) << "the far end cannot be read under Wine";

    std::multiset<std::wstring> reported;
    for (const auto& e : sink.events) {
        EXPECT_EQ(std::get<1>(e), static_cast<DWORD>(SSR_STAGE_COLLECT_FILE)) << std::get<2>(e).substr(0, 300);
        EXPECT_EQ(std::get<3>(e), static_cast<DWORD>(SSR_REASON_ONE_FILE));
        reported.insert(std::get<2>(e));
    }
    EXPECT_EQ(reported.count(dir.file(L"gone")), 1u);
    EXPECT_EQ(reported.count(dir.file(L"gone\\deeper")), 1u);
    EXPECT_EQ(reported.count(m_tree + L"\\plain.txt"), 1u) << "a target that is a file";
    // Exactly one folder of the chain is reported: the first one the walk
    // could not list; everything above it is in the document's folders.
    int unseenLevel = -1;
    for (int level = 0; level < 22; ++level)
        if (reported.count(chain.at(level))) {
            EXPECT_EQ(unseenLevel, -1) << "a second folder of the chain reported";
            unseenLevel = level;
        }
    ASSERT_GT(unseenLevel, 0) << "the folder that cannot be listed has its event";
    EXPECT_EQ(reported.size(), 4u);
}

// Every folder and file the scan opens is opened on a thread whose own
// token holds the backup privilege enabled: the walking thread (here the
// test's, running the scan task) and the workers of both passes. After the
// scan the thread has no token of its own again and the process token is
// as it was.
TEST_F(ScanVisibility, ReadingThreadsHoldTheBackupPrivilegeOnlyWhileTheScanReads) {
    if (scan_worker_count() <= 1) GTEST_SKIP() << "one processor: the scan's own thread does all the reading";
    const bool processBefore = thread_has_backup_privilege();
    MakeDir(m_tree);
    for (int d = 0; d < 4; ++d) {
        const std::wstring folder = m_tree + L"\\d" + std::to_wstring(d);
        MakeDir(folder);
        for (int f = 0; f < 30; ++f) MakeFile(folder + L"\\f" + std::to_wstring(f) + L".bin", std::string(4096, 'a'));
    }
    Configure(L"<Path>" + m_tree + L"</Path>");

    struct Open {
        bool ownToken, privileged;
    };
    std::mutex mutex;
    std::map<DWORD, std::vector<Open>> opens;  // by thread
    const ScanOpenObserver observer = [&](const std::wstring&) {
        HANDLE token = nullptr;
        const bool own = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
        if (own) ::CloseHandle(token);
        const Open open{own, thread_has_backup_privilege()};
        std::lock_guard<std::mutex> lock(mutex);
        opens[::GetCurrentThreadId()].push_back(open);
    };
    set_scan_open_observer(&observer);
    VrBase::scope_exit unobserve([] { set_scan_open_observer(nullptr); });

    Scan();
    EXPECT_EQ(Status(), L"Complete");
    const DWORD self = ::GetCurrentThreadId();
    ASSERT_EQ(opens.count(self), 1u) << "the walking thread opened the folders";
    EXPECT_GE(opens[self].size(), 5u);
    EXPECT_GE(opens.size(), 2u) << "files are opened by the collection's workers";
    for (const auto& thread : opens)
        for (const Open& open : thread.second) {
            EXPECT_TRUE(open.ownToken) << "thread " << thread.first;
            EXPECT_TRUE(open.privileged) << "thread " << thread.first;
        }

    // The checksum pass's workers: records the walk could not hash.
    FileObjectMap files;
    for (int f = 0; f < 30; ++f) files[m_tree + L"\\d0\\f" + std::to_wstring(f) + L".bin"];
    opens.clear();
    VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    calc_fo_checksums(abort.get(), L"OP", L"S-1-5-18", files);
    for (const auto& file : files) EXPECT_EQ(file.second.checksum.size(), 64u);
    EXPECT_EQ(opens.count(self), 0u) << "the pass reads on its workers";
    EXPECT_FALSE(opens.empty());
    for (const auto& thread : opens)
        for (const Open& open : thread.second) EXPECT_TRUE(open.ownToken && open.privileged) << thread.first;

    HANDLE token = nullptr;
    EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) << "dropped after the scan";
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    EXPECT_EQ(thread_has_backup_privilege(), processBefore) << "the process token is left as it was";
}

// A process whose token lacks the privilege (removed for good, so in a
// child): the scan reads what it can, says so once with a general error
// event of the collection stage, and completes.
int ScanWithoutThePrivilege(const std::function<void()>& scan, const std::wstring& document) {
    VrBase::unique_handle process;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, process.put())) return 10;
    TOKEN_PRIVILEGES removed{};
    removed.PrivilegeCount = 1;
    if (!::LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &removed.Privileges[0].Luid)) return 11;
    removed.Privileges[0].Attributes = SE_PRIVILEGE_REMOVED;
    if (!::AdjustTokenPrivileges(process.get(), FALSE, &removed, 0, nullptr, nullptr) ||
        ::GetLastError() != ERROR_SUCCESS)
        return 12;
    if (CThreadBackupPrivilege().error() == 0) return 13;

    scantest::RecordingSink sink;
    scan();
    int general = 0;
    for (const auto& e : sink.events)
        if (std::get<1>(e) == SSR_STAGE_COLLECT_FILE && std::get<3>(e) == SSR_REASON_GENERAL && std::get<2>(e).empty())
            ++general;
    if (general != 1) return 20 + general;
    if (sink.events.size() != 1) return 30;
    if (vrtest::ReadFileBytes(document).find("seen.exe") == std::string::npos) return 40;
    return 0;
}

TEST_F(ScanVisibility, WithoutThePrivilegeTheScanGoesOnAndSaysSoOnce) {
    MakeDir(m_tree);
    for (int i = 0; i < 20; ++i) MakeFile(m_tree + L"\\f" + std::to_wstring(i) + L".bin", "data");
    MakeFile(m_tree + L"\\seen.exe", "MZ seen");
    Configure(L"<Path>" + m_tree + L"</Path>");
    EXPECT_EXIT(std::exit(ScanWithoutThePrivilege([&] { Scan(); },
                                                  dir.path() + L"\\ssr_depot\\SSR_LastSoftState.xml")),
                ::testing::ExitedWithCode(0), "");
}

// The scope on a thread that already impersonates puts that token back,
// and never touches the process token that every other thread shares.
TEST(ThreadBackupPrivilege, EnabledOnTheThreadsOwnCopyAndRestoredAfter) {
    const bool processBefore = thread_has_backup_privilege();
    std::thread([&] {
        {
            CThreadBackupPrivilege reading;
            ASSERT_EQ(reading.error(), 0u) << "the test account holds the privilege";
            EXPECT_TRUE(thread_has_backup_privilege());
            bool otherThread = true;
            std::thread([&] { otherThread = thread_has_backup_privilege(); }).join();
            EXPECT_EQ(otherThread, processBefore) << "another thread sees the process token";
        }
        HANDLE token = nullptr;
        EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token));

        ASSERT_TRUE(::ImpersonateSelf(SecurityIdentification));
        VrBase::scope_exit revert([] { ::RevertToSelf(); });
        {
            CThreadBackupPrivilege reading;
            EXPECT_EQ(reading.error(), 0u);
            EXPECT_TRUE(thread_has_backup_privilege());
        }
        ASSERT_TRUE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) << "its own token is back";
        VrBase::unique_handle back(token);
        SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
        DWORD size = 0;
        ASSERT_TRUE(::GetTokenInformation(back.get(), TokenImpersonationLevel, &level, sizeof(level), &size));
        EXPECT_EQ(level, SecurityIdentification) << "the very token it had, not the scan's copy";
    }).join();
    EXPECT_EQ(thread_has_backup_privilege(), processBefore);
}

} // namespace
