// The document and events of a whole scan of a generated tree, against the
// reference kept beside the test (made by the plain one-file-at-a-time
// scan): every entry byte for byte, files that fail included. Only what
// changes from run to run or machine to machine is masked: the tree's
// folder, the document's id, date, host and computer record, change times
// taken now, and the size and checksum of the test DLLs the toolchain
// builds (those are checked against the DLLs themselves instead).
#include "ssr_disk_depot.h"
#include "ssr_file_info.h"
#include "ssr_path_review.h"

#include "exec/apartment_executor.h"
#include "time_convertions.h"
#include "scan_test_support.h"
#include "vrbase/vr_error.h"
#include "vrbasecrypt/gost_r_3411_1994.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

namespace {

using scantest::MakeDir;
using scantest::MakeFile;

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + (i >> 9)) & 0xFF);
    return s;
}

std::string Utf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

void SetWriteTime(const std::wstring& path) {
    VrBase::unique_hfile file(
        ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    SYSTEMTIME at{2001, 2, 0, 3, 4, 5, 6, 0};
    FILETIME ft;
    ::SystemTimeToFileTime(&at, &ft);
    ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &ft));
}

std::string ChecksumOf(const std::string& bytes) {
    GOST_R_3411_1994::CAccumulativeHash hash(nullptr, GOST_R_3411_1994::test_param_block());
    hash.Add(bytes.data(), bytes.size());
    BYTE digest[32];
    hash.Finish(digest, sizeof(digest));
    return Utf8(GOST_R_3411_1994::checksum_text(digest));
}

std::string ElementText(const std::string& entry, const std::string& name) {
    const std::regex element("<" + name + "[^>]*>([^<]*)</" + name + ">");
    std::smatch found;
    return std::regex_search(entry, found, element) ? found[1].str() : std::string();
}

class ScanReference : public ::testing::Test {
protected:
    vrtest::TempDir dir{L"vrscanref"};
    scantest::ProductLocale locale{L"en-US"};
    std::wstring root = dir.file(L"tree");
    // The copied test DLLs: the copy's path to the DLL's name.
    std::map<std::string, std::string> m_copies;

    void CopyTestDll(const wchar_t* name, const std::wstring& to) {
        ASSERT_TRUE(::CopyFileW((vrtest::ModuleFolder() + name).c_str(), to.c_str(), FALSE)) << ::GetLastError();
        m_copies[Utf8(to)] = Utf8(name);
    }

    // The size and checksum of each copied DLL's entry are checked against
    // the DLL itself, then masked: the toolchain decides its bytes.
    std::string MaskCopies(const std::string& document) {
        std::string out;
        size_t at = 0, checked = 0;
        for (size_t open; (open = document.find("<SI>", at)) != std::string::npos;) {
            const size_t close = document.find("</SI>", open);
            if (close == std::string::npos) break;
            std::string entry = document.substr(open, close - open);
            const auto copy = m_copies.find(ElementText(entry, "P") + "\\" + ElementText(entry, "N"));
            if (copy != m_copies.end()) {
                ++checked;
                const std::string dll = vrtest::ReadFileBytes(vrtest::ModuleFolder() + std::wstring(copy->second.begin(), copy->second.end()));
                EXPECT_EQ(ElementText(entry, "S"), std::to_string(dll.size())) << copy->first;
                EXPECT_EQ(ElementText(entry, "CS"), ChecksumOf(dll)) << copy->first;
                entry = std::regex_replace(entry, std::regex("(<S [^>]*>)[^<]*</S>"), "$1(" + copy->second + ")</S>");
                entry = std::regex_replace(entry, std::regex("(<CS [^>]*>)[^<]*</CS>"),
                                           "$1(" + copy->second + ")</CS>");
            }
            out.append(document, at, open - at).append(entry);
            at = close;
        }
        EXPECT_EQ(checked, m_copies.size()) << "every copied DLL has its entry";
        return out.append(document, at, std::string::npos);
    }


    // Files of every kind the scan tells apart, over nested folders, with
    // sizes around the read chunk; names fix the map's order.
    void MakeTree() {
        MakeDir(root);
        MakeFile(root + L"\\empty.bin", "");
        MakeFile(root + L"\\one.txt", "x");
        MakeFile(root + L"\\LICENSE", "license");
        MakeFile(root + L"\\mz2.exe", "MZ");
        MakeFile(root + L"\\mzjunk.dll", "MZ" + Pattern(300, 1));
        MakeFile(root + L"\\chunk.bin", Pattern(1048576, 2));
        MakeFile(root + L"\\chunkplus.bin", Pattern(1048577, 3));
        MakeFile(root + L"\\old.txt", "written long ago");
        SetWriteTime(root + L"\\old.txt");
        CopyTestDll(L"vr_test_ver_ru_en.dll", root + L"\\ru_en.dll");
        CopyTestDll(L"vr_test_ver_ctrl.dll", root + L"\\ctrl.exe");
        CopyTestDll(L"vr_test_ver_notrans.dll", root + L"\\notrans.drv");
        for (int d = 0; d < 6; ++d) {
            const std::wstring folder = root + L"\\d" + std::to_wstring(d);
            MakeDir(folder);
            MakeDir(folder + L"\\inner");
            for (int i = 0; i < 24; ++i) {
                const std::wstring name = folder + (i % 4 == 3 ? L"\\inner" : L"") + L"\\f" + std::to_wstring(i) +
                                          (i % 3 == 0 ? L".dll" : i % 3 == 1 ? L".txt" : L".dat");
                if (i % 8 == 5)
                    CopyTestDll(i % 16 == 5 ? L"vr_test_ver_ru_en.dll" : L"vr_test_ver_ctrl.dll", name);
                else
                    MakeFile(name, (i % 6 == 0 ? "MZ" : "") + Pattern((i * 7919 + d * 104729) % 70000, i + d));
            }
        }
        MakeFile(root + L"\\a_held_for_writing.log", "being written");
        MakeFile(root + L"\\b_held_whole.dll", "MZ held with no sharing");
        SetWriteTime(root + L"\\b_held_whole.dll");
        MakeFile(root + L"\\d_delete_pending.txt", "on its way out");
        MakeFile(root + L"\\zz_vanishes.txt", "gone before its checksum");
    }

    // The document and events with what changes between runs masked.
    std::string Normalised(const std::string& document, const scantest::RecordingSink& sink) {
        std::string text = Replace(MaskCopies(document), Utf8(root), "<TREE>");
        text = std::regex_replace(text, std::regex("<UniqueId>[^<]*</UniqueId>"), "<UniqueId/>");
        text = std::regex_replace(text, std::regex("<DateGenerated>[^<]*</DateGenerated>"), "<DateGenerated/>");
        text = std::regex_replace(text, std::regex("<SID>[^<]*</SID>"), "<SID/>");
        text = scantest::MaskComputerRecord(text);
        text = std::regex_replace(text, std::regex("(<CD[^>]*>)(?!2001)[^<]+</CD>"), "$1(now)</CD>");
        std::ostringstream out;
        out << text << "\n--- events\n";
        for (const auto& e : sink.events)
            out << std::get<1>(e) << ' ' << std::get<3>(e) << ' '
                << Replace(Utf8(std::get<2>(e)), Utf8(root), "<TREE>") << '\n';
        return out.str();
    }
};

TEST_F(ScanReference, DocumentAndEventsEqualTheReference) {
    MakeTree();
    VrBase::unique_hfile writer(::CreateFileW((root + L"\\a_held_for_writing.log").c_str(), GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    VrBase::unique_hfile whole(
        ::CreateFileW((root + L"\\b_held_whole.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer && whole);
    // Unreadable: its deletion pending.
    VrBase::unique_hfile leaving(::CreateFileW((root + L"\\d_delete_pending.txt").c_str(), DELETE | GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    FILE_DISPOSITION_INFO disposition{TRUE};
    ASSERT_TRUE(::SetFileInformationByHandle(leaving.get(), FileDispositionInfo, &disposition, sizeof(disposition)));

    scantest::RecordingSink sink;
    VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    PathSet targets{root}, exclusions, extensions;
    trg_paths_check_and_adjustment(targets, exclusions);
    FileObjectMap files;
    {
        // Written to while walked, so the walk cannot take its checksum, and
        // gone before the checksum pass comes to it.
        VrBase::unique_hfile busy(::CreateFileW((root + L"\\zz_vanishes.txt").c_str(), GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                nullptr));
        ASSERT_TRUE(busy);
        targets_review(abort.get(), targets, exclusions, extensions, L"OP", L"S-1-5-21-1", files);
    }
    ASSERT_TRUE(::DeleteFileW((root + L"\\zz_vanishes.txt").c_str()));
    calc_fo_checksums(abort.get(), L"OP", L"S-1-5-21-1", files);
    const std::wstring document = dir.file(L"document.xml");
    exec::run_in_sta([&] { save_software_state_worker(document, L"REFERENCE", files); });

    // Change times are masked above; one is checked here: the file's change
    // time, not its last write time set back to 2001.
    FILE_BASIC_INFO basic{};
    {
        VrBase::unique_hfile old(::CreateFileW((root + L"\\old.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(::GetFileInformationByHandleEx(old.get(), FileBasicInfo, &basic, sizeof(basic)));
    }
    FILETIME changeTime;
    changeTime.dwLowDateTime = static_cast<DWORD>(basic.ChangeTime.QuadPart & 0xFFFFFFFF);
    changeTime.dwHighDateTime = static_cast<DWORD>(basic.ChangeTime.QuadPart >> 32);
    EXPECT_EQ(files[root + L"\\old.txt"].change_time, convert_time_to_iso_str(changeTime));

    const std::string actual = Normalised(vrtest::ReadFileBytes(document), sink);
    const std::string reference = vrtest::ReadFileBytes(vrtest::ModuleFolder() + L"scan_reference.txt");
    if (actual != reference) vrtest::WriteFileBytes(vrtest::ModuleFolder() + L"scan_reference.actual.txt", actual);
    EXPECT_TRUE(actual == reference) << "the scan's document or events differ from the reference; see "
                                        "scan_reference.actual.txt beside the test";
}

} // namespace
