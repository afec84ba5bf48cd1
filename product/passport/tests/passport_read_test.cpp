// What vrpassport.exe makes of one document: the summary of a sound one,
// and for a broken one the line and the reason, never a crash or a result.
#include "ses_text.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

namespace {

using sestest::Item;

struct ToolRun {
    DWORD code;
    std::string output;
};

ToolRun Tool(const std::wstring& args) {
    vrtest::CapturedChild child(vrtest::ModuleFolder() + L"vrpassport.exe", args);
    ToolRun run;
    run.output = child.ReadAll();
    run.code = child.WaitExit();
    return run;
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

std::vector<Item> SummaryItems() {
    std::vector<Item> v(5);
    v[0].path = "C:\\Apps\\big.bin";
    v[0].size = "18446744073709551615";
    v[0].type = "Data";
    v[1].path = "C:\\Apps\\locked.dll";
    v[1].checksum = "";
    v[2].path = "C:\\Apps\\tool.exe";
    v[2].size = "0";
    v[3].path = "C:\\Apps\\z\\tab\there.txt";
    v[3].size = "10";
    v[4].path = "C:\\Apps\\\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt";  // Cyrillic name, after 'z'
    v[4].type = "";
    v[4].checksum = "";
    v[4].size = "10";
    return v;
}

TEST(PassportSummary, IdentityTotalsTypesLargestAndMissingChecksums) {
    vrtest::TempDir dir(L"vrpassport");
    const std::wstring path = dir.file(L"doc.xml");
    vrtest::WriteFileBytes(path, sestest::document(SummaryItems(), "SUM-ID"));
    const ToolRun run = Tool(L"summary \"" + path + L"\"");
    ASSERT_EQ(run.code, 0u) << run.output;
    const std::vector<std::string> expected = {
        "document       " + Narrow(path),
        "UniqueId       SUM-ID",
        "DateGenerated  2026-12-07T03:32:39.000Z",
        "SID            S-1-5-21-0-0-0",
        "Computer",
        "  SerialNumber: ",
        "  Type: ",
        "  ResponsibleEmployee: ",
        "  Department: ",
        "  NetworkName: WS-17",
        "  NetworkAddress: ",
        "  AutomationSystem: ",
        "  OperatingSystem: ",
        "  DBMS: ",
        "  Location: ",
        "entries        5",
        "total size     more than 2^64 bytes",
        "by type",
        "  3  Application",
        "  1  (none)",
        "  1  Data",
        "largest files",
        "  18446744073709551615  C:\\Apps\\big.bin",  // sizes right-aligned
        "                  1024  C:\\Apps\\locked.dll",
        "                    10  \"C:\\\\Apps\\\\z\\\\tab\\there.txt\"",  // a control character: quoted, read back one way
        "                    10  C:\\Apps\\\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt",
        "                     0  C:\\Apps\\tool.exe",
        "without checksum 2",
        "  C:\\Apps\\locked.dll",
        "  C:\\Apps\\\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt",
    };
    EXPECT_EQ(vrtest::SplitLines(run.output), expected);
}

// The inventory a spreadsheet or a program reads: every entry in document
// order, each value exactly once, whatever its characters.
TEST(PassportList, EveryEntryInEachFormReadsBackExactly) {
    std::vector<Item> items = SummaryItems();
    Item formula;
    formula.path = "C:\\Apps\\=HYPERLINK(\"x\",1).exe";  // a formula by its name, with a comma and quotes
    formula.description = "-2+3";
    formula.company = "A, B \"and\" C";
    items.insert(items.begin(), formula);  // '=' sorts before 'b'
    vrtest::TempDir dir(L"vrpassport");
    const std::wstring path = dir.file(L"doc.xml");
    vrtest::WriteFileBytes(path, sestest::document(items, "LIST-ID"));
    const std::string cyrillic = "C:\\Apps\\\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt";
    const std::string sum = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";

    ToolRun run = Tool(L"list \"" + path + L"\"");
    ASSERT_EQ(run.code, 0u) << run.output;
    const std::vector<std::string> text = {
        sum + "  1024  C:\\Apps\\=HYPERLINK(\"x\",1).exe",
        sum + "  18446744073709551615  C:\\Apps\\big.bin",
        "-  1024  C:\\Apps\\locked.dll",
        sum + "  0  C:\\Apps\\tool.exe",
        sum + "  10  \"C:\\\\Apps\\\\z\\\\tab\\there.txt\"",
        "-  10  " + cyrillic,
    };
    EXPECT_EQ(vrtest::SplitLines(run.output), text);

    run = Tool(L"list --csv \"" + path + L"\"");
    ASSERT_EQ(run.code, 0u) << run.output;
    const std::string row = ",Application,1.2.3.4,Example & Co,Sample,1.2,";
    const std::string csv =
        "path,folder,name,description,type,fileVersion,company,productName,productVersion,size,changeTime,checksum\r\n"
        "\"C:\\Apps\\=HYPERLINK(\"\"x\"\",1).exe\",C:\\Apps,\"'=HYPERLINK(\"\"x\"\",1).exe\",'-2+3,Application,1.2.3.4,"
        "\"A, B \"\"and\"\" C\",Sample,1.2,1024,2026-05-01T10:00:00.000Z," + sum + "\r\n"
        "C:\\Apps\\big.bin,C:\\Apps,big.bin,Sample tool,Data,1.2.3.4,Example & Co,Sample,1.2,18446744073709551615,"
        "2026-05-01T10:00:00.000Z," + sum + "\r\n"
        "C:\\Apps\\locked.dll,C:\\Apps,locked.dll,Sample tool" + row + "1024,2026-05-01T10:00:00.000Z,\r\n"
        "C:\\Apps\\tool.exe,C:\\Apps,tool.exe,Sample tool" + row + "0,2026-05-01T10:00:00.000Z," + sum + "\r\n"
        "C:\\Apps\\z\\tab\there.txt,C:\\Apps\\z,tab\there.txt,Sample tool" + row + "10,2026-05-01T10:00:00.000Z," + sum + "\r\n" +
        cyrillic + ",C:\\Apps," + cyrillic.substr(8) + ",Sample tool,,1.2.3.4,Example & Co,Sample,1.2,10,"
        "2026-05-01T10:00:00.000Z,\r\n";
    EXPECT_EQ(run.output, csv);

    run = Tool(L"list --json \"" + path + L"\"");
    ASSERT_EQ(run.code, 0u) << run.output;
    const std::vector<std::string> json = vrtest::SplitLines(run.output);
    ASSERT_EQ(json.size(), 10u) << run.output;
    EXPECT_EQ(json[0].rfind("{\"document\":{\"file\":", 0), 0u) << json[0];
    EXPECT_NE(json[0].find("\"uniqueId\":\"LIST-ID\""), std::string::npos) << json[0];
    EXPECT_EQ(json[1], "\"entries\":[");
    EXPECT_EQ(json[2],
              "{\"path\":\"C:\\\\Apps\\\\=HYPERLINK(\\\"x\\\",1).exe\",\"folder\":\"C:\\\\Apps\",\"name\":"
              "\"=HYPERLINK(\\\"x\\\",1).exe\",\"description\":\"-2+3\",\"type\":\"Application\",\"fileVersion\":\"1.2.3.4\","
              "\"company\":\"A, B \\\"and\\\" C\",\"productName\":\"Sample\",\"productVersion\":\"1.2\",\"size\":1024,"
              "\"changeTime\":\"2026-05-01T10:00:00.000Z\",\"checksum\":\"" + sum + "\"},");
    EXPECT_NE(json[3].find("\"size\":18446744073709551615,"), std::string::npos) << json[3];
    EXPECT_NE(json[4].find("\"checksum\":\"\"}"), std::string::npos) << json[4];
    EXPECT_NE(json[6].find("\"name\":\"tab\\there.txt\""), std::string::npos) << json[6];
    EXPECT_EQ(json[8], "],");
    EXPECT_EQ(json[9], "\"count\":6}");

    // An empty passport is an empty list, and a broken one is trouble
    // named with its line, in every form.
    vrtest::WriteFileBytes(path, sestest::document({}));
    run = Tool(L"list --json \"" + path + L"\"");
    EXPECT_EQ(run.code, 0u) << run.output;
    const std::vector<std::string> empty = vrtest::SplitLines(run.output);
    EXPECT_EQ(std::vector<std::string>(empty.begin() + std::min<size_t>(1, empty.size()), empty.end()),
              (std::vector<std::string>{"\"entries\":[],", "\"count\":0}"}))
        << run.output;
    std::string cut = sestest::document(items);
    cut.resize(cut.find("</SI>") + 200);
    vrtest::WriteFileBytes(path, cut);
    for (const wchar_t* form : {L"", L"--csv ", L"--json "}) {
        run = Tool(L"list " + std::wstring(form) + L"\"" + path + L"\"");
        EXPECT_EQ(run.code, 2u) << run.output;
        EXPECT_NE(run.output.find("cut short"), std::string::npos) << run.output;
    }
}

struct Broken {
    const char* what;
    std::string from, to;  // the first occurrence of from becomes to
    unsigned line;
    const char* reason;
};

TEST(PassportBroken, EachFaultIsNamedWithItsLine) {
    std::vector<Item> items(2);
    items[0].path = "C:\\a\\one.exe";
    items[1].path = "C:\\a\\two.exe";
    const std::string sound = sestest::document(items);
    const unsigned si = sestest::entry_line(0);
    const std::string tooLong(1100000, 'x');
    std::string attributes;  // one a line, the 65th on line si + 65
    for (int i = 0; i < 65; ++i) attributes += "\r\n a" + std::to_string(i) + "=\"\"";
    const Broken cases[] = {
        {"unknown entity", "Example &amp; Co", "Example &bogus; Co", si + 6, "unknown entity reference &bogus;"},
        {"crossed tags", "one.exe</N>", "one.exe</P>", si + 2, "end tag </P> where </N> was expected"},
        {"a value missing", "      <CS dt:dt=\"string\">" + items[0].checksum + "</CS>\r\n", "", si + 11, "has no <CS>"},
        {"size not a number", "<S dt:dt=\"i8\">1024", "<S dt:dt=\"i8\">10x4", si, "the size \"10x4\" is not"},
        {"size past 64 bits", "<S dt:dt=\"i8\">1024", "<S dt:dt=\"i8\">18446744073709551616", si, "unsigned decimal"},
        {"type declaration", "<RarudodaVaridide", "<!DOCTYPE r [<!ENTITY a \"b\">]><RarudodaVaridide", 2,
         "document type declaration"},
        {"UTF-16", "\xEF\xBB\xBF", "\xFF\xFE", 1, "UTF-16"},
        {"another encoding", "encoding=\"UTF-8\"", "encoding=\"windows-1251\"", 1, "only UTF-8"},
        {"bytes that are not UTF-8", "Sample tool", "Sample \xC3\x28tool", si + 3, "not UTF-8"},
        {"a forbidden character", "Sample tool", "Sample &#0;tool", si + 3, "XML does not allow"},
        {"another root", "<RarudodaVaridide xmlns", "<Inventory xmlns", 2, "not a software state document"},
        {"text among elements", "<SI>", "<SI>stray", si, "text where only elements belong"},
        {"element inside a value", "one.exe</N>", "one<b/>.exe</N>", si + 2, "element <b> inside <N>"},
        {"unknown element in an entry", "    </SI>", "      <Extra/>\r\n    </SI>", si + 12, "unexpected element <Extra>"},
        {"a value twice", "    </SI>", "      <P>C:\\x</P>\r\n    </SI>", si + 12, "<P> appears twice"},
        {"no entries element", "  <Software>", "  <Programs>", si - 1, "unexpected element <Programs>"},
        {"unquoted attribute", "<N dt:dt=\"string\">", "<N dt:dt=string>", si + 2, "without quotes"},
        {"second root", "</RarudodaVaridide>\r\n", "</RarudodaVaridide>\r\n<RarudodaVaridide/>", 47,
         "a second root element"},
        {"a value over 1 MiB", "Sample tool", tooLong, si + 3, "longer than 1 MiB"},
        {"attributes without bound", "<SI>", "<SI" + attributes + ">", si + 65, "more than 64 attributes on <SI>"},
        {"bad bytes in a value's third line", "<N dt:dt=\"string\">", "<N dt:dt=\"str\r\n\nin\xC3\x28g\">", si + 4,
         "not UTF-8"},
        // Document bytes are quoted escaped: no terminal control, no bytes that are not UTF-8.
        {"controls in a quoted reference", "Example &amp; Co", "Example &\x1B[2J\x9B; Co", si + 6,
         "unknown entity reference &\\x1B[2J\\x9B;"},
        {"a byte that is not UTF-8 in a quoted reference", "Example &amp; Co", "Example &#\xFF; Co", si + 6,
         "malformed character reference &#\\xFF;"},
    };
    vrtest::TempDir dir(L"vrpassport");
    const std::wstring good = dir.file(L"good.xml"), bad = dir.file(L"bad.xml");
    vrtest::WriteFileBytes(good, sound);
    for (const Broken& c : cases) {
        std::string text = sound;
        const size_t at = text.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.what;
        text.replace(at, c.from.size(), c.to);
        vrtest::WriteFileBytes(bad, text);
        const ToolRun run = Tool(L"diff \"" + good + L"\" \"" + bad + L"\"");
        EXPECT_EQ(run.code, 2u) << c.what << "\n" << run.output.substr(0, 2000);
        const std::string where = Narrow(bad) + ":" + std::to_string(c.line) + ": ";
        const size_t reportedAt = run.output.find(where);
        EXPECT_TRUE(reportedAt != std::string::npos && run.output.find(c.reason, reportedAt) != std::string::npos)
            << c.what << ": expected " << where << "..." << c.reason << "\n" << run.output.substr(0, 2000);
        EXPECT_EQ(vrtest::ReadFileBytes(bad), text) << "documents are only read";
    }
}

// A document cut anywhere, also inside a tag, a value or a character, is
// refused with a line inside it: what a copy cut short by a full disk or
// a broken transfer looks like.
TEST(PassportBroken, EveryTruncationIsRefusedWithItsLine) {
    std::vector<Item> items(2);
    items[0].path = "C:\\a\\two.exe";
    items[1].path = "C:\\a\\\xD0\xBE\xD0\xB4\xD0\xB8\xD0\xBD.exe";
    const std::string sound = sestest::document(items);
    vrtest::TempDir dir(L"vrpassport");
    const std::wstring cut = dir.file(L"cut.xml");
    std::vector<size_t> lineStarts;
    for (size_t i = 0; i < sound.size(); ++i)
        if (i == 0 || sound[i - 1] == '\n') lineStarts.push_back(i);
    const size_t end = sound.rfind("</RarudodaVaridide>") + 19;  // shorter than this is cut
    unsigned line = 0;
    for (size_t start : lineStarts) {
        ++line;
        const size_t next = sound.find('\n', start);
        for (size_t length : {start, start + (next - start) / 2, std::min(start + 7, next)}) {
            if (length >= end) continue;
            vrtest::WriteFileBytes(cut, sound.substr(0, length));
            const ToolRun run = Tool(L"summary \"" + cut + L"\"");
            ASSERT_EQ(run.code, 2u) << "cut at " << length << "\n" << run.output;
            const std::string prefix = "vrpassport: " + Narrow(cut) + ":";
            ASSERT_EQ(run.output.compare(0, prefix.size(), prefix), 0) << run.output;
            const unsigned reported = std::stoul(run.output.substr(prefix.size()));
            EXPECT_GE(reported, line > 1 ? line - 1 : 1) << "cut at " << length << ": " << run.output;
            EXPECT_LE(reported, line) << "cut at " << length << ": " << run.output;
        }
    }
}

TEST(PassportUsage, WrongArgumentsAreNamedAndHelpIsNoTrouble) {
    struct Case {
        const wchar_t* args;
        DWORD code;
        const char* text;
    } cases[] = {
        {L"", 2, "no command given"},
        {L"compare a b", 2, "unknown command: compare"},
        {L"diff a.xml", 2, "diff needs OLD and NEW"},
        {L"diff a b c", 2, "unexpected argument: c"},
        {L"diff --xml a b", 2, "unknown option for diff: --xml"},
        {L"diff --json --html x.html a b", 2, "exclude each other"},
        {L"diff a b --html", 2, "--html needs the path"},
        {L"summary --json a", 2, "unknown option for summary: --json"},
        {L"list --html x.html a", 2, "unknown option for list: --html"},
        {L"list --csv --json a", 2, "--json and --csv exclude each other"},
        {L"list a b", 2, "unexpected argument: b"},
        {L"diff --csv a b", 2, "unknown option for diff: --csv"},
        {L"summary C:\\no\\such\\document.xml", 2, "C:\\no\\such\\document.xml: cannot be opened"},
        {L"--help", 0, "Exit codes: 0 no change (summary, list: done), 1 changes, 2 trouble"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.code, c.code) << run.output;
        EXPECT_NE(run.output.find(c.text), std::string::npos) << run.output;
        if (c.code == 2) {
            EXPECT_EQ(vrtest::SplitLines(run.output).size(), 1u) << run.output;
        }
    }

    // The page is refused over a document it reads, spelt another way; a
    // trailing "--" ends the options and names no file.
    vrtest::TempDir dir(L"vrpassport");
    const std::wstring doc = dir.file(L"old.xml");
    const std::string bytes = sestest::document({});
    vrtest::WriteFileBytes(doc, bytes);
    std::wstring other = doc;
    for (wchar_t& c : other) c = c == L'\\' ? L'/' : static_cast<wchar_t>(::towupper(c));
    ToolRun run = Tool(L"diff --html \"" + other + L"\" \"" + doc + L"\" \"" + doc + L"\"");
    EXPECT_EQ(run.code, 2u) << run.output;
    EXPECT_NE(run.output.find("would overwrite a document it reads"), std::string::npos) << run.output;
    EXPECT_EQ(vrtest::ReadFileBytes(doc), bytes);
    run = Tool(L"summary \"" + doc + L"\" --");
    EXPECT_EQ(run.code, 0u) << run.output;
}

}  // namespace
