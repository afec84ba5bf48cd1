#include "xml_common.h"

#include "exec/apartment_executor.h"
#include "support/test_support.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

namespace {

using Xml::CDocument;
using Xml::CElement;

const wchar_t kConfig[] =
    L"<?xml version=\"1.0\"?><Settings><ScanSetting><Paths><Path>C:\\A</Path><Path>D:\\</Path></Paths>"
    L"<Ext a=\"1\" empty=\"\">exe</Ext></ScanSetting></Settings>";

TEST(XmlDom, XPathLookupsRelativeToTheElement) {
    exec::run_in_sta([] {
        CDocument doc;
        ASSERT_EQ(LoadXml4mWstring(doc, kConfig), S_OK);
        CElement root = doc.GetRoot();
        CElement scan = root.Lookup(L"./ScanSetting");
        EXPECT_EQ(scan.Lookup(L"./Ext").GetValue<std::wstring>(), L"exe");

        auto paths = scan.SelectNodes(L"./Paths/Path");
        std::vector<std::wstring> found;
        for (CElement e; paths.Next(e);) found.push_back(e.GetValue<std::wstring>());
        EXPECT_EQ(found, (std::vector<std::wstring>{L"C:\\A", L"D:\\"}));

        EXPECT_EQ(vrtest::ErrorCodeOf([&] { scan.Lookup(L"./Nope"); }), 3u);
        CElement none;
        EXPECT_FALSE(scan.SelectNodes(L"./Nope").Next(none)) << "no match is an empty enumeration";

        std::wstring value;
        EXPECT_EQ(lookup_node_and_get_value(root, L"./ScanSetting/Paths/Path", value), S_OK);
        EXPECT_EQ(value, L"C:\\A");
        CElement found2;
        EXPECT_EQ(lookup_node(doc, L"./Missing", found2), HRESULT_FROM_WIN32(3));
    });
}

TEST(XmlDom, AttributesAndTextValues) {
    exec::run_in_sta([] {
        CDocument doc;
        ASSERT_EQ(LoadXml4mWstring(doc, kConfig), S_OK);
        CElement ext = doc.GetRoot().Lookup(L"./ScanSetting/Ext");
        EXPECT_EQ(ext.GetAttribute<unsigned long>(L"a"), 1u);
        EXPECT_EQ(ext._GetAttribute(L"empty"), L"");
        EXPECT_EQ(vrtest::ErrorCodeOf([&] { ext._GetAttribute(L"missing"); }), 3u);

        // Setting a value twice replaces the text; it never adds a second node.
        CElement added = doc.GetRoot().Append(L"Flag");
        EXPECT_EQ(added._GetValue(), L"");
        added.SetValue(true);
        added.SetValue(L"second");
        long children = 0;
        Com::ComPtr<IXMLDOMNodeList> list;
        added.node()->get_childNodes(list.put());
        list->get_length(&children);
        EXPECT_EQ(children, 1);
        EXPECT_EQ(added._GetValue(), L"second");
    });
}

TEST(XmlCnv, TextToBoolAndNumber) {
    for (const wchar_t* t : {L"Yes", L"TRUE", L"1", L"7", L"-1", L" 12abc"})
        EXPECT_TRUE(Xml::Cnv::CFromBSTR<bool>(t).value()) << std::wstring(t).size();
    for (const wchar_t* t : {L"no", L"False", L"0", L"abc", L""})
        EXPECT_FALSE(Xml::Cnv::CFromBSTR<bool>(t).value()) << std::wstring(t).size();
    EXPECT_EQ(Xml::Cnv::CFromBSTR<unsigned long>(L"  42x").value(), 42u);
    EXPECT_EQ(Xml::Cnv::CFromBSTR<unsigned long>(L"x42").value(), 0u);
    Xml::Cnv::CToVariant<bool> t(true), f(false);
    EXPECT_STREQ(t.variant().bstrVal, L"true");
    EXPECT_STREQ(f.variant().bstrVal, L"false");
}

TEST(XmlDom, SavedAsUtf16TextWithoutByteOrderMarkAndReloaded) {
    exec::run_in_sta([] {
        CDocument doc;
        CElement root = doc.Create(L"VevadediDuzavareState");
        ASSERT_EQ(append_node_with_value(root, L"Status", L"a<b&c"), S_OK);
        CElement empty;
        ASSERT_EQ(append_node_no_value(root, L"Empty", empty), S_OK);
        std::wstring text;
        ASSERT_EQ(save_xml_to_wstring(doc, text), S_OK);
        ASSERT_FALSE(text.empty());
        EXPECT_NE(text[0], 0xFEFF);
        EXPECT_EQ(text.rfind(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>", 0), 0u) << std::string(text.begin(), text.end());
        EXPECT_NE(text.find(L"a&lt;b&amp;c"), std::wstring::npos);

        CDocument again;
        ASSERT_EQ(LoadXml4mWstring(again, text), S_OK);
        EXPECT_EQ(again.GetRoot().Lookup(L"./Status").GetValue<std::wstring>(), L"a<b&c");
    });
}

// Saving gives a document the declaration of its encoding; what it was
// loaded with (a declaration, none, a leading comment) decides only whether
// the declaration is replaced or put in front.
TEST(XmlDom, SavingKeepsEveryNodeWhateverTheDocumentStartsWith) {
    exec::run_in_sta([] {
        const wchar_t* const texts[] = {
            L"<Settings><Path>C:\\A</Path></Settings>",
            L"<!--kept--><Settings><Path>C:\\A</Path></Settings>",
            L"<?xml version=\"1.0\" encoding=\"utf-8\"?><!--kept--><Settings><Path>C:\\A</Path></Settings>",
        };
        for (const wchar_t* original : texts) {
            CDocument doc;
            ASSERT_EQ(LoadXml4mWstring(doc, original), S_OK) << original;
            std::wstring text;
            ASSERT_EQ(save_xml_to_wstring(doc, text), S_OK);
            const std::string shown(text.begin(), text.end());
            EXPECT_EQ(text.rfind(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>", 0), 0u) << shown;
            EXPECT_EQ(text.find(L"<?xml", 1), std::wstring::npos) << "one declaration: " << shown;
            EXPECT_EQ(text.find(L"<!--kept-->") != std::wstring::npos, wcsstr(original, L"<!--kept-->") != nullptr)
                << shown;
            CDocument again;
            ASSERT_EQ(LoadXml4mWstring(again, text), S_OK) << shown;
            EXPECT_EQ(again.GetRoot().Lookup(L"./Path").GetValue<std::wstring>(), L"C:\\A") << shown;
        }
    });
}

TEST(XmlDom, DocumentClassesAndDeclarations) {
    exec::run_in_sta([] {
        for (int selector : {0, 1, 3}) {
            CDocument doc(selector);
            EXPECT_NO_THROW(doc.Create(L"R")) << selector;
        }
        CDocument two(2);
        EXPECT_EQ(vrtest::ErrorCodeOf([&] { two.Create(); }), static_cast<DWORD>(E_NOTIMPL));
        EXPECT_EQ(vrtest::ErrorCodeOf([] { Xml::GetProcessInstruction(3); }), static_cast<DWORD>(E_NOTIMPL));
        EXPECT_STREQ(Xml::GetProcessInstruction(0), L"version=\"1.0\" encoding=\"windows-1251\"");
    });
}

// A malformed text: 0xE6240001, its four inserts, and the trace line.
TEST(XmlDom, MalformedDocumentReportsWhereAndWhy) {
    vrtest::TempDir dir;
    vrtest::TraceToFolder trace(dir.path());
    exec::run_in_sta([] {
        CDocument doc;
        const std::wstring bad = L"<a>\n<b></a>";
        EXPECT_EQ(LoadXml4mWstring(doc, bad), static_cast<HRESULT>(0xE6240001));
        try {
            ThrowXmlParsingError(doc);
            FAIL();
        } catch (VrBase::CVrError& e) {
            EXPECT_EQ(e.GetCode(), 0xE6240001u);
            // The parser's own answers, each inserted in its place.
            Com::ComPtr<IXMLDOMParseError> pe;
            doc.get()->get_parseError(pe.put());
            long code = 0, line = 0, pos = 0;
            pe->get_errorCode(&code);
            pe->get_line(&line);
            pe->get_linepos(&pos);
            Com::CBstr reason;
            pe->get_reason(reason.put());
            wchar_t codeText[16];
            swprintf(codeText, 16, L"0x%08X", static_cast<unsigned>(code));
            std::wstring d = e.GetDescription();
            EXPECT_NE(d.find(codeText), std::wstring::npos);
            EXPECT_NE(d.find(L" " + std::to_wstring(line)), std::wstring::npos);
            EXPECT_NE(d.find(L" " + std::to_wstring(pos)), std::wstring::npos);
            std::wstring why = reason.str();
            while (!why.empty() && (why.back() == L'\n' || why.back() == L'\r')) why.pop_back();
            EXPECT_NE(d.find(why), std::wstring::npos);
        }
    });
    std::string log = trace.Read(L"SharedSrcTests");
    EXPECT_NE(log.find("LoadXml4mWstring xml with bugs: <a>\n<b></a>"), std::string::npos) << log;
}

// Our own check refuses a document type declaration wherever the prolog has
// one; Wine's parser would otherwise expand its entities (it takes and
// ignores ProhibitDTD). The same text elsewhere is only text.
TEST(XmlDom, DocumentTypeDeclarationsAreRefusedBeforeParsing) {
    vrtest::TempDir dir;
    vrtest::TraceToFolder trace(dir.path());
    exec::run_in_sta([] {
        const wchar_t* const refused[] = {
            L"<!DOCTYPE a [<!ENTITY e \"EXPANDED\">]><a>&e;</a>",
            L"\xFEFF<?xml version=\"1.0\"?>\r\n<!-- note -->\n  <!doctype a SYSTEM \"file:///C:/windows/win.ini\"><a/>",
            L"<?xml version=\"1.0\"?><?pi x?><!DOCTYPE a PUBLIC \"x\" \"\\\\host\\share\\a.dtd\"><a/>",
            // Wine's parser skips a second byte-order mark as well.
            L"\xFEFF\xFEFF<!DOCTYPE a [<!ENTITY e \"EXPANDED\">]><a>&e;</a>",
            L"<?xml version=\"1.0\"?>\xFEFF\n<!DOCTYPE a [<!ENTITY e \"EXPANDED\">]><a>&e;</a>",
        };
        for (const wchar_t* text : refused) {
            CDocument doc;
            EXPECT_EQ(LoadXml4mWstring(doc, text), static_cast<HRESULT>(0xE6240001)) << text;
        }
        const wchar_t* const accepted[] = {
            L"<!-- <!DOCTYPE a> --><a>text</a>",
            L"<a><![CDATA[<!DOCTYPE x>]]></a>",
            L"<a>&lt;!DOCTYPE x&gt;</a>",
        };
        for (const wchar_t* text : accepted) {
            CDocument doc;
            EXPECT_EQ(LoadXml4mWstring(doc, text), S_OK) << text;
        }
    });
    const std::string log = trace.Read(L"SharedSrcTests");
    EXPECT_NE(log.find("document type declaration refused at line 3"), std::string::npos) << log;
    EXPECT_NE(log.find("A document type declaration (DOCTYPE) is not accepted."), std::string::npos) << log;
    EXPECT_EQ(find_document_type(L"<!DOCTYPE a><a/>"), 0u);
    EXPECT_EQ(find_document_type(L"<?xml version=\"1.0\"?>\n<!DOCTYPE a><a/>"), 22u);
    EXPECT_EQ(find_document_type(L"\xFEFF\xFEFF<!DOCTYPE a><a/>"), 2u);
    EXPECT_EQ(find_document_type(L"<?xml version=\"1.0\"?>\xFEFF<!DOCTYPE a><a/>"), 22u);
    EXPECT_EQ(find_document_type(L"<!-- unterminated <!DOCTYPE a>"), std::wstring::npos);
    EXPECT_EQ(find_document_type(L""), std::wstring::npos);
}

TEST(XmlLite, WriterClosesOpenElementsAndReaderFindsValuesInAnyCase) {
    vrtest::TempDir dir;
    const std::wstring path = dir.file(L"doc.xml");
    exec::run_in_sta([&] {
        CXmlLiteWriter w(path);
        w.start_node(L"Root");
        w.add_attribute(L"xmlns", L"dt", nullptr, L"urn:schemas-microsoft-com:datatypes");
        w.start_node(L"UniqueId", L"4F2C-<&>");
        w.close_single_node();
        w.start_node(L"Software");
        w.start_node(L"Empty");
        // Root, Software and Empty stay open: the destructor closes them.
    });
    std::string bytes = vrtest::ReadFileBytes(path);
    // One UTF-8 byte-order mark on every platform, then the declaration (the
    // platform writer chooses the spelling of the encoding name).
    ASSERT_GT(bytes.size(), 41u);
    EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");
    std::string head = bytes.substr(3, 38);
    for (char& c : head) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(head, "<?xml version=\"1.0\" encoding=\"utf-8\"?>") << bytes;
    EXPECT_NE(bytes.find("<Empty></Empty>"), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("</Software>"), std::string::npos);
    EXPECT_LT(bytes.find("</Software>"), bytes.find("</Root>"));
    EXPECT_NE(bytes.find("4F2C-&lt;&amp;&gt;"), std::string::npos);

    exec::run_in_sta([&] {
        CXmlLiteReader r(path);
        EXPECT_EQ(r.get_unique_node_value(L"uniqueid"), L"4F2C-<&>");
        CXmlLiteReader r2(path);
        EXPECT_EQ(vrtest::ErrorCodeOf([&] { r2.get_unique_node_value(L"DateGenerated"); }), 3u);
    });
}

} // namespace

namespace {

// Every class of code unit a value can carry: what XML allows reads back as
// written (a carriage return too, which a reader turns into a line feed
// unless it was written as a reference), what it does not comes back as
// U+FFFD, and the document stays whole.
TEST(XmlLite, EveryCodeUnitClassReadsBackFromAWholeDocument) {
    vrtest::TempDir dir;
    const std::wstring path = dir.file(L"odd.xml");
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"a\xD83F\xDFFE" L"b", L"a\xD83F\xDFFE" L"b"},   // U+1FFFE: a character beyond the plane
        {L"\xDBFF\xDFFF", L"\xDBFF\xDFFF"},               // U+10FFFF, the last one
        {L"\x007F\x0085\x009F", L"\x007F\x0085\x009F"},   // allowed in XML 1.0
        {L"\xFDD0\xFFFD", L"\xFDD0\xFFFD"},
        {L"x\xD800", L"x\xFFFD"},                         // a high surrogate at the very end
        {L"\xDBFF\xDBFF\xDFFF", L"\xFFFD\xDBFF\xDFFF"},   // two highs, then a low
        {std::wstring(1000, L'\xD800'), std::wstring(1000, L'\xFFFD')},
        {L"]]>", L"]]>"},
    };
    exec::run_in_sta([&] {
        CXmlLiteWriter w(path);
        w.start_node(L"Root");
        for (size_t i = 0; i < cases.size(); ++i) {
            w.start_node((L"V" + std::to_wstring(i)).c_str(), cases[i].first.c_str());
            w.close_single_node();
        }
        w.start_node(L"Cr", L"cr\rlf");
        w.close_single_node();
        w.start_node(L"End", L"end");
    });
    // Wine's reader turns even a referenced carriage return into a space, so
    // this one is judged on the bytes written.
    std::string bytes = vrtest::ReadFileBytes(path);
    for (char& c : bytes) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(bytes.find("<cr>cr&#xd;lf</cr>"), std::string::npos);
    exec::run_in_sta([&] {
        for (size_t i = 0; i < cases.size(); ++i) {
            CXmlLiteReader r(path);
            std::wstring got;
            EXPECT_EQ(vrtest::ErrorCodeOf([&] { got = r.get_unique_node_value((L"V" + std::to_wstring(i)).c_str()); }), 0u) << i;
            EXPECT_TRUE(got == cases[i].second) << i << ": " << got.size() << " code units read back of " << cases[i].second.size();
        }
        CXmlLiteReader r(path);
        EXPECT_EQ(r.get_unique_node_value(L"End"), L"end") << "the document is whole";
    });
}

} // namespace
