// vrpassport.exe run as the administrator runs it, on documents the tests
// write: what it reports, its exit code, and how it refuses what it cannot
// compare.
#include "ses_text.h"
#include "support/test_support.h"
#include "vrbase/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

VR_DEFINE_MODULE_TRACE(L"VrPassportTests")

namespace {

using sestest::Item;

struct ToolRun {
    DWORD code;
    std::string output;
    std::vector<std::string> lines;
};

class Passport : public ::testing::Test {
protected:
    vrtest::TempDir dir{L"vrpassport"};

    std::wstring Write(const wchar_t* name, const std::string& bytes) {
        const std::wstring path = dir.file(name);
        vrtest::WriteFileBytes(path, bytes);
        return path;
    }
    static std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }
    static ToolRun Tool(const std::wstring& args) {
        vrtest::CapturedChild child(vrtest::ModuleFolder() + L"vrpassport.exe", args);
        ToolRun run;
        run.output = child.ReadAll();
        run.code = child.WaitExit();
        run.lines = vrtest::SplitLines(run.output);
        return run;
    }
    static std::wstring Q(const std::wstring& path) { return L"\"" + path + L"\""; }
};

// Paths the merge must order as the scan service's map does: case first
// (upper before lower), a name before the same name continued, a space and
// a dot before the backslash, and UTF-16 code units, in which a character
// above U+FFFF sorts before U+FF21 although its code point is larger.
const char kEmoji[] = "\xF0\x9F\x98\x80";       // U+1F600
const char kFullwidthA[] = "\xEF\xBC\xA1";      // U+FF21

std::vector<Item> OldItems() {
    std::vector<Item> v(12);
    v[0].path = "C:\\Dir\\APP.exe";
    v[1].path = "C:\\Dir\\App.exe";
    v[2].path = "C:\\Dir\\app.exe";
    v[3].path = "C:\\Dir\\b c\\d.txt";
    v[3].checksum = "";
    v[4].path = "C:\\Dir\\b.dll";
    v[5].path = "C:\\Dir\\b\\c.dll";
    v[5].description = "Tool & <Co>";
    v[6].path = "C:\\Dir\\bb\\e.txt";
    v[7].path = "C:\\Dir\\same.txt";
    v[7].description = "line one\nline two";
    v[8].path = "C:\\Dir\\zz.txt";
    v[9].path = "C:\\Dir\\zz.txt~";
    v[10].path = std::string("C:\\Dir\\") + kEmoji + ".txt";
    v[11].path = std::string("C:\\Dir\\") + kFullwidthA + ".txt";
    return v;
}

std::vector<Item> NewItems() {
    std::vector<Item> v = OldItems();
    v[1].checksum = "FEDCBA9876543210FEDCBA9876543210FEDCBA9876543210FEDCBA9876543210";  // patched in place
    v[3].checksum = "AB";                                                                  // now readable
    v[4].size = "2048";
    v[4].changeTime = "2026-06-01T10:00:00.000Z";
    v[5].description = "Tool & \"Co\"";
    v[5].fileVersion = "2.0.0.0";
    v[5].company = "Other";
    v[5].product = "Other product";
    v[5].productVersion = "2.0";
    v[5].checksum = "CD";
    v[6].type = "Text document";
    v[11].checksum = "EF";
    v[11].size = "7";
    Item added1, added2;
    added1.path = "C:\\Dir\\app.exe.bak";
    added2.path = "C:\\Zed\\x.sys";
    v.erase(v.begin() + 8);   // C:\Dir\zz.txt
    v.erase(v.begin() + 2);   // C:\Dir\app.exe
    v.insert(v.begin() + 2, added1);
    v.push_back(added2);
    return v;
}

TEST_F(Passport, EveryKindOfChangeIsReportedAndNothingElse) {
    const std::wstring older = Write(L"old.xml", sestest::document(OldItems(), "OLD-ID", "2026-12-01T00:00:00.000Z"));
    const std::wstring newer = Write(L"new.xml", sestest::document(NewItems(), "NEW-ID", "2026-12-08T00:00:00.000Z"));

    const ToolRun text = Tool(L"diff " + Q(older) + L" " + Q(newer));
    ASSERT_EQ(text.code, 1u) << text.output;
    const std::vector<std::string> expected = {
        "old  " + Narrow(older) + ": UniqueId OLD-ID, generated 2026-12-01T00:00:00.000Z, SID S-1-5-21-0-0-0",
        "new  " + Narrow(newer) + ": UniqueId NEW-ID, generated 2026-12-08T00:00:00.000Z, SID S-1-5-21-0-0-0",
        "changed  C:\\Dir\\App.exe",
        "         checksum: \"0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF\" -> "
        "\"FEDCBA9876543210FEDCBA9876543210FEDCBA9876543210FEDCBA9876543210\"",
        "         ! checksum changed, version texts unchanged",
        "removed  C:\\Dir\\app.exe",
        "added    C:\\Dir\\app.exe.bak",
        "changed  C:\\Dir\\b c\\d.txt",
        "         checksum: \"\" -> \"AB\"",
        "changed  C:\\Dir\\b.dll",
        "         size: \"1024\" -> \"2048\"",
        "         change time: \"2026-05-01T10:00:00.000Z\" -> \"2026-06-01T10:00:00.000Z\"",
        "changed  C:\\Dir\\b\\c.dll",
        "         description: \"Tool & <Co>\" -> \"Tool & \\\"Co\\\"\"",
        "         file version: \"1.2.3.4\" -> \"2.0.0.0\"",
        "         company: \"Example & Co\" -> \"Other\"",
        "         product name: \"Sample\" -> \"Other product\"",
        "         product version: \"1.2\" -> \"2.0\"",
        "         checksum: \"0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF\" -> \"CD\"",
        "changed  C:\\Dir\\bb\\e.txt",
        "         type: \"Application\" -> \"Text document\"",
        "removed  C:\\Dir\\zz.txt",
        std::string("changed  C:\\Dir\\") + kFullwidthA + ".txt",
        "         size: \"1024\" -> \"7\"",
        "         checksum: \"0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF\" -> \"EF\"",
        "         ! checksum changed, version texts unchanged",
        "added    C:\\Zed\\x.sys",
        "added 2, removed 2, changed 6 (checksum changed, version texts unchanged: 2)",
    };
    EXPECT_EQ(text.lines, expected);

    // The same changes for programs, in the same order.
    const ToolRun json = Tool(L"diff --json " + Q(older) + L" " + Q(newer));
    ASSERT_EQ(json.code, 1u) << json.output;
    size_t at = 0;
    for (const char* piece :
         {"\"uniqueId\":\"OLD-ID\"", "\"NetworkName\":\"WS-17\"", "\"uniqueId\":\"NEW-ID\"",
          "{\"kind\":\"changed\",\"path\":\"C:\\\\Dir\\\\App.exe\",\"fields\":[{\"field\":\"checksum\"",
          "\"checksumChangedVersionTextsUnchanged\":true}",
          "{\"kind\":\"removed\",\"path\":\"C:\\\\Dir\\\\app.exe\",\"entry\":{\"folder\":\"C:\\\\Dir\",\"name\":\"app.exe\"",
          "\"productVersion\":\"1.2\",\"size\":1024,\"changeTime\":",
          "{\"kind\":\"added\",\"path\":\"C:\\\\Dir\\\\app.exe.bak\"",
          "{\"field\":\"size\",\"old\":1024,\"new\":2048}",
          "{\"field\":\"description\",\"old\":\"Tool & <Co>\",\"new\":\"Tool & \\\"Co\\\"\"}",
          "{\"field\":\"fileVersion\",\"old\":\"1.2.3.4\",\"new\":\"2.0.0.0\"}",
          "{\"field\":\"productName\",\"old\":\"Sample\",\"new\":\"Other product\"}",
          "\"counts\":{\"added\":2,\"removed\":2,\"changed\":6,\"checksumChangedVersionTextsUnchanged\":2}}"}) {
        const size_t found = json.output.find(piece, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << piece << "\n" << json.output;
        if (found != std::string::npos) at = found;
    }
}

TEST_F(Passport, IdenticalEntriesAreNoChange) {
    const std::wstring a = Write(L"a.xml", sestest::document(OldItems(), "A", "2026-12-01T00:00:00.000Z"));
    const std::wstring b = Write(L"b.xml", sestest::document(OldItems(), "B", "2026-12-02T00:00:00.000Z"));
    ToolRun run = Tool(L"diff " + Q(a) + L" " + Q(b));
    EXPECT_EQ(run.code, 0u) << run.output;
    ASSERT_EQ(run.lines.size(), 3u) << run.output;
    EXPECT_EQ(run.lines[2], "added 0, removed 0, changed 0 (checksum changed, version texts unchanged: 0)");

    // Two empty scans, one written with an empty element's short form.
    std::string shortForm = sestest::document({});
    shortForm.replace(shortForm.find("<Software>\r\n  </Software>"), 25, "<Software/>");
    const std::wstring e1 = Write(L"e1.xml", sestest::document({})), e2 = Write(L"e2.xml", shortForm);
    run = Tool(L"diff " + Q(e1) + L" " + Q(e2));
    EXPECT_EQ(run.code, 0u) << run.output;

    // Everything is new against an empty scan.
    run = Tool(L"diff " + Q(e2) + L" " + Q(a));
    EXPECT_EQ(run.code, 1u) << run.output;
    EXPECT_EQ(run.lines.back(), "added 12, removed 0, changed 0 (checksum changed, version texts unchanged: 0)");
}

// Entries in another order than the writer's cannot be merged: the tool
// says where, rather than reporting changes that are not there.
TEST_F(Passport, AnOrderTheMergeCannotUseIsTrouble) {
    struct Case {
        const char* what;
        std::vector<std::string> paths;
        unsigned badEntry;
        const char* reason;
    } cases[] = {
        {"sorted ignoring case", {"C:\\a\\x.txt", "C:\\B\\y.txt"}, 1, "comes after C:\\a\\x.txt"},
        {"by code point", {std::string("C:\\") + kFullwidthA, std::string("C:\\") + kEmoji}, 1, "comes after"},
        {"a folder's files after its subfolders", {"C:\\a\\b\\c.txt", "C:\\a\\b.txt"}, 1, "comes after"},
        {"one path twice", {"C:\\a\\x.txt", "C:\\a\\y.txt", "C:\\a\\y.txt"}, 2, "the entry C:\\a\\y.txt appears twice"},
    };
    const std::wstring good = Write(L"good.xml", sestest::document({}));
    for (const Case& c : cases) {
        std::vector<Item> items;
        for (const std::string& p : c.paths) {
            items.emplace_back();
            items.back().path = p;
        }
        const std::wstring bad = Write(L"bad.xml", sestest::document(items));
        const std::string where = Narrow(bad) + ":" + std::to_string(sestest::entry_line(c.badEntry)) + ": ";
        for (const std::wstring& args : {Q(good) + L" " + Q(bad), Q(bad) + L" " + Q(good)}) {
            const ToolRun run = Tool(L"diff " + args);
            EXPECT_EQ(run.code, 2u) << c.what << "\n" << run.output;
            EXPECT_NE(run.output.find(where), std::string::npos) << c.what << "\n" << run.output;
            EXPECT_NE(run.output.find(c.reason), std::string::npos) << c.what << "\n" << run.output;
        }
        const ToolRun summary = Tool(L"summary " + Q(bad));
        EXPECT_EQ(summary.code, 2u) << c.what << "\n" << summary.output;
    }
}

}  // namespace
