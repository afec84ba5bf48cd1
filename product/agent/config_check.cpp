#include "config_check.h"

#include "ap_rd_stream.h"
#include "xml_common.h"
#include "Xml/Xml.h"
#include "ssr_config_check.h"
#include "vrbase/tool_cli.h"
#include "vrbase/vr_error.h"

#include <cstdio>
#include <cwctype>
#include <vector>

namespace {

const DWORD kXmlParseError = 0xE6240001;

// A start tag of the document: its path of names from the root, where it
// begins (from 1) and its text up to '>'.
struct StartTag {
    std::wstring path;
    unsigned line, column;
    std::wstring text;
};

// The first fault of nesting met, for text the parser refused without
// saying where (Wine's parser gives no line).
struct NestingFault {
    unsigned line = 0, column = 0;
    std::wstring what;
};

// The start tags in document order. Only to say where a fault lies: the
// document has already been judged by the service's code.
std::vector<StartTag> start_tags(const std::wstring& text, NestingFault* fault = nullptr) {
    std::vector<StartTag> tags;
    auto fault_here = [&](unsigned line, unsigned column, const std::wstring& what) {
        if (fault && fault->what.empty()) *fault = NestingFault{line, column, what};
    };
    std::vector<std::wstring> open;
    unsigned line = 1, column = 1;
    size_t i = 0;
    auto advance_to = [&](size_t end) {
        for (; i < end && i < text.size(); ++i) {
            if (text[i] == L'\n') ++line, column = 1;
            else ++column;
        }
    };
    auto skip_past = [&](const wchar_t* marker) {
        const size_t end = text.find(marker, i);
        advance_to(end == std::wstring::npos ? text.size() : end + wcslen(marker));
    };
    while (i < text.size()) {
        if (text[i] != L'<') {
            advance_to(i + 1);
            continue;
        }
        if (text.compare(i, 4, L"<!--") == 0) skip_past(L"-->");
        else if (text.compare(i, 9, L"<![CDATA[") == 0) skip_past(L"]]>");
        else if (text.compare(i, 2, L"<?") == 0) skip_past(L"?>");
        else if (text.compare(i, 2, L"<!") == 0) skip_past(L">");
        else if (text.compare(i, 2, L"</") == 0) {
            size_t end = i + 2;
            while (end < text.size() && !std::iswspace(text[end]) && text[end] != L'>') ++end;
            const std::wstring name = text.substr(i + 2, end - i - 2);
            if (open.empty()) fault_here(line, column, L"</" + name + L"> closes no open element");
            else if (open.back() != name) fault_here(line, column, L"</" + name + L"> where </" + open.back() + L"> belongs");
            if (!open.empty()) open.pop_back();
            skip_past(L">");
        } else {
            size_t end = i + 1;
            while (end < text.size() && !std::iswspace(text[end]) && text[end] != L'/' && text[end] != L'>') ++end;
            const std::wstring name = text.substr(i + 1, end - i - 1);
            const size_t close = text.find(L'>', i);
            const size_t stop = close == std::wstring::npos ? text.size() : close;
            std::wstring path;
            for (const std::wstring& o : open) path += o + L"/";
            tags.push_back(StartTag{path + name, line, column, text.substr(i, stop - i)});
            if (stop == text.size() || text[stop - 1] != L'/') open.push_back(name);
            advance_to(stop + 1);
        }
    }
    if (!open.empty()) fault_here(line, column, L"the text ends before </" + open.back() + L">");
    return tags;
}

bool ends_with(const std::wstring& path, const std::wstring& tail) {
    return path == tail || (path.size() > tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0 &&
                            path[path.size() - tail.size() - 1] == L'/');
}

bool has_attribute(const std::wstring& tag, const std::wstring& name) {
    for (size_t at = tag.find(name); at != std::wstring::npos; at = tag.find(name, at + 1)) {
        if (at == 0 || !std::iswspace(tag[at - 1])) continue;
        size_t k = at + name.size();
        while (k < tag.size() && std::iswspace(tag[k])) ++k;
        if (k < tag.size() && tag[k] == L'=') return true;
    }
    return false;
}

// "FILE:LINE:COLUMN: what" for the element a missing element or attribute
// was looked for in.
std::wstring place_of_missing(const std::wstring& text, const VrBase::CVrError& error) {
    const std::vector<StartTag> tags = start_tags(text);
    const wchar_t* in = error.Field(L"In");
    const std::wstring context = in ? in : L"";
    if (const wchar_t* attribute = error.Field(L"Attribute")) {
        const StartTag* found = nullptr;
        for (const StartTag& tag : tags)
            if (ends_with(tag.path, context) && !has_attribute(tag.text, attribute)) {
                found = &tag;
                break;
            }
        std::wstring what = L"<" + context + L"> has no attribute " + attribute;
        return found ? std::to_wstring(found->line) + L":" + std::to_wstring(found->column) + L": " + what : L" " + what;
    }
    std::wstring xpath = error.Field(L"Element") ? error.Field(L"Element") : L"";
    if (xpath.compare(0, 2, L"./") == 0) xpath.erase(0, 2);
    std::vector<std::wstring> segments;
    for (size_t start = 0;;) {
        const size_t slash = xpath.find(L'/', start);
        segments.push_back(xpath.substr(start, slash - start));
        if (slash == std::wstring::npos) break;
        start = slash + 1;
    }
    // The deepest element of the looked-for path that is there.
    for (size_t k = segments.size() - 1; k + 1 > 0; --k) {
        std::wstring tail = context;
        for (size_t j = 0; j < k; ++j) tail += L"/" + segments[j];
        for (const StartTag& tag : tags)
            if (ends_with(tag.path, tail)) {
                const size_t slash = tag.path.rfind(L'/');
                return std::to_wstring(tag.line) + L":" + std::to_wstring(tag.column) + L": <" +
                       tag.path.substr(slash == std::wstring::npos ? 0 : slash + 1) + L"> has no element <" +
                       segments[k] + L"> (" + xpath + L" under <" + context + L"> is required)";
            }
    }
    return L" no element " + xpath + L" under <" + context + L">";
}

// The parser's own account of text that is not XML: the service keeps only
// the code, so the text is parsed once more for the line and position.
std::wstring parse_error(const std::wstring& text) {
    try {
        Xml::CDocument document;
        document.Create();
        VARIANT_BOOL ok = VARIANT_FALSE;
        document.get()->loadXML(Com::CBstr(text).get(), &ok);
        ThrowXmlParsingError(document);
    } catch (VrBase::CVrError& error) {
        return error.GetDescription();
    }
    return VrBase::CodeWords(kXmlParseError);
}

} // namespace

int check_config_file(const std::wstring& path) {
    std::wstring text;
    try {
        // Read as the proxy reads the file vragent config hands it.
        text = read_utf8_file(VrBase::FullWindowsPath(path));
        check_full_config(text);
    } catch (VrBase::CVrError& error) {
        const DWORD code = error.GetCode();
        // "FILE:LINE:COLUMN: what (code)" where the place is known.
        std::wstring what;
        if (code == ERROR_PATH_NOT_FOUND && (error.Field(L"Element") || error.Field(L"Attribute")))
            what = place_of_missing(text, error);
        else if (code == kXmlParseError) {
            NestingFault fault;
            start_tags(text, &fault);
            what = fault.what.empty() ? L" " + parse_error(text)
                                      : std::to_wstring(fault.line) + L":" + std::to_wstring(fault.column) + L": " +
                                            fault.what + L": not XML";
        }
        else if (code == ERROR_INVALID_PARAMETER && !text.empty())
            what = L" a value the service cannot use: a schedule's scheduleType, intervalScale, interval, startDate "
                   L"or day, or a Path that is empty or longer than 32,767 characters (see docs/configuration.md)";
        else
            what = L" " + VrBase::CodeWords(code);
        VrBase::ToolPrintError(code > 0xFFFF ? L"vragent: %ls:%ls (0x%08lX)\n" : L"vragent: %ls:%ls (%lu)\n", path.c_str(),
                 what.c_str(), static_cast<unsigned long>(code));
        return 1;
    }
    VrBase::ToolPrint(L"%ls: the scan service would accept this configuration\n", path.c_str());
    return 0;
}
