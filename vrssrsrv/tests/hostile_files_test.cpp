// What any local user can put into a scanned folder must never end, blind
// or stall the scan. Each walk runs in a child process (scan_child.exe), so a
// crash shows here as a failed test.
#include "scan_test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

struct ChildFile {
    std::string type, company, description, version, size, checksum;
};

struct ChildScan {
    DWORD exitCode = 0;
    bool done = false;
    std::map<std::string, ChildFile> files;  // by name below the folder
    std::vector<std::string> events;         // "stage reason name"
    std::string output;
};

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) fields.push_back(field);
    if (!line.empty() && line.back() == '\t') fields.push_back(std::string());
    return fields;
}

ChildScan RunScan(const std::wstring& folder) {
    vrtest::CapturedChild child(vrtest::ModuleFolder() + L"scan_child.exe", L"\"" + folder + L"\"");
    ChildScan scan;
    scan.output = child.ReadAll();
    scan.exitCode = child.WaitExit(120000);
    const std::string prefix = std::string(folder.begin(), folder.end()) + "\\";
    auto name = [&](const std::string& path) {
        return path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
    };
    std::stringstream lines(scan.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> f = Fields(line);
        if (f.size() == 8 && f[0] == "FILE")
            scan.files[name(f[1])] = {f[2], f[3], f[4], f[5], f[6], f[7]};
        else if (f.size() == 4 && f[0] == "EVENT")
            scan.events.push_back(f[1] + " " + f[2] + " " + name(f[3]));
        else if (line.rfind("DONE ", 0) == 0)
            scan.done = true;
    }
    return scan;
}

// A chain of folders deeper than a walk that recursed per level could hold
// on the walking thread's stack (the child has half the service's;
// 1,900 levels on the service's 2 MiB are walked the same, only slowly under
// Wine). Built and removed a level at a time near the top, where paths are
// short: Wine takes time in proportion to a path's depth.
TEST(HostileFiles, DeepFolderChainIsWalkedToItsBottom) {
    scantest::ProductLocale locale(L"en-US");
    vrtest::TempDir dir(L"vrdeep");
    const int levels = 1200;
    const std::wstring top = dir.file(L"d");
    ASSERT_TRUE(::CreateDirectoryW(top.c_str(), nullptr));
    scantest::MakeFile(top + L"\\bottom.txt", "bottom");
    for (int i = 1; i < levels; ++i) {
        const std::wstring above = dir.file(L"up");
        ASSERT_TRUE(::CreateDirectoryW(above.c_str(), nullptr));
        ASSERT_TRUE(::MoveFileW(top.c_str(), (above + L"\\d").c_str())) << i;
        ASSERT_TRUE(::MoveFileW(above.c_str(), top.c_str())) << i;
    }
    scantest::MakeFile(dir.file(L"top.txt"), "top");
    VrBase::scope_exit removeChain([&] {
        for (int i = 1; i < levels; ++i) {
            const std::wstring below = dir.file(L"below");
            ::MoveFileW((top + L"\\d").c_str(), below.c_str());
            ::RemoveDirectoryW(top.c_str());
            ::MoveFileW(below.c_str(), top.c_str());
        }
    });

    ChildScan scan = RunScan(dir.path());
    EXPECT_EQ(scan.exitCode, 0u) << scan.output.substr(0, 2000);
    EXPECT_TRUE(scan.done) << "the walk must finish";
    EXPECT_EQ(scan.files.size(), 2u);
    std::string bottom = "d";
    for (int i = 1; i < levels; ++i) bottom += "\\d";
    ASSERT_EQ(scan.files.count(bottom + "\\bottom.txt"), 1u);
    EXPECT_EQ(scan.files[bottom + "\\bottom.txt"].size, "6");
    EXPECT_EQ(scan.files[bottom + "\\bottom.txt"].checksum.size(), 64u);
}

// Broken version resources leave the file in the result with empty version
// texts; a language the system does not know, and a file nobody can open,
// leave it there too, the latter with its events.
TEST(HostileFiles, CraftedFilesStayInTheResultAndNeverEndTheScan) {
    scantest::ProductLocale locale(L"en-US");
    vrtest::TempDir dir(L"vrhostile");
    const std::wstring crafted = vrtest::ModuleFolder() + L"crafted\\";
    const char* broken[] = {"child-length.dll", "layout-16bit.dll", "entry-past-end.dll", "entry-huge.dll",
                            "entry-offset.dll", "string-no-terminator.dll", "translation-huge.dll"};
    std::vector<std::string> names(std::begin(broken), std::end(broken));
    names.push_back("sound.dll");
    names.push_back("unknown-language.dll");
    for (const std::string& name : names) {
        const std::wstring w(name.begin(), name.end());
        ASSERT_TRUE(::CopyFileW((crafted + w).c_str(), dir.file(w).c_str(), FALSE)) << name;
    }
    // Held with no sharing at all, as the system holds hives and page files.
    scantest::MakeFile(dir.file(L"held.bin"), "held contents");
    VrBase::unique_hfile held(::CreateFileW(dir.file(L"held.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    // Being written, as a log is: its contents are known to hold no image.
    scantest::MakeFile(dir.file(L"written.log"), "log line");
    VrBase::unique_hfile writer(::CreateFileW(dir.file(L"written.log").c_str(), GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);

    ChildScan scan = RunScan(dir.path());
    ASSERT_EQ(scan.exitCode, 0u) << scan.output.substr(0, 2000);
    ASSERT_TRUE(scan.done) << scan.output.substr(0, 2000);
    EXPECT_EQ(scan.files.size(), names.size() + 2);

    const ChildFile& sound = scan.files["sound.dll"];
    EXPECT_EQ(sound.company, "Crafted Co") << "the generator's layout is read as any file's";
    EXPECT_EQ(sound.description, "Crafted file");
    EXPECT_EQ(sound.version, "1.2.3.4");
    EXPECT_EQ(sound.type, "Application");

    for (const char* name : broken) {
        ASSERT_EQ(scan.files.count(name), 1u) << name;
        const ChildFile& f = scan.files[name];
        EXPECT_EQ(f.company + f.description + f.version, "") << name;
        EXPECT_EQ(f.type, "Unknown (.dll)") << name;
        EXPECT_EQ(f.checksum.size(), 64u) << name;
    }

    ASSERT_EQ(scan.files.count("unknown-language.dll"), 1u);
    EXPECT_EQ(scan.files["unknown-language.dll"].company, "Unknown Language Co");

    ASSERT_EQ(scan.files.count("held.bin"), 1u);
    EXPECT_EQ(scan.files["held.bin"].size, "13") << "the size the folder listing knows";
    EXPECT_EQ(scan.files["held.bin"].checksum, "");
    ASSERT_EQ(scan.files.count("written.log"), 1u);
    EXPECT_EQ(scan.files["written.log"].type, "Unknown (.log)");
    EXPECT_EQ(scan.events, (std::vector<std::string>{"103 106 held.bin", "104 106 held.bin", "104 106 written.log"}))
        << "collecting a file being written is no failure; hashing it is";
}

// The version resource that the platform picks is the one checked: it finds
// the version type by a binary search over the directory's id entries (not
// the first entry that matches), and copies the resource from the image as
// a loader maps it (a section's virtual size, not its raw data; a later
// section over an earlier one at the same address; raw data from the sector
// boundary at or below its pointer).
TEST(HostileFiles, TheVersionResourceThePlatformReadsIsTheOneChecked) {
    scantest::ProductLocale locale(L"en-US");
    const std::wstring crafted = vrtest::ModuleFolder() + L"crafted\\";
    const char* broken[] = {"type-twice.dll", "type-named.dll", "mapped-short.dll", "sections-overlap.dll",
                            "raw-unaligned.dll"};
    // One walk per file: a file that ends the process must not hide the next.
    for (const char* name : broken) {
        vrtest::TempDir dir(L"vrtypes");
        const std::string n(name);
        const std::wstring w(n.begin(), n.end());
        ASSERT_TRUE(::CopyFileW((crafted + w).c_str(), dir.file(w).c_str(), FALSE)) << name;

        ChildScan scan = RunScan(dir.path());
        EXPECT_EQ(scan.exitCode, 0u) << name;
        EXPECT_TRUE(scan.done) << name;
        EXPECT_EQ(scan.files.count(name), 1u) << name;
        EXPECT_EQ(scan.files[name].checksum.size(), 64u) << name;
    }
}

} // namespace
