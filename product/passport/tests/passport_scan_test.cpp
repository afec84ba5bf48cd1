// Two real scans of one tree, changed between them, written by the scan
// service's own walk, checksums and writer, then compared by vrpassport.exe:
// every change found, with its fields, and nothing else.
#include "exec/apartment_executor.h"
#include "ssr_disk_depot.h"
#include "ssr_file_info.h"
#include "ssr_path_review.h"

#include "scan_test_support.h"
#include "vrbase/trace.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

VR_DEFINE_MODULE_TRACE(L"VrPassportTests")

namespace {

using scantest::MakeDir;
using scantest::MakeFile;

struct Reported {
    std::string kind;
    std::set<std::string> fields;
    bool flagged = false;
};

class Tree {
public:
    explicit Tree(const std::wstring& root) : m_root(root) {}
    std::wstring operator()(const wchar_t* relative) const { return m_root + L"\\" + relative; }

    void Scan(const std::wstring& document, const std::wstring& id) const {
        PathSet targets{m_root}, exclusions;
        trg_paths_check_and_adjustment(targets, exclusions);
        VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        FileObjectMap files;
        targets_review(abort.get(), targets, exclusions, {}, L"OP", L"S-1-5-18", files);
        calc_fo_checksums(abort.get(), L"OP", L"S-1-5-18", files);
        exec::run_in_sta([&] { save_software_state_worker(document, id, files); });
    }

private:
    std::wstring m_root;
};

void Copy(const std::wstring& from, const std::wstring& to) {
    ASSERT_TRUE(::CopyFileW(from.c_str(), to.c_str(), FALSE)) << ::GetLastError();
}

// The text report, by path relative to the tree.
std::map<std::string, Reported> Parse(const std::string& output, const std::string& root) {
    std::map<std::string, Reported> out;
    Reported* current = nullptr;
    for (const std::string& line : vrtest::SplitLines(output)) {
        const std::string kind = line.substr(0, line.find(' '));
        if ((kind == "added" || kind == "removed" || kind == "changed") &&
            line.size() > 9 && line.find_first_not_of(' ', kind.size()) == 9) {
            std::string path = line.substr(9);
            if (path.compare(0, root.size() + 1, root + "\\") == 0) path = path.substr(root.size() + 1);
            current = &out[path];
            current->kind = kind;
        } else if (current && line.compare(0, 11, "         ! ") == 0) {
            current->flagged = true;
        } else if (current && line.compare(0, 9, "         ") == 0) {
            current->fields.insert(line.substr(9, line.find(':') - 9));
        }
    }
    return out;
}

TEST(PassportScan, TwoScansOfAChangedTree) {
    scantest::ProductLocale locale{L"en-US"};
    vrtest::TempDir dir{L"vrpscan"};
    const Tree t(dir.file(L"tree"));
    const std::wstring bin = vrtest::ModuleFolder();
    MakeDir(t(L""));
    MakeDir(t(L"a"));
    MakeFile(t(L"keep.txt"), "kept as it is");
    MakeFile(t(L"a.txt"), "prefix of a folder's name");
    MakeFile(t(L"a b.txt"), "sorts before the folder a");
    MakeFile(t(L"a\\x.txt"), "inside a");
    MakeFile(t(L"grow.txt"), "short");
    MakeFile(t(L"same-size.txt"), "aaaa");
    MakeFile(t(L"gone.txt"), "removed before the second scan");
    Copy(bin + L"vr_test_ver_ru_en.dll", t(L"patched.dll"));
    Copy(bin + L"vr_test_ver_ru_en.dll", t(L"replaced.dll"));
    Copy(bin + L"vr_test_ver_ru_en.dll", t(L"untouched.dll"));
    const std::wstring before = dir.file(L"before.xml"), after = dir.file(L"after.xml");
    t.Scan(before, L"BEFORE");

    // Change times are kept to the second: let one pass.
    ::Sleep(1100);
    MakeFile(t(L"grow.txt"), "grown longer");
    MakeFile(t(L"same-size.txt"), "bbbb");
    ASSERT_TRUE(::DeleteFileW(t(L"gone.txt").c_str()));
    std::string patched = vrtest::ReadFileBytes(t(L"patched.dll"));
    patched += "appended by a patch";
    MakeFile(t(L"patched.dll"), patched);
    Copy(bin + L"vr_test_ver_ctrl.dll", t(L"replaced.dll"));
    MakeFile(t(L"new.txt"), "new");
    MakeFile(t(L"a\\new.txt"), "new in a");
    t.Scan(after, L"AFTER");

    vrtest::CapturedChild child(bin + L"vrpassport.exe", L"diff \"" + before + L"\" \"" + after + L"\"");
    const std::string output = child.ReadAll();
    ASSERT_EQ(child.WaitExit(), 1u) << output;
    const std::wstring root = t(L"");
    std::map<std::string, Reported> got = Parse(output, std::string(root.begin(), root.end() - 1));

    ASSERT_EQ(got.count("replaced.dll"), 1u) << output;
    const Reported replaced = got["replaced.dll"];
    got.erase("replaced.dll");
    EXPECT_EQ(replaced.kind, "changed");
    EXPECT_FALSE(replaced.flagged) << "other version texts: an ordinary change";
    EXPECT_EQ(replaced.fields.count("checksum"), 1u) << output;
    EXPECT_EQ(replaced.fields.count("file version") + replaced.fields.count("description"), 2u) << output;

    const std::map<std::string, Reported> expected = {
        {"a\\new.txt", {"added", {}, false}},
        {"gone.txt", {"removed", {}, false}},
        {"grow.txt", {"changed", {"size", "change time", "checksum"}, false}},
        {"new.txt", {"added", {}, false}},
        {"patched.dll", {"changed", {"size", "change time", "checksum"}, true}},
        {"same-size.txt", {"changed", {"change time", "checksum"}, false}},
    };
    ASSERT_EQ(got.size(), expected.size()) << output;
    for (const auto& e : expected) {
        SCOPED_TRACE(e.first);
        ASSERT_EQ(got.count(e.first), 1u) << output;
        EXPECT_EQ(got[e.first].kind, e.second.kind);
        EXPECT_EQ(got[e.first].fields, e.second.fields) << output;
        EXPECT_EQ(got[e.first].flagged, e.second.flagged) << output;
    }
    EXPECT_NE(output.find("added 2, removed 1, changed 4 (checksum changed, version texts unchanged: 1)"),
              std::string::npos)
        << output;
}

// The writer puts U+FFFD in place of what XML cannot carry (U+FFFE, U+FFFF,
// a lone surrogate), while its entries stay in the order of the original
// paths: two names can then read back as one, or out of order. A document
// the scan service wrote must still be readable and equal to itself.
TEST(PassportScan, DocumentsWithNamesXmlCannotCarryAreRead) {
    vrtest::TempDir dir{L"vrpodd"};
    const std::wstring bin = vrtest::ModuleFolder();
    const std::wstring twice = dir.file(L"twice.xml"), order = dir.file(L"order.xml");
    FileObjectMap same;  // both names are written as "a" U+FFFD
    same[L"C:\\t\\a\xFFFE"].checksum = L"AA";
    same[L"C:\\t\\a\xFFFF"].checksum = L"BB";
    FileObjectMap swapped;  // U+D800 sorts before U+E000, U+FFFD after it
    swapped[L"C:\\t\\\xD800"].checksum = L"AA";
    swapped[L"C:\\t\\\xE000"].checksum = L"BB";
    exec::run_in_sta([&] { save_software_state_worker(twice, L"TWICE", same); });
    exec::run_in_sta([&] { save_software_state_worker(order, L"ORDER", swapped); });

    // Of two names read back alike, only the second changed: one change,
    // found by pairing them in the order they come.
    const std::wstring changed = dir.file(L"changed.xml");
    same[L"C:\\t\\a\xFFFF"].checksum = L"CC";
    exec::run_in_sta([&] { save_software_state_worker(changed, L"CHANGED", same); });
    vrtest::CapturedChild paired(bin + L"vrpassport.exe", L"diff \"" + twice + L"\" \"" + changed + L"\"");
    const std::string pairedOutput = paired.ReadAll();
    EXPECT_EQ(paired.WaitExit(), 1u) << pairedOutput;
    EXPECT_NE(pairedOutput.find("checksum: \"BB\" -> \"CC\""), std::string::npos) << pairedOutput;
    EXPECT_NE(pairedOutput.find("added 0, removed 0, changed 1 "), std::string::npos) << pairedOutput;

    for (const std::wstring& document : {twice, order}) {
        SCOPED_TRACE(std::string(document.begin(), document.end()));
        vrtest::CapturedChild summary(bin + L"vrpassport.exe", L"summary \"" + document + L"\"");
        const std::string text = summary.ReadAll();
        EXPECT_EQ(summary.WaitExit(), 0u) << text;
        EXPECT_NE(text.find("entries        2"), std::string::npos) << text;
        vrtest::CapturedChild diff(bin + L"vrpassport.exe", L"diff \"" + document + L"\" \"" + document + L"\"");
        const std::string changes = diff.ReadAll();
        EXPECT_EQ(diff.WaitExit(), 0u) << changes;
    }
}

}  // namespace
